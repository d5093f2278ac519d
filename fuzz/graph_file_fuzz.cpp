// A graph file (lexicon, dictionary and language-model blobs back to back)
// through zv_graph_init; a graph that loads has every arc read, and as many
// states and arcs as the count before the build gives for its blobs.
#include "fuzz_input.h"
#include "lm/graph.h"
#include "lm/graph_count.h"
#include "lm/mgram.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"

namespace {

// The count for the blobs at the start of the input, which have loaded.
uint64_t counted(const uint8_t *data, size_t size) {
    const void *cursor = data;
    const auto left = [&] { return size - static_cast<size_t>(static_cast<const uint8_t *>(cursor) - data); };
    zv_lexicon_t *lexicon = nullptr;
    zv_dict_t *dict = nullptr;
    zv_mgram_t *mgram = nullptr;
    ZV_FUZZ_CHECK(zv_lexicon_deserialize_bounded(&cursor, left(), &lexicon) == ZV_STATUS_SUCCESS);
    ZV_FUZZ_CHECK(zv_dict_deserialize_bounded(lexicon, &cursor, left(), &dict) == ZV_STATUS_SUCCESS);
    ZV_FUZZ_CHECK(zv_mgram_deserialize_bounded(&cursor, left(), &mgram) == ZV_STATUS_SUCCESS);
    uint64_t count = 0;
    ZV_FUZZ_CHECK(zv_graph_count_built(mgram, dict, UINT64_MAX, &count) == ZV_STATUS_SUCCESS);
    zv_mgram_delete(mgram);
    zv_dict_delete(dict);
    zv_lexicon_delete(lexicon);
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = zv_fuzz::scratch_file("graph", data, size);
    zv_graph_t *graph = nullptr;
    if (zv_graph_init(path.c_str(), &graph) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(graph == nullptr);
        return 0;
    }
    const int32_t states = zv_graph_num_states(graph);
    const int32_t arcs = zv_graph_num_arcs(graph);
    for (int32_t a = 0; a < arcs; ++a) {
        ZV_FUZZ_CHECK(zv_graph_state(graph, a) >= 0 && zv_graph_state(graph, a) < states);
        const int32_t output = zv_graph_output(graph, a);
        ZV_FUZZ_CHECK(output >= 0 && output <= zv_graph_num_words(graph));
        if (output > 0) ZV_FUZZ_CHECK(zv_graph_word(graph, output) != nullptr);
    }
    ZV_FUZZ_CHECK(counted(data, size) == static_cast<uint64_t>(states) + static_cast<uint64_t>(arcs));
    zv_graph_delete(graph);
    return 0;
}
