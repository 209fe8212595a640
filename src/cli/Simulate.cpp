#include "cli/Simulate.h"

#include "app/Language.h"
#include "cli/Cli.h"
#include "cli/Files.h"
#include "cli/Messages.h"
#include "logic/Devices.h"
#include "platform/PortNames.h"
#include "sim/Board.h"
#include "sim/PtyPeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace cli {

namespace {

constexpr int kMaxBaud = 4'000'000;

// One line to f; the board's narrator prints from its own thread.
void print(FILE *f, const QString &text)
{
    writeText(f, text + QLatin1Char('\n'));
}

const char kSimulateUsage[] =
    "Usage: tramelo simulate --device DEV [--id ID] [--get-checksum] [--link PATH] [--dump FILE]\n"
    "                        [--baud N]\n"
    "  --device  a device of the list, or stc12, stc15, stc8 (STC12C5A60S2, STC15W4K56S4,\n"
    "            STC8A8K64S4A12 as recorded; their boot loaders measure a 2400 Bd handshake),\n"
    "            or an NXP part: lpc1768 lpc1114 lpc11u24 lpc1343 lpc812 lpc845 lpc2378\n"
    "            lpc2148\n"
    "  --id ID   STM32: the product id the board answers (hex), which chooses its line:\n"
    "            410 F10x medium density, 414 F10x high density (default), 440 F0,\n"
    "            422 F3, 411 F2, 413 F4 (sectors), 460 G0 (double words), 457/425/417/447\n"
    "            L0 and 416/429/427/436/437 L1 (small pages, no mass erase), 450/483 H7\n"
    "            (128 KiB sectors, 32-byte words), 480 H7A3/B3 (8 KiB sectors, 16-byte\n"
    "            words), 443/453 C0, 467 G0B (two banks),\n"
    "            494/495 WB, 497 WL, 472 L5, 482 U5 (8 KiB pages, 16-byte words)\n"
    "  --get-checksum  STM32: the board's Get answer lists Get Checksum (0xA1), so that\n"
    "                download --verify compares CRCs instead of reading every block back\n"
    "  --link PATH   also names the terminal by this symbolic link; an old link whose\n"
    "                terminal no longer exists is replaced, any other file is not\n"
    "  --dump FILE   the flash is written to FILE at the end (opened at the start; a\n"
    "                symbolic link is not followed)\n"
    "  --baud N      paces the answers like a UART at N baud; an STM32 board then also\n"
    "                takes the chip's erase and programming times\n"
    "  SIGINT, SIGTERM, SIGHUP and SIGQUIT end the board";

int simulateUsage(const QString &problem)
{
    print(stderr, QStringLiteral("tramelo: %1").arg(problem));
    print(stderr, QString::fromLatin1(kSimulateUsage));
    return kExitUsage;
}

// A new chip of the device's kind: flash erased (0xFF), as it leaves the factory. A paced
// STM32 board also takes the chip's time to erase and program.
// An STM32 board with getChecksum lists Get Checksum (0xA1) in its Get answer.
std::unique_ptr<sim::VirtualBoard> boardFor(int device, std::optional<quint16> stm32Id, bool paced,
                                            bool getChecksum)
{
    const devices::DeviceEntry *entry = devices::entryAt(device);
    if (!entry) return nullptr;
    switch (entry->family) {
    case devices::Family::Stm32: {
        sim::Stm32Sim::Config config =
            stm32Id ? sim::Stm32Sim::Config::profile(*stm32Id) : sim::Stm32Sim::Config();
        config.oldContents = 0xFF;
        config.realTimes = paced;
        config.checksum = getChecksum;
        return sim::VirtualBoard::stm32(config);
    }
    case devices::Family::Lpc: {
        static const std::pair<QStringView, sim::LpcSim::Part (*)()> kParts[] = {
            {u"LPC2214", &sim::LpcSim::lpc2214}, {u"LPC2292", &sim::LpcSim::lpc2292},
            {u"LPC2131", &sim::LpcSim::lpc2131}, {u"LPC2132", &sim::LpcSim::lpc2132},
            {u"LPC2136", &sim::LpcSim::lpc2136}, {u"LPC2138", &sim::LpcSim::lpc2138},
        };
        for (const auto &[name, part] : kParts) {
            if (name != entry->name) continue;
            sim::LpcSim::Config config;
            config.part = part();
            config.oldContents = 0xFF;
            return sim::VirtualBoard::lpc(config);
        }
        return nullptr;
    }
    case devices::Family::Stc:
        for (const devices::StcModel &m : devices::stcModels()) {
            if (m.name != entry->name) continue;
            sim::StcSim::Config config;
            config.modelCode = QByteArray::fromHex(m.code.toLatin1());
            config.flashSize = m.flashBytes;
            config.oldContents = 0xFF;
            return sim::VirtualBoard::stc(config);
        }
        return nullptr;
    case devices::Family::StcSeries:
        if (auto config = sim::StcSeriesSim::Config::forSeries(entry->cliName))
            return sim::VirtualBoard::stcSeries(*config);
        return nullptr;
    }
    return nullptr;
}

// The target of a symbolic link; empty when path is none.
QByteArray linkTarget(const QByteArray &path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.constData(), target, sizeof target);
    return n > 0 ? QByteArray(target, n) : QByteArray();
}

// A running board holds an abstract socket named after its terminal: the name goes with the
// process however it ends (a kill included) and leaves no file behind. A terminal's number is
// given to the next program that asks once its board has ended, so a link's target that exists
// says nothing on its own; this name says whether a board still serves it.
int bindTerminalName(const QByteArray &terminal)
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray name = "tramelo-board:" + terminal.left(sizeof address.sun_path - 16);
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool terminalHeldByBoard(const QByteArray &terminal)
{
    const int fd = bindTerminalName(terminal);
    if (fd >= 0) ::close(fd);
    return fd < 0 && errno == EADDRINUSE;
}

// Why --link may not name this board's terminal ("" when it may). The name may be free, or a
// symbolic link that an earlier board left behind: one to a pseudo-terminal that no longer
// exists, or one whose terminal no running board serves any more (its number may belong to
// another program by now). A link to the terminal of a running board is that board's, and
// anything other than a symbolic link is not a board's at all: neither is replaced.
QString linkRefusal(const QString &link)
{
    const QByteArray path = files::fileSystemPath(link);
    struct stat st = {};
    if (::lstat(path.constData(), &st) != 0) return {};
    if (!S_ISLNK(st.st_mode))
        return QCoreApplication::translate("cli", "%1: 不是符号链接，不替换").arg(link);
    const QByteArray target = linkTarget(path);
    if (!target.startsWith("/dev/pts/"))
        return QCoreApplication::translate("cli", "%1: 指向 %2，不是虚拟板的终端，不替换")
            .arg(link, QFile::decodeName(target));
    if (::stat(target.constData(), &st) == 0 && terminalHeldByBoard(target))
        return QCoreApplication::translate("cli",
                                           "%1: 指向仍存在的 %2（正在运行的虚拟板？），不替换")
            .arg(link, QFile::decodeName(target));
    return {};
}

// The dump file, opened at the start so that a path that cannot take it fails before the
// session: created if missing, never through a symbolic link, a regular file only, and not
// one that another running board holds: each board holds its dump's lock until it ends, so
// two boards never write one file. Its old contents stay until the end. -1 with why set
// otherwise.
int openDump(const QString &dump, QString &why)
{
    const QByteArray path = files::fileSystemPath(dump);
    const int fd =
        ::open(path.constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = errno == ELOOP ? messages::symlinkNotFollowed(dump) : messages::cannotWrite(dump);
        return -1;
    }
    // The end writes a new file beside it and renames that into place: the file and its
    // folder must both be writable.
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArray(".") : path.left(std::max<qsizetype>(slash, 1));
    if (::access(path.constData(), W_OK) != 0 || ::access(folder.constData(), W_OK | X_OK) != 0) {
        ::close(fd);
        why = messages::cannotWrite(dump);
        return -1;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        why = messages::notRegularFile(dump);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        why =
            QCoreApplication::translate("cli", "%1: 另一个正在运行的虚拟板使用这个文件").arg(dump);
        return -1;
    }
    return fd;
}

} // namespace

// Bits one byte takes on the line of each family's boot loader: the STM32 boot loader runs
// its USART with even parity (8E1), the others 8N1.
int bitsPerByte(devices::Family family)
{
    return family == devices::Family::Stm32 ? 11 : 10;
}

int simulate(const QStringList &args)
{
    // The signals that end the board are taken by sigwait() below; blocked before any other
    // thread starts (the peer's), so that no thread takes them. A closed terminal (SIGHUP) and
    // Ctrl-\ (SIGQUIT) end it as SIGINT and SIGTERM do: dump written, link removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&stopSignals, sig);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader of the narration that goes away must not end the board before its dump.
    std::signal(SIGPIPE, SIG_IGN);
    // The lines below, usage errors included, follow the interface language.
    static char programName[] = "tramelo";
    int qtArgc = 1;
    char *qtArgv[] = {programName, nullptr};
    QCoreApplication app(qtArgc, qtArgv);
    language::install(app);

    QString deviceName, link, dump;
    int baud = 0;
    std::optional<quint16> stm32Id;
    bool getChecksum = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&](QString &into) { return takeValue(args, i, into); };
        QString v;
        if (a == "--help" || a == "-h") {
            print(stdout, QString::fromLatin1(kSimulateUsage));
            return kExitOk;
        } else if (a == "--device") {
            if (!value(deviceName))
                return simulateUsage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
        } else if (a == "--id") {
            bool ok = false;
            const uint id = value(v) ? v.toUInt(&ok, 16) : 0;
            if (!ok || id == 0 || id > 0xFFF)
                return simulateUsage(
                    QCoreApplication::translate("cli", "--id 取十六进制的产品 ID，例如 413"));
            stm32Id = quint16(id);
        } else if (a == "--get-checksum") {
            getChecksum = true;
        } else if (a == "--link") {
            if (!value(link))
                return simulateUsage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
        } else if (a == "--dump") {
            if (!value(dump))
                return simulateUsage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
        } else if (a == "--baud") {
            bool ok = false;
            if (value(v)) baud = v.toInt(&ok);
            if (!ok || baud < 1 || baud > kMaxBaud)
                return simulateUsage(
                    QCoreApplication::translate("cli", "--baud 取 1 到 %1 的波特率").arg(kMaxBaud));
        } else {
            return simulateUsage(QCoreApplication::translate("cli", "未知参数: %1").arg(a));
        }
    }
    if (deviceName.isEmpty())
        return simulateUsage(QCoreApplication::translate("cli", "缺少 --device"));
    // stc12, stc15, stc8: a board of the series, answering as its recorded chip; 8E1 on the
    // line (the STC12 board's chip, an STC12C5A60S2, uses even parity too).
    // A part name of the NXP boards (lpc1768, lpc845, ..., and the six of the list).
    std::optional<sim::LpcSim::Part> lpcPart = sim::LpcSim::partNamed(deviceName);
    const int named = devices::findDevice(deviceName);
    std::optional<sim::StcSeriesSim::Config> series = sim::StcSeriesSim::Config::forSeries(
        devices::familyAt(named) == devices::Family::StcSeries ? devices::entryAt(named)->cliName
                                                               : QStringView(deviceName));
    const int device = series ? -1
                       : lpcPart ? devices::firstIndexOf(devices::Family::Lpc)
                                 : devices::findDevice(deviceName);
    if (!series && device < 0)
        return simulateUsage(
            QCoreApplication::translate("cli", "未知或不唯一的器件: %1").arg(deviceName));
    if (stm32Id && devices::familyAt(device) != devices::Family::Stm32)
        return simulateUsage(QCoreApplication::translate("cli", "--id 只用于 STM32 虚拟板"));
    if (getChecksum && devices::familyAt(device) != devices::Family::Stm32)
        return simulateUsage(
            QCoreApplication::translate("cli", "--get-checksum 只用于 STM32 虚拟板"));
    std::unique_ptr<sim::VirtualBoard> board;
    if (lpcPart) {
        sim::LpcSim::Config config;
        config.part = std::move(*lpcPart);
        config.oldContents = 0xFF;
        board = sim::VirtualBoard::lpc(config);
    } else {
        board = series ? sim::VirtualBoard::stcSeries(*series) : boardFor(device, stm32Id, baud > 0, getChecksum);
    }
    if (!board)
        return simulateUsage(
            QCoreApplication::translate("cli", "没有 %1 的虚拟板").arg(deviceName));

    if (!link.isEmpty()) {
        if (const QString why = linkRefusal(link); !why.isEmpty()) {
            print(stderr, QStringLiteral("tramelo: %1").arg(why));
            return kExitUsage;
        }
    }
    int dumpFd = -1;
    if (!dump.isEmpty()) {
        QString why;
        if ((dumpFd = openDump(dump, why)) < 0) {
            print(stderr, QStringLiteral("tramelo: %1").arg(why));
            return kExitUsage;
        }
    }
    auto closeDump = [&] {
        if (dumpFd >= 0) ::close(dumpFd);
    };

    sim::PtyPeer peer;
    if (!peer.isOpen()) {
        print(stderr, QStringLiteral("tramelo: %1")
                          .arg(QCoreApplication::translate("cli", "无法创建伪终端 (%1)")
                                   .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        closeDump();
        return kExitFailed;
    }
    peer.setKeepLog(false);
    const int bits = series ? 11 : bitsPerByte(*devices::familyAt(device));
    if (baud > 0) peer.setPacing(bits, baud);
    board->setNarrator([](const QString &line) { print(stdout, line); });
    const QByteArray linkPath = files::fileSystemPath(link);
    const QByteArray slavePath = QFile::encodeName(peer.slavePath());
    const int terminalName = bindTerminalName(slavePath);
    const auto releaseName = qScopeGuard([terminalName] {
        if (terminalName >= 0) ::close(terminalName);
    });
    if (!link.isEmpty()) {
        // The old link of an ended board is replaced, checked once more (a board started
        // meanwhile may hold the name by now; this board's new terminal may have the old
        // one's number); symlink() refuses whatever else stands there.
        const QByteArray old = linkTarget(linkPath);
        if (!old.isEmpty() && (old == slavePath || linkRefusal(link).isEmpty()))
            ::unlink(linkPath.constData());
        if (::symlink(slavePath.constData(), linkPath.constData()) != 0) {
            // Like every refused link: a usage error, the system's reason after the sentence.
            print(stderr, QStringLiteral("tramelo: %1")
                              .arg(QCoreApplication::translate("cli", "%1: 无法创建符号链接 (%2)")
                                       .arg(link, QString::fromLocal8Bit(std::strerror(errno)))));
            closeDump();
            return kExitUsage;
        }
    }
    print(stdout, peer.slavePath());
    peer.attach(board.get());

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    peer.attach(nullptr);
    int code = kExitOk;
    // The dump goes to a new file beside it, renamed into place whole; the lock is held
    // until then.
    if (dumpFd >= 0 && !files::replaceFile(files::fileSystemPath(dump), board->flash())) {
        print(stderr, QStringLiteral("tramelo: %1").arg(messages::cannotWrite(dump)));
        code = kExitFailed;
    }
    closeDump();
    // Only while the link still names this board: another board may have taken the name.
    if (!link.isEmpty() && linkTarget(linkPath) == slavePath) ::unlink(linkPath.constData());
    return code;
}

} // namespace cli
