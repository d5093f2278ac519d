// The beam-search decoder over the decoding graph of a 130,000-word
// dictionary under a bigram model, fed score streams like a phoneme
// classifier's: the phonemes of a word sequence drawn from the model, each
// held for one to three frames with the odd blank frame between, a
// competing phoneme now and then, the rest far below. Frames per second at
// max active 4096, and what the tokens cost in memory.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "bigram_graph.h"
#include "lm/decoder.h"
#include "lm/node.h"

namespace {

constexpr int32_t kPhonemes = 39;
constexpr int32_t kFrames = 3000;  // about 96 s of speech at 32 ms frames

std::vector<std::vector<int16_t>> score_stream(const zv_bench::BigramGraph &g, uint32_t seed) {
    std::mt19937 rng(seed);
    auto low = [&] { return static_cast<int16_t>(-5000 - static_cast<int32_t>(rng() % 7000)); };
    auto frame = [&](int32_t favoured) {
        std::vector<int16_t> s(kPhonemes + 1);
        for (int16_t &v : s) v = low();
        s[0] = static_cast<int16_t>(favoured == 0 ? -40 : -2500 - static_cast<int32_t>(rng() % 1500));
        if (favoured > 0) s[static_cast<size_t>(favoured)] = static_cast<int16_t>(-20 - static_cast<int32_t>(rng() % 200));
        if (rng() % 4 == 0) s[1 + rng() % kPhonemes] = static_cast<int16_t>(-700 - static_cast<int32_t>(rng() % 1200));
        return s;
    };
    std::vector<std::vector<int16_t>> frames;
    const int32_t vocabulary = static_cast<int32_t>(g.model.children.size());
    int32_t word = static_cast<int32_t>(rng() % static_cast<uint32_t>(vocabulary));
    while (static_cast<int32_t>(frames.size()) < kFrames) {
        int32_t length = 0;
        const int32_t *ids = nullptr;
        zv_dict_pronunciation(g.dict, word, 0, &length, &ids);
        for (int32_t i = 0; i < length; ++i) {
            const int32_t hold = 1 + static_cast<int32_t>(rng() % 3);
            for (int32_t k = 0; k < hold; ++k) frames.push_back(frame(ids[i]));
            if (rng() % 3 == 0) frames.push_back(frame(0));
        }
        const auto &next = g.model.children[static_cast<size_t>(word)].children;
        word = !next.empty() && rng() % 10 < 7 ? next[rng() % next.size()].word
                                               : static_cast<int32_t>(rng() % static_cast<uint32_t>(vocabulary));
    }
    frames.resize(kFrames);
    return frames;
}

void BM_DecoderFrames(benchmark::State &state) {
    zv_bench::BigramGraph &g = zv_bench::bigram_graph();
    const std::vector<std::vector<int16_t>> frames = score_stream(g, 7);
    const float beam = static_cast<float>(state.range(0));
    const int32_t max_active = static_cast<int32_t>(state.range(1));
    zv_decoder_t *d = nullptr;
    if (zv_decoder_init(g.graph, beam, max_active, 1.0f, &d) != ZV_STATUS_SUCCESS) std::abort();
    int64_t active = 0, live = 0, words = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (zv_decoder_reset(d) != ZV_STATUS_SUCCESS) std::abort();
        state.ResumeTiming();
        for (const std::vector<int16_t> &f : frames) {
            char *text = nullptr;
            if (zv_decoder_process(d, f.data(), &text) != ZV_STATUS_SUCCESS) std::abort();
            for (const char *p = text; *p; ++p) words += *p == ' ';
            std::free(text);
            active += zv_map_size(d->active);
        }
        live = zv_pool_size(d->token_pool);
    }
    const double frames_run = static_cast<double>(state.iterations()) * kFrames;
    state.SetItemsProcessed(static_cast<int64_t>(frames_run));
    state.counters["frames_per_s"] = benchmark::Counter(frames_run, benchmark::Counter::kIsRate);
    state.counters["active_per_frame"] = static_cast<double>(active) / frames_run;
    state.counters["live_tokens_at_end"] = static_cast<double>(live);
    state.counters["words_per_frame"] = static_cast<double>(words) / frames_run;
    state.counters["token_bytes"] = sizeof(zv_node_t);
    zv_decoder_delete(d);
}
BENCHMARK(BM_DecoderFrames)
    ->Args({10, 4096})
    ->Args({16, 4096})
    ->Args({24, 4096})
    ->Args({10, 512})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
