// A count file through zv_count_load, its parser, and the n-gram estimator
// over a lexicon of 20 words; a tree that loads is written again and reads
// back equal, and a model that is estimated is pruned, completed and written
// as a language-model blob.
#include "fuzz_input.h"
#include "lm/count.h"
#include "lm/ngram.h"
#include "lm_fuzz_lexicon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    zv_count_file_t view;
    const bool parsed = zv_count_file_parse(data, size, &view) == ZV_STATUS_SUCCESS;
    const std::string path = zv_fuzz::scratch_file("counts", data, size);
    zv_count_t *count = nullptr;
    const zv_status_t loaded = zv_count_load(path.c_str(), &count);
    ZV_FUZZ_CHECK(loaded != ZV_STATUS_INVALID_ARGUMENT || !parsed);
    if (loaded == ZV_STATUS_SUCCESS) {
        const std::string again_path = zv_fuzz::scratch_file("counts_again", nullptr, 0);
        if (zv_count_save(count, again_path.c_str()) == ZV_STATUS_SUCCESS) {
            zv_count_t *again = nullptr;
            ZV_FUZZ_CHECK(zv_count_load(again_path.c_str(), &again) == ZV_STATUS_SUCCESS);
            ZV_FUZZ_CHECK(zv_count_is_equal(count, again));
            zv_count_delete(again);
        }
        zv_count_delete(count);
    } else {
        ZV_FUZZ_CHECK(count == nullptr);
    }
    zv_ngram_t *model = nullptr;
    if (zv_ngram_init(path.c_str(), zv_fuzz::fuzz_lexicon(), &model) == ZV_STATUS_SUCCESS) {
        zv_ngram_prune(model, 0.5);
        if (zv_ngram_add_singletons(model) == ZV_STATUS_SUCCESS) {
            const std::string blob_path = zv_fuzz::scratch_file("model_blob", nullptr, 0);
            zv_ngram_save(model, blob_path.c_str());
        }
        zv_ngram_delete(model);
    } else {
        ZV_FUZZ_CHECK(model == nullptr);
    }
    return 0;
}
