#include "foundation/strings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#if defined(_WIN32)
#include "foundation/win32.h"
#endif

extern "C" char *zv_string_vformat(const char *format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int n = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    // A negative length is a formatting error, not a size.
    if (n < 0) {
        return nullptr;
    }
    char *text = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (!text) {
        return nullptr;
    }
    va_list write;
    va_copy(write, args);
    const int written = vsnprintf(text, static_cast<size_t>(n) + 1, format, write);
    va_end(write);
    if (written != n) {
        free(text);
        return nullptr;
    }
    return text;
}

extern "C" char *zv_string_format(const char *format, ...) {
    va_list args;
    va_start(args, format);
    char *text = zv_string_vformat(format, args);
    va_end(args);
    return text;
}

extern "C" char *zv_string_concatenate(const char *first, const char *second) {
    const size_t a = strlen(first);
    const size_t b = strlen(second);
    char *text = static_cast<char *>(malloc(a + b + 1));
    if (!text) {
        return nullptr;
    }
    memcpy(text, first, a);
    memcpy(text + a, second, b);
    text[a + b] = '\0';
    return text;
}

extern "C" int32_t zv_string_starts_with(const char *text, const char *prefix) {
    for (; *prefix; ++prefix, ++text) {
        // A shorter text differs here at its NUL, so it is never read past.
        if (*text != *prefix) {
            return 0;
        }
    }
    return 1;
}

extern "C" zv_status_t zv_string_split(char **cursor, char separator, char **token) {
    const char *start = *cursor;
    if (*start == '\0') {
        *token = nullptr;
        return ZV_STATUS_SUCCESS;
    }
    size_t len = 0;
    while (start[len] != '\0' && start[len] != separator) {
        ++len;
    }
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!copy) {
        *token = nullptr;
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    memcpy(copy, start, len);
    copy[len] = '\0';
    *token = copy;
    *cursor += start[len] == separator && separator != '\0' ? len + 1 : len;
    return ZV_STATUS_SUCCESS;
}

extern "C" int64_t zv_time(void) {
#if defined(_WIN32)
    return _time64(nullptr);
#else
    return static_cast<int64_t>(time(nullptr));
#endif
}
