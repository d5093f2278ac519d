#include "lm/containers.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "lm/node.h"
#include "lm/word_tree.h"

namespace {

// Tokens for the map and the stack: each holds a reference on one shared branch.
class Tokens {
public:
    Tokens() {
        EXPECT_EQ(zv_pool_init(sizeof(zv_node_t), 4, &pool_), ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_branch_init(nullptr, 0, 0, &branch_), ZV_STATUS_SUCCESS);  // our own reference
    }
    ~Tokens() {
        EXPECT_EQ(zv_pool_size(pool_), 0) << "tokens leaked";
        EXPECT_EQ(branch_->reference_count, 1);
        branch_->reference_count = 0;
        zv_branch_delete(branch_);
        zv_pool_delete(pool_);
    }
    zv_node_t *make(int32_t state, uint8_t flag, float cost = 0.0f) {
        branch_->reference_count += 1;
        return zv_node_init(pool_, nullptr, 0, state, cost, branch_, 0, flag);
    }
    int32_t live() const { return zv_pool_size(pool_); }

private:
    zv_pool_t *pool_ = nullptr;
    zv_branch_t *branch_ = nullptr;
};

std::vector<zv_node_t *> iterate(const zv_map_t *map) {
    std::vector<zv_node_t *> out;
    if (zv_map_size(map) == 0) return out;
    zv_map_iterator_t it{};
    zv_map_start_iter(map, &it);
    do {
        out.push_back(it.cell->token);
    } while (zv_map_next(map, &it) == ZV_STATUS_SUCCESS);
    return out;
}

}  // namespace

TEST(Pool, PagesFillInOrderAndTheLastFreedSlotComesBackFirst) {
    zv_pool_t *pool = nullptr;
    ASSERT_EQ(zv_pool_init(24, 2, &pool), ZV_STATUS_SUCCESS);
    EXPECT_EQ(pool->page_count, 0);
    void *a = zv_pool_alloc(pool);
    void *b = zv_pool_alloc(pool);
    void *c = zv_pool_alloc(pool);
    EXPECT_EQ(pool->page_count, 2);
    EXPECT_EQ(static_cast<uint8_t *>(b) - static_cast<uint8_t *>(a), 24);
    EXPECT_EQ(c, pool->pages[1]->block);
    zv_pool_free(pool, a);
    EXPECT_EQ(zv_pool_size(pool), 2);
    EXPECT_EQ(zv_pool_alloc(pool), a);  // first page with room, the slot freed last

    // Freeing the slot at the last used position only lowers the count.
    zv_page_t *first = pool->pages[0];
    zv_pool_free(pool, b);
    EXPECT_EQ(first->used, 1);
    EXPECT_EQ(first->position_to_slot[0], 0);
    EXPECT_EQ(first->position_to_slot[1], 1);
    // Freeing a slot below it swaps the two positions.
    zv_pool_alloc(pool);
    zv_pool_free(pool, a);
    EXPECT_EQ(first->position_to_slot[0], 1);
    EXPECT_EQ(first->slot_to_position[0], 1);
    EXPECT_EQ(zv_pool_alloc(pool), a);

    int stranger = 0;
    zv_pool_free(pool, &stranger);  // held by no page: ignored
    EXPECT_EQ(zv_pool_size(pool), 3);
    zv_pool_delete(pool);
    zv_pool_delete(nullptr);
}

// Long runs of allocations and frees over thousands of pages, where the pool
// finds the first page with room and the page of a freed slot without a
// scan: every slot handed out is the one a scan of the pages in creation
// order gives (the first page with room, its slot at position used), and
// every free lowers the count of the page that holds the slot.
TEST(Pool, HandsOutWhatAScanOfThePagesGivesOverThousandsOfPages) {
    std::mt19937 rng(6);
    struct Case {
        int32_t slots;
        int32_t pages;  // at the peak
    };
    for (const Case c : {Case{1, 5000}, Case{3, 600}, Case{64, 300}}) {
        zv_pool_t *pool = nullptr;
        ASSERT_EQ(zv_pool_init(40, c.slots, &pool), ZV_STATUS_SUCCESS);
        std::vector<uint8_t *> held;  // what was handed out, in order
        auto alloc = [&] {
            int32_t first = -1;
            for (int32_t i = 0; i < pool->page_count && first < 0; ++i) {
                if (pool->pages[i]->used < pool->pages[i]->capacity) first = i;
            }
            const int32_t pages = pool->page_count;
            const zv_page_t *page = first >= 0 ? pool->pages[first] : nullptr;
            uint8_t *expected = page ? page->block + 40 * page->position_to_slot[page->used] : nullptr;
            uint8_t *got = static_cast<uint8_t *>(zv_pool_alloc(pool));
            if (!page) {
                EXPECT_EQ(pool->page_count, pages + 1);
                expected = pool->pages[pages]->block;
            }
            held.push_back(got);
            return got == expected;
        };
        auto release = [&](size_t k) {
            uint8_t *slot = held[k];
            held.erase(held.begin() + static_cast<std::ptrdiff_t>(k));
            zv_page_t *owner = nullptr;
            for (int32_t i = 0; i < pool->page_count && !owner; ++i) {
                if (pool->pages[i]->block <= slot && slot < pool->pages[i]->end) owner = pool->pages[i];
            }
            const int32_t used = owner->used;
            zv_pool_free(pool, slot);
            return owner->used == used - 1;
        };
        int64_t steps = 0;
        // Grow to the peak, shrink to a few pages, grow again: pages fill and
        // empty far from the last one.
        for (const int32_t target : {c.pages * c.slots, 5 * c.slots, c.pages / 2 * c.slots, 0}) {
            while (static_cast<int32_t>(held.size()) != target) {
                const bool grow = static_cast<int32_t>(held.size()) < target ? rng() % 4 != 0 : rng() % 4 == 0;
                steps += 1;
                if (grow) {
                    ASSERT_TRUE(alloc()) << "step " << steps;
                } else if (!held.empty()) {
                    ASSERT_TRUE(release(rng() % held.size())) << "step " << steps;
                }
                ASSERT_EQ(zv_pool_size(pool), static_cast<int32_t>(held.size()));
            }
            if (target != c.pages * c.slots) continue;
            // At the peak every page is full: room in page 5 and page 150 (in
            // other words of 64 pages); page 5 fills first, then 150.
            for (int round = 0; round < 3; ++round) {
                ASSERT_TRUE(release(150 * static_cast<size_t>(c.slots)));
                ASSERT_TRUE(release(5 * static_cast<size_t>(c.slots)));
                ASSERT_TRUE(alloc());
                ASSERT_TRUE(alloc());
                ASSERT_EQ(pool->page_count, c.pages);
            }
        }
        EXPECT_GE(pool->page_count, c.pages);
        // Pointers that no page holds are ignored, however many pages there are.
        int stranger = 0;
        std::vector<uint8_t> heap(4096);
        zv_pool_free(pool, &stranger);
        zv_pool_free(pool, heap.data() + 2048);
        EXPECT_EQ(zv_pool_size(pool), 0);
        for (int32_t i = 0; i < pool->page_count; ++i) EXPECT_EQ(pool->pages[i]->used, 0);
        zv_pool_delete(pool);
    }
}

TEST(Map, BucketsChainsReplacementAndLookup) {
    Tokens tokens;
    zv_map_t *map = nullptr;
    ASSERT_EQ(zv_map_init(4, &map), ZV_STATUS_SUCCESS);
    zv_node_t *a = tokens.make(1, 0);
    zv_node_t *b = tokens.make(0, 1);
    zv_node_t *c = tokens.make(5, 0);
    zv_node_t *low = tokens.make(4, 0);  // bucket 0, iterated before all of bucket 1
    for (zv_node_t *t : {a, b, c, low}) ASSERT_EQ(zv_map_insert(map, t), ZV_STATUS_SUCCESS);
    EXPECT_EQ(iterate(map), (std::vector<zv_node_t *>{low, c, b, a}));
    EXPECT_EQ(a->reference_count, 1);

    // Same key: the cell keeps its place and count; the old token, unreferenced, goes.
    zv_node_t *b2 = tokens.make(0, 1, 9.0f);
    ASSERT_EQ(zv_map_insert(map, b2), ZV_STATUS_SUCCESS);
    EXPECT_EQ(iterate(map), (std::vector<zv_node_t *>{low, c, b2, a}));
    EXPECT_EQ(zv_map_size(map), 4);
    EXPECT_EQ(tokens.live(), 4);

    zv_node_t *found = nullptr;
    EXPECT_EQ(zv_map_find(map, 0, 1, &found), ZV_STATUS_SUCCESS);
    EXPECT_EQ(found, b2);
    found = a;
    EXPECT_EQ(zv_map_find(map, 1, 1, &found), ZV_STATUS_KEY_ERROR);  // (1, 1) is in bucket 2
    EXPECT_EQ(found, a);
    EXPECT_EQ(zv_map_find(map, 4, 1, &found), ZV_STATUS_KEY_ERROR);  // same bucket as (5, 0), other key

    // Removal walks on; skipping with next and removing with remove mix.
    zv_map_iterator_t it{};
    zv_map_start_iter(map, &it);
    ASSERT_EQ(it.cell->token, low);
    EXPECT_EQ(zv_map_remove(map, &it), ZV_STATUS_SUCCESS);  // to the head of bucket 1
    EXPECT_EQ(it.cell->token, c);
    EXPECT_EQ(zv_map_next(map, &it), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_map_remove(map, &it), ZV_STATUS_SUCCESS);  // b2, in the middle of the chain
    EXPECT_EQ(it.cell->token, a);
    EXPECT_EQ(zv_map_remove(map, &it), ZV_STATUS_STOP_ITERATION);  // last of the chain and the map
    EXPECT_EQ(iterate(map), (std::vector<zv_node_t *>{c}));
    EXPECT_EQ(zv_map_find(map, 5, 0, &found), ZV_STATUS_SUCCESS);
    EXPECT_EQ(tokens.live(), 1);
    zv_map_delete(map);
    zv_map_delete(nullptr);
}

TEST(Map, RemovingTheOnlyEntryEndsTheIterationAndEmptiesTheMap) {
    Tokens tokens;
    zv_map_t *map = nullptr;
    ASSERT_EQ(zv_map_init(8, &map), ZV_STATUS_SUCCESS);
    zv_map_iterator_t it{-5, nullptr};
    zv_map_start_iter(map, &it);  // empty: untouched
    EXPECT_EQ(it.bucket, -5);
    ASSERT_EQ(zv_map_insert(map, tokens.make(3, 0)), ZV_STATUS_SUCCESS);
    zv_map_start_iter(map, &it);
    EXPECT_EQ(it.bucket, 3);
    EXPECT_EQ(zv_map_next(map, &it), ZV_STATUS_STOP_ITERATION);
    EXPECT_EQ(it.bucket, 3);
    EXPECT_EQ(zv_map_remove(map, &it), ZV_STATUS_STOP_ITERATION);
    EXPECT_EQ(zv_map_size(map), 0);
    EXPECT_EQ(tokens.live(), 0);
    zv_map_delete(map);
}

TEST(Map, KeySumsWrapAndNonPowerOfTwoCountsUseMaskedBuckets) {
    Tokens tokens;
    zv_map_t *map = nullptr;
    ASSERT_EQ(zv_map_init(6, &map), ZV_STATUS_SUCCESS);  // mask 5: buckets 0, 1, 4, 5
    zv_node_t *big = tokens.make(INT32_MAX, 255);  // the sum wraps in 32 bits
    zv_node_t *two = tokens.make(2, 0);            // 2 & 5 = 0
    for (zv_node_t *t : {big, two}) ASSERT_EQ(zv_map_insert(map, t), ZV_STATUS_SUCCESS);
    zv_node_t *found = nullptr;
    EXPECT_EQ(zv_map_find(map, INT32_MAX, 255, &found), ZV_STATUS_SUCCESS);
    EXPECT_EQ(found, big);
    zv_map_iterator_t it{};
    zv_map_start_iter(map, &it);
    EXPECT_EQ(it.bucket, 0);
    EXPECT_EQ(map->buckets[2], nullptr);
    EXPECT_EQ(map->buckets[3], nullptr);
    zv_map_delete(map);  // releases both
}

TEST(Stack, GrowsByDoublingAndPopsWithoutReleasing) {
    Tokens tokens;
    zv_stack_t *stack = nullptr;
    ASSERT_EQ(zv_stack_init(1, &stack), ZV_STATUS_SUCCESS);
    zv_node_t *a = tokens.make(1, 0);
    zv_node_t *b = tokens.make(2, 0);
    ASSERT_EQ(zv_stack_push(stack, a), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_stack_push(stack, b), ZV_STATUS_SUCCESS);
    EXPECT_EQ(stack->capacity, 2);
    EXPECT_EQ(stack->size, 2);
    EXPECT_EQ(b->reference_count, 1);
    zv_node_t *top = nullptr;
    zv_stack_pop(stack, &top);
    EXPECT_EQ(top, b);
    zv_stack_pop(stack, &top);
    EXPECT_EQ(top, a);
    EXPECT_EQ(a->reference_count, 0);
    EXPECT_EQ(tokens.live(), 2);  // at count 0, the caller's to release
    zv_node_delete(a);
    zv_node_delete(b);
    zv_stack_delete(stack);
    zv_stack_delete(nullptr);
}

TEST(Heap, KeepsTheSmallestValuesWithTheGreatestAtTheRoot) {
    struct Case {
        int32_t capacity;
        std::vector<float> offered;
        float root;
        std::vector<float> kept;
    };
    const Case cases[] = {
        {3, {5, 1, 4, 2}, 4, {1, 2, 4}},
        {3, {5, 1, 4, 2, 4}, 4, {1, 2, 4}},  // not below the root: dropped
        {3, {5, 1, 4, 2, 3}, 3, {1, 2, 3}},
        {3, {7}, 7, {7}},
        {2, {1, 2, 2}, 2, {1, 2}},
        {1, {3, 9, 2, 2}, 2, {2}},
    };
    for (const Case &c : cases) {
        zv_heap_t *heap = nullptr;
        ASSERT_EQ(zv_heap_init(c.capacity, &heap), ZV_STATUS_SUCCESS);
        for (float v : c.offered) zv_heap_insert(heap, v);
        EXPECT_EQ(heap->values[1], c.root);
        std::vector<float> kept(heap->values + 1, heap->values + 1 + heap->count);
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.kept);
        zv_heap_delete(heap);
    }
    zv_heap_delete(nullptr);
}

// Against sorting, on random offers: the root is the k-th smallest and every
// node is at most its parent.
TEST(Heap, RootIsTheKthSmallestOnRandomOffers) {
    uint32_t seed = 7;
    auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int round = 0; round < 200; ++round) {
        const int32_t k = 1 + static_cast<int32_t>(next() % 9);
        const int n = 1 + static_cast<int>(next() % 30);
        zv_heap_t *heap = nullptr;
        ASSERT_EQ(zv_heap_init(k, &heap), ZV_STATUS_SUCCESS);
        std::vector<float> all;
        for (int i = 0; i < n; ++i) {
            all.push_back(static_cast<float>(next() % 12));
            zv_heap_insert(heap, all.back());
        }
        std::sort(all.begin(), all.end());
        EXPECT_EQ(heap->values[1], all[std::min<size_t>(all.size(), static_cast<size_t>(k)) - 1]);
        for (int32_t i = 2; i <= heap->count; ++i) EXPECT_LE(heap->values[i], heap->values[i / 2]);
        zv_heap_delete(heap);
    }
}
