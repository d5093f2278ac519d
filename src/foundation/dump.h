// Debug dumps: each call appends an array, converted to double (fixed-point
// data scaled back by 2^-q), to "<directory>/<name>.dmp". A new file starts
// with the int32 element count of the call that created it; later calls for
// the same name append elements only. A developer facility: any failure inside
// an array call ends the process with exit status 1 and no message.
#ifndef ZV_FOUNDATION_DUMP_H
#define ZV_FOUNDATION_DUMP_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// Empties the directory of its files, or creates it when it can't be listed.
// The directory text is copied. A second init first closes the streams of the
// first.
zv_status_t zv_dump_init(const char *directory);
// Closes every dump file and forgets the state; harmless without init.
void zv_dump_delete(void);

// Each gives 1 after appending at least one element, 0 when count <= 0. The
// stream name is name_format formatted printf-style. An array call without
// init ends the process like any other failure.
int32_t zv_dump_array_int8(const int8_t *data, int32_t count, int32_t q, const char *name_format, ...)
    __attribute__((format(printf, 4, 5)));
int32_t zv_dump_array_int16(const int16_t *data, int32_t count, int32_t q, const char *name_format, ...)
    __attribute__((format(printf, 4, 5)));
int32_t zv_dump_array_int32(const int32_t *data, int32_t count, int32_t q, const char *name_format, ...)
    __attribute__((format(printf, 4, 5)));
int32_t zv_dump_array_int64(const int64_t *data, int32_t count, int32_t q, const char *name_format, ...)
    __attribute__((format(printf, 4, 5)));
int32_t zv_dump_array_float(const float *data, int32_t count, const char *name_format, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif
