#include "lm/gram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "support/byte_writer.h"
#include "support/lm_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::ByteWriter;
using zv_test::GramPtr;
using zv_test::LexiconPtr;
using zv_test::Sequences;
using zv_test::TempDir;
using zv_test::file_bytes;
using zv_test::lexicon_of_size;
using zv_test::make_gram;

// A gram file declaring n nodes, with the structure given as a string of
// '0' and '1' (the root's opening bit first) and the stored word values.
std::vector<uint8_t> gram_file(int32_t n, const std::string &structure, const std::vector<uint32_t> &values,
                               int bits) {
    ByteWriter out;
    out.i32(n);
    zv_test::pack_tree(out, n, structure, values, bits);
    return out.take();
}

std::vector<int32_t> children_of(const zv_gram_t *gram, const std::vector<int32_t> &path) {
    std::vector<int32_t> words;
    const int32_t n = zv_gram_num_children(gram, path.data(), static_cast<int32_t>(path.size()));
    for (int32_t i = 0; i < n; ++i) {
        words.push_back(zv_gram_child_word_index(gram, path.data(), static_cast<int32_t>(path.size()), i));
    }
    return words;
}

zv_status_t load(const std::string &path, zv_lexicon_t *lexicon, GramPtr *out) {
    zv_gram_t *gram = reinterpret_cast<zv_gram_t *>(1);
    const zv_status_t status = zv_gram_load(path.c_str(), lexicon, &gram);
    if (status != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(gram, nullptr);
    }
    out->reset(status == ZV_STATUS_SUCCESS ? gram : nullptr);
    return status;
}

// Every child list ascending without repeats, every word within the lexicon.
void expect_well_formed(const zv_gram_node_t *node, int32_t words) {
    std::vector<const zv_gram_node_t *> todo = {node};
    while (!todo.empty()) {
        const zv_gram_node_t *n = todo.back();
        todo.pop_back();
        EXPECT_EQ(n->children == nullptr, n->num_children == 0);
        for (int32_t i = 0; i < n->num_children; ++i) {
            const int32_t w = n->children[i]->word;
            EXPECT_TRUE(w >= 0 && w < words);
            if (i > 0) {
                EXPECT_LT(n->children[i - 1]->word, w);
            }
            todo.push_back(n->children[i]);
        }
    }
}

const Sequences kExample = {{0, 1}, {0, 2}, {2}};

}  // namespace

TEST(GramFile, ExampleFilesByteForByte) {
    struct Case {
        Sequences inserted;
        std::vector<uint8_t> file;
        int32_t loaded_order;
    };
    const Case cases[] = {
        {kExample, {0x05, 0, 0, 0, 0x68, 0x03, 0, 0, 0xE4, 0x03, 0, 0}, 2},
        {{}, {0x01, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, 0},
    };
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(3);
    for (const Case &c : cases) {
        GramPtr gram = make_gram(c.loaded_order, lexicon.get(), c.inserted);
        const std::string path = dir.path("g.bin");
        ASSERT_EQ(zv_gram_save(gram.get(), path.c_str()), ZV_STATUS_SUCCESS);
        EXPECT_EQ(file_bytes(path), c.file);
        GramPtr back;
        ASSERT_EQ(load(dir.write("in.bin", c.file), lexicon.get(), &back), ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_gram_order(back.get()), c.loaded_order);
        EXPECT_EQ(zv_gram_lexicon(back.get()), lexicon.get());
        EXPECT_TRUE(zv_gram_is_equal(back.get(), gram.get()));
    }
}

TEST(GramSet, PathsPrefixesAndCounts) {
    LexiconPtr lexicon = lexicon_of_size(3);
    // Inserted out of order, with a repeat and a prefix of an earlier sequence.
    GramPtr gram = make_gram(3, lexicon.get(), {{2}, {0, 2}, {0, 1}, {0, 2}, {0}});
    EXPECT_TRUE(zv_gram_is_equal(gram.get(), make_gram(3, lexicon.get(), kExample).get()));
    struct Case {
        std::vector<int32_t> path;
        int32_t num_children;
        std::vector<int32_t> children;
    };
    const Case cases[] = {
        {{}, 2, {0, 2}},   {{0}, 2, {1, 2}}, {{0, 1}, 0, {}}, {{2}, 0, {}},
        {{1}, -1, {}},     {{0, 0}, -1, {}}, {{2, 0}, -1, {}}, {{0, 1, 0}, -1, {}},
    };
    for (const Case &c : cases) {
        const int32_t n = static_cast<int32_t>(c.path.size());
        EXPECT_EQ(zv_gram_num_children(gram.get(), c.path.data(), n), c.num_children);
        EXPECT_EQ(children_of(gram.get(), c.path), c.children);
        // Positions outside the list, and paths not in the set.
        for (int32_t index : {-1, std::max(c.num_children, 0), INT32_MAX}) {
            EXPECT_EQ(zv_gram_child_word_index(gram.get(), c.path.data(), n, index), -1);
        }
    }
    EXPECT_EQ(zv_gram_num_children(gram.get(), nullptr, -4), 2);

    int32_t num_grams[4] = {-1, -1, -1, -7};
    zv_gram_num_grams(gram.get(), num_grams);
    EXPECT_EQ(std::vector<int32_t>(num_grams, num_grams + 4), (std::vector<int32_t>{2, 2, 0, -7}));

    // Sequences longer than the order are held; the counts stop at the order.
    GramPtr deep = make_gram(1, lexicon.get(), {{1, 1, 1}});
    int32_t unigrams[2] = {-1, -1};
    zv_gram_num_grams(deep.get(), unigrams);
    EXPECT_EQ(unigrams[0], 1);
    EXPECT_EQ(unigrams[1], -1);
    EXPECT_EQ(zv_gram_num_children(deep.get(), std::vector<int32_t>{1, 1}.data(), 2), 1);
    GramPtr none = make_gram(0, lexicon.get(), {{1}});
    zv_gram_num_grams(none.get(), unigrams);  // order 0: nothing written
    EXPECT_EQ(unigrams[0], 1);
}

TEST(GramSet, EqualityAndIntersection) {
    LexiconPtr three = lexicon_of_size(3);
    LexiconPtr four = lexicon_of_size(4);
    GramPtr gram = make_gram(2, three.get(), {{0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 2}});
    // Lexicons aren't compared; orders and places are.
    EXPECT_TRUE(zv_gram_is_equal(gram.get(), make_gram(2, four.get(), {{2, 2}, {1, 2}, {1, 0}, {0, 2}, {0, 1}}).get()));
    EXPECT_FALSE(zv_gram_is_equal(gram.get(), make_gram(3, three.get(), {{0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 2}}).get()));
    EXPECT_FALSE(zv_gram_is_equal(gram.get(), make_gram(2, three.get(), {{0, 1}, {0, 2}, {1, 0}, {1, 2}}).get()));
    EXPECT_FALSE(zv_gram_is_equal(gram.get(), make_gram(2, three.get(), {{0, 1}, {0, 2}, {1, 0}, {1, 1}, {2, 2}}).get()));

    zv_gram_intersect(gram.get(), gram.get());
    zv_gram_intersect(gram.get(), make_gram(7, four.get(), {{0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 2}, {3}}).get());
    EXPECT_TRUE(zv_gram_is_equal(gram.get(), make_gram(2, three.get(), {{0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 2}}).get()));

    // (0) goes with its continuations; (1) keeps only (1, 2); (2) loses its
    // only child and with it its child array.
    zv_gram_intersect(gram.get(), make_gram(1, three.get(), {{1, 2, 0}, {2}, {3, 0}}).get());
    EXPECT_EQ(zv_gram_order(gram.get()), 2);
    EXPECT_TRUE(zv_gram_is_equal(gram.get(), make_gram(2, three.get(), {{1, 2}, {2}}).get()));
    const zv_gram_node_t *two = gram->root->children[1];
    EXPECT_EQ(two->word, 2);
    EXPECT_EQ(two->num_children, 0);
    EXPECT_EQ(two->children, nullptr);

    zv_gram_intersect(gram.get(), make_gram(2, three.get(), {}).get());
    EXPECT_EQ(gram->root->num_children, 0);
    EXPECT_EQ(gram->root->children, nullptr);
}

// A set whose deepest node lies below its order comes back with the depth as
// its order.
TEST(GramFile, LoadedOrderIsTheDepth) {
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(3);
    GramPtr gram = make_gram(3, lexicon.get(), kExample);
    ASSERT_EQ(zv_gram_save(gram.get(), dir.path("g.bin").c_str()), ZV_STATUS_SUCCESS);
    GramPtr back;
    ASSERT_EQ(load(dir.path("g.bin"), lexicon.get(), &back), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_gram_order(back.get()), 2);
    EXPECT_FALSE(zv_gram_is_equal(back.get(), gram.get()));
}

// Children listed in descending order, and a word twice under one parent:
// sorted lists, the repeated word's subtrees merged.
TEST(GramFile, ReaderSortsAndMerges) {
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(3);
    // root { 2, 0 { 2 }, 1, 0 { 1 { 0 } } }
    const std::vector<uint8_t> file =
        gram_file(8, "0010011010001111", {0, 3, 1, 3, 2, 1, 2, 1}, 2);
    GramPtr back;
    ASSERT_EQ(load(dir.write("g.bin", file), lexicon.get(), &back), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_gram_order(back.get()), 3);
    EXPECT_TRUE(zv_gram_is_equal(back.get(), make_gram(3, lexicon.get(), {{2}, {0, 2}, {1}, {0, 1, 0}}).get()));
    expect_well_formed(back->root, 3);
}

TEST(GramFile, MalformedFilesAreRefused) {
    struct Case {
        const char *what;
        int32_t words;  // lexicon size (w = 2 for 2 and 3 words)
        std::vector<uint8_t> file;
    };
    std::vector<uint8_t> example = {0x05, 0, 0, 0, 0x68, 0x03, 0, 0, 0xE4, 0x03, 0, 0};
    const Case cases[] = {
        {"empty", 3, {}},
        {"shorter than the node count", 3, {1, 0, 0}},
        {"no nodes", 3, gram_file(0, "", {}, 2)},
        {"negative node count", 3, gram_file(-1, "", {}, 2)},
        {"huge node count, few bytes", 3, ByteWriter().i32(INT32_MAX).u32(0x2).u32(0).take()},
        {"one byte short", 3, std::vector<uint8_t>(example.begin(), example.end() - 1)},
        {"word fields missing", 3, std::vector<uint8_t>(example.begin(), example.begin() + 8)},
        {"more nodes than declared", 3, gram_file(2, "000111", {0, 1, 1}, 2)},
        {"root closed early", 3, gram_file(3, "010101", {0, 1, 1}, 2)},
        {"root never closed", 3, gram_file(2, "0010", {0, 1}, 2)},
        {"word value 0 below the root", 3, gram_file(2, "0011", {0, 0}, 2)},
        {"word value above the lexicon", 2, gram_file(2, "0011", {0, 3}, 2)},
        {"root word value not 0", 3, gram_file(2, "0011", {1, 1}, 2)},
        {"empty lexicon", 0, example},
    };
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LexiconPtr lexicon = lexicon_of_size(c.words);
        GramPtr back;
        EXPECT_EQ(load(dir.write("bad.bin", c.file), lexicon.get(), &back), ZV_STATUS_INVALID_ARGUMENT);
    }
    LexiconPtr lexicon = lexicon_of_size(3);
    GramPtr back;
    EXPECT_EQ(load(dir.path("missing.bin"), lexicon.get(), &back), ZV_STATUS_IO_ERROR);
    // Bytes after the word fields are ignored.
    example.insert(example.end(), {0xFF, 0xFF, 0xFF});
    EXPECT_EQ(load(dir.write("long.bin", example), lexicon.get(), &back), ZV_STATUS_SUCCESS);
}

// A word id its field can't hold, or a lexicon without words: refused
// before any file is touched. Failed writes are reported.
TEST(GramFile, SaveRefusalsAndWriteFailures) {
    TempDir dir;
    LexiconPtr three = lexicon_of_size(3);
    LexiconPtr empty = lexicon_of_size(0);
    const std::string path = dir.path("g.bin");
    struct Case {
        zv_lexicon_t *lexicon;
        Sequences inserted;
    };
    const Case refused[] = {
        {three.get(), {{0, 3}}}, {three.get(), {{-1}}}, {three.get(), {{1, INT32_MIN}}}, {empty.get(), {}},
    };
    for (const Case &c : refused) {
        GramPtr gram = make_gram(2, c.lexicon, c.inserted);
        EXPECT_EQ(zv_gram_save(gram.get(), path.c_str()), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_FALSE(zv_file_exists(path.c_str()));
    }
    GramPtr gram = make_gram(2, three.get(), kExample);
    EXPECT_EQ(zv_gram_save(gram.get(), dir.path("no/such/dir/g.bin").c_str()), ZV_STATUS_IO_ERROR);
    if (zv_test::have_dev_full()) {
        EXPECT_EQ(zv_gram_save(gram.get(), "/dev/full"), ZV_STATUS_IO_ERROR);
    }
}

namespace {

// A random set over `words` words: sequences of length 1..max_length drawn
// with a skew toward small ids, so that prefixes are shared.
GramPtr random_gram(std::mt19937 &rng, zv_lexicon_t *lexicon, int32_t words, int count, int max_length) {
    Sequences sequences;
    for (int i = 0; i < count; ++i) {
        std::vector<int32_t> s(1 + rng() % max_length);
        for (int32_t &w : s) w = static_cast<int32_t>(rng() % (1 + rng() % words));
        sequences.push_back(s);
    }
    return make_gram(max_length, lexicon, sequences);
}

}  // namespace

TEST(GramFile, RandomRoundTrips) {
    TempDir dir;
    std::mt19937 rng(11);
    for (int32_t words : {1, 2, 3, 4, 7, 8, 255, 256, 1000}) {
        LexiconPtr lexicon = lexicon_of_size(words);
        for (int trial = 0; trial < 4; ++trial) {
            GramPtr gram = random_gram(rng, lexicon.get(), words, 1 + rng() % 200, 1 + trial);
            const std::string path = dir.path("g.bin");
            ASSERT_EQ(zv_gram_save(gram.get(), path.c_str()), ZV_STATUS_SUCCESS);
            GramPtr back;
            ASSERT_EQ(load(path, lexicon.get(), &back), ZV_STATUS_SUCCESS);
            // Equal when the order is the depth the file gives back.
            zv_gram_t *same_order = gram.get();
            same_order->order = zv_gram_order(back.get());
            EXPECT_TRUE(zv_gram_is_equal(back.get(), gram.get()));
            std::vector<int32_t> a(same_order->order + 1), b(same_order->order + 1);
            zv_gram_num_grams(gram.get(), a.data());
            zv_gram_num_grams(back.get(), b.data());
            EXPECT_EQ(a, b);
        }
    }
}

// Under the address sanitizer: no truncation or damage reads outside the
// file or leaks, and whatever loads is a well-formed set.
TEST(GramFile, TruncatedAndDamagedFiles) {
    TempDir dir;
    std::mt19937 rng(3);
    LexiconPtr lexicon = lexicon_of_size(20);
    GramPtr gram = random_gram(rng, lexicon.get(), 20, 30, 3);
    ASSERT_EQ(zv_gram_save(gram.get(), dir.path("g.bin").c_str()), ZV_STATUS_SUCCESS);
    const std::vector<uint8_t> file = file_bytes(dir.path("g.bin"));
    const int accepted = zv_test::load_damaged_files(dir, file, rng, [&](const std::string &path) {
        GramPtr back;
        const zv_status_t status = load(path, lexicon.get(), &back);
        if (status == ZV_STATUS_SUCCESS) {
            expect_well_formed(back->root, 20);
            EXPECT_EQ(zv_gram_save(back.get(), dir.path("again.bin").c_str()), ZV_STATUS_SUCCESS);
        }
        return status;
    });
    EXPECT_GT(accepted, 0);
}

// Every walk is iterative: a chain a million words deep on the normal stack.
TEST(GramSet, MillionDeepChain) {
    constexpr int32_t kDepth = 1000000;
    TempDir dir;
    LexiconPtr lexicon = lexicon_of_size(5);
    const std::vector<int32_t> chain = zv_test::chain_of(kDepth, 5);
    GramPtr gram = make_gram(kDepth, lexicon.get(), {chain, {4, 4}});
    EXPECT_EQ(zv_gram_num_children(gram.get(), chain.data(), kDepth), 0);
    EXPECT_EQ(zv_gram_num_children(gram.get(), chain.data(), kDepth - 1), 1);
    std::vector<int32_t> per_order(kDepth);
    zv_gram_num_grams(gram.get(), per_order.data());
    EXPECT_EQ(per_order[0], 2);
    EXPECT_EQ(per_order[1], 2);
    EXPECT_EQ(per_order[kDepth - 1], 1);

    const std::string path = dir.path("chain.bin");
    ASSERT_EQ(zv_gram_save(gram.get(), path.c_str()), ZV_STATUS_SUCCESS);
    GramPtr back;
    ASSERT_EQ(load(path, lexicon.get(), &back), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_gram_order(back.get()), kDepth);
    EXPECT_TRUE(zv_gram_is_equal(back.get(), gram.get()));
    zv_gram_intersect(back.get(), gram.get());
    EXPECT_TRUE(zv_gram_is_equal(back.get(), gram.get()));
    // Cutting the chain's last word off the other set removes one node.
    GramPtr shorter = make_gram(kDepth, lexicon.get(), {std::vector<int32_t>(chain.begin(), chain.end() - 1)});
    zv_gram_intersect(back.get(), shorter.get());
    EXPECT_EQ(zv_gram_num_children(back.get(), chain.data(), kDepth - 1), 0);
    EXPECT_EQ(zv_gram_num_children(back.get(), std::vector<int32_t>{4}.data(), 1), -1);
    EXPECT_TRUE(zv_gram_is_equal(back.get(), shorter.get()));
}

// The node reader on its own: a subtree read under an existing node merges
// into it, and both cursors end after the subtree.
TEST(GramFile, NodeReaderMergesASubtreeUnderAParent) {
    LexiconPtr lexicon = lexicon_of_size(4);
    // root { 0 { 1, 2 }, 2 }: the subtree of 0 opens at bit 1, word field 1.
    const std::vector<uint8_t> file = gram_file(5, "0001011011", {0, 1, 2, 3, 3}, 3);
    std::vector<uint32_t> structure(1), word_fields(1);
    std::memcpy(structure.data(), file.data() + 4, 4);
    std::memcpy(word_fields.data(), file.data() + 8, 4);
    GramPtr gram = make_gram(2, lexicon.get(), {{0, 3}, {1}});
    int32_t structure_cursor = 2;
    int32_t word_cursor = 1;
    zv_gram_node_t *node = nullptr;
    ASSERT_EQ(zv_gram_load_helper(gram->root, structure.data(), &structure_cursor, word_fields.data(), 3,
                                  &word_cursor, &node),
              ZV_STATUS_SUCCESS);
    EXPECT_EQ(node, gram->root->children[0]);
    EXPECT_EQ(structure_cursor, 7);
    EXPECT_EQ(word_cursor, 4);
    EXPECT_TRUE(zv_gram_is_equal(gram.get(), make_gram(2, lexicon.get(), {{0, 1}, {0, 2}, {0, 3}, {1}}).get()));
    expect_well_formed(gram->root, 4);

    // A subtree deeper than the set was: counted per order all the same.
    GramPtr flat = make_gram(2, lexicon.get(), {{1}});
    structure_cursor = 2;
    word_cursor = 1;
    ASSERT_EQ(zv_gram_load_helper(flat->root, structure.data(), &structure_cursor, word_fields.data(), 3,
                                  &word_cursor, &node),
              ZV_STATUS_SUCCESS);
    int32_t num_grams[2] = {-1, -1};
    zv_gram_num_grams(flat.get(), num_grams);
    EXPECT_EQ(num_grams[0], 2);
    EXPECT_EQ(num_grams[1], 2);
}
