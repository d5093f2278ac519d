// Gate non-linearities over vectors the size of a recurrent layer's gates.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "nn/fixed_point.h"

namespace {

std::vector<int16_t> inputs(int n) {
    std::vector<int16_t> v(n);
    uint32_t seed = 7;
    for (int16_t &x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<int16_t>(static_cast<int32_t>(seed >> 16) % 12000 - 6000);
    }
    return v;
}

void BM_Sigmoid(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<int16_t> in = inputs(n);
    std::vector<int16_t> out(n);
    for (auto _ : state) {
        zv_sigmoid(n, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Sigmoid)->Arg(1024);

void BM_Tanh(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<int16_t> in = inputs(n);
    std::vector<int16_t> out(n);
    for (auto _ : state) {
        zv_tanh(n, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Tanh)->Arg(1024);

void BM_Log10(benchmark::State &state) {
    std::vector<int64_t> in(1024);
    uint64_t seed = 3;
    for (int64_t &x : in) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        x = static_cast<int64_t>(seed >> (1 + (seed >> 58)));
    }
    for (auto _ : state) {
        int32_t acc = 0;
        for (int64_t x : in) acc += zv_log10(x);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_Log10);

void BM_Exp(benchmark::State &state) {
    const std::vector<int16_t> in = inputs(1024);
    for (auto _ : state) {
        int64_t acc = 0;
        for (int16_t x : in) acc += zv_exp(static_cast<int16_t>(x > 0 ? -x : x));
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_Exp);

}  // namespace
