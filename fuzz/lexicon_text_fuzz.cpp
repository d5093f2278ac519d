// A word-list text through zv_lexicon_init; a lexicon that loads goes
// through its blob and back unchanged.
#include <stdlib.h>

#include "fuzz_input.h"
#include "pronunciation/lexicon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = zv_fuzz::scratch_file("words.txt", data, size);
    zv_lexicon_t *lexicon = nullptr;
    if (zv_lexicon_init(path.c_str(), &lexicon) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(lexicon == nullptr);
        return 0;
    }
    uint64_t blob_size = 0;
    void *blob = nullptr;
    if (zv_lexicon_serialize(lexicon, &blob_size, &blob) == ZV_STATUS_SUCCESS) {
        const void *cursor = blob;
        zv_lexicon_t *again = nullptr;
        ZV_FUZZ_CHECK(zv_lexicon_deserialize_bounded(&cursor, blob_size, &again) == ZV_STATUS_SUCCESS);
        ZV_FUZZ_CHECK(zv_lexicon_is_equal(lexicon, again) == 1);
        zv_lexicon_delete(again);
        free(blob);
    }
    zv_lexicon_delete(lexicon);
    return 0;
}
