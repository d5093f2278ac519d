// A lexicon blob through the byte-limited reader; one that decodes looks up
// its own words, and its writer's blob reads back to the same words.
#include "fuzz_input.h"
#include "pronunciation/lexicon.h"
#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const void *cursor = data;
    zv_lexicon_t *lexicon = nullptr;
    if (zv_lexicon_deserialize_bounded(&cursor, size, &lexicon) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(lexicon == nullptr && cursor == data);
        return 0;
    }
    ZV_FUZZ_CHECK(static_cast<const uint8_t *>(cursor) <= data + size);
    const int32_t n = zv_lexicon_size(lexicon);
    for (int32_t i = 0; i < n; i += 1 + n / 8) {
        ZV_FUZZ_CHECK(zv_lexicon_encode(lexicon, zv_lexicon_decode(lexicon, i)) == i);
    }
    zv_fuzz::check_lexicon_round_trip(lexicon);
    zv_lexicon_delete(lexicon);
    return 0;
}
