/* open() flags and fstat of POSIX.1-2008, also under a strict ISO C mode. */
#define _POSIX_C_SOURCE 200809L

#include "iHexToBin.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Record layout: ':', byte count, 16-bit address, type, data, checksum. */
enum {
    kStartCode = ':',
    kCountPos = 1,
    kAddressPos = 3,
    kTypePos = 7,
    kDataPos = 9,
    kHeaderLength = 9,        /* ':' and the count, address and type fields */
    kAddressRecordLength = 13 /* header and one 16-bit value */
};

/* Record types are compared as characters: "00" is data, a first character other than
 * '0' is a type this decoder passes over. */
static const char kTypeHigh = '0';
static const char kTypeData = '0';
static const char kTypeEndOfFile = '1';
static const char kTypeExtendedSegment = '2';
static const char kTypeExtendedLinear = '4';

static const uint64_t kImageSize = IHEXTOBIN_IMAGE_SIZE;
static const unsigned kSegmentShift = 4; /* 02 records give the base in 16-byte paragraphs */
static const unsigned kLinearShift = 16; /* 04 records give the upper 16 address bits */

/* A HEX file for a 64 KiB image is about 180 KiB; anything far larger is not a firmware file
 * for this programmer, and reading it whole would take unbounded memory. */
static const off_t kMaxTextSize = (off_t)64 * 1024 * 1024;

static unsigned digitValue(char c)
{
    if (c >= 'A' && c <= 'F') return (unsigned)(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return (unsigned)(c - 'a' + 10);
    return (unsigned)(unsigned char)c & 0x0Fu;
}

uint8_t HexToByte(const char *text)
{
    if (!text) return 0;
    return (uint8_t)(digitValue(text[0]) << 4 | digitValue(text[1]));
}

uint16_t HexToWord(const char *text)
{
    if (!text) return 0;
    return (uint16_t)(HexToByte(text) << 8 | HexToByte(text + 2));
}

uint32_t HexToDword(const char *text)
{
    uint32_t value = 0;
    if (!text) return 0;
    for (; *text; ++text)
        value = value << 4 | digitValue(*text);
    return value;
}

/* A record's text runs from its ':' up to the line end, the next record's ':' or the end of
 * the text. Fields are read only inside it, so a byte count larger than the line never
 * takes characters of the next record as data, nor reads past the terminating zero. */
static size_t recordLength(const char *record)
{
    size_t n = 1;
    while (record[n] != '\0' && record[n] != '\r' && record[n] != '\n' && record[n] != kStartCode)
        ++n;
    return n;
}

static void storeData(const char *record, size_t length, uint64_t base, uint8_t *image)
{
    const unsigned count = HexToByte(record + kCountPos);
    const uint64_t address = base + HexToWord(record + kAddressPos);
    for (unsigned k = 0; k < count; ++k) {
        const size_t pos = kDataPos + 2 * (size_t)k;
        if (pos + 2 > length) return;
        if (address + k >= kImageSize) return;
        image[address + k] = HexToByte(record + pos);
    }
}

static int32_t decodeText(const char *text, uint8_t *image)
{
    uint64_t base = 0;
    const char *p = text;
    for (;;) {
        if (*p != kStartCode) return IHEXTOBIN_FORMAT_ERROR;
        const size_t length = recordLength(p);
        if (length >= kHeaderLength && p[kTypePos] == kTypeHigh) {
            const char type = p[kTypePos + 1];
            if (type == kTypeData) {
                storeData(p, length, base, image);
            } else if (type == kTypeEndOfFile) {
                return IHEXTOBIN_END_OF_FILE;
            } else if (type == kTypeExtendedSegment && length >= kAddressRecordLength) {
                base = (uint64_t)HexToWord(p + kDataPos) << kSegmentShift;
            } else if (type == kTypeExtendedLinear && length >= kAddressRecordLength) {
                base = (uint64_t)HexToWord(p + kDataPos) << kLinearShift;
            }
        }
        p = strchr(p + 1, kStartCode);
        if (!p) return IHEXTOBIN_FORMAT_ERROR;
    }
}

/* Reads the whole file and appends a terminating zero; NULL when it cannot be opened or read.
 * Only regular files are read: a FIFO or device would block or never end. */
static char *readText(const char *fileName)
{
    const int fd = open(fileName, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return NULL;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        st.st_size > kMaxTextSize) {
        close(fd);
        return NULL;
    }
    const size_t size = (size_t)st.st_size;
    char *text = malloc(size + 1);
    if (!text) {
        close(fd);
        return NULL;
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t r = read(fd, text + got, size - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            free(text);
            close(fd);
            return NULL;
        }
        if (r == 0) break; /* the file shrank since fstat */
        got += (size_t)r;
    }
    close(fd);
    text[got] = '\0';
    return text;
}

int32_t DecodeHex(const char *fileName, uint8_t *image)
{
    if (!fileName || !image) return IHEXTOBIN_READ_FAILED;
    char *text = readText(fileName);
    if (!text) return IHEXTOBIN_READ_FAILED;
    const int32_t result = decodeText(text, image);
    free(text);
    return result;
}
