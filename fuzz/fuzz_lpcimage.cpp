// Feeds the input as a firmware file to the LPC loader and builds the send list of every
// image it accepts, under both sector layouts; the lines of the list are checked against the
// limits the protocol's buffers have, and the input is also encoded as uuencoded lines and
// taken as a part identification. Any broken invariant aborts.
#include "logic/LpcImage.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

using namespace lpc;

namespace {

void check(bool ok)
{
    if (!ok) std::abort();
}

constexpr qsizetype kMaxLineLength = 64;
constexpr int kMaxItemLines = 21;

// Every block is written to RAM, prepared, copied and compared; the last, partial block is
// filled up to the smallest copy size the chip takes, so the data lines carry exactly the
// full blocks and that copy size.
void checkList(const QByteArray &image, Layout layout, const devices::LpcCopyRule &rule)
{
    const auto list = BuildLpcSendList(image, sectorLayout(layout), rule);
    check(list.has_value());
    const qsizetype full = image.size() / kBlockSize, rest = image.size() % kBlockSize;
    const qsizetype blocks = full + (rest > 0 ? 1 : 0);
    check(list->LpcSendCount() == list->items.size() + 1); // entry 0 is never sent
    qsizetype carried = 0, compares = 0;
    for (const LpcSendItem &item : list->items) {
        check(item.lineCount() >= 1 && item.lineCount() <= kMaxItemLines);
        check(item.kind == ItemKind::DataItem || item.lineCount() == 1);
        for (const QByteArray &l : item.lines)
            check(l.size() <= kMaxLineLength && l.endsWith(kLineEnd));
        if (item.kind == ItemKind::DataItem) {
            for (int i = 0; i + 1 < item.lineCount(); ++i)
                carried += (item.lines[i].at(0) - 0x20) & 0x3F;
        }
        if (item.kind == ItemKind::CompareItem) ++compares;
    }
    check(compares == blocks);
    check(carried == full * kBlockSize + (rest > 0 ? copySizeFor(rest, rule) : 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    QByteArray copy = input;
    QBuffer buf(&copy);
    buf.open(QIODevice::ReadOnly);
    const LoadResult r = loadHex(buf);
    check(!r.statusText.isEmpty());
    if (r.ok()) {
        check(!r.image.isEmpty() && r.image.size() <= kImageLimit);
        check(r.image.size() % kImagePadding == 0);
        checkList(r.image, Layout::A, devices::kLpc22xxCopy);
        checkList(r.image, Layout::B, devices::kLpc213xCopy);
    } else {
        check(r.image.isEmpty());
        check((r.status == LoadStatus::Malformed) == (r.malformedLine > 0));
    }

    for (qsizetype pos = 0; pos < input.size(); pos += kLineBytes) {
        const UuLine u = UuEncodeLine(QByteArrayView(input).sliced(pos).first(
            std::min<qsizetype>(kLineBytes, input.size() - pos)));
        check(u.text.size() <= kMaxLineLength);
    }
    sectorChoiceFor(QString::fromLatin1(input));
    return 0;
}
