// The decoding graph of a full-size pronouncing dictionary (130,000 words,
// 135,000 pronunciations over 39 phonemes, generated) under a bigram model
// over it: every word a unigram, and about 570,000 bigrams, the successors
// of a word falling off with its rank. Loading the graph file (reading the
// three blobs, building, pushing, packing), and walking every arc through
// the accessors as a decoder does.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bigram_graph.h"
#include "foundation/bit_field.h"
#include "lm/graph.h"

namespace {

using Fixture = zv_bench::BigramGraph;

Fixture &fixture() { return zv_bench::bigram_graph(); }

// Bytes of the packed graph: its bit-field arrays and weight bytes.
double packed_bytes(const zv_graph_t *g) {
    const uint64_t s = static_cast<uint64_t>(g->num_states);
    const uint64_t a = static_cast<uint64_t>(g->num_arcs);
    const uint64_t words = zv_bit_field_size_uint32(s, 1) + zv_bit_field_size_uint32(s, g->arc_bits) +
                           zv_bit_field_size_uint32(a, g->input_bits) + zv_bit_field_size_uint32(a, g->output_bits) +
                           zv_bit_field_size_uint32(a, g->state_bits) + zv_bit_field_size_uint32(a, g->arc_bits);
    return static_cast<double>(4 * words + a);
}

void BM_GraphLoad(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        zv_graph_t *g = nullptr;
        if (zv_graph_init(f.path.c_str(), &g) != ZV_STATUS_SUCCESS) state.SkipWithError("load");
        zv_graph_delete(g);
    }
    state.counters["bigrams"] = static_cast<double>(f.bigrams);
    state.counters["states"] = zv_graph_num_states(f.graph);
    state.counters["arcs"] = zv_graph_num_arcs(f.graph);
    state.counters["packed_MB"] = packed_bytes(f.graph) / 1e6;
}
BENCHMARK(BM_GraphLoad)->Unit(benchmark::kMillisecond)->Iterations(3);

// Every arc of every state with its labels, weight and target, as the
// decoder's inner loop reads them.
void BM_GraphWalkAllArcs(benchmark::State &state) {
    const zv_graph_t *g = fixture().graph;
    const int32_t num_states = zv_graph_num_states(g);
    for (auto _ : state) {
        int64_t sum = 0;
        float weights = 0.0f;
        for (int32_t s = 0; s < num_states; ++s) {
            for (int32_t a = zv_graph_state_arc(g, s, -1); a != -1; a = zv_graph_state_arc(g, s, a)) {
                sum += zv_graph_input(g, a) + zv_graph_output(g, a) + zv_graph_state(g, a);
                weights += zv_graph_weight(g, a);
            }
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(weights);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(zv_graph_num_arcs(g)));
}
BENCHMARK(BM_GraphWalkAllArcs)->Unit(benchmark::kMillisecond);

}  // namespace
