// Every allocation of the estimator's and the editable model's operations
// fails in turn, swept with the failing allocator: each gives OUT_OF_MEMORY
// (a file that can't be opened for want of memory too), hands
// nothing out, leaves nothing allocated, and leaves a model it was given
// usable.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "lm/kgram.h"
#include "lm/ngram.h"
#include "support/alloc_sweep.h"
#include "support/lm_fixtures.h"
#include "support/ngram_fixtures.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::count_file;
using zv_test::TempDir;
using zv_test::fail_each_allocation;

// A call failing for want of memory, a file's open among them.
bool out_of_memory(zv_status_t status) { return status == ZV_STATUS_OUT_OF_MEMORY; }

class NgramAlloc : public ::testing::Test {
protected:
    TempDir dir;
    zv_test::LexiconPtr abcd = zv_test::make_lexicon({"a", "b", "c", "d"});
    const std::vector<zv_test::CountNode> tree = {
        {0, -1, 10}, {1, 0, 4}, {2, 1, 3}, {3, 3, 1}, {2, 2, 1}, {1, 1, 3}, {2, 0, 2}, {1, 2, 2},
    };
};

zv_ngram_t *estimate(const std::string &path, const zv_lexicon_t *lexicon) {
    zv_ngram_t *model = nullptr;
    EXPECT_EQ(zv_ngram_init(path.c_str(), lexicon, &model), ZV_STATUS_SUCCESS);
    return model;
}

// The words, counts, probabilities and backoff weights of a tree in preorder.
std::vector<double> flatten(const zv_ngram_t *model) {
    std::vector<double> out;
    std::vector<const zv_ngram_node_t *> stack{model->root};
    while (!stack.empty()) {
        const zv_ngram_node_t *node = stack.back();
        stack.pop_back();
        out.insert(out.end(), {static_cast<double>(node->word), static_cast<double>(node->count),
                               static_cast<double>(node->num_children),
                               node->probability, node->backoff});
        for (int32_t i = node->num_children - 1; i >= 0; --i) stack.push_back(node->children[i]);
    }
    return out;
}

TEST_F(NgramAlloc, EstimationHandsNothingOut) {
    // The tree as written, and listed in descending order with words repeated
    // under one parent, so that siblings are sorted and merged on the way.
    const std::vector<zv_test::CountNode> shuffled = {
        {0, -1, 10}, {1, 2, 2}, {1, 1, 9}, {2, 0, 2}, {1, 0, 1}, {2, 2, 1}, {2, 1, 7},
        {3, 3, 1}, {1, 0, 4}, {2, 1, 3}, {3, 3, 1}, {1, 1, 3},
    };
    zv_ngram_t *reference = estimate(dir.write("counts.bin", count_file(tree)), abcd.get());
    const std::vector<double> expected = flatten(reference);
    zv_ngram_delete(reference);
    for (const auto &nodes : {tree, shuffled}) {
        const std::string path = dir.write("counts.bin", count_file(nodes));
        zv_ngram_t *model = nullptr;
        fail_each_allocation([&] { return zv_ngram_init(path.c_str(), abcd.get(), &model); },
                             [&](zv_status_t status) {
                                 if (status != ZV_STATUS_SUCCESS) {
                                     EXPECT_TRUE(out_of_memory(status)) << status;
                                     EXPECT_EQ(model, nullptr);
                                 } else {
                                     zv_failing_alloc_pause(1);
                                     EXPECT_EQ(flatten(model), expected);
                                     zv_failing_alloc_pause(0);
                                 }
                                 zv_ngram_delete(model);
                             });
    }
}

// Pruning can't fail, but it needs memory before it starts: with any
// allocation failing, it prunes as it would have or leaves the model whole.
TEST_F(NgramAlloc, PruningPrunesWholeOrNotAtAll) {
    const std::string path = dir.write("counts.bin", count_file(tree));
    zv_ngram_t *reference = estimate(path, abcd.get());
    const std::vector<double> whole = flatten(reference);
    zv_ngram_prune(reference, 0.1);
    const std::vector<double> pruned = flatten(reference);
    ASSERT_NE(pruned, whole);
    std::vector<zv_ngram_t *> models;
    bool kept_whole = false;
    fail_each_allocation(
        [&] {
            zv_failing_alloc_pause(1);
            models.push_back(estimate(path, abcd.get()));
            zv_failing_alloc_pause(0);
            zv_ngram_prune(models.back(), 0.1);
            return ZV_STATUS_SUCCESS;
        },
        [&](zv_status_t) {
            zv_failing_alloc_pause(1);
            const std::vector<double> now = flatten(models.back());
            zv_failing_alloc_pause(0);
            kept_whole = kept_whole || now == whole;
            EXPECT_TRUE(now == pruned || now == whole);
        },
        false);
    EXPECT_TRUE(kept_whole);
    for (zv_ngram_t *model : models) zv_ngram_delete(model);
    zv_ngram_delete(reference);
}

TEST_F(NgramAlloc, WritersReportAndFreeEverything) {
    zv_ngram_t *model = estimate(dir.write("counts.bin", count_file(tree)), abcd.get());
    const std::string out = dir.path("out");
    for (auto write : {zv_ngram_save_weights, zv_ngram_save_arpa, zv_ngram_save}) {
        fail_each_allocation([&] { return write(model, out.c_str()); },
                             [&](zv_status_t status) {
                                 EXPECT_TRUE(status == ZV_STATUS_SUCCESS || out_of_memory(status)) << status;
                             });
    }
    zv_ngram_delete(model);
}

// A model that failed to take its singletons keeps its unigrams sorted
// within the lexicon and serves every other operation.
TEST_F(NgramAlloc, SingletonsLeaveAUsableModel) {
    const std::string path = dir.write("counts.bin", count_file(tree));
    const std::string arpa = dir.path("out.arpa");
    std::vector<zv_ngram_t *> models;
    fail_each_allocation(
        [&] {
            zv_failing_alloc_pause(1);
            models.push_back(estimate(path, abcd.get()));
            zv_failing_alloc_pause(0);
            return zv_ngram_add_singletons(models.back());
        },
        [&](zv_status_t status) {
            zv_ngram_t *model = models.back();
            const zv_ngram_node_t *root = model->root;
            EXPECT_TRUE(status == ZV_STATUS_SUCCESS || status == ZV_STATUS_OUT_OF_MEMORY) << status;
            for (int32_t i = 0; i < root->num_children; ++i) {
                EXPECT_TRUE(root->children[i]->word >= 0 && root->children[i]->word < 4);
                if (i > 0) {
                    EXPECT_LT(root->children[i - 1]->word, root->children[i]->word);
                }
            }
            zv_ngram_prune(model, 0.1);
            EXPECT_EQ(zv_ngram_save_arpa(model, arpa.c_str()), ZV_STATUS_SUCCESS);
        },
        false);
    for (zv_ngram_t *model : models) zv_ngram_delete(model);
}

TEST_F(NgramAlloc, EditableModelLoadsAddsAndSaves) {
    zv_ngram_t *ngram = estimate(dir.write("counts.bin", count_file(tree)), abcd.get());
    const std::string blob = dir.path("lm.bin");
    ASSERT_EQ(zv_ngram_save(ngram, blob.c_str()), ZV_STATUS_SUCCESS);
    zv_ngram_delete(ngram);

    zv_kgram_t *model = nullptr;
    fail_each_allocation([&] { return zv_kgram_load(blob.c_str(), &model); },
                         [&](zv_status_t status) {
                             if (status != ZV_STATUS_SUCCESS) {
                                 EXPECT_TRUE(out_of_memory(status)) << status;
                                 EXPECT_EQ(model, nullptr);
                             }
                             zv_kgram_delete(model);
                         });

    // A failed move leaves the model as it was.
    auto larger = zv_test::make_lexicon({"a", "aa", "b", "c", "cc", "d", "e"});
    zv_kgram_t *original = nullptr;
    ASSERT_EQ(zv_kgram_load(blob.c_str(), &original), ZV_STATUS_SUCCESS);
    std::vector<zv_kgram_t *> models;
    fail_each_allocation(
        [&] {
            zv_failing_alloc_pause(1);
            zv_kgram_t *copy = nullptr;
            EXPECT_EQ(zv_kgram_load(blob.c_str(), &copy), ZV_STATUS_SUCCESS);
            models.push_back(copy);
            zv_failing_alloc_pause(0);
            return zv_kgram_add_words(copy, abcd.get(), larger.get());
        },
        [&](zv_status_t status) {
            if (status != ZV_STATUS_SUCCESS) {
                EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY);
                EXPECT_TRUE(zv_kgram_is_equal(models.back(), original));
            } else {
                EXPECT_EQ(models.back()->num_nodes, 11);
            }
        },
        false);
    const std::string out = dir.path("out.bin");
    fail_each_allocation([&] { return zv_kgram_save(models.back(), out.c_str()); },
                         [&](zv_status_t status) {
                             EXPECT_TRUE(status == ZV_STATUS_SUCCESS || out_of_memory(status)) << status;
                         });
    for (zv_kgram_t *m : models) zv_kgram_delete(m);
    zv_kgram_delete(original);
}

}  // namespace
