// A language-model blob through the compact model's reader, by cursor over
// the input's bytes (ZV_FUZZ_BY_PATH 0) or from a file (1); a model that
// reads is queried, written again and reads back to the same blob.
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "lm/mgram.h"

namespace {

void exercise(const zv_mgram_t *mgram) {
    const int32_t ids[] = {0, 1, 2, 3};
    for (int32_t n = 1; n <= 4; ++n) zv_mgram_prob(mgram, ids, n);
    uint64_t size = 0;
    void *blob = nullptr;
    if (zv_mgram_serialize(mgram, &size, &blob) != ZV_STATUS_SUCCESS) return;
    const void *cursor = blob;
    zv_mgram_t *again = nullptr;
    ZV_FUZZ_CHECK(zv_mgram_deserialize_bounded(&cursor, size, &again) == ZV_STATUS_SUCCESS);
    uint64_t again_size = 0;
    void *again_blob = nullptr;
    ZV_FUZZ_CHECK(zv_mgram_serialize(again, &again_size, &again_blob) == ZV_STATUS_SUCCESS);
    ZV_FUZZ_CHECK(again_size == size && memcmp(again_blob, blob, size) == 0);
    free(again_blob);
    zv_mgram_delete(again);
    free(blob);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    zv_mgram_t *mgram = nullptr;
#if ZV_FUZZ_BY_PATH
    const std::string path = zv_fuzz::scratch_file("lm_blob", data, size);
    const zv_status_t status = zv_mgram_load(path.c_str(), &mgram);
#else
    const void *cursor = data;
    const zv_status_t status = zv_mgram_deserialize_bounded(&cursor, size, &mgram);
    if (status != ZV_STATUS_SUCCESS) ZV_FUZZ_CHECK(cursor == data);
#endif
    if (status != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(mgram == nullptr);
        return 0;
    }
    exercise(mgram);
    zv_mgram_delete(mgram);
    return 0;
}
