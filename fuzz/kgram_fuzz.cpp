// A language-model blob through the editable model's reader; a model that
// reads is boosted, written and read back equal, then moved to a lexicon of
// 20 more words.
#include "fuzz_input.h"
#include "lm/kgram.h"
#include "lm_fuzz_lexicon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = zv_fuzz::scratch_file("kgram", data, size);
    zv_kgram_t *model = nullptr;
    if (zv_kgram_load(path.c_str(), &model) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(model == nullptr);
        return 0;
    }
    const int32_t boosted[] = {0, 3, 7};
    ZV_FUZZ_CHECK(zv_kgram_boost_words(model, boosted, 3) == ZV_STATUS_SUCCESS);
    const std::string again_path = zv_fuzz::scratch_file("kgram_again", nullptr, 0);
    if (zv_kgram_save(model, again_path.c_str()) == ZV_STATUS_SUCCESS) {
        zv_kgram_t *again = nullptr;
        ZV_FUZZ_CHECK(zv_kgram_load(again_path.c_str(), &again) == ZV_STATUS_SUCCESS);
        zv_kgram_delete(again);
    }
    zv_kgram_delete(model);
    return 0;
}
