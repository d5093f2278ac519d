// Base64 over the standard alphabet with "=" padding, no line breaks on output.
// Results are new heap blocks that the caller releases with free.
#ifndef ZV_FOUNDATION_BASE64_H
#define ZV_FOUNDATION_BASE64_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// *text is NUL-terminated; *length excludes the NUL. An empty input gives "".
zv_status_t zv_base64_encode(const uint8_t *data, uint64_t size, char **text, uint64_t *length);
// Accepts line breaks (LF or CR LF) anywhere and spaces only before a line
// break or at the end. Malformed text, an incomplete final group included,
// gives INVALID_ARGUMENT. A text shorter than two bytes leaves the outputs
// untouched.
zv_status_t zv_base64_decode(const char *text, uint64_t length, uint8_t **data, uint64_t *size);

#ifdef __cplusplus
}
#endif

#endif
