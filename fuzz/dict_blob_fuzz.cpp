// A lexicon blob then a dictionary blob, as a model file holds them, through
// the byte-limited readers; a dictionary that decodes is written again, and
// its writer's blob reads back to the same pronunciations.
#include "fuzz_input.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "round_trip.h"

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
    zv_fuzz::check_dict_round_trip(dict, lexicon);
    zv_dict_delete(dict);
    zv_lexicon_delete(lexicon);
    return 0;
}
