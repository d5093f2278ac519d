// The foundation's parsers of outside bytes, the first byte choosing one: the
// tree-structure bit string (node count in the next two bytes), language
// names, phoneme names of each language, and the token splitter with the
// number readers (the same values as strtof and strtol in the C locale).
#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "foundation/language.h"
#include "foundation/strings.h"
#include "foundation/tree_bits.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint8_t choice = data[0] % 4;
    ++data;
    --size;
    if (choice == 0) {
        if (size < 2) return 0;
        const int64_t num_nodes = data[0] | (data[1] << 8);
        std::vector<int32_t> parents(static_cast<size_t>(num_nodes) + 1);
        if (zv_tree_bits_parents(data + 2, size - 2, num_nodes, parents.data()) == ZV_STATUS_SUCCESS && num_nodes > 0) {
            ZV_FUZZ_CHECK(parents[0] == -1);
            for (int64_t i = 1; i < num_nodes; ++i) ZV_FUZZ_CHECK(parents[i] >= 0 && parents[i] < i);
        }
        return 0;
    }
    const std::string text(reinterpret_cast<const char *>(data), size);  // stops at no NUL: c_str() ends it
    if (choice == 1) {
        zv_language_t language = 0;
        if (zv_language_from_string(text.c_str(), &language) == ZV_STATUS_SUCCESS) {
            ZV_FUZZ_CHECK(strcmp(zv_language_to_string(language), text.c_str()) == 0);
        }
    } else if (choice == 2) {
        for (zv_language_t language = ZV_LANGUAGE_NONE; language <= ZV_LANGUAGE_INVALID; ++language) {
            int32_t id = 0;
            if (zv_language_phoneme_from_string(language, text.c_str(), &id) == ZV_STATUS_SUCCESS) {
                const char *name = nullptr;
                ZV_FUZZ_CHECK(zv_language_phoneme_to_string(language, id, &name) == ZV_STATUS_SUCCESS);
                ZV_FUZZ_CHECK(strcmp(name, text.c_str()) == 0);
            }
        }
    } else {
        std::string copy = text;
        char *cursor = copy.data();
        char *token = nullptr;
        const char separator = size > 0 ? static_cast<char>(data[0]) : ' ';
        while (zv_string_split(&cursor, separator, &token) == ZV_STATUS_SUCCESS && token != nullptr) {
            ZV_FUZZ_CHECK(separator == '\0' || strchr(token, separator) == nullptr);
            ZV_FUZZ_CHECK(cursor <= copy.data() + strlen(copy.data()));
            free(token);
        }
        float f = 0.0f;
        const int32_t f_in_range = zv_string_to_float(text.c_str(), &f);
        errno = 0;
        const float expected_f = strtof(text.c_str(), nullptr);
        const int32_t expected_f_in_range = errno == 0;
        // glibc's hex reading drops the 25th bit of a subnormal (it can then
        // round the wrong way, or miss that the result is inexact): such
        // results are left out.
        const bool hex_tiny =
            strpbrk(text.c_str(), "xX") != nullptr && (fabsf(f) < 0x1p-126f || fabsf(expected_f) < 0x1p-126f);
        if (!hex_tiny) {
            ZV_FUZZ_CHECK(isnan(f) ? isnan(expected_f) && signbit(f) == signbit(expected_f)
                                   : memcmp(&f, &expected_f, sizeof f) == 0);
            ZV_FUZZ_CHECK(f_in_range == expected_f_in_range);
        }
        long l = 0;
        const int32_t l_in_range = zv_string_to_long(text.c_str(), &l);
        errno = 0;
        const long expected_l = strtol(text.c_str(), nullptr, 10);
        ZV_FUZZ_CHECK(l == expected_l && l_in_range == (errno == 0));
    }
    return 0;
}
