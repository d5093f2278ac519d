// The decoder fed fuzzed scores over a graph: the small graph of the graph
// file target's seed, or a graph file the input carries. The input:
//   byte 0      mode: bit 0 clear, the fixed graph; set, a graph from the input
//   byte 1      the beam, modulo 64
//   byte 2      the token cap, 2 to the power of the byte modulo 8
//   bytes 3-6   the weight scale, a float as stored (one not finite is refused)
//   with bit 0 of the mode set: a 2-byte little-endian length n, then n bytes
//               of a graph file (lexicon, dictionary and language-model blobs)
//   the rest    frames of int16 scores, one for each input label up to the
//               largest that an arc carries, at most 200 frames
// Each frame's text and the flushed text are taken and released.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_input.h"
#include "lm/decoder.h"
#include "lm/graph.h"

namespace {

constexpr size_t kHeader = 7;
constexpr size_t kMostFrames = 200;

zv_graph_t *g_graph = nullptr;

void release() { zv_graph_delete(g_graph); }

// The largest input label on an arc of the graph, 0 when none has one.
int32_t largest_label(const zv_graph_t *graph) {
    int32_t largest = 0;
    for (int32_t a = 0; a < zv_graph_num_arcs(graph); ++a) {
        const int32_t label = zv_graph_input(graph, a);
        if (label > largest) largest = label;
    }
    return largest;
}

void decode(const zv_graph_t *graph, float beam, int32_t max_active, float scale, const uint8_t *data, size_t size) {
    zv_decoder_t *decoder = nullptr;
    const zv_status_t made = zv_decoder_init(graph, beam, max_active, scale, &decoder);
    if (!isfinite(scale)) {
        ZV_FUZZ_CHECK(made == ZV_STATUS_INVALID_ARGUMENT && decoder == nullptr);
        return;
    }
    ZV_FUZZ_CHECK(made == ZV_STATUS_SUCCESS);
    const size_t labels = static_cast<size_t>(largest_label(graph)) + 1;
    std::vector<int16_t> scores(labels);
    for (size_t at = 0, frames = 0; at + 2 * labels <= size && frames < kMostFrames; at += 2 * labels, ++frames) {
        memcpy(scores.data(), data + at, 2 * labels);
        char *text = nullptr;
        ZV_FUZZ_CHECK(zv_decoder_process(decoder, scores.data(), &text) == ZV_STATUS_SUCCESS);
        free(text);
    }
    char *text = nullptr;
    ZV_FUZZ_CHECK(zv_decoder_flush(decoder, &text) == ZV_STATUS_SUCCESS);
    free(text);
    zv_decoder_delete(decoder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ZV_FUZZ_CHECK(zv_graph_init(ZV_FUZZ_CORPUS_DIR "/graph_file/seed_small", &g_graph) == ZV_STATUS_SUCCESS);
    atexit(release);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeader) return 0;
    const bool own_graph = (data[0] & 1) != 0;
    const float beam = static_cast<float>(data[1] % 64);
    const int32_t max_active = 1 << (data[2] % 8);
    float scale = 0.0f;
    memcpy(&scale, data + 3, sizeof scale);
    data += kHeader;
    size -= kHeader;
    if (!own_graph) {
        decode(g_graph, beam, max_active, scale, data, size);
        return 0;
    }
    if (size < 2) return 0;
    const size_t length = data[0] | static_cast<size_t>(data[1]) << 8;
    data += 2;
    size -= 2;
    if (length > size) return 0;
    FILE *file = zv_fuzz::memory_stream(data, length);
    zv_graph_t *graph = nullptr;
    const zv_status_t loaded = zv_graph_load(file, &graph);
    fclose(file);
    if (loaded != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(graph == nullptr);
        return 0;
    }
    decode(graph, beam, max_active, scale, data + length, size - length);
    zv_graph_delete(graph);
    return 0;
}
