/* iHexToBin: turns an Intel HEX file into a flat 64 KiB memory image.
 *
 * The program does not link this library: it carries the built file inside itself, installs
 * it beside the user's other libraries and opens it with dlopen each time an STC image is
 * prepared, so the exports are plain C names with fixed signatures.
 *
 * Hex digits: 'A'-'F' and 'a'-'f' stand for 10-15; every other character stands for its own
 * low four bits ('0'-'9' therefore for 0-9). Nothing is rejected as an invalid digit. */
#ifndef IHEXTOBIN_H
#define IHEXTOBIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define IHEXTOBIN_API __attribute__((visibility("default")))

/* Bytes in the image that DecodeHex fills: one for every 16-bit address. */
#define IHEXTOBIN_IMAGE_SIZE 65536

/* Results of DecodeHex. */
#define IHEXTOBIN_READ_FAILED 0  /* file not opened or not read; image untouched */
#define IHEXTOBIN_END_OF_FILE 1  /* an end-of-file record was reached */
#define IHEXTOBIN_FORMAT_ERROR 2 /* no ':' where a record starts, or no end-of-file record */

/* Decodes the Intel HEX file fileName into image, which holds IHEXTOBIN_IMAGE_SIZE bytes
 * already set to the caller's "no data" value. Data records are stored at their address
 * plus the base of the latest extended segment (02) or linear (04) address record; bytes
 * whose address falls outside the image are dropped. Checksums are not checked. */
IHEXTOBIN_API int32_t DecodeHex(const char *fileName, uint8_t *image);

/* Two hex characters, most significant first. */
IHEXTOBIN_API uint8_t HexToByte(const char *text);
/* Four hex characters, most significant first. */
IHEXTOBIN_API uint16_t HexToWord(const char *text);
/* All characters up to the terminating zero; only the last eight count. */
IHEXTOBIN_API uint32_t HexToDword(const char *text);

typedef int32_t (*DecodeHexFunction)(const char *fileName, uint8_t *image);

#ifdef __cplusplus
}
#endif

#endif
