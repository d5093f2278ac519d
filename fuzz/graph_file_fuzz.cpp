// A graph file (lexicon, dictionary and language-model blobs back to back)
// through zv_graph_init; a graph that loads has every arc read.
#include "fuzz_input.h"
#include "lm/graph.h"

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
    zv_graph_delete(graph);
    return 0;
}
