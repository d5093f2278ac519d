#include "lm/kgram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lm/lm_blob.h"
#include "lm/mgram.h"
#include "support/byte_writer.h"
#include "support/lm_fixtures.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::LmNode;
using zv_test::TempDir;

struct KgramDeleter {
    void operator()(zv_kgram_t *model) const { zv_kgram_delete(model); }
};
using Kgram = std::unique_ptr<zv_kgram_t, KgramDeleter>;

Kgram load(const std::string &path, zv_status_t expected = ZV_STATUS_SUCCESS) {
    zv_kgram_t *model = reinterpret_cast<zv_kgram_t *>(1);
    EXPECT_EQ(zv_kgram_load(path.c_str(), &model), expected);
    if (expected != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(model, nullptr);
    }
    return Kgram(model);
}

LmNode leaf(int32_t word, int8_t forward) {
    LmNode node;
    node.word = word;
    node.forward = forward;
    return node;
}

LmNode with_children(LmNode node, int8_t backoff, std::vector<LmNode> children) {
    node.backoff = backoff;
    node.children = std::move(children);
    return node;
}

// A root (on-disk backoff `backoff`) over `count` unigrams 0 .. count - 1.
LmNode unigrams(int32_t count, int8_t backoff) {
    LmNode root = leaf(-1, -128);
    root.backoff = backoff;
    for (int32_t w = 0; w < count; ++w) root.children.push_back(leaf(w, -10));
    return root;
}

std::vector<int32_t> chain_of(const zv_kgram_t *model, int32_t node) {
    std::vector<int32_t> chain;
    for (int32_t c = model->first_child[node]; c != -1 && chain.size() <= 1000000; c = model->next_sibling[c]) {
        chain.push_back(c);
    }
    return chain;
}

class KgramTest : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(KgramTest, ReadsArraysAndWritesTheSameBlob) {
    std::mt19937 rng(105);
    for (int trial = 0; trial < 40; ++trial) {
        SCOPED_TRACE(trial);
        const LmNode tree = zv_test::random_lm_tree(rng, 60, 1 + trial % 4, 5);
        const std::vector<uint8_t> blob = zv_test::lm_blob_bytes(tree);
        Kgram model = load(dir.write("in.bin", blob));
        ASSERT_TRUE(model);
        const std::vector<zv_test::LmFlat> flat = zv_test::lm_preorder(tree);
        ASSERT_EQ(model->num_nodes, static_cast<int32_t>(flat.size()));
        // Nodes in preorder; children along the chain in ascending order.
        std::vector<int32_t> last(flat.size(), -1);
        std::vector<int32_t> first(flat.size(), -1);
        std::vector<int32_t> next(flat.size(), -1);
        for (size_t i = 1; i < flat.size(); ++i) {
            const int32_t p = flat[i].parent;
            (last[p] == -1 ? first[p] : next[last[p]]) = static_cast<int32_t>(i);
            last[p] = static_cast<int32_t>(i);
        }
        for (size_t i = 0; i < flat.size(); ++i) {
            const LmNode &n = *flat[i].node;
            EXPECT_EQ(model->words[i], n.word);
            EXPECT_EQ(model->forward[i], zv_lm_cost_to_memory(n.forward));
            EXPECT_EQ(model->backoff[i], n.children.empty() ? 0 : zv_lm_cost_to_memory(n.backoff));
            EXPECT_EQ(model->first_child[i], first[i]);
            EXPECT_EQ(model->next_sibling[i], next[i]);
        }
        // Written back: the same bytes, except that -128 comes back as -127.
        ASSERT_EQ(zv_kgram_save(model.get(), dir.path("out.bin").c_str()), ZV_STATUS_SUCCESS);
        if (flat.size() == 1) {  // a lone root is written with width 1, the narrowest the readers take
            EXPECT_EQ(zv_test::file_bytes(dir.path("out.bin")).at(12), 1);
            load(dir.path("out.bin"), ZV_STATUS_SUCCESS);
            continue;
        }
        std::vector<uint8_t> expected = blob;
        const size_t bytes_start = blob.size() - flat.size() - (flat.size() - [&] {
            size_t leaves = 0;
            for (const auto &f : flat) leaves += f.node->children.empty();
            return leaves;
        }());
        for (size_t i = bytes_start; i < expected.size(); ++i) {
            if (expected[i] == 0x80) expected[i] = 0x81;
        }
        EXPECT_EQ(zv_test::file_bytes(dir.path("out.bin")), expected);
        Kgram again = load(dir.path("out.bin"));
        EXPECT_TRUE(zv_kgram_is_equal(model.get(), again.get()));
    }
}

TEST_F(KgramTest, RefusesWhatTheCompactReaderRefuses) {
    const std::vector<uint8_t> good = zv_test::lm_blob_bytes(unigrams(3, -5));
    std::vector<uint8_t> truncated = good;
    truncated.pop_back();
    zv_test::LmBlobOverrides narrow;
    narrow.word_bits = 0;
    LmNode descending = unigrams(3, -5);
    std::swap(descending.children[0], descending.children[2]);
    const std::vector<uint8_t> cases[] = {truncated, zv_test::lm_blob_bytes(unigrams(3, -5), narrow),
                                          zv_test::lm_blob_bytes(descending), {1, 2, 3}};
    for (const auto &bytes : cases) load(dir.write("bad.bin", bytes), ZV_STATUS_INVALID_ARGUMENT);
    load(dir.path("missing.bin"), ZV_STATUS_IO_ERROR);
}

TEST_F(KgramTest, AddWordsLinksEachNewWordAtItsAscendingPlace) {
    // Old lexicon b d f; new a b c d e f g. Root backoff 5 (in memory), U = 2
    // children after the first: a new word costs 5 + trunc(-8 log10(500)) =
    // 5 - 21 = -16. The new a comes before the old first child b.
    auto old_lexicon = zv_test::make_lexicon({"b", "d", "f"});
    auto new_lexicon = zv_test::make_lexicon({"a", "b", "c", "d", "e", "f", "g"});
    LmNode root = with_children(leaf(-1, -128), -5,
                                {with_children(leaf(0, -3), -2, {leaf(1, -1)}), leaf(1, -4), leaf(2, -6)});
    const std::string path = dir.write("lm.bin", zv_test::lm_blob_bytes(root));
    Kgram model = load(path);
    ASSERT_TRUE(model);
    ASSERT_EQ(zv_kgram_add_words(model.get(), old_lexicon.get(), new_lexicon.get()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(model->num_nodes, 9);
    EXPECT_EQ(std::vector<int32_t>(model->words, model->words + 9), (std::vector<int32_t>{-1, 1, 3, 3, 5, 0, 2, 4, 6}));
    EXPECT_EQ(chain_of(model.get(), 0), (std::vector<int32_t>{5, 1, 6, 3, 7, 4, 8}));
    for (int32_t node = 5; node < 9; ++node) {
        EXPECT_EQ(static_cast<int8_t>(model->forward[node]), -16);
        EXPECT_EQ(model->backoff[node], 0);
        EXPECT_EQ(model->first_child[node], -1);
    }
    EXPECT_EQ(chain_of(model.get(), 1), (std::vector<int32_t>{2}));

    // The compact model reads what it writes and finds every word.
    ASSERT_EQ(zv_kgram_save(model.get(), dir.path("moved.bin").c_str()), ZV_STATUS_SUCCESS);
    zv_mgram_t *read = nullptr;
    ASSERT_EQ(zv_mgram_load(dir.path("moved.bin").c_str(), &read), ZV_STATUS_SUCCESS);
    zv_test::MgramPtr compact(read);
    for (int32_t w = 0; w < 7; ++w) EXPECT_GT(zv_mgram_index(compact.get(), &w, 1), 0) << w;
    const int32_t bigram[2] = {1, 3};
    EXPECT_GT(zv_mgram_index(compact.get(), bigram, 2), 0);
    // Read back, the nodes are renumbered in preorder.
    Kgram reread = load(dir.path("moved.bin"));
    EXPECT_FALSE(zv_kgram_is_equal(model.get(), reread.get()));
    EXPECT_EQ(std::vector<int32_t>(reread->words, reread->words + 9), (std::vector<int32_t>{-1, 0, 1, 3, 2, 3, 4, 5, 6}));
}

TEST_F(KgramTest, NewWordCostFollowsTheCountOfUnigrams) {
    struct Case {
        int32_t unigrams;  // U + 1
        int8_t root_backoff;  // on disk
        int8_t cost;
    };
    const Case cases[] = {
        {1, -5, 5 - 128},     // U = 0: the added term is -128
        {3, -5, 5 - 21},      // U = 2
        {1001, -5, 5},        // U = 1000: nothing added
        {100001, -5, 5 + 16}, // U = 100000: two decades
        {100001, -128, 127},  // 127 + 16, capped
        {1, 127, -128},       // -127 - 128, floored
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.unigrams);
        auto old_lexicon = zv_test::lexicon_of_size(c.unigrams);
        std::vector<std::string> words;
        for (int32_t i = 0; i < c.unigrams; ++i) words.push_back(zv_lexicon_decode(old_lexicon.get(), i));
        words.push_back("zz");
        auto new_lexicon = zv_test::make_lexicon(words);
        Kgram model = load(dir.write("lm.bin", zv_test::lm_blob_bytes(unigrams(c.unigrams, c.root_backoff))));
        ASSERT_TRUE(model);
        ASSERT_EQ(zv_kgram_add_words(model.get(), old_lexicon.get(), new_lexicon.get()), ZV_STATUS_SUCCESS);
        const int32_t added = model->num_nodes - 1;
        EXPECT_EQ(model->words[added], c.unigrams);
        EXPECT_EQ(static_cast<int8_t>(model->forward[added]), c.cost);
        EXPECT_EQ(model->next_sibling[added], -1);
        EXPECT_EQ(model->next_sibling[added - 1], added);
    }
}

TEST_F(KgramTest, AddWordsToARootWithoutChildren) {
    auto old_lexicon = zv_test::make_lexicon({"b"});
    auto new_lexicon = zv_test::make_lexicon({"a", "b", "c"});
    Kgram model = load(dir.write("lm.bin", zv_test::lm_blob_bytes(leaf(-1, -128))));
    ASSERT_TRUE(model);
    ASSERT_EQ(zv_kgram_add_words(model.get(), old_lexicon.get(), new_lexicon.get()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(chain_of(model.get(), 0), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(model->words[1], 0);
    EXPECT_EQ(model->words[2], 2);
    EXPECT_EQ(static_cast<int8_t>(model->forward[1]), -128);  // backoff 0, U = 0
    ASSERT_EQ(zv_kgram_save(model.get(), dir.path("out.bin").c_str()), ZV_STATUS_SUCCESS);
    zv_mgram_t *read = nullptr;
    ASSERT_EQ(zv_mgram_load(dir.path("out.bin").c_str(), &read), ZV_STATUS_SUCCESS);
    zv_mgram_delete(read);
}

TEST_F(KgramTest, AddWordsRefusesLexiconsThatDontFitAndLeavesTheModel) {
    auto abc = zv_test::make_lexicon({"a", "b", "c"});
    auto ab = zv_test::make_lexicon({"a", "b"});
    auto acde = zv_test::make_lexicon({"a", "c", "d", "e"});
    auto xyz = zv_test::make_lexicon({"x", "y", "z"});
    struct Case {
        const char *name;
        LmNode tree;
        const zv_lexicon_t *old_lexicon;
        const zv_lexicon_t *new_lexicon;
        zv_status_t status;
    };
    const Case cases[] = {
        {"word id outside the old lexicon", unigrams(3, -5), ab.get(), abc.get(), ZV_STATUS_INVALID_ARGUMENT},
        {"new lexicon lacks an old word", unigrams(3, -5), abc.get(), acde.get(), ZV_STATUS_INVALID_ARGUMENT},
        {"new lexicon smaller", unigrams(2, -5), abc.get(), ab.get(), ZV_STATUS_INVALID_ARGUMENT},
        {"same size: nothing to do", unigrams(3, -5), abc.get(), xyz.get(), ZV_STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("lm.bin", zv_test::lm_blob_bytes(c.tree));
        Kgram model = load(path);
        Kgram copy = load(path);
        ASSERT_TRUE(model && copy);
        EXPECT_EQ(zv_kgram_add_words(model.get(), c.old_lexicon, c.new_lexicon), c.status);
        EXPECT_TRUE(zv_kgram_is_equal(model.get(), copy.get()));
    }
}

TEST_F(KgramTest, BoostLowersListedUnigramsByTwoDecades) {
    // In-memory unigram costs 10, 127, 20, -5, 17; (0, 1) costs 30.
    LmNode root = with_children(leaf(-1, -128), -5,
                                {with_children(leaf(0, -10), -3, {leaf(1, -30)}), leaf(1, -127), leaf(2, -20),
                                 leaf(3, 5), leaf(4, -17)});
    Kgram model = load(dir.write("lm.bin", zv_test::lm_blob_bytes(root)));
    ASSERT_TRUE(model);
    const int32_t none[] = {0};
    ASSERT_EQ(zv_kgram_boost_words(model.get(), none, 0), ZV_STATUS_SUCCESS);
    EXPECT_EQ(model->forward[1], 10);
    const int32_t listed[] = {0, 1, 2, 3, 1, 9, 1, 1, 2, 0, 3, 3, 1, 2, 0, 0, 2, 3, 9, 9};  // repeats boost once
    ASSERT_EQ(zv_kgram_boost_words(model.get(), listed, 20), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_kgram_boost_words(model.get(), listed, 4), ZV_STATUS_SUCCESS);
    // Nodes in preorder: root, 0, (0, 1), 1, 2, 3, 4. Two boosts each.
    const int8_t expected[] = {127, 0, 30, 127 - 32, 0, 0, 17};
    for (int32_t node = 0; node < 7; ++node) {
        EXPECT_EQ(static_cast<int8_t>(model->forward[node]), expected[node]) << node;
    }
}

TEST_F(KgramTest, AMillionDeepChainRoundTrips) {
    // Word 0 under word 0 a million times, written directly: a word field of
    // 1 bit, the structure all 0s then all 1s.
    const uint32_t n = 1000000;
    const uint32_t words = (n + 31) / 32;
    const uint32_t structure = (2 * n + 31) / 32;
    zv_test::ByteWriter blob;
    blob.i32(static_cast<int32_t>(16 + 4 * words + 4 * structure + n + n - 1)).u32(n).u32(1).u32(1);
    for (uint32_t i = 0; i < words; ++i) blob.u32(i == 0 ? 0xFFFFFFFEu : (i + 1 == words ? 0xFFFFFFFFu >> (32 * words - n) : 0xFFFFFFFFu));
    for (uint32_t i = 0; i < structure; ++i) blob.u32(i < n / 32 ? 0u : 0xFFFFFFFFu);
    for (uint32_t i = 0; i < 2 * n - 1; ++i) blob.u8(0xFD);
    const std::string path = dir.write("chain.bin", blob.data());
    Kgram model = load(path);
    ASSERT_TRUE(model);
    ASSERT_EQ(model->num_nodes, static_cast<int32_t>(n));
    EXPECT_EQ(model->first_child[n - 2], static_cast<int32_t>(n - 1));
    ASSERT_EQ(zv_kgram_save(model.get(), dir.path("out.bin").c_str()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_test::file_bytes(dir.path("out.bin")), blob.data());
}

TEST_F(KgramTest, SaveReportsFailedWrites) {
    Kgram model = load(dir.write("lm.bin", zv_test::lm_blob_bytes(unigrams(3, -5))));
    ASSERT_TRUE(model);
    EXPECT_EQ(zv_kgram_save(model.get(), "/dev/full"), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(zv_kgram_save(model.get(), "/nonexistent-dir/lm.bin"), ZV_STATUS_IO_ERROR);
}

}  // namespace
