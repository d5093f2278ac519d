#include "foundation/file.h"

#include <errno.h>
#include <stdlib.h>

#if defined(_WIN32)
#include "foundation/win32.h"
#else
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace {

#if defined(_WIN32)
// UTF-8 to UTF-16 in a block that lives for one call; NULL on failure.
wchar_t *to_wide(const char *text) {
    const int n = MultiByteToWideChar(ZV_WIN32_CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0) {
        errno = EINVAL;
        return nullptr;
    }
    wchar_t *wide = static_cast<wchar_t *>(malloc(sizeof(wchar_t) * static_cast<size_t>(n)));
    if (!wide) {
        errno = ENOMEM;
        return nullptr;
    }
    if (MultiByteToWideChar(ZV_WIN32_CP_UTF8, 0, text, -1, wide, n) != n) {
        free(wide);
        errno = EINVAL;
        return nullptr;
    }
    return wide;
}
#endif

}  // namespace

extern "C" int zv_file_seek(FILE *file, int64_t offset, int origin) {
#if defined(_WIN32)
    return _fseeki64(file, offset, origin);
#else
    return fseeko(file, static_cast<off_t>(offset), origin);
#endif
}

extern "C" int64_t zv_file_tell(FILE *file) {
#if defined(_WIN32)
    return _ftelli64(file);
#else
    return static_cast<int64_t>(ftello(file));
#endif
}

extern "C" FILE *zv_fopen(const char *path, const char *mode) {
#if defined(_WIN32)
    wchar_t *wpath = to_wide(path);
    wchar_t *wmode = wpath ? to_wide(mode) : nullptr;
    FILE *file = (wpath && wmode) ? _wfopen(wpath, wmode) : nullptr;
    const int error = errno;  // why it failed, for zv_fopen_failure
    free(wpath);
    free(wmode);
    errno = error;
    return file;
#else
    return fopen(path, mode);
#endif
}

extern "C" zv_status_t zv_fopen_failure(void) { return errno == ENOMEM ? ZV_STATUS_OUT_OF_MEMORY : ZV_STATUS_IO_ERROR; }

extern "C" zv_status_t zv_file_load(const char *path, int32_t *size, void **data) {
    *size = 0;
    *data = nullptr;
    FILE *file = zv_fopen(path, "rb");
    if (!file) {
        return zv_fopen_failure();
    }
    zv_status_t status = ZV_STATUS_IO_ERROR;
    if (zv_file_seek(file, 0, SEEK_END) == 0) {
        const int64_t end = zv_file_tell(file);
        // The size is a signed 32-bit value: a longer file can't be reported.
        if (end >= 0 && end <= INT32_MAX && zv_file_seek(file, 0, SEEK_SET) == 0) {
            *size = static_cast<int32_t>(end);
            // One extra byte so that an empty file still gets a real block.
            void *block = malloc(static_cast<size_t>(end) + 1);
            if (!block) {
                status = ZV_STATUS_OUT_OF_MEMORY;
            } else if (fread(block, 1, static_cast<size_t>(end), file) != static_cast<size_t>(end)) {
                free(block);
            } else {
                *data = block;
                status = ZV_STATUS_SUCCESS;
            }
        }
    }
    fclose(file);
    return status;
}

extern "C" zv_status_t zv_file_save(const char *path, int32_t size, const void *data) {
    if (size < 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    FILE *file = zv_fopen(path, "wb");
    if (!file) {
        return zv_fopen_failure();
    }
    const size_t n = static_cast<size_t>(size);
    const bool written = n == 0 || fwrite(data, 1, n, file) == n;
    // A write error may show only when the buffer is flushed at closing.
    const bool closed = fclose(file) == 0;
    return (written && closed) ? ZV_STATUS_SUCCESS : ZV_STATUS_IO_ERROR;
}

extern "C" int32_t zv_file_exists(const char *path) {
    FILE *file = zv_fopen(path, "rb");
    if (!file) {
        return 0;
    }
    fclose(file);
    return 1;
}

extern "C" int32_t zv_remove(const char *path) {
#if defined(_WIN32)
    wchar_t *wpath = to_wide(path);
    const int result = wpath ? _wremove(wpath) : -1;
    free(wpath);
    return result;
#else
    return remove(path);
#endif
}

extern "C" zv_status_t zv_file_delete(const char *path) {
    return zv_remove(path) == 0 ? ZV_STATUS_SUCCESS : ZV_STATUS_IO_ERROR;
}

extern "C" zv_status_t zv_file_mkdir(const char *path) {
#if defined(_WIN32)
    // The narrow call: the path bytes in the system's code page, unconverted.
    if (CreateDirectoryA(path, nullptr) || GetLastError() == ZV_WIN32_ERROR_ALREADY_EXISTS) {
        return ZV_STATUS_SUCCESS;
    }
    return ZV_STATUS_IO_ERROR;
#else
    errno = 0;
    if (mkdir(path, 0764) == 0 || errno == EEXIST) {
        return ZV_STATUS_SUCCESS;
    }
    return ZV_STATUS_IO_ERROR;
#endif
}
