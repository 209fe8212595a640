// Feeds the input to every reader of the image model (S-records, ELF, Intel HEX, a binary at
// an address near the top of the address space) and checks what a loaded image promises: its
// stretches ascend without touching or overlapping, hold at most kMaxImageBytes, and a
// refusal carries its reason. Any broken invariant aborts.
#include "logic/FirmwareImage.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok) std::abort();
}

void checkLoaded(const firmware::Loaded &r)
{
    if (!r.ok()) {
        check(!r.reason.isEmpty());
        return;
    }
    check(!r.image.empty());
    qsizetype bytes = 0;
    quint64 end = 0;
    bool first = true;
    for (const firmware::Range &range : r.image.ranges()) {
        check(!range.data.isEmpty());
        check(first || range.address > end); // merged: a gap between stretches
        check(range.end() > range.address);
        end = range.end();
        bytes += range.data.size();
        first = false;
    }
    check(bytes == r.image.byteCount() && bytes <= firmware::kMaxImageBytes);
    check(r.image.lowest() == r.image.ranges().front().address && r.image.end() == end);
    check(r.warning.isEmpty() == !r.image.overlap().has_value());
    if (const auto o = r.image.overlap()) check(o->earlierLine < o->laterLine);
    check(!firmware::outside(r.image, r.image.lowest(), end - 1).has_value());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        checkLoaded(firmware::readSRecords(buffer));
    }
    {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        checkLoaded(firmware::readIntelHex(buffer));
    }
    checkLoaded(firmware::readElf(bytes));
    {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        const firmware::Loaded r = firmware::readBinary(buffer, ~quint64(0) - 64);
        check(r.ok() == (size > 0 && size <= 64)); // 65 bytes would wrap past the top
        checkLoaded(r);
    }
    // The format judged from the bytes never depends on more than they hold.
    (void)firmware::formatOf(bytes, QStringLiteral("fuzz"));
    return 0;
}
