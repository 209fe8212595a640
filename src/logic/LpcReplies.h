// Reply checks of the NXP UART ISP dialogue, as the LPC controller window runs it.
//
// The boot loader answers every command with text lines ended by CR LF: while echo is on
// (until "A 0") the command comes back first; then a decimal return code ("0" is success)
// or "OK"; some commands add lines of their own ("J": the part identification, "K": two
// version lines, "M" with return code 10: the offset of the first difference). The window
// gathers what arrives and hands it here only when it may be a whole answer; these functions
// say whether it is complete and what it means. Nothing here touches a window or a port.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>

namespace lpc {

// ---- The host's side of the dialogue (the line end is added when a command is sent) ----
inline const QByteArray kIspLineEnd = QByteArrayLiteral("\r\n");
inline const QByteArray kAutobaud = QByteArrayLiteral("?"); // sent without a line end
inline const QByteArray kSynchronized = QByteArrayLiteral("Synchronized");
inline const QByteArray kOk = QByteArrayLiteral("OK");
inline const QByteArray kResend = QByteArrayLiteral("RESEND");
inline const QByteArray kCrystalKHz = QByteArrayLiteral("11059.2");
inline const QByteArray kUnlock = QByteArrayLiteral("U 23130");
inline const QByteArray kEchoOff = QByteArrayLiteral("A 0");
inline const QByteArray kReadPartId = QByteArrayLiteral("J");
inline const QByteArray kReadBootVersion = QByteArrayLiteral("K");
inline const QByteArray kPrepareFromSector0 = QByteArrayLiteral("P 0 ");
inline const QByteArray kEraseFromSector0 = QByteArrayLiteral("E 0 ");
inline const QByteArray kSuccessCode = QByteArrayLiteral("0");
inline constexpr char kCopyCommand = 'C';
inline constexpr int kCompareErrorCode = 10; // COMPARE_ERROR, followed by the offset line

inline const QByteArray kReadSerial = QByteArrayLiteral("N");

// Minimum gathered bytes before the answer for LpcState step (1..11) is looked at:
// "Synchronized" CR LF (14), the echoed "Synchronized" line and "OK" (18), and so on down to
// a bare return code (3). -1 for any other step: nothing is looked at.
int replyLength(int step);

// True when the gathered text may be evaluated for step: it ends with the line end and, for
// "K" (step 7), holds the two version lines after a success code; for a compare answer
// (compareItem) with return code 10, the offset line too. An answer taken early would leave
// a stray line that spoils the next one.
bool replyComplete(int step, QByteArrayView reply, bool compareItem = false);

// The text between the leading return-code line (codeLine characters) and the final line
// end (lineEnd characters); empty when there is nothing between them.
QByteArray payloadOf(QByteArrayView reply, qsizetype codeLine, qsizetype lineEnd);

// "K": two lines of version after the success code; any other return code is complete as it is.
bool bootVersionComplete(QByteArrayView reply);

// Step 1: any text holding "Synchronized" CR LF (noise before it is allowed).
bool isSynchronizedAnswer(QByteArrayView reply);
// Steps 2 to 5: the echoed command line followed by its answer line, and nothing else.
bool isEchoed(QByteArrayView reply, QByteArrayView command, QByteArrayView answer);
// Exactly "0" CR LF.
bool isSuccess(QByteArrayView reply);
// Exactly "OK" CR LF (a data item's checksum line was accepted).
bool isDataAccepted(QByteArrayView reply);

// "J": the identification after "0" CR LF, without the final line end, exactly as received
// ("196387"); nullopt unless the answer begins with "0" CR LF.
std::optional<QString> partIdOf(QByteArrayView reply);
// "K": the version as shown, major "." minor ("2.1" for the lines "1" and "2": the chips send
// the minor number first); nullopt unless the answer begins with "0" CR LF. The text is
// taken as the payload from its fourth character, a dot, then its first two, line ends
// removed, so odd answers still show what they hold.
std::optional<QString> bootVersionOf(QByteArrayView reply);

// "N" (step 11, "Read device serial number", UM10360 ch. 32 and the LPC11Uxx/LPC8xx manuals):
// "0" and four 32-bit words in decimal, each on a line of its own, complete once the four came
// (any other return code is complete as it is). The serial number as 32 hexadecimal digits,
// the words in the order sent, each as 8 digits ("0000000100000002..."); nullopt for an error
// code or anything but four decimal words.
std::optional<QString> serialNumberOf(QByteArrayView reply);

// The answer to "M".
struct CompareAnswer
{
    enum Kind {
        Same,      // "0"
        Different, // return code 10; offset of the first difference when it was readable
        Other,     // any other answer (an error code: the command may be sent again)
    } kind = Other;
    std::optional<quint32> offset;
};
CompareAnswer compareAnswerOf(QByteArrayView reply);

// "S address count" (LPC8xx): "0" and the CRC-32 in decimal on a line of its own. Complete
// once that second line came, or at once for any other return code.
bool crcComplete(QByteArrayView reply);
// The CRC of a success answer; nullopt for an error code or a line that is no number.
std::optional<quint32> crcAnswerOf(QByteArrayView reply);

// One group of an "R" answer in uuencoding: up to 20 lines and the decimal sum of their bytes,
// each ended by CR LF (the return code before them left out). The group's bytes when it is
// whole: every line sound uuencoding of 1..45 bytes, `count` bytes in all, the sum right;
// nullopt otherwise (the host then answers "RESEND").
std::optional<QByteArray> decodeReadGroup(QByteArrayView text, qsizetype count);
// True once text holds a whole group of count bytes (its lines and the sum line).
bool readGroupComplete(QByteArrayView text, qsizetype count);

// The identification of "J" as a number: decimal digits only (what every UART ISP sends);
// nullopt for anything else.
std::optional<quint32> partIdValue(QStringView partId);

} // namespace lpc
