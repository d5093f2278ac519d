// A model file through zv_lumarin_init; an engine that loads indexes a short
// recording and runs a few searches (words of the dictionary, of the
// grapheme-to-phoneme network, and none).
#include <math.h>
#include <stdlib.h>

#include "fuzz_input.h"
#include "zv_lumarin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = zv_fuzz::scratch_file("model.bin", data, size);
    zv_lumarin_t *engine = nullptr;
    if (zv_lumarin_init(path.c_str(), &engine) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(engine == nullptr);
        return 0;
    }
    int16_t pcm[4000];
    for (int i = 0; i < 4000; ++i) pcm[i] = static_cast<int16_t>(8000.0 * sin(i * 0.05) * sin(i * 0.0011));
    int32_t *index = nullptr;
    int32_t index_size = 0;
    if (zv_lumarin_index(engine, pcm, 4000, &index, &index_size) == ZV_STATUS_SUCCESS) {
        for (const char *phrase : {"cat", "hello world", "qwzx", "a b c d"}) {
            zv_lumarin_match_t *matches = nullptr;
            int32_t num_matches = 0;
            zv_lumarin_search(engine, index, index_size, phrase, &matches, &num_matches);
            free(matches);
        }
        free(index);
    }
    zv_lumarin_delete(engine);
    return 0;
}
