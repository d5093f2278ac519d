#include "lm/word_tree.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "foundation/log.h"
#include "support/child_process.h"
#include "support/packed_graph.h"

namespace {

std::vector<int32_t> words_of(const zv_branch_t *b) {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < b->child_count; ++i) out.push_back(b->children[i]->word);
    return out;
}

// Releases a branch's reference as a token would.
void release(zv_branch_t *b) {
    b->reference_count -= 1;
    zv_branch_delete(b);
}

zv_branch_t *child(zv_branch_t *parent, int32_t word, int32_t time) {
    zv_branch_t *b = nullptr;
    EXPECT_EQ(zv_branch_init(parent, word, time, &b), ZV_STATUS_SUCCESS);
    return b;
}

}  // namespace

TEST(WordTree, ChildrenStaySortedAsUnsignedWords) {
    zv_branch_t *root = child(nullptr, 0, 0);
    zv_branch_t *seven = child(root, 7, 0);
    child(root, 3, 0);
    child(root, 5, 0);
    child(root, -1, 0);  // 0xffffffff sorts last
    EXPECT_EQ(words_of(root), (std::vector<int32_t>{3, 5, 7, -1}));
    EXPECT_EQ(zv_branch_find_child_index(root, 5), 1);
    EXPECT_EQ(zv_branch_find_child_index(root, 4), -1);
    EXPECT_EQ(zv_branch_find_child_index(root, -1), 3);
    EXPECT_EQ(zv_branch_find_child(root, 7), seven);
    EXPECT_EQ(zv_branch_find_child(root, 8), nullptr);
    EXPECT_EQ(zv_branch_size(root), 5);
    EXPECT_EQ(zv_branch_size(seven), 1);
    // Releasing every child leaves the root alone (it still has its reference).
    while (root->child_count > 0) release(root->children[0]);
    EXPECT_EQ(root->children, nullptr);
    release(root);
}

TEST(WordTree, InsertRaisesCountAndTimeButNeverLowersTheTime) {
    zv_tree_t *tree = nullptr;
    ASSERT_EQ(zv_tree_init(&tree), ZV_STATUS_SUCCESS);
    zv_branch_t *root = zv_tree_root(tree);
    EXPECT_EQ(zv_tree_current(tree), root);
    zv_branch_t *a = nullptr;
    zv_branch_t *again = nullptr;
    ASSERT_EQ(zv_tree_insert(tree, root, 9, 5, &a), ZV_STATUS_SUCCESS);
    EXPECT_EQ(a->reference_count, 1);
    ASSERT_EQ(zv_tree_insert(tree, root, 9, 3, &again), ZV_STATUS_SUCCESS);
    EXPECT_EQ(again, a);
    EXPECT_EQ(a->reference_count, 2);
    EXPECT_EQ(a->time, 5);
    ASSERT_EQ(zv_tree_insert(tree, root, 9, 8, &again), ZV_STATUS_SUCCESS);
    EXPECT_EQ(a->time, 8);
    release(a);
    release(a);
    release(a);
    EXPECT_EQ(root->child_count, 0);
    release(root);
    zv_tree_delete(tree);
    zv_tree_delete(nullptr);
}

// A leaf whose parent has no other child and no references goes with it; the
// grandparent loses that child and keeps its other one.
TEST(WordTree, ReleasingALeafReleasesItsEmptiedAncestors) {
    zv_branch_t *root = child(nullptr, 0, 0);
    zv_branch_t *a = child(root, 1, 0);
    zv_branch_t *keep = child(root, 2, 0);
    zv_branch_t *b = child(a, 3, 0);
    zv_branch_t *leaf = child(b, 4, 0);
    release(a);
    release(b);  // both held up by their children now
    EXPECT_EQ(zv_branch_size(root), 5);
    release(leaf);
    EXPECT_EQ(words_of(root), (std::vector<int32_t>{2}));
    release(keep);
    release(root);  // the root, a branch like any other, goes too
}

// Two children with one word (branch_init under a parent that already has it):
// removal takes the given one, never its sibling.
TEST(WordTree, RemoveChildTakesThatVeryChildAmongEqualWords) {
    zv_branch_t *root = child(nullptr, 0, 0);
    zv_branch_t *first = child(root, 6, 0);
    zv_branch_t *second = child(root, 6, 0);
    zv_branch_t *third = child(root, 6, 0);
    child(root, 2, 0);
    child(root, 9, 0);
    ASSERT_EQ(root->child_count, 5);
    EXPECT_EQ(root->children[1], first);  // each new one after the equal words
    EXPECT_EQ(root->children[3], third);
    release(second);
    ASSERT_EQ(root->child_count, 4);
    EXPECT_EQ(root->children[1], first);
    EXPECT_EQ(root->children[2], third);
    zv_branch_t stranger{};
    stranger.word = 6;
    EXPECT_EQ(zv_branch_remove_child(root, &stranger), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(root->child_count, 4);
    while (root->child_count > 0) release(root->children[root->child_count - 1]);
    release(root);
}

TEST(WordTree, PartialOutputsFollowTheSingleChildChain) {
    zv_tree_t *tree = nullptr;
    ASSERT_EQ(zv_tree_init(&tree), ZV_STATUS_SUCCESS);
    zv_branch_t *root = zv_tree_root(tree);
    zv_branch_t *a = child(root, 11, 4);
    zv_branch_t *b = child(a, 12, 10);
    zv_branch_t *c = child(b, 13, 10);
    zv_branch_t *d = child(b, 14, 10);
    release(root);
    release(a);

    int32_t count = -1;
    int32_t *words = nullptr;
    ASSERT_EQ(zv_tree_partial_outputs(tree, 10, &count, &words), ZV_STATUS_SUCCESS);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(words[0], 11);
    EXPECT_EQ(words[1], 12);
    free(words);
    EXPECT_EQ(zv_tree_current(tree), b);
    // b has time 10 and two children: nothing at frame 10, nothing at 11 either.
    for (int32_t t : {10, 11}) {
        ASSERT_EQ(zv_tree_partial_outputs(tree, t, &count, &words), ZV_STATUS_SUCCESS);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(words, nullptr);
    }
    // Once one child goes, the other is certain at a later frame.
    release(d);
    release(b);
    ASSERT_EQ(zv_tree_partial_outputs(tree, 11, &count, &words), ZV_STATUS_SUCCESS);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(words[0], 13);
    free(words);
    EXPECT_EQ(zv_tree_current(tree), c);
    EXPECT_TRUE(zv_tree_is_valid(tree));
    release(c);  // the whole tree goes
    zv_tree_delete(tree);
}

TEST(WordTree, ValidityFindsABranchWithNeitherReferenceNorChild) {
    zv_tree_t *tree = nullptr;
    ASSERT_EQ(zv_tree_init(&tree), ZV_STATUS_SUCCESS);
    zv_branch_t *root = zv_tree_root(tree);
    EXPECT_TRUE(zv_tree_is_valid(tree));
    zv_branch_t *a = child(root, 1, 0);
    zv_branch_t *b = child(a, 2, 0);
    child(root, 3, 0)->reference_count = 0;  // orphaned without release
    EXPECT_FALSE(zv_tree_is_valid(tree));
    root->children[1]->reference_count = 1;
    a->reference_count = 0;
    EXPECT_TRUE(zv_tree_is_valid(tree));  // a lives by its child
    root->reference_count = 0;
    EXPECT_TRUE(zv_tree_is_valid(tree));
    release(root->children[1]);
    b->reference_count = 0;
    EXPECT_FALSE(zv_tree_is_valid(tree));
    b->reference_count = 1;
    release(b);  // b, a and the root all go
    zv_tree_delete(tree);
}

// A chain as deep as a long decode: size, validity and release need no recursion.
TEST(WordTree, AMillionDeepChainIsWalkedAndReleasedIteratively) {
    zv_tree_t *tree = nullptr;
    ASSERT_EQ(zv_tree_init(&tree), ZV_STATUS_SUCCESS);
    zv_branch_t *b = zv_tree_root(tree);
    for (int32_t i = 1; i <= 1000000; ++i) {
        zv_branch_t *next = child(b, i, 0);
        release(b);
        b = next;
    }
    EXPECT_EQ(zv_branch_size(zv_tree_root(tree)), 1000001);
    EXPECT_TRUE(zv_tree_is_valid(tree));
    release(b);
    zv_tree_delete(tree);
}

// Printed through the log, one "| " mark per level, with the graph's words or
// the labels; the root as "-" or 0.
TEST(WordTree, PrintsOneLinePerBranchIndentedByLevel) {
    // Labels 3, 5 and 7 are the words cat, dog and the.
    zv_test::PackedGraphPtr graph = zv_test::pack_graph(1, {1}, {}, {"a", "b", "cat", "d", "dog", "f", "the"}, 1);
    zv_tree_t *tree = nullptr;
    ASSERT_EQ(zv_tree_init(&tree), ZV_STATUS_SUCCESS);
    zv_branch_t *root = zv_tree_root(tree);
    zv_branch_t *cat = child(root, 3, 0);
    child(root, 7, 0);
    child(cat, 5, 0);
    const std::string mark = "\x1b[32m| \x1b[0m";
    auto line = [](const std::string &text) { return "\x1b[32m" + text + "\n\x1b[0m"; };
    zv_log_enable();
    EXPECT_EQ(zv_test::capture_stdout([&] { zv_tree_print(tree, graph.get()); }),
              line("-") + mark + line("cat") + mark + mark + line("dog") + mark + line("the"));
    EXPECT_EQ(zv_test::capture_stdout([&] { zv_tree_print(tree, nullptr); }),
              line("0") + mark + line("3") + mark + mark + line("5") + mark + line("7"));
    EXPECT_EQ(zv_test::capture_stdout([&] { zv_tree_print_helper(cat, nullptr, 3); }),
              mark + line("3") + mark + mark + line("5"));
    release(root->children[1]);
    release(cat->children[0]);
    release(cat);
    release(root);
    zv_tree_delete(tree);
}

// A subtree printed at indent i puts (i + 2 * level) / 2 marks, C's truncating
// division, before a branch: a negative odd indent gives its children one mark
// fewer than i / 2 + level would.
TEST(WordTree, PrintsMarksForAnyIndentAsTheTruncatedHalfOfIndentAndLevels) {
    zv_branch_t *root = child(nullptr, 0, 0);
    zv_branch_t *three = child(root, 3, 0);
    zv_branch_t *five = child(three, 5, 0);
    struct Case {
        int32_t indent;
        int marks[3];  // root, its child, its grandchild
    };
    const Case cases[] = {
        {3, {1, 2, 3}},  {0, {0, 1, 2}},  {-1, {0, 0, 1}}, {-2, {0, 0, 1}},
        {-3, {0, 0, 0}}, {-5, {0, 0, 0}}, {-6, {0, 0, 0}}, {INT32_MIN, {0, 0, 0}},
    };
    const std::string mark = "\x1b[32m| \x1b[0m";
    zv_log_enable();
    for (const Case &c : cases) {
        std::string expected;
        for (int level = 0; level < 3; ++level) {
            for (int m = 0; m < c.marks[level]; ++m) expected += mark;
            expected += "\x1b[32m" + std::to_string(level == 0 ? 0 : 2 * level + 1) + "\n\x1b[0m";
        }
        EXPECT_EQ(zv_test::capture_stdout([&] { zv_tree_print_helper(root, nullptr, c.indent); }), expected)
            << "indent " << c.indent;
    }
    release(five);
    release(three);
    release(root);
}
