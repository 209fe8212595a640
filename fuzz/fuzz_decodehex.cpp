// Feeds the input as a file's text to DecodeHex. The file is an in-memory file opened through
// /proc/self/fd, so the library reads it with its own open/fstat/read path. The image is a heap
// block of exactly 65,536 bytes, so a write outside it is caught by AddressSanitizer.
#include "iHexToBin.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr uint8_t kFill = 0xEE;

int textFile()
{
    static const int fd = memfd_create("fuzz_decodehex", MFD_CLOEXEC);
    return fd;
}

bool writeText(const uint8_t *data, size_t size)
{
    const int fd = textFile();
    if (fd < 0 || ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!writeText(data, size)) abort();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", textFile());

    const auto image = std::make_unique<uint8_t[]>(IHEXTOBIN_IMAGE_SIZE);
    std::memset(image.get(), kFill, IHEXTOBIN_IMAGE_SIZE);
    const int32_t result = DecodeHex(path, image.get());

    // A readable file always gives 1 or 2; text that does not start with ':' writes nothing.
    if (result != IHEXTOBIN_END_OF_FILE && result != IHEXTOBIN_FORMAT_ERROR) abort();
    if (size == 0 || data[0] != ':') {
        for (size_t i = 0; i < IHEXTOBIN_IMAGE_SIZE; ++i)
            if (image[i] != kFill) abort();
    }
    return 0;
}
