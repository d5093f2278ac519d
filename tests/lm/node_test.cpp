#include "lm/node.h"

#include <gtest/gtest.h>

#include "lm/containers.h"
#include "lm/word_tree.h"

namespace {

struct Fixture {
    zv_pool_t *pool = nullptr;
    zv_tree_t *tree = nullptr;
    Fixture() {
        EXPECT_EQ(zv_pool_init(sizeof(zv_node_t), 8, &pool), ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_tree_init(&tree), ZV_STATUS_SUCCESS);
    }
    ~Fixture() {
        EXPECT_EQ(zv_pool_size(pool), 0);
        zv_pool_delete(pool);
        zv_tree_delete(tree);
    }
};

}  // namespace

TEST(Node, ChildHoldsItsParentAndReleasingItReleasesTheChain) {
    Fixture f;
    zv_branch_t *root = zv_tree_root(f.tree);  // its reference goes to the first token
    zv_node_t *start = zv_node_init(f.pool, nullptr, -1, 0, 0.0f, root, 0, 1);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->reference_count, 0);
    start->reference_count = 1;  // as if held by a map
    zv_branch_t *word = nullptr;
    ASSERT_EQ(zv_tree_insert(f.tree, root, 4, 1, &word), ZV_STATUS_SUCCESS);
    zv_node_t *child = zv_node_init(f.pool, start, 3, 7, 1.5f, word, 1, 0);
    EXPECT_EQ(start->reference_count, 2);
    EXPECT_EQ(child->parent, start);
    EXPECT_EQ(child->pool, f.pool);

    zv_node_delete(start);  // has references: left alone
    start->reference_count -= 1;
    zv_node_delete(start);  // still held by its child
    EXPECT_EQ(zv_pool_size(f.pool), 2);
    EXPECT_EQ(zv_branch_size(root), 2);

    const void *child_slot = child;
    const void *start_slot = start;
    zv_node_delete(child);  // count 0: child, its branch, the parent and the root go
    EXPECT_EQ(zv_pool_size(f.pool), 0);
    // The parent's slot went back first and the child's last, so the child's
    // is the next one handed out.
    void *first = zv_pool_alloc(f.pool);
    void *second = zv_pool_alloc(f.pool);
    EXPECT_EQ(first, child_slot);
    EXPECT_EQ(second, start_slot);
    zv_pool_free(f.pool, first);
    zv_pool_free(f.pool, second);
}

TEST(Node, EqualityIgnoresPoolDepthAndFlag) {
    Fixture f;
    zv_pool_t *other = nullptr;
    ASSERT_EQ(zv_pool_init(sizeof(zv_node_t), 8, &other), ZV_STATUS_SUCCESS);
    zv_branch_t *root = zv_tree_root(f.tree);
    root->reference_count = 3;
    zv_node_t *a = zv_node_init(f.pool, nullptr, 2, 5, 0.25f, root, 1, 0);
    zv_node_t *b = zv_node_init(other, nullptr, 2, 5, 0.25f, root, 9, 1);
    EXPECT_TRUE(zv_node_is_equal(a, b));
    b->cost = 0.5f;
    EXPECT_FALSE(zv_node_is_equal(a, b));
    b->cost = 0.25f;
    b->reference_count = 1;
    EXPECT_FALSE(zv_node_is_equal(a, b));
    b->reference_count = 0;
    root->reference_count = 2;
    zv_node_delete(a);
    zv_node_delete(b);
    EXPECT_EQ(zv_pool_size(other), 0);
    zv_pool_delete(other);
}

// One token per frame of history: releasing the newest must not recurse per frame.
TEST(Node, ReleasingAHistoryOfTwoHundredThousandTokensUsesNoRecursion) {
    Fixture f;
    zv_pool_t *pool = nullptr;  // pages as large as the decoder's, not one per 8 tokens
    ASSERT_EQ(zv_pool_init(sizeof(zv_node_t), 1 << 17, &pool), ZV_STATUS_SUCCESS);
    zv_branch_t *root = zv_tree_root(f.tree);
    zv_node_t *t = zv_node_init(pool, nullptr, -1, 0, 0.0f, root, 0, 1);
    for (int32_t i = 1; i <= 200000; ++i) {
        root->reference_count += 1;
        t = zv_node_init(pool, t, 0, 0, 0.0f, root, i, 1);
        ASSERT_NE(t, nullptr);
    }
    EXPECT_EQ(zv_pool_size(pool), 200001);
    zv_node_delete(t);
    EXPECT_EQ(zv_pool_size(pool), 0);
    zv_pool_delete(pool);
}
