// Allocation failures of the gram set and the count tree, swept with the
// failing allocator.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "lm/count.h"
#include "lm/gram.h"
#include "support/alloc_sweep.h"
#include "support/lm_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::CountPtr;
using zv_test::GramPtr;
using zv_test::LexiconPtr;
using zv_test::TempDir;
using zv_test::fail_each_allocation;
using zv_test::lexicon_of_size;
using zv_test::make_count;
using zv_test::make_gram;

const zv_test::Sequences kShape = {{0, 1}, {0, 2}, {2}, {1, 2, 0}};

}  // namespace

TEST(GramCountAlloc, FailedInitsAndLoadsHandNothingOut) {
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(3);
    GramPtr shape = make_gram(3, lexicon.get(), kShape);
    CountPtr counted = make_count(shape.get(), kShape);
    ASSERT_EQ(zv_gram_save(shape.get(), dir.path("g.bin").c_str()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_count_save(counted.get(), dir.path("c.bin").c_str()), ZV_STATUS_SUCCESS);

    const std::string gram_path = dir.path("g.bin");
    const std::string count_path = dir.path("c.bin");
    // root { 1 { 0 { 2 } }, 0, 1 { 2, 0 { 1 } } }: the two 1s merge, and so do their 0s.
    const std::string twice_path = dir.write(
        "twice.bin", zv_test::count_file(9, 2, {5, 3, 2, 1, 1, 2, 1, 1, 1}, "000011101001001111", {0, 2, 1, 3, 1, 2, 3, 1, 2}));
    zv_gram_t *gram = nullptr;
    fail_each_allocation([&] { return zv_gram_init(3, lexicon.get(), &gram); },
                         [&](zv_status_t status) {
                             if (status != ZV_STATUS_SUCCESS) {
                                 EXPECT_EQ(gram, nullptr);
                             }
                             zv_gram_delete(gram);
                         });
    fail_each_allocation([&] { return zv_gram_load(gram_path.c_str(), lexicon.get(), &gram); },
                         [&](zv_status_t status) {
                             if (status != ZV_STATUS_SUCCESS) {
                                 EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY);
                                 EXPECT_EQ(gram, nullptr);
                             } else {
                                 EXPECT_TRUE(zv_gram_is_equal(gram, shape.get()));
                             }
                             zv_gram_delete(gram);
                         });
    zv_count_t *twice = nullptr;
    ASSERT_EQ(zv_count_load(twice_path.c_str(), &twice), ZV_STATUS_SUCCESS);
    CountPtr twice_ptr(twice);
    ASSERT_EQ(twice->root->num_children, 2);
    ASSERT_EQ(twice->root->children[1]->num_children, 2);
    ASSERT_EQ(twice->root->children[1]->children[0]->num_children, 2);
    zv_count_t *count = nullptr;
    fail_each_allocation([&] { return zv_count_load(twice_path.c_str(), &count); },
                         [&](zv_status_t status) {
                             if (status != ZV_STATUS_SUCCESS) {
                                 EXPECT_EQ(count, nullptr);
                             } else {
                                 EXPECT_TRUE(zv_count_is_equal(count, twice));
                             }
                             zv_count_delete(count);
                         });
    fail_each_allocation([&] { return zv_count_init(shape.get(), &count); },
                         [&](zv_status_t status) {
                             if (status != ZV_STATUS_SUCCESS) {
                                 EXPECT_EQ(count, nullptr);
                             }
                             zv_count_delete(count);
                         });
    fail_each_allocation([&] { return zv_count_load(count_path.c_str(), &count); },
                         [&](zv_status_t status) {
                             if (status != ZV_STATUS_SUCCESS) {
                                 EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY);
                                 EXPECT_EQ(count, nullptr);
                             } else {
                                 EXPECT_TRUE(zv_count_is_equal(count, counted.get()));
                             }
                             zv_count_delete(count);
                         });
}

// A failed insertion keeps the nodes made for the words before it, and the
// set stays well formed; failed saves report it and leave nothing behind.
TEST(GramCountAlloc, FailedInsertsAndSaves) {
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(3);
    const std::vector<int32_t> sequence = {1, 0, 2, 2};
    GramPtr gram = make_gram(4, lexicon.get(), kShape);
    fail_each_allocation([&] { return zv_gram_insert(gram.get(), sequence.data(), 4); },
                         [&](zv_status_t) {
                             // The longest prefix present, then nothing beyond it.
                             int32_t present = 0;
                             while (present < 4 && zv_gram_num_children(gram.get(), sequence.data(), present + 1) >= 0) {
                                 ++present;
                             }
                             for (int32_t k = present + 1; k <= 4; ++k) {
                                 EXPECT_EQ(zv_gram_num_children(gram.get(), sequence.data(), k), -1);
                             }
                             GramPtr copy = make_gram(4, lexicon.get(), kShape);
                             zv_gram_insert(copy.get(), sequence.data(), present);
                             EXPECT_TRUE(zv_gram_is_equal(gram.get(), copy.get()));
                         },
                         false);
    CountPtr count = make_count(gram.get(), kShape);
    const std::string path = dir.path("out.bin");
    fail_each_allocation([&] { return zv_gram_save(gram.get(), path.c_str()); },
                         [&](zv_status_t status) {
                             EXPECT_TRUE(status == ZV_STATUS_SUCCESS || status == ZV_STATUS_OUT_OF_MEMORY);
                         });
    fail_each_allocation([&] { return zv_count_save(count.get(), path.c_str()); },
                         [&](zv_status_t status) {
                             EXPECT_TRUE(status == ZV_STATUS_SUCCESS || status == ZV_STATUS_OUT_OF_MEMORY);
                         });
}

// Walks deeper than their in-place stack take one heap block first; when it
// can't be had they change nothing.
TEST(GramCountAlloc, DeepWalksWithoutTheirStackChangeNothing) {
    LexiconPtr lexicon = lexicon_of_size(3);
    const std::vector<int32_t> chain = zv_test::chain_of(100, 3);
    GramPtr gram = make_gram(100, lexicon.get(), {chain});
    GramPtr other = make_gram(100, lexicon.get(), {chain, {1}});
    CountPtr count = make_count(gram.get(), {chain});
    CountPtr more = make_count(gram.get(), {chain, chain});
    fail_each_allocation(
        [&] {
            zv_gram_intersect(other.get(), gram.get());
            return zv_gram_num_children(other.get(), nullptr, 0) == 1 ? ZV_STATUS_SUCCESS : ZV_STATUS_OUT_OF_MEMORY;
        },
        [&](zv_status_t status) {
            EXPECT_EQ(zv_gram_num_children(other.get(), nullptr, 0), status == ZV_STATUS_SUCCESS ? 1 : 2);
        },
        false);
    fail_each_allocation(
        [&] {
            zv_count_merge(count.get(), more.get());
            return count->root->count == 3 ? ZV_STATUS_SUCCESS : ZV_STATUS_OUT_OF_MEMORY;
        },
        [&](zv_status_t status) { EXPECT_EQ(count->root->count, status == ZV_STATUS_SUCCESS ? 3 : 1); }, false);
}
