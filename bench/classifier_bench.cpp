// The engine's hot loop: a bidirectional classifier of realistic size (3
// levels of 256 units, 80 inputs, 40 classes, random weights) over one hour
// of audio, 112,500 frames of 32 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "nn/fc.h"
#include "nn/offline_token_classifier.h"
#include "support/classifier_block.h"

namespace {

constexpr int32_t kFeatures = 80;
constexpr int32_t kClasses = 40;

zv_offline_token_classifier_param_t *load_params() {
    const zv_test::ClassifierBlock block =
        zv_test::random_classifier(kFeatures, {256, 256, 256}, kClasses, 2024, 6865, false, -24, 24);
    FILE *f = zv_test::open_bytes(zv_test::offline_block("lumarin", "1.1.0", block));
    int32_t extra = 0;
    zv_offline_token_classifier_param_t *param = nullptr;
    if (!f || zv_offline_token_classifier_param_load2(f, "lumarin", "1.1.0", &extra, &param) != ZV_STATUS_SUCCESS) {
        param = nullptr;
    }
    if (f) fclose(f);
    return param;
}

void BM_OfflineClassifier(benchmark::State &state) {
    const int32_t frames = static_cast<int32_t>(state.range(0));
    zv_offline_token_classifier_param_t *param = load_params();
    zv_memory_t memory;
    zv_memory_init(&memory);
    zv_offline_token_classifier_t *classifier = nullptr;
    if (!param || zv_offline_token_classifier_init(memory, param, &classifier) != ZV_STATUS_SUCCESS) {
        state.SkipWithError("could not build the classifier");
        zv_offline_token_classifier_param_delete(param);
        return;
    }
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> d(-4096, 1024);
    std::vector<int16_t> features(static_cast<size_t>(frames) * kFeatures);
    for (auto &v : features) v = static_cast<int16_t>(d(rng));
    std::vector<int32_t> probabilities(static_cast<size_t>(frames) * kClasses);
    for (auto _ : state) {
        if (zv_offline_token_classifier_process(classifier, features.data(), frames, probabilities.data()) !=
            ZV_STATUS_SUCCESS) {
            state.SkipWithError("process failed");
            break;
        }
        benchmark::DoNotOptimize(probabilities.data());
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate);
    zv_offline_token_classifier_delete(classifier);
    zv_offline_token_classifier_param_delete(param);
}

// One hour of audio, and a ten-second excerpt for quick runs.
BENCHMARK(BM_OfflineClassifier)->Arg(112500)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_OfflineClassifier)->Arg(313)->Unit(benchmark::kMillisecond);

// A 768 x 256 layer (the recurrent product of one step, or the input layer
// of levels 1 and 2) on a kernel set; null when the processor lacks it.
struct FcLayer {
    zv_fc_param_t *param = nullptr;
    zv_fc_t *fc = nullptr;
    FcLayer(zv_fc_kernel_set_t set, int32_t accumulate) {
        std::mt19937 rng(3);
        const zv_test::FcBlock b = zv_test::random_fc(256, 768, rng);
        zv_memory_t memory;
        zv_memory_init(&memory);
        if (zv_fc_param_init(256, 768, &param) != ZV_STATUS_SUCCESS) return;
        std::copy(b.weights.begin(), b.weights.end(), param->weights);
        std::copy(b.bias.begin(), b.bias.end(), param->bias);
        if (zv_fc_init_with_set(memory, param, accumulate, set, &fc) != ZV_STATUS_SUCCESS) fc = nullptr;
    }
    ~FcLayer() {
        zv_fc_delete(fc);
        zv_fc_param_delete(param);
    }
};

// The recurrent product of one step, the classifier's innermost loop.
void BM_FcStep(benchmark::State &state, zv_fc_kernel_set_t set) {
    const FcLayer layer(set, 1);
    if (!layer.fc) {
        state.SkipWithError("kernel set not available");
        return;
    }
    std::vector<int16_t> x(256, 300), y(768, 0);
    for (auto _ : state) {
        zv_fc_process(layer.fc, x.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK_CAPTURE(BM_FcStep, scalar, ZV_FC_KERNELS_SCALAR);
BENCHMARK_CAPTURE(BM_FcStep, avx2, ZV_FC_KERNELS_AVX2);
BENCHMARK_CAPTURE(BM_FcStep, avx512, ZV_FC_KERNELS_AVX512);

// The input-layer products of one chunk of 32 frames.
void BM_FcBatch(benchmark::State &state, zv_fc_kernel_set_t set) {
    const FcLayer layer(set, 0);
    if (!layer.fc) {
        state.SkipWithError("kernel set not available");
        return;
    }
    std::vector<int16_t> x(32 * 256, 300), y(32 * 768, 0);
    for (auto _ : state) {
        zv_fc_process_batch(layer.fc, 32, x.data(), 256, y.data(), 768);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK_CAPTURE(BM_FcBatch, avx2, ZV_FC_KERNELS_AVX2);
BENCHMARK_CAPTURE(BM_FcBatch, avx512, ZV_FC_KERNELS_AVX512);

}  // namespace
