// The search over hostile index bytes and phrase text: the input is the
// phrase, a NUL, then the index bytes, searched with an engine on the small
// test model (written once at start-up).
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_input.h"
#include "model_writer.h"
#include "zv_lumarin.h"

namespace {

zv_lumarin_t *g_engine = nullptr;

void release() {
    zv_lumarin_delete(g_engine);
    zv_fuzz::remove_scratch_file("search_model.bin");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::vector<uint8_t> model = zv_test::SmallModel().bytes();
    const std::string path = zv_fuzz::scratch_file("search_model.bin", model.data(), model.size());
    ZV_FUZZ_CHECK(zv_lumarin_init(path.c_str(), &g_engine) == ZV_STATUS_SUCCESS);
    atexit(release);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> parts = zv_fuzz::split(data, size, 2);
    // The index as the caller holds it: int32-aligned, its size in bytes.
    std::vector<int32_t> index((parts[1].size() + 3) / 4 + 1);
    memcpy(index.data(), parts[1].data(), parts[1].size());
    zv_lumarin_match_t *matches = nullptr;
    int32_t num_matches = -1;
    const zv_status_t status = zv_lumarin_search(g_engine, index.data(), static_cast<int32_t>(parts[1].size()),
                                                 parts[0].c_str(), &matches, &num_matches);
    if (status == ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(num_matches >= 0 && (num_matches == 0) == (matches == nullptr));
        for (int32_t i = 0; i < num_matches; ++i) {
            ZV_FUZZ_CHECK(matches[i].start_sec <= matches[i].end_sec);
            ZV_FUZZ_CHECK(matches[i].probability >= 0.0f && matches[i].probability <= 1.0f);
        }
    } else {
        ZV_FUZZ_CHECK(matches == nullptr);
    }
    free(matches);
    return 0;
}
