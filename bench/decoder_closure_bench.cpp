// One frame's epsilon closure along a long chain of word arcs: N words of no
// phonemes, each the child of the one before in the language model (all
// costs 0), so that the start state's token crosses N word arcs in the frame,
// each to a state whose backoff leads back to the start. The time of the
// frame at N and 4N shows whether the closure's cost grows with the chain
// it has walked.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bigram_graph.h"
#include "lm/decoder.h"
#include "lm/graph.h"

namespace {

void append_u32(std::vector<uint8_t> &out, uint32_t v) {
    for (int s = 0; s < 32; s += 8) out.push_back(static_cast<uint8_t>(v >> s));
}

// The language-model blob of the chain root -> W0 -> W1 -> ... -> W(n-1),
// written field by field: a chain this deep is no tree to build in memory.
std::vector<uint8_t> chain_lm_blob(uint32_t n) {
    const uint32_t nodes = n + 1;
    uint32_t bits = 1;
    while ((n >> bits) != 0) ++bits;
    std::vector<uint32_t> fields((static_cast<uint64_t>(nodes) * bits + 31) / 32, 0);
    for (uint32_t i = 0; i < nodes; ++i) {
        for (uint32_t b = 0; b < bits; ++b) {
            const uint64_t k = static_cast<uint64_t>(i) * bits + b;
            fields[k / 32] |= ((i >> b) & 1u) << (k % 32);  // node i holds word i - 1: the value i
        }
    }
    // A 0 before each node, then one 1 for the leaf and for each of its ancestors.
    std::vector<uint32_t> structure((2 * static_cast<uint64_t>(nodes) + 31) / 32, 0);
    for (uint64_t k = nodes; k < 2 * static_cast<uint64_t>(nodes); ++k) structure[k / 32] |= 1u << (k % 32);
    std::vector<uint8_t> out;
    const uint64_t total = 16 + 4 * fields.size() + 4 * structure.size() + nodes + (nodes - 1);
    append_u32(out, static_cast<uint32_t>(total));
    append_u32(out, nodes);
    append_u32(out, 1);  // one leaf
    append_u32(out, bits);
    for (uint32_t w : fields) append_u32(out, w);
    for (uint32_t w : structure) append_u32(out, w);
    out.push_back(0x81);  // the root's forward cost, never read
    out.insert(out.end(), n, 0);
    out.insert(out.end(), n, 0);  // backoffs of every node but the leaf
    return out;
}

zv_graph_t *chain_graph(int32_t n) {
    std::string words, prons;
    for (int32_t i = 0; i < n; ++i) {
        char word[16];
        std::snprintf(word, sizeof word, "W%07d", i);
        words += std::string(word) + "\n";
        prons += std::string(word) + "\t\n";
    }
    return zv_bench::graph_of_texts(words, "P1\n", prons, chain_lm_blob(static_cast<uint32_t>(n)));
}

void BM_ClosureAlongAChain(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    zv_graph_t *g = chain_graph(n);
    // A cap of n / 4 or more (a power of two): the map's buckets, and the
    // cells it makes each frame, grow with the chain as its tokens do.
    int32_t max_active = 1;
    while (max_active < n / 4) max_active *= 2;
    zv_decoder_t *d = nullptr;
    if (zv_decoder_init(g, 16.0f, max_active, 1.0f, &d) != ZV_STATUS_SUCCESS) std::abort();
    const std::vector<int16_t> scores = {0, INT16_MIN};  // the blank certain
    int64_t tokens = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (zv_decoder_reset(d) != ZV_STATUS_SUCCESS) std::abort();
        state.ResumeTiming();
        if (zv_decoder_process(d, scores.data(), nullptr) != ZV_STATUS_SUCCESS) std::abort();
        tokens = zv_map_size(d->active);
    }
    if (tokens != n + 1) std::abort();  // the whole chain was crossed, and kept: every cost is 0
    state.counters["tokens"] = static_cast<double>(tokens);
    state.counters["max_active"] = max_active;
    state.counters["time_per_arc"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    zv_decoder_delete(d);
    zv_graph_delete(g);
}
BENCHMARK(BM_ClosureAlongAChain)->Arg(4000)->Arg(16000)->Arg(64000)->Unit(benchmark::kMillisecond);

}  // namespace
