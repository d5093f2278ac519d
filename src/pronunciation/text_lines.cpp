#include "pronunciation/text_lines.h"

#include <string.h>

extern "C" zv_status_t zv_text_lines_split(char *text, int64_t size, int32_t *count) {
    *count = 0;
    int64_t end;  // offset of the final newline
    if (size >= 1 && text[size - 1] == '\n') {
        end = size - 1;
    } else if (size >= 2 && text[size - 1] == '\0' && text[size - 2] == '\n') {
        end = size - 2;
    } else {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (memchr(text, '\0', static_cast<size_t>(end)) != nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    int64_t lines = 1;
    char *p = text;
    char *const last = text + end;
    while ((p = static_cast<char *>(memchr(p, '\n', static_cast<size_t>(last - p)))) != nullptr) {
        *p++ = '\0';
        lines += 1;
    }
    *last = '\0';
    if (lines > INT32_MAX) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *count = static_cast<int32_t>(lines);
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_text_lines_index(char *text, int32_t count, char **lines) {
    char *p = text;
    for (int32_t i = 0; i < count; ++i) {
        if (*p == '\0') {
            return ZV_STATUS_INVALID_ARGUMENT;
        }
        lines[i] = p;
        p += strlen(p) + 1;
    }
    return ZV_STATUS_SUCCESS;
}
