// Reading and writing the little-endian fields of parameter encodings.
#ifndef ZV_NN_PARAM_IO_H
#define ZV_NN_PARAM_IO_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "foundation/status.h"

#ifdef __cplusplus
extern "C" {
#endif

// Exactly size bytes, else IO_ERROR.
zv_status_t zv_param_read(FILE *file, void *data, size_t size);
zv_status_t zv_param_read_i32(FILE *file, int32_t *value);
// Reads strlen(expected) bytes and compares them with expected: a different
// text gives INVALID_ARGUMENT, logged as a version mismatch when
// log_version_mismatch is set.
zv_status_t zv_param_read_tag(FILE *file, const char *expected, int32_t log_version_mismatch);
zv_status_t zv_param_write(FILE *file, const void *data, size_t size);
zv_status_t zv_param_write_i32(FILE *file, int32_t value);
// Sets *left to the bytes between the file's position and its end and
// returns 1, or returns 0 when the file can't tell (not seekable).
int32_t zv_param_bytes_left(FILE *file, uint64_t *left);

#ifdef __cplusplus
}
#endif

#endif
