// Front-end throughput: filterbank frames of 256 samples per second. One hour
// of 16 kHz audio is 225,000 such frames.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "nn/fft.h"
#include "nn/filterbank.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

constexpr int kFrame = 256;
constexpr double kFramesPerHour = 225000.0;

std::vector<int16_t> speechlike(int frames) {
    std::vector<int16_t> pcm(static_cast<size_t>(frames) * kFrame);
    uint32_t seed = 1;
    for (size_t i = 0; i < pcm.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double voiced = 6000.0 * std::sin(2 * kPi * 180.0 * i / 16000.0) + 2500.0 * std::sin(2 * kPi * 1230.0 * i / 16000.0);
        pcm[i] = static_cast<int16_t>(voiced + static_cast<int32_t>(seed >> 20) - 2048);
    }
    return pcm;
}

void BM_FilterbankFrame(benchmark::State &state) {
    zv_memory_t memory = 0;
    zv_memory_init(&memory);
    zv_filterbank_t *fb = nullptr;
    if (zv_filterbank_init(memory, kFrame, &fb) != ZV_STATUS_SUCCESS) {
        state.SkipWithError("init failed");
        return;
    }
    const int frames = 1000;
    const std::vector<int16_t> pcm = speechlike(frames);
    int16_t features[40];
    int f = 0;
    for (auto _ : state) {
        zv_filterbank_compute(fb, pcm.data() + static_cast<size_t>(f) * kFrame, features);
        zv_filterbank_normalize(features, nullptr, nullptr);
        benchmark::DoNotOptimize(features);
        if (++f == frames) f = 0;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["s/hour"] = benchmark::Counter(static_cast<double>(state.iterations()) / kFramesPerHour,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    zv_filterbank_delete(fb);
}
BENCHMARK(BM_FilterbankFrame);

template <bool kVector>
void BM_FftTransform(benchmark::State &state) {
    if (kVector && !zv_fft_avx2_available()) {
        state.SkipWithError("no AVX2");
        return;
    }
    std::vector<float> in(512), work(512), out(514);
    for (int n = 0; n < 512; ++n) in[n] = static_cast<float>((n * 7919) % 65536 - 32768);
    for (auto _ : state) {
        if (kVector) {
            zv_fft_transform_avx2(in.data(), work.data(), out.data());
        } else {
            zv_fft_transform_scalar(in.data(), work.data(), out.data());
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FftTransform<false>)->Name("BM_FftTransform/scalar");
BENCHMARK(BM_FftTransform<true>)->Name("BM_FftTransform/avx2");

}  // namespace
