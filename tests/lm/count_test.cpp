#include "lm/count.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "support/byte_writer.h"
#include "support/lm_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::ByteWriter;
using zv_test::CountPtr;
using zv_test::GramPtr;
using zv_test::LexiconPtr;
using zv_test::Sequences;
using zv_test::TempDir;
using zv_test::count_file;
using zv_test::file_bytes;
using zv_test::lexicon_of_size;
using zv_test::make_count;
using zv_test::make_gram;

zv_status_t load(const std::string &path, CountPtr *out) {
    zv_count_t *count = reinterpret_cast<zv_count_t *>(1);
    const zv_status_t status = zv_count_load(path.c_str(), &count);
    if (status != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(count, nullptr);
    }
    out->reset(status == ZV_STATUS_SUCCESS ? count : nullptr);
    return status;
}

// (word, count) of every node in preorder.
std::vector<std::pair<int32_t, int64_t>> nodes_of(const zv_count_t *count) {
    std::vector<std::pair<int32_t, int64_t>> nodes;
    std::vector<const zv_count_node_t *> todo = {count->root};
    while (!todo.empty()) {
        const zv_count_node_t *n = todo.back();
        todo.pop_back();
        nodes.emplace_back(n->word, n->count);
        for (int32_t i = n->num_children - 1; i >= 0; --i) todo.push_back(n->children[i]);
    }
    return nodes;
}

std::vector<int64_t> counts_of(const zv_count_t *count) {
    std::vector<int64_t> counts;
    for (const auto &node : nodes_of(count)) counts.push_back(node.second);
    return counts;
}

const Sequences kShape = {{0, 1}, {0, 2}, {2}};
const Sequences kCounted = {{0, 1}, {1, 0}, {0, 2}, {2, 0}, {0, 1}};
const std::vector<uint8_t> kExampleFile = {
    0x05, 0, 0, 0, 0x02, 0, 0, 0,                     // n, w
    0x05, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0,  // counts
    0x02, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0,  //
    0x01, 0, 0, 0, 0, 0, 0, 0,                     //
    0x68, 0x03, 0, 0,                              // structure
    0xE4, 0x03, 0, 0,                              // word fields
};

}  // namespace

TEST(CountFile, ExampleFileByteForByte) {
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(3);
    GramPtr gram = make_gram(2, lexicon.get(), kShape);
    CountPtr count = make_count(gram.get(), kCounted);
    EXPECT_EQ(counts_of(count.get()), (std::vector<int64_t>{5, 3, 2, 1, 1}));
    EXPECT_TRUE(zv_count_is_valid(count.get()));
    ASSERT_EQ(zv_count_save(count.get(), dir.path("c.bin").c_str()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(file_bytes(dir.path("c.bin")), kExampleFile);
    CountPtr back;
    ASSERT_EQ(load(dir.write("in.bin", kExampleFile), &back), ZV_STATUS_SUCCESS);
    EXPECT_EQ(back->order, 2);
    EXPECT_TRUE(zv_count_is_equal(back.get(), count.get()));

    // The checked view that readers walking the file themselves use.
    zv_count_file_t file;
    ASSERT_EQ(zv_count_file_parse(kExampleFile.data(), kExampleFile.size(), &file), ZV_STATUS_SUCCESS);
    EXPECT_EQ(file.num_nodes, 5);
    EXPECT_EQ(file.word_bits, 2);
    EXPECT_EQ(file.depth, 2);
    const int32_t words[] = {-1, 0, 1, 2, 2};
    const int64_t counts[] = {5, 3, 2, 1, 1};
    for (int64_t i = 0; i < 5; ++i) {
        EXPECT_EQ(zv_count_file_word(&file, i), words[i]);
        EXPECT_EQ(zv_count_file_count(&file, i), counts[i]);
    }
}

TEST(CountTree, MadeFromAGramSet) {
    LexiconPtr lexicon = lexicon_of_size(3);
    GramPtr gram = make_gram(3, lexicon.get(), kShape);
    CountPtr count = make_count(gram.get(), {});
    EXPECT_EQ(count->order, 3);
    EXPECT_EQ(nodes_of(count.get()),
              (std::vector<std::pair<int32_t, int64_t>>{{-1, 0}, {0, 0}, {1, 0}, {2, 0}, {2, 0}}));
    EXPECT_FALSE(zv_count_is_valid(count.get()));

    CountPtr lone = make_count(make_gram(2, lexicon.get(), {}).get(), {{0, 1}});
    EXPECT_EQ(nodes_of(lone.get()), (std::vector<std::pair<int32_t, int64_t>>{{-1, 1}}));
    EXPECT_EQ(lone->root->children, nullptr);

    // A set deeper than its order gives its whole shape.
    CountPtr deep = make_count(make_gram(1, lexicon.get(), {{1, 1, 1, 1}, {2}}).get(), {{1, 1, 1, 1, 1}});
    EXPECT_EQ(deep->order, 1);
    EXPECT_EQ(counts_of(deep.get()), (std::vector<int64_t>{1, 1, 1, 1, 1, 0}));
}

TEST(CountTree, CountingFollowsThePathUntilItLeaves) {
    LexiconPtr lexicon = lexicon_of_size(3);
    GramPtr gram = make_gram(2, lexicon.get(), kShape);  // root, 0, (0 1), (0 2), 2
    struct Case {
        std::vector<int32_t> sequence;
        std::vector<int64_t> counts;
    };
    const Case cases[] = {
        {{}, {1, 0, 0, 0, 0}},
        {{1, 0}, {1, 0, 0, 0, 0}},           // 1 is no unigram: only the total
        {{0, 0, 2}, {1, 1, 0, 0, 0}},         // stops at (0 0), though 2 is a unigram
        {{0, 2, 2, 2}, {1, 1, 0, 1, 0}},      // longer than the tree: down to the leaf
        {{2, 0}, {1, 0, 0, 0, 1}},
        {{-1, 0}, {1, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        CountPtr count = make_count(gram.get(), {c.sequence});
        EXPECT_EQ(counts_of(count.get()), c.counts);
    }
    CountPtr count = make_count(gram.get(), {});
    EXPECT_EQ(zv_count_insert(count.get(), nullptr, -3), ZV_STATUS_SUCCESS);
    EXPECT_EQ(counts_of(count.get()), (std::vector<int64_t>{1, 0, 0, 0, 0}));
}

TEST(CountTree, MergeAddsPlaceByPlace) {
    LexiconPtr lexicon = lexicon_of_size(4);
    GramPtr gram = make_gram(2, lexicon.get(), kShape);
    CountPtr count = make_count(gram.get(), kCounted);
    CountPtr other = make_count(gram.get(), {{0, 2}, {2}});
    zv_count_merge(count.get(), other.get());
    EXPECT_EQ(counts_of(count.get()), (std::vector<int64_t>{7, 4, 2, 2, 2}));
    EXPECT_EQ(counts_of(other.get()), (std::vector<int64_t>{2, 1, 0, 1, 1}));

    // Different shapes: children paired by position up to the shorter list,
    // nothing read outside either tree.
    CountPtr wide = make_count(make_gram(2, lexicon.get(), {{1, 0}, {1, 1}, {1, 2}, {1, 3}}).get(),
                               {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 3}});
    zv_count_merge(count.get(), wide.get());
    // root 7+5; child 0 (4) + child 1 (5); (0 1) + (1 0); (0 2) + (1 1); 2 unpaired.
    EXPECT_EQ(counts_of(count.get()), (std::vector<int64_t>{12, 9, 3, 3, 2}));
    zv_count_merge(wide.get(), count.get());
    EXPECT_EQ(counts_of(wide.get()), (std::vector<int64_t>{17, 14, 4, 4, 1, 2}));

    // Counts from files may be anything: sums stop at the ends of int64.
    count->root->count = INT64_MAX - 1;
    zv_count_merge(count.get(), wide.get());
    EXPECT_EQ(count->root->count, INT64_MAX);
}

TEST(CountTree, EqualityAndValidity) {
    LexiconPtr lexicon = lexicon_of_size(3);
    GramPtr gram = make_gram(2, lexicon.get(), kShape);
    CountPtr count = make_count(gram.get(), kCounted);
    EXPECT_TRUE(zv_count_is_equal(count.get(), make_count(gram.get(), kCounted).get()));
    EXPECT_FALSE(zv_count_is_equal(count.get(), make_count(make_gram(3, lexicon.get(), kShape).get(), kCounted).get()));
    EXPECT_FALSE(zv_count_is_equal(count.get(), make_count(gram.get(), {{0, 1}}).get()));
    EXPECT_FALSE(zv_count_is_equal(count.get(), make_count(make_gram(2, lexicon.get(), {{0, 1}, {0, 2}}).get(), {}).get()));

    // Counts in preorder: root, 0, (0 1), (0 2), 2.
    struct Case {
        std::vector<int64_t> counts;
        bool valid;
    };
    const Case cases[] = {
        {{5, 3, 2, 1, 1}, true},
        {{4, 3, 2, 1, 1}, true},
        {{0, 0, 0, 0, 0}, false},
        {{5, 3, 2, 1, 0}, false},                // a leaf counting 0
        {{5, 3, 2, 1, -1}, false},
        {{0, 3, 2, 1, 1}, false},                // the root counting 0
        {{5, 2, 2, 1, 1}, false},                // children above their parent
        {{3, 3, 2, 1, 1}, false},
        {{INT64_MAX, INT64_MAX, INT64_MAX, 1, 1}, false},  // the children's sum beyond int64
        {{INT64_MAX, INT64_MAX - 1, INT64_MAX - 2, 1, 1}, true},
    };
    for (const Case &c : cases) {
        std::vector<zv_count_node_t *> order = {count->root};
        order.push_back(count->root->children[0]);
        order.push_back(order[1]->children[0]);
        order.push_back(order[1]->children[1]);
        order.push_back(count->root->children[1]);
        for (size_t i = 0; i < order.size(); ++i) order[i]->count = c.counts[i];
        EXPECT_EQ(zv_count_is_valid(count.get()), c.valid) << ::testing::PrintToString(c.counts);
    }
}

TEST(CountFile, WordWidths) {
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(1);
    const std::string path = dir.path("c.bin");
    struct Case {
        Sequences shape;
        int32_t width;
    };
    const Case cases[] = {
        {{}, 1},    {{{0}}, 1},   {{{1}}, 2},   {{{0, 1}}, 2},         {{{2}}, 2},
        {{{3}}, 3}, {{{4}}, 3},   {{{5}}, 4},   {{{8}}, 4},            {{{1000, 7}}, 11},
        {{{1 << 30}}, 31},
    };
    for (const Case &c : cases) {
        GramPtr gram = make_gram(2, lexicon.get(), c.shape);
        CountPtr count = make_count(gram.get(), c.shape);
        count->order = count->depth;
        ASSERT_EQ(zv_count_save(count.get(), path.c_str()), ZV_STATUS_SUCCESS);
        const std::vector<uint8_t> bytes = file_bytes(path);
        ASSERT_GE(bytes.size(), 8u);
        EXPECT_EQ(bytes[4], c.width);
        CountPtr back;
        ASSERT_EQ(load(path, &back), ZV_STATUS_SUCCESS);
        EXPECT_TRUE(zv_count_is_equal(back.get(), count.get()));
    }
    // A word id no field of 31 bits holds, or none at all: no file.
    const std::string refused = dir.path("refused.bin");
    for (int32_t word : {(1 << 30) + 1, INT32_MAX, -1, INT32_MIN}) {
        CountPtr count = make_count(make_gram(2, lexicon.get(), {{0, word}}).get(), {});
        EXPECT_EQ(zv_count_save(count.get(), refused.c_str()), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_FALSE(zv_file_exists(refused.c_str()));
    }
    CountPtr count = make_count(make_gram(2, lexicon.get(), kShape).get(), kCounted);
    EXPECT_EQ(zv_count_save(count.get(), dir.path("no/such/dir/c.bin").c_str()), ZV_STATUS_IO_ERROR);
    if (zv_test::have_dev_full()) {
        EXPECT_EQ(zv_count_save(count.get(), "/dev/full"), ZV_STATUS_IO_ERROR);
    }
}

TEST(CountFile, MalformedFilesAreRefused) {
    struct Case {
        const char *what;
        std::vector<uint8_t> file;
    };
    const Case cases[] = {
        {"empty", {}},
        {"shorter than the header", {1, 0, 0, 0, 1, 0, 0}},
        {"no nodes", count_file(0, 2, {}, "", {})},
        {"negative node count", count_file(-5, 2, {}, "", {})},
        {"word width 0", count_file(1, 0, {1}, "01", {})},
        {"word width 32", ByteWriter().i32(1).i32(32).i64(1).u32(2).u32(0).take()},
        {"negative word width", count_file(1, -1, {1}, "01", {})},
        {"huge node count, few bytes", ByteWriter().i32(INT32_MAX).i32(2).i64(1).u32(2).u32(0).take()},
        {"one byte short", std::vector<uint8_t>(kExampleFile.begin(), kExampleFile.end() - 1)},
        {"counts cut", std::vector<uint8_t>(kExampleFile.begin(), kExampleFile.begin() + 30)},
        {"more nodes than declared", count_file(2, 2, {1, 1}, "000111", {0, 1, 1})},
        {"root closed early", count_file(3, 2, {1, 1, 1}, "010101", {0, 1, 1})},
        {"root never closed", count_file(2, 2, {1, 1}, "0010", {0, 1})},
        {"word value 0 below the root", count_file(2, 2, {1, 1}, "0011", {0, 0})},
        {"root word value not 0", count_file(2, 2, {1, 1}, "0011", {1, 1})},
    };
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CountPtr back;
        EXPECT_EQ(load(dir.write("bad.bin", c.file), &back), ZV_STATUS_INVALID_ARGUMENT);
        zv_count_file_t file;
        EXPECT_EQ(zv_count_file_parse(c.file.data(), c.file.size(), &file), ZV_STATUS_INVALID_ARGUMENT);
    }
    CountPtr back;
    EXPECT_EQ(load(dir.path("missing.bin"), &back), ZV_STATUS_IO_ERROR);

    // Accepted as they stand: trailing bytes, counts that aren't valid, and
    // a word twice under one parent (one node: the last count, all children).
    std::vector<uint8_t> longer = kExampleFile;
    longer.insert(longer.end(), {1, 2, 3});
    ASSERT_EQ(load(dir.write("long.bin", longer), &back), ZV_STATUS_SUCCESS);
    EXPECT_EQ(counts_of(back.get()), (std::vector<int64_t>{5, 3, 2, 1, 1}));
    // root { 1 { 0 }, 0, 1 { 2 } } with counts 0, 7, -3, 4, 9, 6
    ASSERT_EQ(load(dir.write("twice.bin", count_file(6, 2, {0, 7, -3, 4, 9, 6}, "000110100111", {0, 2, 1, 1, 2, 3})),
                   &back),
              ZV_STATUS_SUCCESS);
    EXPECT_EQ(nodes_of(back.get()),
              (std::vector<std::pair<int32_t, int64_t>>{{-1, 0}, {0, 4}, {1, 9}, {0, -3}, {2, 6}}));
    EXPECT_FALSE(zv_count_is_valid(back.get()));
}

namespace {

// A tree as a file may list it: children in any order, words repeated.
struct Listed {
    int32_t word;
    int64_t count;
    std::vector<Listed> children;
};

Listed random_listing(std::mt19937 &rng, int32_t word, int depth) {
    Listed node{word, static_cast<int64_t>(rng() % 100) - 10, {}};
    const int children = depth < 4 ? static_cast<int>(rng() % 5) : 0;
    for (int i = 0; i < children; ++i) node.children.push_back(random_listing(rng, static_cast<int32_t>(rng() % 4), depth + 1));
    return node;
}

void encode(const Listed &node, std::string *structure, std::vector<uint32_t> *values, std::vector<int64_t> *counts) {
    structure->push_back('0');
    values->push_back(static_cast<uint32_t>(node.word + 1));
    counts->push_back(node.count);
    for (const Listed &child : node.children) encode(child, structure, values, counts);
    structure->push_back('1');
}

// What reading node by node gives: a repeated word finds the node made
// before, takes the later count and gathers the children of both.
struct Expected {
    int64_t count = 0;
    std::map<int32_t, Expected> children;
};

void apply(const Listed &node, Expected *into) {
    into->count = node.count;
    for (const Listed &child : node.children) apply(child, &into->children[child.word]);
}

void flatten(int32_t word, const Expected &node, std::vector<std::pair<int32_t, int64_t>> *out) {
    out->emplace_back(word, node.count);
    for (const auto &[w, child] : node.children) flatten(w, child, out);
}

}  // namespace

// Files listing children in any order and repeating words load as reading
// them node by node would: sorted lists, one node per word, the last count.
TEST(CountFile, ReaderSortsAndMergesAnyListing) {
    TempDir dir;
    std::mt19937 rng(23);
    for (int trial = 0; trial < 200; ++trial) {
        const Listed root = random_listing(rng, -1, 0);
        std::string structure;
        std::vector<uint32_t> values;
        std::vector<int64_t> counts;
        encode(root, &structure, &values, &counts);
        CountPtr back;
        ASSERT_EQ(load(dir.write("c.bin", count_file(static_cast<int32_t>(values.size()), 3, counts, structure, values)),
                       &back),
                  ZV_STATUS_SUCCESS);
        Expected expected;
        apply(root, &expected);
        std::vector<std::pair<int32_t, int64_t>> nodes;
        flatten(-1, expected, &nodes);
        EXPECT_EQ(nodes_of(back.get()), nodes);
    }
}

namespace {

CountPtr random_count(std::mt19937 &rng, zv_lexicon_t *lexicon, int32_t words, int shapes, int max_length) {
    Sequences shape;
    for (int i = 0; i < shapes; ++i) {
        std::vector<int32_t> s(1 + rng() % max_length);
        for (int32_t &w : s) w = static_cast<int32_t>(rng() % (1 + rng() % words));
        shape.push_back(s);
    }
    GramPtr gram = make_gram(max_length, lexicon, shape);
    Sequences counted = shape;
    for (int i = 0; i < shapes; ++i) {
        std::vector<int32_t> s(rng() % (max_length + 2));
        for (int32_t &w : s) w = static_cast<int32_t>(rng() % words);
        counted.push_back(s);
    }
    CountPtr count = make_count(gram.get(), counted);
    count->order = count->depth;  // a saved set comes back with its depth as order
    return count;
}

}  // namespace

TEST(CountFile, RandomRoundTrips) {
    TempDir dir;
    std::mt19937 rng(17);
    LexiconPtr lexicon = lexicon_of_size(1);  // only its pointer is kept
    for (int32_t words : {1, 2, 3, 5, 9, 100, 5000}) {
        for (int trial = 0; trial < 4; ++trial) {
            CountPtr count = random_count(rng, lexicon.get(), words, 1 + rng() % 150, 1 + trial);
            const std::string path = dir.path("c.bin");
            ASSERT_EQ(zv_count_save(count.get(), path.c_str()), ZV_STATUS_SUCCESS);
            CountPtr back;
            ASSERT_EQ(load(path, &back), ZV_STATUS_SUCCESS);
            EXPECT_TRUE(zv_count_is_equal(back.get(), count.get()));
            EXPECT_TRUE(zv_count_is_valid(back.get()));
        }
    }
}

// Under the address sanitizer: no truncation or damage reads outside the
// file or leaks; whatever loads can be walked, merged and saved.
TEST(CountFile, TruncatedAndDamagedFiles) {
    TempDir dir;
    std::mt19937 rng(8);
    LexiconPtr lexicon = lexicon_of_size(1);
    CountPtr count = random_count(rng, lexicon.get(), 20, 25, 3);
    ASSERT_EQ(zv_count_save(count.get(), dir.path("c.bin").c_str()), ZV_STATUS_SUCCESS);
    const std::vector<uint8_t> file = file_bytes(dir.path("c.bin"));
    const int accepted = zv_test::load_damaged_files(dir, file, rng, [&](const std::string &path) {
        CountPtr back;
        const zv_status_t status = load(path, &back);
        if (status == ZV_STATUS_SUCCESS) {
            zv_count_merge(back.get(), count.get());
            zv_count_merge(count.get(), back.get());
            zv_count_is_valid(back.get());
            const zv_status_t saved = zv_count_save(back.get(), dir.path("again.bin").c_str());
            EXPECT_TRUE(saved == ZV_STATUS_SUCCESS || saved == ZV_STATUS_INVALID_ARGUMENT);
        }
        return status;
    });
    EXPECT_GT(accepted, 0);
}

// Every walk is iterative: a chain a million words deep on the normal stack.
TEST(CountTree, MillionDeepChain) {
    constexpr int32_t kDepth = 1000000;
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(5);
    const std::vector<int32_t> chain = zv_test::chain_of(kDepth, 5);
    GramPtr gram = make_gram(2, lexicon.get(), {chain});  // deeper than its order
    CountPtr count = make_count(gram.get(), {chain, chain, {0, 1, 2}});
    EXPECT_TRUE(zv_count_is_valid(count.get()));
    count->order = kDepth;
    const std::string path = dir.path("chain.bin");
    ASSERT_EQ(zv_count_save(count.get(), path.c_str()), ZV_STATUS_SUCCESS);
    CountPtr back;
    ASSERT_EQ(load(path, &back), ZV_STATUS_SUCCESS);
    EXPECT_EQ(back->order, kDepth);
    EXPECT_TRUE(zv_count_is_equal(back.get(), count.get()));
    zv_count_merge(back.get(), count.get());
    EXPECT_FALSE(zv_count_is_equal(back.get(), count.get()));
    EXPECT_TRUE(zv_count_is_valid(back.get()));
    const std::vector<int64_t> counts = counts_of(back.get());
    EXPECT_EQ(counts.front(), 6);
    EXPECT_EQ(counts[3], 6);
    EXPECT_EQ(counts.back(), 4);
}
