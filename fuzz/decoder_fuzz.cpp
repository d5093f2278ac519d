// The decoder fed fuzzed scores over the small graph of the graph file
// target's seed: the input is frames of int16 scores, one per input label
// the graph's label width can hold; each frame's text and the flushed text
// are taken and released.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_input.h"
#include "lm/decoder.h"
#include "lm/graph.h"

namespace {

zv_graph_t *g_graph = nullptr;

void release() { zv_graph_delete(g_graph); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ZV_FUZZ_CHECK(zv_graph_init(ZV_FUZZ_CORPUS_DIR "/graph_file/seed_small", &g_graph) == ZV_STATUS_SUCCESS);
    atexit(release);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the beam and the token cap.
    const float beam = static_cast<float>(data[0] % 64);
    const int32_t max_active = 1 << (data[1] % 8);
    data += 2;
    size -= 2;
    zv_decoder_t *decoder = nullptr;
    ZV_FUZZ_CHECK(zv_decoder_init(g_graph, beam, max_active, 1.0f, &decoder) == ZV_STATUS_SUCCESS);
    const size_t labels = size_t{1} << g_graph->input_bits;
    std::vector<int16_t> scores(labels);
    for (size_t at = 0; at + 2 * labels <= size && at < 2 * labels * 200; at += 2 * labels) {
        memcpy(scores.data(), data + at, 2 * labels);
        char *text = nullptr;
        ZV_FUZZ_CHECK(zv_decoder_process(decoder, scores.data(), &text) == ZV_STATUS_SUCCESS);
        free(text);
    }
    char *text = nullptr;
    ZV_FUZZ_CHECK(zv_decoder_flush(decoder, &text) == ZV_STATUS_SUCCESS);
    free(text);
    zv_decoder_delete(decoder);
    return 0;
}
