// Every allocation of the two token classifiers' block loaders, of making a
// classifier and of running it fails in turn: each gives a failure status,
// leaks nothing and prints nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "foundation/strings.h"
#include "nn/offline_token_classifier.h"
#include "nn/online_token_classifier.h"
#include "support/alloc_sweep.h"
#include "support/classifier_block.h"
#include "support/failing_alloc.h"

namespace {

using zv_test::sweep_fails_cleanly;

constexpr int32_t kFeatures = 6;
constexpr int32_t kClasses = 5;

// A stream over the bytes, opened with the allocator paused.
FILE *stream(const std::vector<uint8_t> &bytes) {
    zv_failing_alloc_pause(1);
    FILE *f = zv_test::open_bytes(bytes);
    zv_failing_alloc_pause(0);
    EXPECT_NE(f, nullptr);
    return f;
}

TEST(ClassifierAlloc, OfflineLoadMakeAndRun) {
    const std::vector<uint8_t> block =
        zv_test::offline_block("lumarin", "1.1.0", zv_test::random_classifier(kFeatures, {4, 3}, kClasses, 1));
    zv_memory_t memory;
    ASSERT_EQ(zv_memory_init(&memory), ZV_STATUS_SUCCESS);
    const std::vector<int16_t> features(3 * kFeatures, 100);
    std::vector<int32_t> probabilities(3 * kClasses);
    sweep_fails_cleanly("offline", [&] {
        FILE *f = stream(block);
        int32_t extra = 0;
        zv_offline_token_classifier_param_t *param = nullptr;
        zv_status_t status = zv_offline_token_classifier_param_load2(f, "lumarin", "1.1.0", &extra, &param);
        fclose(f);
        zv_offline_token_classifier_t *classifier = nullptr;
        if (status == ZV_STATUS_SUCCESS) status = zv_offline_token_classifier_init(memory, param, &classifier);
        if (status == ZV_STATUS_SUCCESS) {
            status = zv_offline_token_classifier_process(classifier, features.data(), 3, probabilities.data());
        }
        zv_offline_token_classifier_delete(classifier);
        zv_offline_token_classifier_param_delete(param);
        return status;
    });
}

TEST(ClassifierAlloc, OnlineLoadMakeAndRun) {
    const std::vector<uint8_t> block = zv_test::online_block(
        "lumarin", "1.1.0", zv_test::random_classifier(kFeatures, {4, 3}, kClasses, 2, 6865, true));
    zv_memory_t memory;
    ASSERT_EQ(zv_memory_init(&memory), ZV_STATUS_SUCCESS);
    const std::vector<int16_t> frame(kFeatures, 100);
    std::vector<int32_t> probabilities(kClasses);
    sweep_fails_cleanly("online", [&] {
        FILE *f = stream(block);
        int32_t extra = 0;
        zv_online_token_classifier_param_t *param = nullptr;
        zv_status_t status = zv_online_token_classifier_param_load2(f, "lumarin", "1.1.0", &extra, &param);
        fclose(f);
        zv_online_token_classifier_t *classifier = nullptr;
        if (status == ZV_STATUS_SUCCESS) status = zv_online_token_classifier_init(memory, param, &classifier);
        if (status == ZV_STATUS_SUCCESS) {
            status = zv_online_token_classifier_process(classifier, frame.data(), probabilities.data());
        }
        zv_online_token_classifier_delete(classifier);
        zv_online_token_classifier_param_delete(param);
        return status;
    });
}

}  // namespace
