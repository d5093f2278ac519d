// Allocation failures of the network layers on every kernel set. This
// executable supplies its own memory functions (support/failing_memory.h),
// so that the n-th allocation can be made to fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "nn/fc.h"
#include "nn/offline_token_classifier.h"
#include "support/classifier_block.h"
#include "support/failing_memory.h"

namespace {

std::vector<zv_fc_kernel_set_t> available_sets() {
    std::vector<zv_fc_kernel_set_t> sets;
    for (zv_fc_kernel_set_t set : {ZV_FC_KERNELS_SCALAR, ZV_FC_KERNELS_AVX2, ZV_FC_KERNELS_AVX512}) {
        if (zv_fc_kernel_set_is_available(set)) sets.push_back(set);
    }
    return sets;
}

// Every allocation of a layer's creation fails in turn, on every set (the
// AVX-512 one adds the re-laid weights): OUT_OF_MEMORY, nothing handed out,
// nothing left allocated.
TEST(LayerMemory, FailedLayerInitsHandNothingOut) {
    std::mt19937 rng(3);
    const zv_test::FcBlock block = zv_test::random_fc(37, 21, rng);
    zv_fc_param_t *param = nullptr;
    ASSERT_EQ(zv_fc_param_init(block.in, block.out, &param), ZV_STATUS_SUCCESS);
    std::copy(block.weights.begin(), block.weights.end(), param->weights);
    std::copy(block.bias.begin(), block.bias.end(), param->bias);
    for (zv_fc_kernel_set_t set : available_sets()) {
        for (int n = 0;; ++n) {
            fail_at(n);
            zv_fc_t *fc = reinterpret_cast<zv_fc_t *>(&g_allocations);
            const zv_status_t status = zv_fc_init_with_set(0, param, 0, set, &fc);
            if (n >= g_allocations) {
                ASSERT_EQ(status, ZV_STATUS_SUCCESS);
                zv_fc_delete(fc);
                break;
            }
            EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY) << set << " " << n;
            EXPECT_EQ(fc, nullptr);
        }
    }
    fail_at(-1);
    zv_fc_param_delete(param);
}

// The same for a whole classifier, whose layers are made on the current set.
TEST(LayerMemory, FailedClassifierInitsHandNothingOut) {
    const zv_test::ClassifierBlock block = zv_test::random_classifier(9, {5, 7}, 4, 5, 6865, false, -20, 20);
    FILE *file = zv_test::open_bytes(zv_test::offline_block("lumarin", "1.1.0", block));
    ASSERT_NE(file, nullptr);
    int32_t extra = 0;
    zv_offline_token_classifier_param_t *param = nullptr;
    fail_at(-1);
    ASSERT_EQ(zv_offline_token_classifier_param_load2(file, "lumarin", "1.1.0", &extra, &param), ZV_STATUS_SUCCESS);
    fclose(file);
    for (zv_fc_kernel_set_t set : available_sets()) {
        zv_fc_kernel_set_limit(set);
        for (int n = 0;; ++n) {
            fail_at(n);
            zv_offline_token_classifier_t *classifier = nullptr;
            const zv_status_t status = zv_offline_token_classifier_init(0, param, &classifier);
            if (n >= g_allocations) {
                ASSERT_EQ(status, ZV_STATUS_SUCCESS);
                zv_offline_token_classifier_delete(classifier);
                break;
            }
            EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY) << set << " " << n;
            EXPECT_EQ(classifier, nullptr);
        }
    }
    zv_fc_kernel_set_limit(ZV_FC_KERNELS_AVX512);
    fail_at(-1);
    zv_offline_token_classifier_param_delete(param);
}

}  // namespace
