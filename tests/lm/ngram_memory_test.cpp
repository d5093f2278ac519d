// Every allocation of the estimator's and the editable model's operations
// fails in turn: each gives OUT_OF_MEMORY (or, where a file can't be
// opened for want of memory, IO_ERROR), hands nothing out, leaves nothing
// allocated, and leaves a model it was given usable. The process heap is
// replaced in this program for that, so the sanitizer build, which owns the
// heap itself, skips it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "lm/kgram.h"
#include "lm/ngram.h"
#include "support/lm_fixtures.h"
#include "support/ngram_fixtures.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {
long g_countdown = -1;  // allocations left before one fails; -1: none fails
[[maybe_unused]] long g_live = 0;  // blocks made and not yet freed since counting began
bool g_counting = false;
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define ZV_HEAP_REPLACED 0
#else
#define ZV_HEAP_REPLACED 1

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);
extern "C" void __libc_free(void *block);

namespace {
bool fail_now() {
    if (g_countdown < 0) return false;
    return g_countdown-- == 0;
}
}  // namespace

extern "C" void *malloc(size_t size) {
    if (fail_now()) return nullptr;
    void *block = __libc_malloc(size);
    if (block && g_counting) ++g_live;
    return block;
}
extern "C" void *calloc(size_t count, size_t size) {
    if (fail_now()) return nullptr;
    void *block = __libc_calloc(count, size);
    if (block && g_counting) ++g_live;
    return block;
}
extern "C" void *realloc(void *block, size_t size) {
    if (fail_now()) return nullptr;
    void *grown = __libc_realloc(block, size);
    if (grown && !block && g_counting) ++g_live;
    return grown;
}
extern "C" void free(void *block) {
    if (block && g_counting) --g_live;
    __libc_free(block);
}
#endif

namespace {

using zv_test::count_file;
using zv_test::TempDir;

void expect_no_leak() {
#if ZV_HEAP_REPLACED
    EXPECT_EQ(g_live, 0);
#endif
}

// Runs op with the n-th allocation failing, for n = 0, 1, ... until op
// succeeds without a failure; check(status) judges each failed run.
// Returns the number of runs that met a failure.
int each_failure(const std::function<zv_status_t()> &op, const std::function<void(zv_status_t)> &check) {
#if ZV_HEAP_REPLACED
    op();  // once beforehand: the runtime's own first-use allocations
    for (int n = 0;; ++n) {
        g_live = 0;
        g_counting = true;
        g_countdown = n;
        const zv_status_t status = op();
        const bool failed = g_countdown < 0;
        g_countdown = -1;
        g_counting = false;
        if (!failed) {
            EXPECT_EQ(status, ZV_STATUS_SUCCESS);
            return n;
        }
        SCOPED_TRACE(n);
        // A failure may be absorbed (a block that only shrinks, a stream
        // that falls back to no buffer): then the run succeeds.
        if (status == ZV_STATUS_SUCCESS) {
            expect_no_leak();
        } else {
            check(status);
        }
        if (n > 100000) return n;
    }
#else
    (void)op;
    (void)check;
    return -1;
#endif
}

class NgramMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ZV_HEAP_REPLACED) GTEST_SKIP() << "the sanitizer owns the heap";
    }
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

TEST_F(NgramMemoryTest, EstimationHandsNothingOut) {
    const std::string path = dir.write("counts.bin", count_file(tree));
    zv_ngram_t *model = nullptr;
    const int runs = each_failure(
        [&] {
            const zv_status_t status = zv_ngram_init(path.c_str(), abcd.get(), &model);
            zv_ngram_delete(model);
            return status;
        },
        [&](zv_status_t status) {
            EXPECT_TRUE(status == ZV_STATUS_OUT_OF_MEMORY || status == ZV_STATUS_IO_ERROR) << status;
            EXPECT_EQ(model, nullptr);
            expect_no_leak();
        });
    EXPECT_GT(runs, 3);
}

TEST_F(NgramMemoryTest, WritersReportAndFreeEverything) {
    zv_ngram_t *model = estimate(dir.write("counts.bin", count_file(tree)), abcd.get());
    const std::string out = dir.path("out");
    for (auto write : {zv_ngram_save_weights, zv_ngram_save_arpa, zv_ngram_save}) {
        each_failure([&] { return write(model, out.c_str()); },
                     [&](zv_status_t status) {
                         EXPECT_TRUE(status == ZV_STATUS_OUT_OF_MEMORY || status == ZV_STATUS_IO_ERROR) << status;
                         expect_no_leak();
                     });
    }
    zv_ngram_delete(model);
}

TEST_F(NgramMemoryTest, SingletonsAndPruningLeaveAUsableModel) {
    const std::string path = dir.write("counts.bin", count_file(tree));
    auto sorted_in_lexicon = [](const zv_ngram_t *model) {
        const zv_ngram_node_t *root = model->root;
        for (int32_t i = 0; i < root->num_children; ++i) {
            if (root->children[i]->word < 0 || root->children[i]->word > 3) return false;
            if (i > 0 && root->children[i - 1]->word >= root->children[i]->word) return false;
        }
        return true;
    };
    zv_ngram_t *model = nullptr;
    each_failure(
        [&] {
            zv_ngram_delete(model);
            g_counting = false;
            const long countdown = g_countdown;
            g_countdown = -1;
            model = estimate(path, abcd.get());
            g_countdown = countdown;
            return zv_ngram_add_singletons(model);
        },
        [&](zv_status_t status) {
            EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY);
            EXPECT_TRUE(sorted_in_lexicon(model));
            // Still good for every other operation.
            zv_ngram_prune(model, 0.1);
            EXPECT_EQ(zv_ngram_save_arpa(model, dir.path("out.arpa").c_str()), ZV_STATUS_SUCCESS);
        });
    EXPECT_EQ(model->root->num_children, 4);
    zv_ngram_delete(model);
}

TEST_F(NgramMemoryTest, EditableModelLoadsAddsAndSaves) {
    zv_ngram_t *ngram = estimate(dir.write("counts.bin", count_file(tree)), abcd.get());
    const std::string blob = dir.path("lm.bin");
    ASSERT_EQ(zv_ngram_save(ngram, blob.c_str()), ZV_STATUS_SUCCESS);
    zv_ngram_delete(ngram);

    zv_kgram_t *model = nullptr;
    each_failure(
        [&] {
            const zv_status_t status = zv_kgram_load(blob.c_str(), &model);
            zv_kgram_delete(model);
            return status;
        },
        [&](zv_status_t status) {
            EXPECT_TRUE(status == ZV_STATUS_OUT_OF_MEMORY || status == ZV_STATUS_IO_ERROR) << status;
            EXPECT_EQ(model, nullptr);
            expect_no_leak();
        });

    auto larger = zv_test::make_lexicon({"a", "aa", "b", "c", "cc", "d", "e"});
    zv_kgram_t *original = nullptr;
    ASSERT_EQ(zv_kgram_load(blob.c_str(), &original), ZV_STATUS_SUCCESS);
    model = nullptr;
    each_failure(
        [&] {
            zv_kgram_delete(model);
            g_counting = false;
            const long countdown = g_countdown;
            g_countdown = -1;
            EXPECT_EQ(zv_kgram_load(blob.c_str(), &model), ZV_STATUS_SUCCESS);
            g_countdown = countdown;
            return zv_kgram_add_words(model, abcd.get(), larger.get());
        },
        [&](zv_status_t status) {
            EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY);
            EXPECT_TRUE(zv_kgram_is_equal(model, original));
        });
    EXPECT_EQ(model->num_nodes, 11);
    const std::string out = dir.path("out.bin");
    each_failure([&] { return zv_kgram_save(model, out.c_str()); },
                 [&](zv_status_t status) {
                     EXPECT_TRUE(status == ZV_STATUS_OUT_OF_MEMORY || status == ZV_STATUS_IO_ERROR) << status;
                     expect_no_leak();
                 });
    zv_kgram_delete(model);
    zv_kgram_delete(original);
}

}  // namespace
