// Feeds the input as a firmware file to the STM32 loader, both as HEX text and as a binary
// file, line by line to ParseStmHexLine, and as gathered boot-loader replies; then cuts every
// loaded image into its erase list and blocks. Any broken invariant aborts.
#include "logic/Stm32Image.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

using namespace stm32;

namespace {

void check(bool ok)
{
    if (!ok) std::abort();
}

void cutImage(const QByteArray &image)
{
    const EraseList e = erasePageList(image.size());
    check(e.frame.size() <= kFrameSize);
    check(e.global == (e.pageCount > kMaxPageListPages));
    check(e.global || xorChecksum(e.frame) == 0);
    qsizetype offset = 0;
    while (const auto b = blockAt(image, offset)) {
        check(!b->data.isEmpty() && b->data.size() <= kBlockSize);
        check(qsizetype(b->countByte) + 1 == b->data.size());
        check((b->countByte ^ xorChecksum(b->data)) == b->checksum);
        check(addressFrame(kFlashStart + quint32(offset)).size() == 5);
        offset += b->data.size();
    }
    check(offset == image.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    QByteArray copy = input;
    QBuffer buf(&copy);
    buf.open(QIODevice::ReadOnly);
    const LoadResult hex = loadHex(buf);
    check(hex.hex && !hex.statusText.isEmpty());
    if (hex.ok()) {
        check(!hex.image.isEmpty() && hex.image.size() <= kHexSizeLimit);
        check(hex.image.size() % kImagePadding == 0);
        cutImage(hex.image);
    } else {
        check(hex.image.isEmpty());
    }

    buf.seek(0);
    const LoadResult bin = loadBinary(buf);
    check(bin.ok() == !input.isEmpty());
    if (bin.ok()) {
        check(bin.image == input);
        cutImage(bin.image);
    }

    // The same lines straight to the parser: the image never leaves its window.
    StmHexImage placed;
    for (const QByteArray &line : input.split('\n')) {
        ParseStmHexLine(QString::fromLatin1(line), placed);
        check(placed.image().size() <= kHexSizeLimit);
    }

    // The input as a gathered reply in every state.
    syncAccepted(input);
    if (const auto v = acceptGetReply(input)) versionLine(*v);
    if (const auto id = acceptGetIdReply(input))
        check(id->size() == 4 && !familyLine(*id).isEmpty());
    if (const auto kib = acceptFlashSizeReply(input)) flashSizeLine(*kib);
    ackFirst(input);
    return 0;
}
