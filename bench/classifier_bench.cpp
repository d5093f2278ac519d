// The engine's hot loop: a bidirectional classifier of realistic size (3
// levels of 256 units, 80 inputs, 40 classes, random weights) over one hour
// of audio, 112,500 frames of 32 ms.
#include <benchmark/benchmark.h>

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

// The recurrent product of one step, the classifier's innermost loop.
void BM_FcKernel(benchmark::State &state, zv_fc_kernel_t kernel) {
    if (!kernel) {
        state.SkipWithError("kernel not available");
        return;
    }
    std::mt19937 rng(3);
    const zv_test::FcBlock b = zv_test::random_fc(256, 768, rng);
    std::vector<int16_t> x(256, 300), y(768, 0);
    for (auto _ : state) {
        kernel(256, 768, b.weights.data(), b.bias.data(), 1, x.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK_CAPTURE(BM_FcKernel, scalar, zv_fc_kernel_scalar);
BENCHMARK_CAPTURE(BM_FcKernel, avx2, zv_fc_kernel_avx2());

}  // namespace

namespace {

// The input-layer products of one chunk of 32 frames.
void BM_FcBatchKernel(benchmark::State &state, zv_fc_batch_kernel_t kernel) {
    if (!kernel) {
        state.SkipWithError("kernel not available");
        return;
    }
    std::mt19937 rng(3);
    const zv_test::FcBlock b = zv_test::random_fc(256, 768, rng);
    std::vector<int16_t> x(32 * 256, 300), y(32 * 768, 0);
    for (auto _ : state) {
        kernel(256, 768, b.weights.data(), b.bias.data(), 32, x.data(), 256, y.data(), 768);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK_CAPTURE(BM_FcBatchKernel, avx2, zv_fc_batch_kernel_avx2());

}  // namespace
