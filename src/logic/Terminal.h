// Pure logic of the serial terminal: HEX sending, GBK text in both directions, line endings,
// the text forms of the receive store and their incremental rendering with time stamps, the
// bytes of send-on-key-press, the log's form, and loading a file into the send area. QtCore
// only; the terminal page's handlers call these.
//
// Text that leaves or enters the terminal is 8-bit text in the GBK code page (one byte per
// ASCII character, two per Chinese character); byte counts are GBK byte counts.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringDecoder>
#include <QStringView>
#include <Qt>
#include <optional>
#include <utility>

namespace terminal {

// ---- Sending ----------------------------------------------------------------------------------

// The HEX encoder's block: at most 50,000 bytes (100,000 hex digits) go out in one write.
inline constexpr qsizetype kSendBlockSize = 50000;

// Bytes of a HEX send: only "0"-"9", "a"-"f", "A"-"F" are kept, in order, and paired from the
// start; an odd last digit is dropped. "0x41 0x42" -> 04 10 42; "1 23 4f x5" -> 12 34 F5.
QByteArray sendHexBytes(QStringView text);

// Splits bytes into consecutive pieces of at most blockSize bytes (kSendBlockSize by default)
// for sending in several writes; nothing is lost or reordered. Empty input gives no pieces;
// a blockSize below 1 is taken as 1.
QList<QByteArray> splitSendBlocks(const QByteArray &bytes, qsizetype blockSize = kSendBlockSize);

// GBK bytes of a text (the send area's text, a text to save). Characters GBK cannot hold
// become the converter's substitution byte.
QByteArray encodeGbk(QStringView text);
// Text of GBK bytes, decoded as one whole (a trailing lone lead byte is left out).
QString decodeGbk(QByteArrayView bytes);
// False only if this Qt build has no GBK converter (Qt without ICU); the terminal then cannot
// show or send Chinese text correctly.
bool gbkAvailable();

// The line ending that 发送新行, timed sending and Enter under send-on-key-press add. The list
// of the page holds them in this order; CR LF is the default.
enum class LineEnd { Cr, Lf, CrLf };
inline constexpr int kDefaultLineEndIndex = 2;
// The value of a list index; an index outside the list gives the default (CR LF).
LineEnd lineEndAt(int index);
QByteArray lineEndBytes(LineEnd end);

// ---- Receiving --------------------------------------------------------------------------------

// The receive store holds at most this many bytes: a chunk that takes the count beyond it
// empties the store, the area and the count (the chunk itself is not shown).
inline constexpr qsizetype kReceiveLimit = 9999;
// True when a store of storedBefore bytes plus a chunk of chunkSize bytes passes the limit.
constexpr bool receiveLimitExceeded(qsizetype storedBefore, qsizetype chunkSize)
{
    return storedBefore + chunkSize > kReceiveLimit;
}

enum class ReceiveMode { Text, Hex };

// The full text form of a receive store.
//  Hex:  each byte as two upper-case digits and one blank: 41 0D 0A -> "41 0D 0A ".
//  Text: zero bytes left out, the rest decoded as GBK over the whole store, so a character
//        whose two bytes arrived in different chunks is shown whole; CR and LF pass
//        unchanged. A lead byte at the very end of the store waits for its partner and is not
//        shown yet.
QString receiveText(QByteArrayView store, ReceiveMode mode);

// Renders the receive store chunk by chunk: the concatenation of what append() returns for
// the chunks of a store (since the last rebuild() or reset()) is exactly receiveText() of the
// store, in both modes. A GBK lead byte at the end of a chunk is held until the next chunk.
// The window appends the returned text instead of rebuilding its whole area for every chunk.
class ReceiveRenderer
{
public:
    explicit ReceiveRenderer(ReceiveMode mode = ReceiveMode::Text);

    ReceiveMode mode() const { return m_mode; }

    // Text to append for the next chunk of the store.
    QString append(QByteArrayView chunk);
    // Full text of a store in the given mode (also switches the mode); later chunks continue
    // from the end of that store.
    QString rebuild(QByteArrayView store, ReceiveMode mode);
    QString rebuild(QByteArrayView store) { return rebuild(store, m_mode); }
    // Forgets everything received (the store was cleared).
    void reset();

private:
    ReceiveMode m_mode;
    QStringDecoder m_decoder;
};

// Line breaks as the receive area shows them: CR LF, a lone CR and a lone LF are each one line
// break ('\n'). pendingCr carries a CR that ended the previous piece of text into this one,
// so a CR LF whose two bytes arrived in different chunks is still one line break:
// "a\r" then "\nb" gives "a\n" and "b"; "a\r" then "\rb" gives "a\n" and "\nb".
QString displayText(QStringView text, bool &pendingCr);

// ---- Time stamps ------------------------------------------------------------------------------

// Time stamps in front of received text. In the text view each line begins with the time its
// first byte arrived; in the HEX view (which has no lines) each burst does: a chunk that comes
// more than burstGapMs after the one before starts a new line with its own stamp.
inline constexpr int kDefaultBurstGapMs = 20;
struct StampOptions
{
    bool on = false;
    int burstGapMs = kDefaultBurstGapMs;
};
// "[hh:mm:ss.zzz]" of a time in ms since the epoch, in local time.
QString stampText(qint64 msSinceEpoch);

// Inserts the stamps into the shown text of consecutive chunks (line breaks already '\n').
class LineStamper
{
public:
    // Text view: a stamp, with the chunk's time, before the first character of every line.
    QString text(QStringView shown, qint64 ms);
    // HEX view: a line break and a stamp before a chunk that follows a gap of more than
    // gapMs (and before the first).
    QString hex(QStringView shown, qint64 ms, int gapMs);
    void reset() { *this = LineStamper(); }
    // Ends the line being stamped ("\n", or "" at a line's start): what follows is stamped
    // anew, in both views.
    QString breakLine();

private:
    bool lineStart_ = true;
    qint64 last_ = -1;
    bool any_ = false;
};

// Where each received chunk ends in the store and when it arrived (ms since the epoch): the
// stamps are drawn again from these whenever the area is rebuilt.
struct Arrival
{
    qsizetype end = 0;
    qint64 ms = 0;
};

// The drawing state of the receive area. The area shows displayText of the store's text form;
// received chunks are gathered as pending text that the window draws a few times a second.
// The window tells which revision of its document it last drew; when the document has
// changed since (another page wrote its own text there), the next draw is a full rebuild
// from the store instead of an append.
class ReceiveArea
{
public:
    explicit ReceiveArea(ReceiveMode mode = ReceiveMode::Text) : renderer_(mode) {}

    ReceiveMode mode() const { return renderer_.mode(); }
    // The area's whole text for a store in the given mode; nothing stays pending. Without
    // arrivals the store is one chunk without stamps.
    QString rebuild(QByteArrayView store, ReceiveMode mode);
    QString rebuild(QByteArrayView store, const QList<Arrival> &arrivals, ReceiveMode mode);
    // Time stamps on or off (takes effect with the next rebuild).
    void setStamps(StampOptions options) { stamps_ = options; }
    StampOptions stamps() const { return stamps_; }
    // Gathers the text of the next chunk of the store, which arrived at ms.
    void append(QByteArrayView chunk, qint64 ms = 0) { pending_ += shown(chunk, ms); }
    bool hasPending() const { return !pending_.isEmpty(); }
    // The gathered text, which the caller draws at the end of the area.
    QString takePending() { return std::exchange(pending_, QString()); }
    // The store was emptied (and the area with it).
    void reset();
    // The area is no longer the terminal's: the gathered text is dropped (the store keeps
    // the bytes) and the next draw must rebuild.
    void release();

    // Document revision after the terminal last drew the area; a different revision means
    // the area does not show the store.
    bool shows(int revision) const { return drawn_ >= 0 && revision == drawn_; }
    void drawn(int revision) { drawn_ = revision; }

    // The shown text of the next chunk, stamped as chosen (also for the log's stamped form).
    QString shown(QByteArrayView chunk, qint64 ms);
    // Ends the stamped line being shown (LineStamper::breakLine).
    QString breakLine() { return stamper_.breakLine(); }

private:
    ReceiveRenderer renderer_;
    bool pendingCr_ = false;
    QString pending_;
    int drawn_ = -1;
    StampOptions stamps_;
    LineStamper stamper_;
};

// ---- The log ----------------------------------------------------------------------------------

// What the log file receives. Raw: the received bytes as they are. Stamped (time stamps on):
// the text the receive area shows, stamps included, with CR LF line ends, in GBK. Sent bytes,
// when they are logged, stand on lines of their own that begin with ">> " (after the stamp).
class LogForm
{
public:
    LogForm(bool stamped, ReceiveMode mode, int burstGapMs);
    QByteArray received(QByteArrayView chunk, qint64 ms);
    QByteArray sent(QByteArrayView bytes, qint64 ms);

private:
    bool stamped_;
    ReceiveMode mode_;
    ReceiveArea area_;
    bool lineStart_ = true; // raw form: the last byte written ended a line
};

// ---- Keys -------------------------------------------------------------------------------------

// The bytes send-on-key-press sends for a key: what was typed, as a terminal sends it. Enter
// (either key) sends the chosen line ending, Backspace 0x08, Tab 0x09; any other key sends its
// text (the characters typed, in GBK; Ctrl+letter gives its control character), and a key
// without text (a modifier alone, a cursor or function key) sends nothing.
QByteArray keyPressBytes(int qtKey, QStringView text, LineEnd lineEnd);

// ---- Reconnecting ------------------------------------------------------------------------------

// The name under `byIdFolder` (/dev/serial/by-id) of a serial device: the link there that
// leads to the same device, or the path itself when it already is such a link; "" when it has
// none (a pseudo-terminal, an on-board port). An adapter that comes back after being unplugged
// keeps this name even when it gets another /dev/ttyUSBn.
QString byIdName(const QString &devicePath,
                 const QString &byIdFolder = QStringLiteral("/dev/serial/by-id"));

// ---- Loading a file into the send area --------------------------------------------------------

// Largest file loaded into the send area. The area is an editor for hand-made command texts;
// anything larger is almost surely a binary or a log, and reading it would only stall the
// window. The size is checked before anything is read.
inline constexpr qint64 kMaxSendFileSize = 1024 * 1024;

struct SendFileResult
{
    bool ok = false;
    QString text;  // the send area's new text (lines separated by CR LF) when ok
    QString error; // message for the user when not ok
};

// Text of bytes loaded into the send area: cut before the first zero byte, every lone CR and
// every lone LF turned into CR LF (CR LF stays), then decoded as GBK.
QString sendFileText(QByteArrayView content);

// Reads a file for the send area: refuses, with a message for the caller to show, a file that
// does not exist, one that is not a regular file (a device or a pipe might never end), one
// larger than kMaxSendFileSize (checked before reading; also one that grows past it while
// being read) and one that cannot be opened or read; otherwise gives its sendFileText.
SendFileResult loadSendFile(const QString &path);

} // namespace terminal
