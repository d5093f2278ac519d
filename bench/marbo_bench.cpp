// Pronouncing one word: the beam search alone, and the whole engine over a
// network of two levels of 128 units.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "pronunciation/marbo.h"
#include "support/marbo_block.h"

namespace {

void BM_MarboSearch(benchmark::State &state) {
    const int32_t frames = 26, classes = 40;
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> d(-4000, 0);
    std::vector<int16_t> scores(static_cast<size_t>(frames) * classes);
    for (int16_t &s : scores) s = static_cast<int16_t>(d(rng));
    for (auto _ : state) {
        zv_marbo_candidate_t c[ZV_MARBO_BEAM_WIDTH];
        int32_t n = 0;
        zv_marbo_search(scores.data(), frames, classes, c, &n);
        zv_marbo_candidates_release(c, n);
    }
}
BENCHMARK(BM_MarboSearch);

void BM_MarboPronounce(benchmark::State &state) {
    std::mt19937 rng(2);
    const int32_t H = 128;
    zv_test::ClassifierBlock c;
    c.forward = {zv_test::random_rnn(28, H, rng, -20, 20), zv_test::random_rnn(H, H, rng, -20, 20)};
    c.backward = {zv_test::random_rnn(28, H, rng, -20, 20), zv_test::random_rnn(H, H, rng, -20, 20)};
    c.output = zv_test::random_fc(H, 40, rng, -20, 20);
    c.language = 6865;
    const std::vector<uint8_t> block = zv_test::offline_block("marbo", "1.0.0", c);
    FILE *f = std::tmpfile();
    std::fwrite(block.data(), 1, block.size(), f);
    std::rewind(f);
    zv_marbo_t *marbo = nullptr;
    if (zv_marbo_init2(f, &marbo) != ZV_STATUS_SUCCESS) {
        state.SkipWithError("init failed");
        std::fclose(f);
        return;
    }
    std::fclose(f);
    for (auto _ : state) {
        int32_t n = 0;
        int32_t *lengths = nullptr;
        const char ***names = nullptr;
        float *probs = nullptr;
        zv_marbo_pronounce(marbo, "PRONUNCIATION", &n, &lengths, &names, &probs);
        for (int32_t i = 0; i < n; ++i) free(names[i]);
        free(names);
        free(lengths);
        free(probs);
    }
    zv_marbo_delete(marbo);
}
BENCHMARK(BM_MarboPronounce);

}  // namespace
