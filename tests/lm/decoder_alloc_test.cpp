// Every allocation of the decoder, its containers and its word tree failing
// in turn: a status, never a crash, and after reset or delete nothing left.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lm/containers.h"
#include "lm/decoder.h"
#include "lm/node.h"
#include "lm/word_tree.h"
#include "support/alloc_sweep.h"
#include "support/failing_alloc.h"
#include "support/packed_graph.h"

using zv_test::PackedArc;

namespace {

// "the", "cat" and "dog" pronounced 1, 2 and 3, as in the decoder test.
zv_test::PackedGraphPtr three_words() {
    const std::vector<PackedArc> arcs = {{0, 1, 0, 0, 2}, {0, 2, 0, 0, 3}, {0, 3, 0, 0, 4}, {2, 0, 7, 4, 1},
                                         {3, 0, 3, 4, 1}, {4, 0, 5, 4, 1}, {1, 0, 0, 0, 0}};
    return zv_test::pack_graph(5, {1, 1, 0, 0, 0}, arcs, {"a", "b", "cat", "d", "dog", "f", "the"}, 3);
}

// Forty words of no phonemes ("a", each at -1) in a chain from the start
// state, each of their states backing off to it at 0, and "cat" pronounced 1:
// in every frame the closure's path grows past its first entries, and each
// backoff closes a cycle of negative weight that the closure cuts. A state
// left marked as on the path would cut the chain short.
zv_test::PackedGraphPtr epsilon_chain() {
    constexpr int32_t kLength = 40;
    std::vector<PackedArc> arcs = {{0, 1, 0, 0, kLength + 1}, {kLength + 1, 0, 3, 4, 0}};
    for (int32_t k = 0; k < kLength; ++k) {
        if (k > 0) arcs.push_back({k, 0, 0, 0, 0});
        arcs.push_back({k, 0, 1, -1, k + 1});
    }
    arcs.push_back({kLength, 0, 0, 0, 0});
    std::vector<uint8_t> finals(kLength + 2, 1);
    finals.back() = 0;
    return zv_test::pack_graph(kLength + 2, finals, arcs, {"a", "b", "cat", "d", "dog", "f", "the"}, 3);
}

std::vector<std::vector<int16_t>> stream() {
    std::vector<std::vector<int16_t>> frames;
    for (int32_t p : {1, 1, 0, 2, 2, 0, 3, 3, 0, 1, 2}) {
        std::vector<int16_t> s(4, -6000);
        s[static_cast<size_t>(p)] = 0;
        frames.push_back(s);
    }
    return frames;
}

// Partial texts of frames [from, to) and the flushed text, with the allocator disarmed.
std::string run(zv_decoder_t *d, size_t from, size_t to) {
    const auto frames = stream();
    std::string out;
    for (size_t i = from; i < to; ++i) {
        char *text = nullptr;
        EXPECT_EQ(zv_decoder_process(d, frames[i].data(), &text), ZV_STATUS_SUCCESS);
        out += std::string(text ? text : "<null>") + "|";
        std::free(text);
    }
    char *text = nullptr;
    EXPECT_EQ(zv_decoder_flush(d, &text), ZV_STATUS_SUCCESS);
    out += text ? text : "<null>";
    std::free(text);
    return out;
}

constexpr int32_t kMaxActive = 2;  // small pages: the cell pools grow page by page

}  // namespace

TEST(DecoderAlloc, InitFailsCleanlyAtEveryAllocation) {
    zv_test::PackedGraphPtr g = three_words();
    const int64_t allocations = zv_test::sweep_fails_cleanly("decoder init", [&]() -> zv_status_t {
        zv_decoder_t *d = nullptr;
        const zv_status_t status = zv_decoder_init(g.get(), 5.0f, kMaxActive, 1.0f, &d);
        if (status != ZV_STATUS_SUCCESS && d != nullptr) return ZV_STATUS_RUNTIME_ERROR;  // handed out on failure
        zv_decoder_delete(d);
        return status;
    });
    EXPECT_GT(allocations, 10);
}

// Each allocation of each frame fails in turn. Then either delete at once, or
// reset (which must give what a new decoder gives) and delete; over the
// epsilon chain too, whose closure's path grows within a frame and marks the
// states on it (a reset after a failure must leave none marked).
TEST(DecoderAlloc, AFailedFrameIsReleasedByResetOrDelete) {
    const std::vector<std::vector<int16_t>> scores = stream();  // made before any allocation fails
    const size_t frames = scores.size();
    for (const bool chain : {false, true}) {
        zv_test::PackedGraphPtr g = chain ? epsilon_chain() : three_words();
        std::string expected;
        {
            zv_decoder_t *d = nullptr;
            ASSERT_EQ(zv_decoder_init(g.get(), 5.0f, kMaxActive, 1.0f, &d), ZV_STATUS_SUCCESS);
            expected = run(d, 0, frames);
            zv_decoder_delete(d);
        }
        const int64_t live = zv_failing_alloc_live();
        int64_t failures = 0;
        for (size_t k = 0; k < frames; ++k) {
            for (int64_t n = 1;; ++n) {
                zv_decoder_t *d = nullptr;
                ASSERT_EQ(zv_decoder_init(g.get(), 5.0f, kMaxActive, 1.0f, &d), ZV_STATUS_SUCCESS);
                run(d, 0, k);
                char *text = reinterpret_cast<char *>(1);
                zv_failing_alloc_fail_at(n);
                const zv_status_t status = zv_decoder_process(d, scores[k].data(), &text);
                const bool fired = zv_failing_alloc_fired() != 0;
                zv_failing_alloc_fail_at(0);
                if (!fired) {
                    EXPECT_EQ(status, ZV_STATUS_SUCCESS);
                    std::free(text);
                    zv_decoder_delete(d);
                    break;
                }
                if (status == ZV_STATUS_SUCCESS) {
                    // Only a word-tree branch's shrink may fail unseen (the
                    // larger array is kept): the stream goes on as it would.
                    zv_decoder_t *same = nullptr;
                    ASSERT_EQ(zv_decoder_init(g.get(), 5.0f, kMaxActive, 1.0f, &same), ZV_STATUS_SUCCESS);
                    run(same, 0, k);
                    char *same_text = nullptr;
                    ASSERT_EQ(zv_decoder_process(same, scores[k].data(), &same_text), ZV_STATUS_SUCCESS);
                    EXPECT_STREQ(text, same_text) << chain << " frame " << k << " allocation " << n;
                    EXPECT_EQ(run(d, k + 1, frames), run(same, k + 1, frames)) << chain << " frame " << k << " allocation " << n;
                    std::free(text);
                    std::free(same_text);
                    zv_decoder_delete(same);
                    zv_decoder_delete(d);
                    continue;
                }
                failures += 1;
                EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY) << chain << " frame " << k << " allocation " << n;
                EXPECT_EQ(text, nullptr);
                if (n % 2 == 0) {
                    ASSERT_EQ(zv_decoder_reset(d), ZV_STATUS_SUCCESS);
                    EXPECT_EQ(run(d, 0, frames), expected) << chain << " frame " << k << " allocation " << n;
                }
                zv_decoder_delete(d);
                ASSERT_EQ(zv_failing_alloc_live(), live) << chain << " frame " << k << " allocation " << n;
            }
        }
        EXPECT_GT(failures, static_cast<int64_t>(frames) * 3) << chain;
    }
}

// A reset that fails part way leaves a decoder that delete releases; one that
// a failed frame left behind too. Flush reports a text it can't allocate.
TEST(DecoderAlloc, AFailedResetOrFlushIsSafe) {
    zv_test::PackedGraphPtr g = three_words();
    const std::vector<std::vector<int16_t>> scores = stream();
    const int64_t live = zv_failing_alloc_live();
    for (int64_t n = 1;; ++n) {
        zv_decoder_t *d = nullptr;
        ASSERT_EQ(zv_decoder_init(g.get(), 5.0f, kMaxActive, 1.0f, &d), ZV_STATUS_SUCCESS);
        run(d, 0, 5);
        if (n % 2 == 1) {  // a frame failed before the reset
            char *text = nullptr;
            zv_failing_alloc_fail_at(3);
            EXPECT_EQ(zv_decoder_process(d, scores[5].data(), &text), ZV_STATUS_OUT_OF_MEMORY);
            zv_failing_alloc_fail_at(0);
        }
        zv_failing_alloc_fail_at(n);
        const zv_status_t status = zv_decoder_reset(d);
        const bool fired = zv_failing_alloc_fired() != 0;
        zv_failing_alloc_fail_at(0);
        EXPECT_EQ(status, fired ? ZV_STATUS_OUT_OF_MEMORY : ZV_STATUS_SUCCESS) << n;
        if (fired) {
            char *text = reinterpret_cast<char *>(1);
            // Anything but delete is refused, not a crash, when reset left no tokens.
            const zv_status_t again = zv_decoder_process(d, scores[0].data(), &text);
            EXPECT_TRUE(again == ZV_STATUS_INVALID_STATE || again == ZV_STATUS_SUCCESS) << n;
            std::free(text);
        }
        zv_decoder_delete(d);
        ASSERT_EQ(zv_failing_alloc_live(), live) << n;
        if (!fired) break;
    }

    zv_decoder_t *d = nullptr;
    ASSERT_EQ(zv_decoder_init(g.get(), 5.0f, kMaxActive, 1.0f, &d), ZV_STATUS_SUCCESS);
    run(d, 0, 8);
    char *text = reinterpret_cast<char *>(1);
    zv_failing_alloc_fail_at(1);
    EXPECT_EQ(zv_decoder_flush(d, &text), ZV_STATUS_OUT_OF_MEMORY);
    zv_failing_alloc_fail_at(0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(run(d, 8, 8), "dog");
    zv_decoder_delete(d);
}

// A shrinking realloc that fails keeps the larger array with every remaining child.
TEST(DecoderAlloc, RemoveChildKeepsItsChildrenWhenTheShrinkFails) {
    zv_branch_t *root = nullptr;
    ASSERT_EQ(zv_branch_init(nullptr, 0, 0, &root), ZV_STATUS_SUCCESS);
    std::vector<zv_branch_t *> kids;
    for (int32_t w : {4, 2, 9}) {
        zv_branch_t *b = nullptr;
        ASSERT_EQ(zv_branch_init(root, w, 0, &b), ZV_STATUS_SUCCESS);
        kids.push_back(b);
    }
    zv_branch_t **before = root->children;
    zv_failing_alloc_fail_at(1);
    const zv_status_t status = zv_branch_remove_child(root, kids[0]);
    const bool fired = zv_failing_alloc_fired() != 0;
    zv_failing_alloc_fail_at(0);
    EXPECT_TRUE(fired);
    EXPECT_EQ(status, ZV_STATUS_SUCCESS);
    ASSERT_EQ(root->child_count, 2);
    EXPECT_EQ(root->children, before);
    EXPECT_EQ(root->children[0], kids[1]);
    EXPECT_EQ(root->children[1], kids[2]);
    std::free(kids[0]);  // taken out by hand: no longer a child
    for (zv_branch_t *b : {kids[1], kids[2], root}) {
        b->reference_count = 0;
        zv_branch_delete(b);
    }
}

// The containers' failures leave them as they were.
TEST(DecoderAlloc, ContainersAreUnchangedByAFailedGrowth) {
    zv_branch_t *branch = nullptr;
    ASSERT_EQ(zv_branch_init(nullptr, 0, 0, &branch), ZV_STATUS_SUCCESS);
    zv_pool_t *pool = nullptr;
    ASSERT_EQ(zv_pool_init(sizeof(zv_node_t), 1, &pool), ZV_STATUS_SUCCESS);
    zv_node_t *a = zv_node_init(pool, nullptr, 0, 1, 0.0f, branch, 0, 0);
    branch->reference_count += 1;
    for (int64_t n = 1;; ++n) {  // the page array, then each part of the page
        zv_failing_alloc_fail_at(n);
        void *slot = zv_pool_alloc(pool);
        const bool fired = zv_failing_alloc_fired() != 0;
        zv_failing_alloc_fail_at(0);
        if (!fired) {
            zv_pool_free(pool, slot);
            break;
        }
        EXPECT_EQ(slot, nullptr);
        EXPECT_EQ(pool->page_count, 1);
        EXPECT_EQ(zv_pool_size(pool), 1);
    }

    zv_map_t *map = nullptr;
    ASSERT_EQ(zv_map_init(1, &map), ZV_STATUS_SUCCESS);
    zv_failing_alloc_fail_at(1);
    EXPECT_EQ(zv_map_insert(map, a), ZV_STATUS_OUT_OF_MEMORY);
    zv_failing_alloc_fail_at(0);
    EXPECT_EQ(zv_map_size(map), 0);
    EXPECT_EQ(a->reference_count, 0);

    zv_stack_t *stack = nullptr;
    ASSERT_EQ(zv_stack_init(1, &stack), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_stack_push(stack, a), ZV_STATUS_SUCCESS);
    zv_failing_alloc_fail_at(1);
    EXPECT_EQ(zv_stack_push(stack, a), ZV_STATUS_OUT_OF_MEMORY);
    zv_failing_alloc_fail_at(0);
    EXPECT_EQ(stack->capacity, 1);
    EXPECT_EQ(stack->size, 1);
    EXPECT_EQ(a->reference_count, 1);
    zv_node_t *top = nullptr;
    zv_stack_pop(stack, &top);
    zv_node_delete(top);  // releases the token and the branch's last reference but ours
    EXPECT_EQ(zv_pool_size(pool), 0);
    zv_stack_delete(stack);
    zv_map_delete(map);
    zv_pool_delete(pool);
    branch->reference_count -= 1;
    zv_branch_delete(branch);
}

// A pool past the pages it scans keeps which pages have room and where their
// blocks lie; a new page that fails at any allocation (the page array, those
// two when they are made or grow, the page itself) leaves the pool as it was,
// and it goes on handing out and taking back slots page by page.
TEST(DecoderAlloc, APoolOfManyPagesIsUnchangedByAFailedPage) {
    for (const int32_t pages : {8, 32, 64, 100}) {
        zv_pool_t *pool = nullptr;
        ASSERT_EQ(zv_pool_init(sizeof(zv_node_t), 1, &pool), ZV_STATUS_SUCCESS);
        std::vector<void *> slots;
        for (int32_t i = 0; i < pages; ++i) slots.push_back(zv_pool_alloc(pool));
        for (int64_t n = 1;; ++n) {
            const int64_t live = zv_failing_alloc_live();
            zv_failing_alloc_fail_at(n);
            void *slot = zv_pool_alloc(pool);
            const bool fired = zv_failing_alloc_fired() != 0;
            zv_failing_alloc_fail_at(0);
            if (!fired) {
                slots.push_back(slot);
                break;
            }
            EXPECT_EQ(slot, nullptr) << pages << " " << n;
            EXPECT_EQ(pool->page_count, pages) << pages << " " << n;
            EXPECT_EQ(zv_pool_size(pool), pages) << pages << " " << n;
            EXPECT_EQ(zv_failing_alloc_live(), live) << pages << " " << n;  // nothing half made kept
        }
        ASSERT_EQ(pool->page_count, pages + 1);
        for (int32_t i = 0; i <= pages; ++i) ASSERT_EQ(slots[static_cast<size_t>(i)], pool->pages[i]->block);
        // Slots back from the middle out, then again in page order.
        for (int32_t i = pages / 2; i >= 0; --i) zv_pool_free(pool, slots[static_cast<size_t>(i)]);
        for (int32_t i = pages / 2 + 1; i <= pages; ++i) zv_pool_free(pool, slots[static_cast<size_t>(i)]);
        EXPECT_EQ(zv_pool_size(pool), 0);
        for (int32_t i = 0; i <= pages; ++i) EXPECT_EQ(zv_pool_alloc(pool), pool->pages[i]->block) << pages << " " << i;
        EXPECT_EQ(pool->page_count, pages + 1);
        zv_pool_delete(pool);
    }
}
