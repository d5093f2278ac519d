// Properties shared by the pronunciation fuzz targets: whatever a reader
// accepted, its writer writes a blob that the reader accepts again, to the
// same contents (or refuses to write it with INVALID_ARGUMENT).
#ifndef ZV_FUZZ_ROUND_TRIP_H
#define ZV_FUZZ_ROUND_TRIP_H

#include <stdlib.h>
#include <string.h>

#include <set>
#include <vector>

#include "fuzz_input.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"

namespace zv_fuzz {

inline void check_lexicon_round_trip(const zv_lexicon_t *lexicon) {
    uint64_t size = 0;
    void *blob = nullptr;
    const zv_status_t written = zv_lexicon_serialize(lexicon, &size, &blob);
    ZV_FUZZ_CHECK(written == ZV_STATUS_SUCCESS || written == ZV_STATUS_INVALID_ARGUMENT);
    if (written != ZV_STATUS_SUCCESS) return;
    const void *cursor = blob;
    zv_lexicon_t *again = nullptr;
    ZV_FUZZ_CHECK(zv_lexicon_deserialize_bounded(&cursor, size, &again) == ZV_STATUS_SUCCESS);
    ZV_FUZZ_CHECK(zv_lexicon_is_equal(lexicon, again) == 1);
    zv_lexicon_delete(again);
    free(blob);
}

// Each word's pronunciations as a set: the writer stores a pronunciation
// that a word repeats once, and in the order of its trie.
inline std::set<std::vector<int32_t>> pronunciations_of(const zv_dict_t *dict, int32_t word) {
    std::set<std::vector<int32_t>> out;
    for (int32_t k = 0; k < zv_dict_num_pronunciations(dict, word); ++k) {
        int32_t length = 0;
        const int32_t *ids = nullptr;
        zv_dict_pronunciation(dict, word, k, &length, &ids);
        out.emplace(ids, ids + length);
    }
    return out;
}

inline void check_dict_round_trip(const zv_dict_t *dict, const zv_lexicon_t *lexicon) {
    uint64_t size = 0;
    void *blob = nullptr;
    const zv_status_t written = zv_dict_serialize(dict, &size, &blob);
    ZV_FUZZ_CHECK(written == ZV_STATUS_SUCCESS || written == ZV_STATUS_INVALID_ARGUMENT);
    if (written != ZV_STATUS_SUCCESS) return;
    const void *cursor = blob;
    zv_dict_t *again = nullptr;
    ZV_FUZZ_CHECK(zv_dict_deserialize_bounded(lexicon, &cursor, size, &again) == ZV_STATUS_SUCCESS);
    for (int32_t w = 0; w < zv_lexicon_size(lexicon); ++w) {
        ZV_FUZZ_CHECK(pronunciations_of(dict, w) == pronunciations_of(again, w));
    }
    zv_dict_delete(again);
    free(blob);
}

}  // namespace zv_fuzz

#endif
