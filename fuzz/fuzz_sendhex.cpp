// The terminal's conversions over arbitrary input: the HEX send filter, the split into write
// blocks, the text of a file loaded into the send area, and the receive renderer, whose
// chunk-by-chunk text must equal a full rebuild of the same store.
#include "logic/Terminal.h"

#include "logic/HexText.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    // HEX send over the input read as UTF-8 text (the send area's text).
    const QString text = QString::fromUtf8(input);
    const QByteArray bytes = terminal::sendHexBytes(text);
    qsizetype digits = 0;
    for (QChar c : text)
        if (hextext::digitValue(c.unicode()) >= 0) ++digits;
    check(bytes.size() == digits / 2);
    const qsizetype block = input.isEmpty() ? 1 : quint8(input[0]) + 1;
    QByteArray joined;
    for (const QByteArray &piece : terminal::splitSendBlocks(bytes, block)) {
        check(!piece.isEmpty() && piece.size() <= block);
        joined += piece;
    }
    check(joined == bytes);

    // Send-file text: no zero character, and every line end is CR LF.
    const QString fileText = terminal::sendFileText(input);
    check(!fileText.contains(QChar(0)));
    for (qsizetype i = 0; i < fileText.size(); ++i) {
        if (fileText[i] == u'\r') check(i + 1 < fileText.size() && fileText[i + 1] == u'\n');
        if (fileText[i] == u'\n') check(i > 0 && fileText[i - 1] == u'\r');
    }

    // Receive rendering: chunk sizes from the first bytes, both modes.
    const unsigned stepA = input.isEmpty() ? 1 : (quint8(input[0]) % 7) + 1;
    const unsigned stepB = input.size() < 2 ? 1 : (quint8(input[1]) % 5) + 1;
    for (auto mode : {terminal::ReceiveMode::Text, terminal::ReceiveMode::Hex}) {
        terminal::ReceiveRenderer r(mode);
        QString shown;
        qsizetype pos = 0;
        bool alt = false;
        while (pos < input.size()) {
            const qsizetype n = alt ? stepB : stepA;
            shown += r.append(QByteArrayView(input).sliced(pos, std::min(n, input.size() - pos)));
            pos += n;
            alt = !alt;
        }
        check(shown == terminal::receiveText(input, mode));
    }
    return 0;
}
