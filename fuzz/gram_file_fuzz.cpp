// A gram file through zv_gram_load over a lexicon of 20 words; a set that
// loads is written again and reads back equal.
#include "fuzz_input.h"
#include "lm/gram.h"
#include "lm_fuzz_lexicon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = zv_fuzz::scratch_file("grams", data, size);
    zv_gram_t *gram = nullptr;
    if (zv_gram_load(path.c_str(), zv_fuzz::fuzz_lexicon(), &gram) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(gram == nullptr);
        return 0;
    }
    const std::string again_path = zv_fuzz::scratch_file("grams_again", nullptr, 0);
    if (zv_gram_save(gram, again_path.c_str()) == ZV_STATUS_SUCCESS) {
        zv_gram_t *again = nullptr;
        ZV_FUZZ_CHECK(zv_gram_load(again_path.c_str(), zv_fuzz::fuzz_lexicon(), &again) == ZV_STATUS_SUCCESS);
        ZV_FUZZ_CHECK(zv_gram_is_equal(gram, again));
        zv_gram_delete(again);
    }
    zv_gram_delete(gram);
    return 0;
}
