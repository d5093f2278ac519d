// A parameter block read from a stream: the engine's offline phoneme
// classifier, the online classifier, or the grapheme-to-phoneme block,
// chosen at build time (ZV_FUZZ_BLOCK 0, 1 or 2). A block that loads is put
// to work on one input.
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "foundation/strings.h"
#include "nn/offline_token_classifier.h"
#include "nn/online_token_classifier.h"
#include "pronunciation/marbo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = zv_fuzz::memory_stream(data, size);
    int32_t extra = 0;
#if ZV_FUZZ_BLOCK == 0
    zv_offline_token_classifier_param_t *param = nullptr;
    if (zv_offline_token_classifier_param_load2(f, "lumarin", "1.1.0", &extra, &param) == ZV_STATUS_SUCCESS) {
        zv_offline_token_classifier_param_delete(param);
    } else {
        ZV_FUZZ_CHECK(param == nullptr);
    }
#elif ZV_FUZZ_BLOCK == 1
    zv_online_token_classifier_param_t *param = nullptr;
    if (zv_online_token_classifier_param_load2(f, "lumarin", "1.1.0", &extra, &param) == ZV_STATUS_SUCCESS) {
        zv_online_token_classifier_param_delete(param);
    } else {
        ZV_FUZZ_CHECK(param == nullptr);
    }
#else
    zv_marbo_t *marbo = nullptr;
    if (zv_marbo_init2(f, &marbo) == ZV_STATUS_SUCCESS) {
        int32_t num_prons = 0;
        int32_t *num_phones = nullptr;
        const char ***prons = nullptr;
        float *probs = nullptr;
        if (zv_marbo_pronounce(marbo, "hello", &num_prons, &num_phones, &prons, &probs) == ZV_STATUS_SUCCESS) {
            for (int32_t i = 0; i < num_prons; ++i) free(prons[i]);
            free(prons);
            free(num_phones);
            free(probs);
        }
        zv_marbo_delete(marbo);
    } else {
        ZV_FUZZ_CHECK(marbo == nullptr);
    }
#endif
    fclose(f);
    (void)extra;
    return 0;
}
