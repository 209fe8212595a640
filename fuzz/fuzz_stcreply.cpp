// The STC controller's reply handling over arbitrary input: receptions split into chunks and
// fed to the receiver, and the recognition and version rules applied to arbitrary texts
// (the last-frame text is hex in practice; here it may hold anything).
#include "logic/StcFrames.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

void checkReplyText(QStringView text)
{
    const int model = stc::findModel(text);
    const int clock = stc::findClock(text);
    check(model >= 0 && model <= 5);
    check(clock >= 0 && clock <= 6);
    check(stc::modelName(model).isEmpty() == (model == 0));
    check((stc::clockRate(clock) == 0) == (clock == 0));
    const bool known = model != 0 && clock != 0;
    check(stc::step1Frame(model, clock).isEmpty() == !known);
    check(stc::step2Frame(model, clock).isEmpty() == !known);

    const QString version = stc::versionText(text);
    check(version.isEmpty() || version.size() == 3);
    const QString shown = stc::versionDisplay(version);
    check(shown.isEmpty() == version.isEmpty());

    const QString sum = stc::checksum(text);
    check(sum.size() == 2);
    (void)stc::stripText(text, text.left(2));
    (void)stc::replyComplete(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    // The input as text, both as the Latin-1 characters of its bytes and as its hex form.
    checkReplyText(QString::fromLatin1(input));

    // The input as received bytes: the first byte chooses the chunk sizes.
    stc::Receiver rx;
    const unsigned step = input.isEmpty() ? 1 : (quint8(input[0]) % 16) + 1;
    for (qsizetype pos = 0; pos < input.size(); pos += step) {
        const QByteArray chunk = input.mid(pos, step);
        const bool complete = rx.feed(chunk);
        check(complete == (quint8(chunk.back()) == stc::kFrameEnd));
        check(rx.pendingText().size() <= stc::Receiver::kMaxPendingChars);
        if (complete) {
            check(rx.pendingText().isEmpty());
            check(stc::replyComplete(rx.lastFrame()));
            check(rx.versionText() == stc::versionText(rx.lastFrame()));
            checkReplyText(rx.lastFrame());
            // The answer to a data frame: never read beyond the reception; a complete frame
            // is either good or carries another sum.
            const QString block = stc::splitBlocks(chunk).value(0);
            const stc::DataAnswer a = stc::checkDataAnswer(rx.lastFrame(), block);
            const stc::Answer parsed = stc::parseAnswer(rx.lastFrame());
            check(parsed.payload.size() <= stc::kMaxAnswerBytes);
            check((a == stc::DataAnswer::Incomplete) == (parsed.status == stc::Answer::Incomplete));
        }
        if (quint8(chunk.front()) == 0x7F) rx.clearPending(); // a handshake tick in between
    }

    // Image rules over the input as a decoding buffer.
    const auto length = stc::imageLength(input);
    if (length) {
        check(*length >= 2 && *length <= input.size() && input[*length - 1] != 0);
        const QStringList blocks = stc::splitBlocks(QByteArrayView(input).first(*length));
        check(blocks.size() == (*length + stc::kBlockSize - 1) / stc::kBlockSize);
        for (int i = 0; i < blocks.size() && i < stc::kMaxBlocks; ++i)
            check(stc::dataFrame(i, blocks[i]).size() == stc::kDataFrameSize * 2);
        check(stc::progress(int(blocks.size()) - 1, int(blocks.size())) == 100);
    }
    return 0;
}
