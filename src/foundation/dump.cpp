#include "foundation/dump.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/file.h"
#include "foundation/strings.h"

#if defined(_WIN32)
#include "foundation/win32.h"
#else
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace {

struct DumpState {
    char *directory;  // our own copy: the caller's text may go away
    int32_t num_streams;
    char **names;
    FILE **files;
};

// Process-wide, unguarded: dumping from two threads at once isn't supported.
DumpState *g_dump = nullptr;

[[noreturn]] void fail() { exit(1); }

// Calls visit(name) for every entry of the directory until it returns false;
// false when the directory can't be listed.
template <typename F>
bool for_each_entry(const char *directory, F &&visit) {
#if defined(_WIN32)
    char *pattern = zv_string_format("%s/*", directory);
    if (!pattern) {
        return false;
    }
    zv_win32_find_data_t entry;
    void *find = FindFirstFileA(pattern, &entry);
    free(pattern);
    if (find == ZV_WIN32_INVALID_HANDLE) {
        return false;
    }
    do {
        if (!visit(entry.file_name)) {
            break;
        }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return true;
#else
    DIR *dir = opendir(directory);
    if (!dir) {
        return false;
    }
    while (const struct dirent *entry = readdir(dir)) {
        if (!visit(entry->d_name)) {
            break;
        }
    }
    closedir(dir);
    return true;
#endif
}

void make_directory(const char *directory) {
#if defined(_WIN32)
    _mkdir(directory);
#else
    mkdir(directory, 0700);
#endif
}

FILE *find_or_open_stream(const char *name_format, va_list args, int32_t count) {
    DumpState *state = g_dump;
    if (!state) {
        fail();
    }
    char *name = zv_string_vformat(name_format, args);
    if (!name) {
        fail();
    }
    for (int32_t i = 0; i < state->num_streams; ++i) {
        if (strcmp(state->names[i], name) == 0) {
            free(name);
            return state->files[i];
        }
    }
    const size_t grown = static_cast<size_t>(state->num_streams) + 1;
    char **names = static_cast<char **>(realloc(state->names, grown * sizeof(char *)));
    if (!names) {
        fail();
    }
    state->names = names;
    FILE **files = static_cast<FILE **>(realloc(state->files, grown * sizeof(FILE *)));
    if (!files) {
        fail();
    }
    state->files = files;
    char *path = zv_string_format("%s/%s.dmp", state->directory, name);
    if (!path) {
        fail();
    }
    FILE *file = zv_fopen(path, "wb");
    free(path);
    if (!file || fwrite(&count, sizeof count, 1, file) != 1) {
        fail();
    }
    names[state->num_streams] = name;
    files[state->num_streams] = file;
    ++state->num_streams;
    return file;
}

void write_value(FILE *file, double value) {
    if (fwrite(&value, sizeof value, 1, file) != 1) {
        fail();
    }
}

// Each call's data reaches the file before it returns: a write error that
// would show only when the buffer drains is caught here, not lost at exit.
void finish(FILE *file) {
    if (fflush(file) != 0) {
        fail();
    }
}

template <typename T>
int32_t dump_fixed(const T *data, int32_t count, int32_t q, const char *name_format, va_list args) {
    FILE *file = find_or_open_stream(name_format, args, count);
    if (count <= 0) {
        finish(file);
        return 0;
    }
    // Exactly 2^q for every q the data types allow.
    const double divisor = ldexp(1.0, q);
    for (int32_t i = 0; i < count; ++i) {
        write_value(file, static_cast<double>(data[i]) / divisor);
    }
    finish(file);
    return 1;
}

}  // namespace

extern "C" void zv_dump_delete(void) {
    DumpState *state = g_dump;
    if (!state) {
        return;
    }
    for (int32_t i = 0; i < state->num_streams; ++i) {
        fclose(state->files[i]);
        free(state->names[i]);
    }
    free(state->names);
    free(state->files);
    free(state->directory);
    free(state);
    g_dump = nullptr;
}

extern "C" zv_status_t zv_dump_init(const char *directory) {
    zv_dump_delete();
    DumpState *state = static_cast<DumpState *>(calloc(1, sizeof(DumpState)));
    if (!state) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const size_t len = strlen(directory);
    state->directory = static_cast<char *>(malloc(len + 1));
    if (!state->directory) {
        free(state);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    memcpy(state->directory, directory, len + 1);

    // Remove what can be removed; sub-directories, "." and ".." stay.
    bool out_of_memory = false;
    const bool listed = for_each_entry(directory, [&](const char *entry) {
        char *path = zv_string_format("%s/%s", directory, entry);
        if (!path) {
            out_of_memory = true;
            return false;
        }
        zv_remove(path);
        free(path);
        return true;
    });
    if (out_of_memory) {
        free(state->directory);
        free(state);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    if (!listed) {
        // A failure shows when the first array call can't open its file.
        make_directory(directory);
    }
    g_dump = state;
    return ZV_STATUS_SUCCESS;
}

#define ZV_DUMP_FIXED(type, suffix)                                                                  \
    extern "C" int32_t zv_dump_array_##suffix(const type *data, int32_t count, int32_t q,           \
                                              const char *name_format, ...) {                       \
        va_list args;                                                                               \
        va_start(args, name_format);                                                                \
        const int32_t result = dump_fixed(data, count, q, name_format, args);                       \
        va_end(args);                                                                               \
        return result;                                                                              \
    }

ZV_DUMP_FIXED(int8_t, int8)
ZV_DUMP_FIXED(int16_t, int16)
ZV_DUMP_FIXED(int32_t, int32)
ZV_DUMP_FIXED(int64_t, int64)

extern "C" int32_t zv_dump_array_float(const float *data, int32_t count, const char *name_format, ...) {
    va_list args;
    va_start(args, name_format);
    FILE *file = find_or_open_stream(name_format, args, count);
    va_end(args);
    if (count > 0) {
        for (int32_t i = 0; i < count; ++i) {
            write_value(file, static_cast<double>(data[i]));
        }
    }
    finish(file);
    return count > 0 ? 1 : 0;
}
