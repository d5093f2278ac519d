// The beam-search decoder over one long stream at small caps: a million
// frames of random scores through a small graph (ten words over eight
// phonemes under a bigram model), at beam 16 and max active 64 or 1. The
// surviving path keeps a history of tokens that grows with the stream, so
// the token pool grows page by page; what a frame costs must not grow with
// it. The microseconds per frame of each tenth of the stream are reported
// (us_per_frame_0 is the first tenth, us_per_frame_9 the last), with the
// history the decoder holds at the end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bigram_graph.h"
#include "lm/decoder.h"
#include "lm/graph.h"
#include "lm/node.h"
#include "support/lm_fixtures.h"

namespace {

constexpr int32_t kPhonemes = 8;
constexpr int32_t kWords = 10;
constexpr int32_t kStretches = 10;

// Words W0..W9, each pronounced by two or three random phonemes, every word
// a unigram with two successors.
zv_graph_t *small_graph() {
    std::mt19937 rng(5);
    std::string phones, words, prons;
    for (int32_t p = 1; p <= kPhonemes; ++p) phones += "P" + std::to_string(p) + "\n";
    zv_test::LmNode root;
    root.forward = -128;
    for (int32_t w = 0; w < kWords; ++w) {
        const std::string word = "W" + std::to_string(w);
        words += word + "\n";
        prons += word + "\t";
        for (uint32_t i = 0, n = 2 + rng() % 2; i < n; ++i) prons += "P" + std::to_string(1 + rng() % kPhonemes) + " ";
        prons += "\n";
        zv_test::LmNode u;
        u.word = w;
        u.forward = static_cast<int8_t>(-static_cast<int32_t>(8 + rng() % 20));
        u.backoff = static_cast<int8_t>(-static_cast<int32_t>(2 + rng() % 8));
        const int32_t a = static_cast<int32_t>(rng() % kWords);
        const int32_t b = (a + 1 + static_cast<int32_t>(rng() % (kWords - 1))) % kWords;
        for (const int32_t v : {std::min(a, b), std::max(a, b)}) {
            zv_test::LmNode next;
            next.word = v;
            next.forward = static_cast<int8_t>(-static_cast<int32_t>(2 + rng() % 16));
            u.children.push_back(next);
        }
        root.children.push_back(u);
    }
    return zv_bench::graph_of_texts(words, phones, prons, zv_test::lm_blob_bytes(root));
}

void BM_DecoderLongStream(benchmark::State &state) {
    static zv_graph_t *graph = small_graph();
    const int32_t max_active = static_cast<int32_t>(state.range(0));
    const int64_t frames = state.range(1);
    // Every score drawn afresh, from a blank-favouring range for the blank.
    std::mt19937 rng(11);
    std::vector<int16_t> scores(static_cast<size_t>(frames) * (kPhonemes + 1));
    for (size_t i = 0; i < scores.size(); ++i) {
        scores[i] = static_cast<int16_t>(i % (kPhonemes + 1) == 0 ? -static_cast<int32_t>(rng() % 3000)
                                                                  : -static_cast<int32_t>(rng() % 8000));
    }
    std::vector<double> seconds(kStretches, 0.0);
    int64_t live = 0, branches = 0;
    for (auto _ : state) {
        zv_decoder_t *d = nullptr;
        if (zv_decoder_init(graph, 16.0f, max_active, 1.0f, &d) != ZV_STATUS_SUCCESS) std::abort();
        const int64_t stretch = frames / kStretches;
        for (int32_t s = 0; s < kStretches; ++s) {
            const auto start = std::chrono::steady_clock::now();
            for (int64_t f = s * stretch; f < (s + 1) * stretch; ++f) {
                char *text = nullptr;
                if (zv_decoder_process(d, scores.data() + f * (kPhonemes + 1), &text) != ZV_STATUS_SUCCESS) std::abort();
                std::free(text);
            }
            seconds[static_cast<size_t>(s)] +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        live = zv_pool_size(d->token_pool);
        branches = zv_branch_size(zv_tree_root(d->tree));
        state.PauseTiming();
        zv_decoder_delete(d);
        state.ResumeTiming();
    }
    const double runs = static_cast<double>(state.iterations());
    const double per_stretch = static_cast<double>(frames / kStretches);
    for (int32_t s = 0; s < kStretches; ++s) {
        state.counters["us_per_frame_" + std::to_string(s)] = seconds[static_cast<size_t>(s)] / runs / per_stretch * 1e6;
    }
    state.counters["graph_states"] = zv_graph_num_states(graph);
    // A token takes its slot and two int32 of its page's permutations; a
    // branch its record and its place in the parent's children.
    const int64_t token_bytes = sizeof(zv_node_t) + 2 * sizeof(int32_t);
    const int64_t branch_bytes = sizeof(zv_branch_t) + sizeof(zv_branch_t *);
    state.counters["history_bytes_per_frame"] =
        static_cast<double>(live * token_bytes + branches * branch_bytes) / static_cast<double>(frames);
}
BENCHMARK(BM_DecoderLongStream)
    ->Args({64, 1000000})
    ->Args({1, 1000000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
