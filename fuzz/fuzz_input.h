// Helpers shared by the fuzz targets: a scratch file for readers that take a
// path, a memory stream for readers that take a FILE, and parts of one input.
#ifndef ZV_FUZZ_FUZZ_INPUT_H
#define ZV_FUZZ_FUZZ_INPUT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

// Stops the target on a broken property: the fuzzer and the replay driver
// both report an abort with its input.
#define ZV_FUZZ_CHECK(condition)                                                        \
    do {                                                                                \
        if (!(condition)) {                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                    \
        }                                                                               \
    } while (0)

namespace zv_fuzz {

// The path of this process's scratch file named after `name`.
inline std::string scratch_path(const char *name) {
    const char *dir = getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/zv_fuzz_" + std::to_string(getpid()) +
           "_" + name;
}

// Writes the bytes to a file of this process named after `name` and gives
// its path; the file is rewritten by every call with the same name.
inline std::string scratch_file(const char *name, const uint8_t *data, size_t size) {
    const std::string path = scratch_path(name);
    FILE *f = fopen(path.c_str(), "wb");
    ZV_FUZZ_CHECK(f != nullptr);
    ZV_FUZZ_CHECK(size == 0 || fwrite(data, 1, size, f) == size);
    ZV_FUZZ_CHECK(fclose(f) == 0);
    return path;
}

// The removal of scratch files at exit, by the name given to scratch_file.
inline void remove_scratch_file(const char *name) { unlink(scratch_path(name).c_str()); }

// A read-only stream over the bytes (an empty input gives an empty stream).
inline FILE *memory_stream(const uint8_t *data, size_t size) {
    static const uint8_t empty = 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(size == 0 ? &empty : data), size == 0 ? 1 : size, "rb");
    ZV_FUZZ_CHECK(f != nullptr);
    if (size == 0) fgetc(f);  // at the end already
    return f;
}

// The input cut at its first `parts - 1` NUL bytes; the last part keeps the rest.
inline std::vector<std::string> split(const uint8_t *data, size_t size, size_t parts) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && out.size() < parts) {
            out.emplace_back();
        } else {
            out.back().push_back(static_cast<char>(data[i]));
        }
    }
    out.resize(parts);
    return out;
}

}  // namespace zv_fuzz

#endif
