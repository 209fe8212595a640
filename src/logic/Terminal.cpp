#include "logic/Terminal.h"

#include "logic/HexText.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>

namespace terminal {

namespace {

constexpr const char *kGbk = "GBK";
constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kZero = '\0';
constexpr char kBackspace = 0x08;
constexpr char kTab = 0x09;
constexpr qsizetype kStampLength = 15; // "[hh:mm:ss.zzz] "

QByteArray withoutZeros(QByteArrayView bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (char c : bytes)
        if (c != kZero) out.append(c);
    return out;
}

} // namespace

QByteArray sendHexBytes(QStringView text)
{
    return hextext::filterHexBytes(text);
}

QList<QByteArray> splitSendBlocks(const QByteArray &bytes, qsizetype blockSize)
{
    blockSize = std::max<qsizetype>(blockSize, 1);
    QList<QByteArray> blocks;
    blocks.reserve((bytes.size() + blockSize - 1) / blockSize);
    for (qsizetype pos = 0; pos < bytes.size(); pos += blockSize)
        blocks.append(bytes.mid(pos, blockSize));
    return blocks;
}

QByteArray encodeGbk(QStringView text)
{
    QStringEncoder encoder(kGbk);
    return encoder(text);
}

QString decodeGbk(QByteArrayView bytes)
{
    QStringDecoder decoder(kGbk);
    return decoder(bytes);
}

bool gbkAvailable()
{
    return QStringDecoder(kGbk).isValid() && QStringEncoder(kGbk).isValid();
}

LineEnd lineEndAt(int index)
{
    switch (index) {
    case 0:
        return LineEnd::Cr;
    case 1:
        return LineEnd::Lf;
    default:
        return LineEnd::CrLf;
    }
}

QByteArray lineEndBytes(LineEnd end)
{
    switch (end) {
    case LineEnd::Cr:
        return QByteArrayLiteral("\r");
    case LineEnd::Lf:
        return QByteArrayLiteral("\n");
    case LineEnd::CrLf:
        break;
    }
    return QByteArrayLiteral("\r\n");
}

QString receiveText(QByteArrayView store, ReceiveMode mode)
{
    if (mode == ReceiveMode::Hex) return hextext::toSpacedHex(store);
    return decodeGbk(withoutZeros(store));
}

ReceiveRenderer::ReceiveRenderer(ReceiveMode mode) : m_mode(mode), m_decoder(kGbk) {}

QString ReceiveRenderer::append(QByteArrayView chunk)
{
    // The mode changes only through rebuild(), which restarts the decoder from the store's
    // first byte, so the decoder need not follow the store while HEX is shown.
    if (m_mode == ReceiveMode::Hex) return hextext::toSpacedHex(chunk);
    return m_decoder(withoutZeros(chunk));
}

QString ReceiveRenderer::rebuild(QByteArrayView store, ReceiveMode mode)
{
    m_mode = mode;
    reset();
    return append(store);
}

void ReceiveRenderer::reset()
{
    m_decoder = QStringDecoder(kGbk);
}

QString displayText(QStringView text, bool &pendingCr)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'\n' && pendingCr) {
            pendingCr = false;
            continue;
        }
        pendingCr = c == u'\r';
        out.append(c == u'\r' ? QChar(u'\n') : c);
    }
    return out;
}

QString stampText(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch).time().toString(
        QStringLiteral("[hh:mm:ss.zzz]"));
}

QString LineStamper::text(QStringView shown, qint64 ms)
{
    QString out;
    out.reserve(shown.size() + kStampLength);
    for (QChar c : shown) {
        if (lineStart_) out += stampText(ms) + QLatin1Char(' ');
        out += c;
        lineStart_ = c == u'\n';
    }
    return out;
}

QString LineStamper::hex(QStringView shown, qint64 ms, int gapMs)
{
    QString out;
    if (shown.isEmpty()) return out;
    if (!any_ || ms - last_ > gapMs) {
        if (!lineStart_) out += QLatin1Char('\n');
        out += stampText(ms) + QLatin1Char(' ');
    }
    any_ = true;
    last_ = ms;
    out += shown;
    lineStart_ = false;
    return out;
}

QString LineStamper::breakLine()
{
    const bool ended = lineStart_;
    lineStart_ = true;
    any_ = false;
    return ended ? QString() : QStringLiteral("\n");
}

QString ReceiveArea::shown(QByteArrayView chunk, qint64 ms)
{
    const QString text = displayText(renderer_.append(chunk), pendingCr_);
    if (!stamps_.on) return text;
    return mode() == ReceiveMode::Text ? stamper_.text(text, ms)
                                       : stamper_.hex(text, ms, stamps_.burstGapMs);
}

QString ReceiveArea::rebuild(QByteArrayView store, ReceiveMode mode)
{
    pendingCr_ = false;
    pending_.clear();
    stamper_.reset();
    return displayText(renderer_.rebuild(store, mode), pendingCr_);
}

QString ReceiveArea::rebuild(QByteArrayView store, const QList<Arrival> &arrivals,
                             ReceiveMode mode)
{
    QString text = rebuild(QByteArrayView(), mode);
    qsizetype from = 0;
    for (const Arrival &a : arrivals) {
        const qsizetype end = std::clamp(a.end, from, store.size());
        text += shown(store.sliced(from, end - from), a.ms);
        from = end;
    }
    if (from < store.size()) text += shown(store.sliced(from), arrivals.isEmpty() ? 0 : arrivals.last().ms);
    return text;
}

void ReceiveArea::reset()
{
    renderer_.reset();
    pendingCr_ = false;
    pending_.clear();
    stamper_.reset();
}

LogForm::LogForm(bool stamped, ReceiveMode mode, int burstGapMs)
    : stamped_(stamped), mode_(mode), area_(mode)
{
    area_.setStamps({stamped, burstGapMs});
}

namespace {
QByteArray logBytes(const QString &shown)
{
    return encodeGbk(QString(shown).replace(QLatin1Char('\n'), QStringLiteral("\r\n")));
}
bool endsLine(QByteArrayView bytes)
{
    return bytes.endsWith(kCr) || bytes.endsWith(kLf);
}
} // namespace

QByteArray LogForm::received(QByteArrayView chunk, qint64 ms)
{
    if (chunk.isEmpty()) return {};
    if (!stamped_) {
        lineStart_ = endsLine(chunk);
        return chunk.toByteArray();
    }
    return logBytes(area_.shown(chunk, ms));
}

QByteArray LogForm::sent(QByteArrayView bytes, qint64 ms)
{
    if (bytes.isEmpty()) return {};
    QByteArray out;
    if (!stamped_) {
        if (!lineStart_) out += "\r\n";
        out += ">> ";
        out += bytes;
        if (!endsLine(bytes)) out += "\r\n";
        lineStart_ = true;
        return out;
    }
    // The line being received is ended first; the received text goes on under a new stamp.
    bool pendingCr = false;
    const QString body = displayText(receiveText(bytes, mode_), pendingCr);
    QString line = stampText(ms) + QStringLiteral(" >> ") + body;
    if (!line.endsWith(QLatin1Char('\n'))) line += QLatin1Char('\n');
    return logBytes(area_.breakLine() + line);
}

void ReceiveArea::release()
{
    pending_.clear();
    drawn_ = -1;
}

QByteArray keyPressBytes(int qtKey, QStringView text, LineEnd lineEnd)
{
    switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return lineEndBytes(lineEnd);
    case Qt::Key_Backspace:
        return QByteArray(1, kBackspace);
    case Qt::Key_Tab:
    case Qt::Key_Backtab: // Shift+Tab
        return QByteArray(1, kTab);
    default:
        return encodeGbk(text);
    }
}

QString byIdName(const QString &devicePath, const QString &byIdFolder)
{
    const QDir folder(byIdFolder);
    if (QFileInfo(devicePath).absolutePath() == folder.absolutePath()) return devicePath;
    const QString device = QFileInfo(devicePath).canonicalFilePath();
    if (device.isEmpty()) return {};
    for (const QFileInfo &link : folder.entryInfoList(QDir::Files | QDir::System, QDir::Name))
        if (link.canonicalFilePath() == device) return link.filePath();
    return {};
}

QString sendFileText(QByteArrayView content)
{
    const qsizetype zero = content.indexOf(kZero);
    if (zero >= 0) content = content.first(zero);
    QByteArray bytes;
    bytes.reserve(content.size() + content.size() / 8);
    for (qsizetype i = 0; i < content.size(); ++i) {
        const char c = content[i];
        if (c == kCr) {
            bytes.append(kCr).append(kLf);
            if (i + 1 < content.size() && content[i + 1] == kLf) ++i;
        } else if (c == kLf) {
            bytes.append(kCr).append(kLf);
        } else {
            bytes.append(c);
        }
    }
    // CR and LF are never GBK trail bytes (those are 0x40 .. 0xFE), so the line ends could be
    // adjusted before decoding without breaking a character.
    return decodeGbk(bytes);
}

SendFileResult loadSendFile(const QString &path)
{
    SendFileResult result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.error = QCoreApplication::translate("terminal", "文件不存在 ！ %1").arg(path);
        return result;
    }
    if (!info.isFile()) {
        result.error =
            QCoreApplication::translate("terminal", "不是普通文件，不能读入发送区 ！ %1").arg(path);
        return result;
    }
    const QString tooLarge =
        QCoreApplication::translate("terminal", "文件太大，不能读入发送区（上限 %1 KB）！ %2")
            .arg(kMaxSendFileSize / 1024)
            .arg(path);
    if (info.size() > kMaxSendFileSize) {
        result.error = tooLarge;
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QCoreApplication::translate("terminal", "不能打开文件 ！ %1 (%2)")
                           .arg(path, file.errorString());
        return result;
    }
    // The file may have grown since its size was taken: read one byte past the limit.
    const QByteArray content = file.read(kMaxSendFileSize + 1);
    if (content.size() > kMaxSendFileSize) {
        result.error = tooLarge;
        return result;
    }
    if (file.error() != QFileDevice::NoError) {
        result.error = QCoreApplication::translate("terminal", "读文件错误 ！ %1 (%2)")
                           .arg(path, file.errorString());
        return result;
    }
    result.ok = true;
    result.text = sendFileText(content);
    return result;
}

} // namespace terminal
