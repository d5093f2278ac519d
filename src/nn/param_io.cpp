#include "nn/param_io.h"

#include <stdlib.h>
#include <string.h>

#include "foundation/file.h"
#include "foundation/log.h"

namespace {

#if defined(_WIN32)
#define ZV_VERSION_MESSAGE "[ERROR] Model file version is '%s' but library version is '%s'\n"
#else
#define ZV_VERSION_MESSAGE \
    ZV_LOG_RED "[ERROR] Model file version is '%s' but library version is '%s'" ZV_LOG_RESET "\n"
#endif


}  // namespace

extern "C" zv_status_t zv_param_read(FILE *file, void *data, size_t size) {
    if (size == 0) {
        return ZV_STATUS_SUCCESS;
    }
    return fread(data, 1, size, file) == size ? ZV_STATUS_SUCCESS : ZV_STATUS_IO_ERROR;
}

extern "C" zv_status_t zv_param_read_i32(FILE *file, int32_t *value) {
    uint8_t bytes[4];
    ZV_TRY(zv_param_read(file, bytes, 4));
    const uint32_t v = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                       (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    *value = static_cast<int32_t>(v);
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_param_read_tag(FILE *file, const char *expected, int32_t log_version_mismatch) {
    const size_t n = strlen(expected);
    char *text = static_cast<char *>(malloc(n + 1));
    if (text == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_status_t status = zv_param_read(file, text, n);
    if (status == ZV_STATUS_SUCCESS) {
        text[n] = '\0';
        if (memcmp(text, expected, n) != 0) {
            if (log_version_mismatch) {
                zv_log(ZV_VERSION_MESSAGE, text, expected);
            }
            status = ZV_STATUS_INVALID_ARGUMENT;
        }
    }
    free(text);
    return status;
}

extern "C" zv_status_t zv_param_write(FILE *file, const void *data, size_t size) {
    if (size == 0) {
        return ZV_STATUS_SUCCESS;
    }
    return fwrite(data, 1, size, file) == size ? ZV_STATUS_SUCCESS : ZV_STATUS_IO_ERROR;
}

extern "C" zv_status_t zv_param_write_i32(FILE *file, int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 24)};
    return zv_param_write(file, bytes, 4);
}

extern "C" int32_t zv_param_bytes_left(FILE *file, uint64_t *left) {
    const int64_t here = zv_file_tell(file);
    if (here < 0 || zv_file_seek(file, 0, SEEK_END) != 0) {
        return 0;
    }
    const int64_t end = zv_file_tell(file);
    if (zv_file_seek(file, here, SEEK_SET) != 0) {
        return 0;
    }
    *left = end > here ? static_cast<uint64_t>(end - here) : 0;
    return 1;
}
