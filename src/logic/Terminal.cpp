#include "logic/Terminal.h"

#include "logic/HexText.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>

namespace terminal {

namespace {

constexpr const char *kGbk = "GBK";
constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kZero = '\0';

// Windows virtual-key codes.
constexpr quint8 kVkBack = 0x08;
constexpr quint8 kVkTab = 0x09;
constexpr quint8 kVkClear = 0x0C;
constexpr quint8 kVkReturn = 0x0D;
constexpr quint8 kVkShift = 0x10;
constexpr quint8 kVkControl = 0x11;
constexpr quint8 kVkMenu = 0x12; // Alt
constexpr quint8 kVkPause = 0x13;
constexpr quint8 kVkCapital = 0x14;
constexpr quint8 kVkEscape = 0x1B;
constexpr quint8 kVkSpace = 0x20;
constexpr quint8 kVkPrior = 0x21;
constexpr quint8 kVkNext = 0x22;
constexpr quint8 kVkEnd = 0x23;
constexpr quint8 kVkHome = 0x24;
constexpr quint8 kVkLeft = 0x25;
constexpr quint8 kVkUp = 0x26;
constexpr quint8 kVkRight = 0x27;
constexpr quint8 kVkDown = 0x28;
constexpr quint8 kVkSnapshot = 0x2C;
constexpr quint8 kVkInsert = 0x2D;
constexpr quint8 kVkDelete = 0x2E;
constexpr quint8 kVkHelp = 0x2F;
constexpr quint8 kVk0 = 0x30;
constexpr quint8 kVkLeftWin = 0x5B;
constexpr quint8 kVkApps = 0x5D;
constexpr quint8 kVkNumpad0 = 0x60;
constexpr quint8 kVkMultiply = 0x6A;
constexpr quint8 kVkAdd = 0x6B;
constexpr quint8 kVkSubtract = 0x6D;
constexpr quint8 kVkDecimal = 0x6E;
constexpr quint8 kVkDivide = 0x6F;
constexpr quint8 kVkF1 = 0x70;
constexpr quint8 kVkNumLock = 0x90;
constexpr quint8 kVkScroll = 0x91;
constexpr quint8 kVkOem1 = 0xBA;      // ;:
constexpr quint8 kVkOemPlus = 0xBB;   // =+
constexpr quint8 kVkOemComma = 0xBC;  // ,<
constexpr quint8 kVkOemMinus = 0xBD;  // -_
constexpr quint8 kVkOemPeriod = 0xBE; // .>
constexpr quint8 kVkOem2 = 0xBF;      // /?
constexpr quint8 kVkOem3 = 0xC0;      // `~
constexpr quint8 kVkOem4 = 0xDB;      // [{
constexpr quint8 kVkOem5 = 0xDC;      // \|
constexpr quint8 kVkOem6 = 0xDD;      // ]}
constexpr quint8 kVkOem7 = 0xDE;      // '"

constexpr int kFunctionKeys = 24; // F1 .. F24 -> 0x70 .. 0x87

QByteArray withoutZeros(QByteArrayView bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (char c : bytes)
        if (c != kZero) out.append(c);
    return out;
}

std::optional<quint8> keypadCode(int qtKey)
{
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return quint8(kVkNumpad0 + (qtKey - Qt::Key_0));
    switch (qtKey) {
    case Qt::Key_Asterisk:
        return kVkMultiply;
    case Qt::Key_Plus:
        return kVkAdd;
    case Qt::Key_Minus:
        return kVkSubtract;
    case Qt::Key_Period:
    case Qt::Key_Comma:
        return kVkDecimal; // the keypad's decimal key in any locale
    case Qt::Key_Slash:
        return kVkDivide;
    default:
        return std::nullopt;
    }
}

// Printable keys of a US layout, shifted or not, to the code of the physical key.
std::optional<quint8> printableCode(int qtKey)
{
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return quint8(qtKey);
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return quint8(qtKey);
    switch (qtKey) {
    case Qt::Key_Space:
        return kVkSpace;
    case Qt::Key_ParenRight:
        return quint8(kVk0 + 0);
    case Qt::Key_Exclam:
        return quint8(kVk0 + 1);
    case Qt::Key_At:
        return quint8(kVk0 + 2);
    case Qt::Key_NumberSign:
        return quint8(kVk0 + 3);
    case Qt::Key_Dollar:
        return quint8(kVk0 + 4);
    case Qt::Key_Percent:
        return quint8(kVk0 + 5);
    case Qt::Key_AsciiCircum:
        return quint8(kVk0 + 6);
    case Qt::Key_Ampersand:
        return quint8(kVk0 + 7);
    case Qt::Key_Asterisk:
        return quint8(kVk0 + 8);
    case Qt::Key_ParenLeft:
        return quint8(kVk0 + 9);
    case Qt::Key_Semicolon:
    case Qt::Key_Colon:
        return kVkOem1;
    case Qt::Key_Equal:
    case Qt::Key_Plus:
        return kVkOemPlus;
    case Qt::Key_Comma:
    case Qt::Key_Less:
        return kVkOemComma;
    case Qt::Key_Minus:
    case Qt::Key_Underscore:
        return kVkOemMinus;
    case Qt::Key_Period:
    case Qt::Key_Greater:
        return kVkOemPeriod;
    case Qt::Key_Slash:
    case Qt::Key_Question:
        return kVkOem2;
    case Qt::Key_QuoteLeft:
    case Qt::Key_AsciiTilde:
        return kVkOem3;
    case Qt::Key_BracketLeft:
    case Qt::Key_BraceLeft:
        return kVkOem4;
    case Qt::Key_Backslash:
    case Qt::Key_Bar:
        return kVkOem5;
    case Qt::Key_BracketRight:
    case Qt::Key_BraceRight:
        return kVkOem6;
    case Qt::Key_Apostrophe:
    case Qt::Key_QuoteDbl:
        return kVkOem7;
    default:
        return std::nullopt;
    }
}

std::optional<quint8> controlCode(int qtKey)
{
    if (qtKey >= Qt::Key_F1 && qtKey < Qt::Key_F1 + kFunctionKeys)
        return quint8(kVkF1 + (qtKey - Qt::Key_F1));
    switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return kVkReturn;
    case Qt::Key_Backspace:
        return kVkBack;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return kVkTab; // Qt reports Shift+Tab as Backtab
    case Qt::Key_Escape:
        return kVkEscape;
    case Qt::Key_Shift:
        return kVkShift;
    case Qt::Key_Control:
        return kVkControl;
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
        return kVkMenu;
    case Qt::Key_Meta:
        return kVkLeftWin;
    case Qt::Key_Menu:
        return kVkApps;
    case Qt::Key_Left:
        return kVkLeft;
    case Qt::Key_Up:
        return kVkUp;
    case Qt::Key_Right:
        return kVkRight;
    case Qt::Key_Down:
        return kVkDown;
    case Qt::Key_Insert:
        return kVkInsert;
    case Qt::Key_Delete:
        return kVkDelete;
    case Qt::Key_Home:
        return kVkHome;
    case Qt::Key_End:
        return kVkEnd;
    case Qt::Key_PageUp:
        return kVkPrior;
    case Qt::Key_PageDown:
        return kVkNext;
    case Qt::Key_Clear:
        return kVkClear;
    case Qt::Key_Pause:
        return kVkPause;
    case Qt::Key_CapsLock:
        return kVkCapital;
    case Qt::Key_NumLock:
        return kVkNumLock;
    case Qt::Key_ScrollLock:
        return kVkScroll;
    case Qt::Key_Print:
        return kVkSnapshot;
    case Qt::Key_Help:
        return kVkHelp;
    default:
        return std::nullopt;
    }
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

QString ReceiveArea::rebuild(QByteArrayView store, ReceiveMode mode)
{
    pendingCr_ = false;
    pending_.clear();
    return displayText(renderer_.rebuild(store, mode), pendingCr_);
}

void ReceiveArea::reset()
{
    renderer_.reset();
    pendingCr_ = false;
    pending_.clear();
}

void ReceiveArea::release()
{
    pending_.clear();
    drawn_ = -1;
}

std::optional<quint8> virtualKeyCode(int qtKey, Qt::KeyboardModifiers modifiers)
{
    if (modifiers.testFlag(Qt::KeypadModifier))
        if (const auto code = keypadCode(qtKey)) return code;
    if (const auto code = printableCode(qtKey)) return code;
    return controlCode(qtKey);
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
