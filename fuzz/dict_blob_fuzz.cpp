// A lexicon blob then a dictionary blob, as a model file holds them, through
// the byte-limited readers; a dictionary that decodes is written again, and
// its writer's blob reads back to the same pronunciations.
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"

namespace {

bool same_pronunciations(const zv_dict_t *a, const zv_dict_t *b, int32_t num_words) {
    for (int32_t w = 0; w < num_words; ++w) {
        const int32_t n = zv_dict_num_pronunciations(a, w);
        if (zv_dict_num_pronunciations(b, w) != n) return false;
        for (int32_t k = 0; k < n; ++k) {
            int32_t la = 0, lb = 0;
            const int32_t *ia = nullptr, *ib = nullptr;
            zv_dict_pronunciation(a, w, k, &la, &ia);
            zv_dict_pronunciation(b, w, k, &lb, &ib);
            if (la != lb || (la > 0 && memcmp(ia, ib, sizeof(int32_t) * static_cast<size_t>(la)) != 0)) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const void *cursor = data;
    zv_lexicon_t *lexicon = nullptr;
    if (zv_lexicon_deserialize_bounded(&cursor, size, &lexicon) != ZV_STATUS_SUCCESS) return 0;
    const void *dict_start = cursor;
    const uint64_t left = size - static_cast<uint64_t>(static_cast<const uint8_t *>(cursor) - data);
    zv_dict_t *dict = nullptr;
    if (zv_dict_deserialize_bounded(lexicon, &cursor, left, &dict) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(dict == nullptr && cursor == dict_start);
        zv_lexicon_delete(lexicon);
        return 0;
    }
    ZV_FUZZ_CHECK(static_cast<const uint8_t *>(cursor) <= data + size);
    uint64_t blob_size = 0;
    void *blob = nullptr;
    const zv_status_t written = zv_dict_serialize(dict, &blob_size, &blob);
    ZV_FUZZ_CHECK(written == ZV_STATUS_SUCCESS || written == ZV_STATUS_INVALID_ARGUMENT);
    if (written == ZV_STATUS_SUCCESS) {
        const void *again_cursor = blob;
        zv_dict_t *again = nullptr;
        ZV_FUZZ_CHECK(zv_dict_deserialize_bounded(lexicon, &again_cursor, blob_size, &again) == ZV_STATUS_SUCCESS);
        ZV_FUZZ_CHECK(same_pronunciations(dict, again, zv_lexicon_size(lexicon)));
        zv_dict_delete(again);
        free(blob);
    }
    zv_dict_delete(dict);
    zv_lexicon_delete(lexicon);
    return 0;
}
