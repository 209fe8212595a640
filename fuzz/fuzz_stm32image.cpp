// Feeds the input as a firmware file to the STM32 loader, both as HEX text and as a binary
// file, line by line to ParseStmHexLine, and as gathered boot-loader replies; then cuts every
// loaded image into its erase plan (on a part of the device table) and blocks. Any broken invariant
// aborts.
#include "logic/Devices.h"
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

// The erase plan of an image on a part: every frame fits StmFrame and carries its XOR, the
// units erased are the units the image covers (no more), and a page list never names a page
// past 255.
void checkPlan(const devices::Stm32Part &part, bool extended, qsizetype length)
{
    const ErasePlan p = erasePlan(part, extended, length);
    check(p.global == (!extended && p.units > kMaxPageListPages));
    int named = 0;
    for (const QByteArray &f : p.frames) {
        check(!f.isEmpty() && f.size() <= kFrameSize);
        if (p.global) continue;
        check(xorChecksum(f) == 0);
        named += extended ? (quint8(f[0]) << 8 | quint8(f[1])) + 1 : quint8(f[0]) + 1;
    }
    if (!p.global) check(named == p.units);
    if (p.units > 0) {
        check(p.coveredBytes >= length || eraseUnits(part, length) < 0);
        check(eraseUnitBytes(part, p.units - 1) < length);
    }
}

void cutImage(const QByteArray &image)
{
    const auto parts = devices::stm32Parts();
    const devices::Stm32Part &part = parts[std::size_t(image.size()) % parts.size()];
    checkPlan(part, false, image.size());
    checkPlan(part, true, image.size());
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

    // A line beyond F10x may fill the whole image; an image within the F10x limit loads the
    // same either way.
    buf.seek(0);
    const LoadResult wide = loadHex(buf, kImageCapacity);
    check(wide.ok() == !wide.image.isEmpty() && wide.image.size() <= kImageCapacity);
    if (hex.ok()) check(wide.ok() && wide.image == hex.image);

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
