// File functions over UTF-8 paths (converted to UTF-16 on Windows).
#ifndef ZV_FOUNDATION_FILE_H
#define ZV_FOUNDATION_FILE_H

#include <stdint.h>
#include <stdio.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

FILE *zv_fopen(const char *path, const char *mode);
// The status of a zv_fopen that just gave NULL: OUT_OF_MEMORY when it ran out
// of memory (for the stream record, or the path's conversion), IO_ERROR for
// any other failure.
zv_status_t zv_fopen_failure(void);
// Whole file into a new heap block (release with free). Files of 2^31 bytes
// or more give IO_ERROR.
zv_status_t zv_file_load(const char *path, int32_t *size, void **data);
zv_status_t zv_file_save(const char *path, int32_t size, const void *data);
int32_t zv_file_exists(const char *path);
// fseek/ftell with 64-bit positions on every platform, so that a long file is
// seen as long, not wrapped.
int zv_file_seek(FILE *file, int64_t offset, int origin);
int64_t zv_file_tell(FILE *file);
zv_status_t zv_file_delete(const char *path);
int32_t zv_remove(const char *path);
zv_status_t zv_file_mkdir(const char *path);

#ifdef __cplusplus
}
#endif

#endif
