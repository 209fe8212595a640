#include "platform/PortNames.h"

#include "platform/Settings.h"

#include <QDir>
#include <QHash>
#include <QSerialPortInfo>

#include <QFile>

#include <algorithm>
#include <mutex>
#include <sys/stat.h>

namespace platform {

namespace {

const QString kDevDir = QStringLiteral("/dev");

// Device number at the end of a name (ttyUSB10 -> 10), so that ttyUSB2 comes before ttyUSB10.
qint64 trailingNumber(const QString &name)
{
    qsizetype i = name.size();
    while (i > 0 && name.at(i - 1).isDigit())
        --i;
    bool ok = false;
    const qint64 n = name.mid(i).toLongLong(&ok);
    return ok ? n : -1;
}

void sortNumerically(QStringList &paths)
{
    std::stable_sort(paths.begin(), paths.end(), [](const QString &a, const QString &b) {
        const qint64 na = trailingNumber(a), nb = trailingNumber(b);
        return na != nb ? na < nb : a < b;
    });
}

QStringList devicesMatching(const QString &pattern)
{
    const QDir dev(kDevDir);
    QStringList paths;
    const QStringList names = dev.entryList({pattern}, QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        paths << dev.filePath(name);
    sortNumerically(paths);
    return paths;
}

QString describe(const QSerialPortInfo &info)
{
    QStringList parts;
    if (!info.description().isEmpty()) parts << info.description();
    if (!info.manufacturer().isEmpty() && info.manufacturer() != info.description())
        parts << info.manufacturer();
    if (!info.serialNumber().isEmpty()) parts << QStringLiteral("S/N ") + info.serialNumber();
    if (info.hasVendorIdentifier() && info.hasProductIdentifier())
        parts << QStringLiteral("%1:%2")
                     .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                     .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
    return parts.join(QStringLiteral(", "));
}

// Set on one thread, read by programmers that open their ports on threads of their own.
std::mutex aliasMutex;
QHash<QString, QString> &aliases()
{
    static QHash<QString, QString> a;
    return a;
}

QString aliasOf(const QString &canonical)
{
    const std::lock_guard lock(aliasMutex);
    return aliases().value(canonical);
}

} // namespace

void setPortAlias(const QString &comName, const QString &path)
{
    const std::lock_guard lock(aliasMutex);
    if (path.isEmpty())
        aliases().remove(comName.toUpper());
    else
        aliases().insert(comName.toUpper(), path);
}

QList<PortInfo> presentPorts()
{
    const QList<QSerialPortInfo> known = QSerialPortInfo::availablePorts();
    auto descriptionOf = [&known](const QString &path) {
        for (const QSerialPortInfo &info : known)
            if (info.systemLocation() == path) return describe(info);
        return QString();
    };

    QStringList paths = devicesMatching(QStringLiteral("ttyUSB*"));
    paths += devicesMatching(QStringLiteral("ttyACM*"));
    // On-board ports: /dev/ttyS0..31 always exist; only those with a UART behind them count.
    QStringList onboard;
    for (const QSerialPortInfo &info : known) {
        const QString path = info.systemLocation();
        if (path.startsWith(kDevDir + QStringLiteral("/ttyS"))) onboard << path;
    }
    sortNumerically(onboard);
    paths += onboard;

    QList<PortInfo> ports;
    for (const QString &path : std::as_const(paths))
        ports.append({path, descriptionOf(path)});
    return ports;
}

namespace {

// The n of "COMn" in any case, n from 1 to 999 without a leading zero; 0 for any other text.
// (Parsed by hand: a regular expression here cost every command-line start the PCRE
// compiler and its JIT.)
int comNumber(QStringView text)
{
    if (text.size() < 4 || text.size() > 6 || !text.startsWith(u"COM", Qt::CaseInsensitive))
        return 0;
    int number = 0;
    for (qsizetype i = 3; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9' || (i == 3 && c == u'0')) return 0;
        number = number * 10 + int(c - u'0');
    }
    return number;
}

// Resolves name, listing the present ports through present() only when it comes to that.
template <typename Present> QString resolveWith(const QString &name, Present present)
{
    const QString text = name.trimmed();
    if (text.startsWith(QLatin1Char('/'))) return text;

    const int number = comNumber(text);
    if (number == 0) return {};
    const QString canonical = QStringLiteral("COM%1").arg(number);

    const QString alias = aliasOf(canonical);
    if (!alias.isEmpty()) return alias;
    const QString configured = SettingsStore::portOverride(canonical);
    if (!configured.isEmpty()) return configured;

    const QList<PortInfo> ports = present();
    return number <= ports.size() ? ports.at(number - 1).path : QString();
}

} // namespace

QString resolvePortName(const QString &name)
{
    return resolveWith(name, [] { return presentPorts(); });
}

QString resolvePortName(const QString &name, const QList<PortInfo> &present)
{
    return resolveWith(name, [&present] { return present; });
}

QString describePort(const QString &path)
{
    const QList<QSerialPortInfo> known = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : known)
        if (info.systemLocation() == path) return describe(info);
    return {};
}

QString describePort(const QString &path, const QList<PortInfo> &present)
{
    for (const PortInfo &p : present)
        if (p.path == path) return p.description;
    return describePort(path); // a configured path that is not in the list
}

std::optional<dev_t> deviceIdentity(const QString &name)
{
    const QString path = resolvePortName(name);
    struct stat st = {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0 ||
        !S_ISCHR(st.st_mode))
        return std::nullopt;
    return st.st_rdev;
}

} // namespace platform
