#include "lm/ngram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lm/kgram.h"
#include "lm/mgram.h"
#include "support/host_locale.h"
#include "support/lm_fixtures.h"
#include "support/ngram_fixtures.h"
#include "support/ngram_reference.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::count_file;
using zv_test::CountNode;
using zv_test::TempDir;

struct NgramDeleter {
    void operator()(zv_ngram_t *model) const { zv_ngram_delete(model); }
};
using Ngram = std::unique_ptr<zv_ngram_t, NgramDeleter>;
using Mgram = zv_test::MgramPtr;
struct KgramDeleter {
    void operator()(zv_kgram_t *model) const { zv_kgram_delete(model); }
};
using Kgram = std::unique_ptr<zv_kgram_t, KgramDeleter>;

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The weights and ARPA texts of the model.
void expect_texts(const TempDir &dir, const zv_ngram_t *model, const std::string &weights, const std::string &arpa) {
    ASSERT_EQ(zv_ngram_save_weights(model, dir.path("w.txt").c_str()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(read_text(dir.path("w.txt")), weights);
    ASSERT_EQ(zv_ngram_save_arpa(model, dir.path("lm.arpa").c_str()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(read_text(dir.path("lm.arpa")), arpa);
}

Ngram estimate(const TempDir &dir, const std::vector<uint8_t> &file, const zv_lexicon_t *lexicon,
               zv_status_t expected = ZV_STATUS_SUCCESS) {
    zv_ngram_t *model = reinterpret_cast<zv_ngram_t *>(1);
    EXPECT_EQ(zv_ngram_init(dir.write("counts.bin", file).c_str(), lexicon, &model), expected);
    if (expected != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(model, nullptr);
    }
    return Ngram(model);
}

const zv_ngram_node_t *node_at(const zv_ngram_t *model, const std::vector<int32_t> &path) {
    const zv_ngram_node_t *node = model->root;
    for (int32_t w : path) {
        const zv_ngram_node_t *next = nullptr;
        for (int32_t i = 0; i < node->num_children; ++i) {
            if (node->children[i]->word == w) next = node->children[i];
        }
        if (!next) return nullptr;
        node = next;
    }
    return node;
}

// Words a, b, c, d (ids 0 to 3); d is never counted. The estimate, written
// out: root T = 10, its children 4 + 3 + 2, so a 0.4, b 0.3, c 0.2; the
// unseen mass 0.1 over 1 - 3/4 gives the root's backoff 0.4. History a
// (T = 4) is used up by its children: backoff 0.001. History b (T = 3):
// (b, a) 2/3, backoff (1/3) / (1 - 0.4). History (a, b) (T = 3): d is no
// child of b nor of the root, so its lower-order probability backs off
// twice: b's backoff * root's backoff / 4.
const std::vector<CountNode> kWorked = {
    {0, -1, 10}, {1, 0, 4}, {2, 1, 3}, {3, 3, 1}, {2, 2, 1}, {1, 1, 3}, {2, 0, 2}, {1, 2, 2},
};
const double kRootBackoff = 0.1 / 0.25;
const double kBBackoff = (1.0 / 3.0) / (1.0 - 0.4);
const double kABBackoff = (2.0 / 3.0) / (1.0 - kBBackoff * kRootBackoff / 4.0);

class NgramTest : public ::testing::Test {
protected:
    TempDir dir;
    zv_test::LexiconPtr abcd = zv_test::make_lexicon({"a", "b", "c", "d"});
};

TEST_F(NgramTest, EstimatesTheWorkedTree) {
    Ngram model = estimate(dir, count_file(kWorked), abcd.get());
    ASSERT_TRUE(model);
    EXPECT_EQ(model->order, 3);
    struct Expected {
        std::vector<int32_t> path;
        double probability;
        double backoff;
    };
    const Expected table[] = {
        {{}, 0.0, kRootBackoff},
        {{0}, 0.4, 0.001},
        {{1}, 0.3, kBBackoff},
        {{2}, 0.2, 1.0},
        {{0, 1}, 0.75, kABBackoff},
        {{0, 2}, 0.25, 1.0},
        {{1, 0}, 2.0 / 3.0, 1.0},
        {{0, 1, 3}, 1.0 / 3.0, 1.0},
    };
    for (const Expected &e : table) {
        const zv_ngram_node_t *node = node_at(model.get(), e.path);
        ASSERT_NE(node, nullptr) << e.path.size();
        EXPECT_DOUBLE_EQ(node->probability, e.probability) << e.path.size();
        EXPECT_DOUBLE_EQ(node->backoff, e.backoff) << e.path.size();
    }
    EXPECT_EQ(node_at(model.get(), {3}), nullptr);
    EXPECT_EQ(node_at(model.get(), {0, 1, 3})->count, 1);
}

TEST_F(NgramTest, WritesTheWorkedTreeAsWeightsArpaAndBlob) {
    Ngram model = estimate(dir, count_file(kWorked), abcd.get());
    ASSERT_TRUE(model);
    expect_texts(dir, model.get(),
                 "16.000 0.398 \n"
                 "0.398 3.000 0.523 0.255 0.699 -0.000 \n"
                 "0.125 0.151 0.602 -0.000 0.176 -0.000 \n"
                 "0.477 -0.000 \n",
                 "\n\\data\\\nngram 1=4\nngram 2=3\nngram 3=1\n\n"
                 "\\1-grams:\n-0.397940\ta\t-3.000000\n-0.522879\tb\t-0.255273\n-0.698970\tc\n-1.000000\td\n\n"
                 "\\2-grams:\n-0.124939\ta b\t-0.151268\n-0.602060\ta c\n-0.176091\tb a\n\n"
                 "\\3-grams:\n-0.477121\ta b d\n\n"
                 "\\end\\\n");
    // N = 8 nodes, L = 4 leaves, B = 3 bits (holds V = 4), 36 bytes. On-disk
    // bytes 8 * log10(p) truncated: 0.4 -> -3, 0.75 -> 0, 1/3 -> -3, 0.25 ->
    // -4, 0.3 -> -4, 2/3 -> -1, 0.2 -> -5, the root's 0 -> -128; backoffs
    // 0.4 -> -3, 0.001 -> -24, (a, b)'s 0.706 -> -1, b's 0.556 -> -2.
    ASSERT_EQ(zv_ngram_save(model.get(), dir.path("lm.bin").c_str()), ZV_STATUS_SUCCESS);
    const uint32_t words = 0u | 1u << 3 | 2u << 6 | 4u << 9 | 3u << 12 | 2u << 15 | 1u << 18 | 3u << 21;
    // Bits from bit 0: 0 0 0 0 1 1 0 1 1 0 0 1 1 0 1 1.
    const uint32_t structure = 1u << 4 | 1u << 5 | 1u << 7 | 1u << 8 | 1u << 11 | 1u << 12 | 1u << 14 | 1u << 15;
    zv_test::ByteWriter blob;
    blob.i32(36).i32(8).i32(4).i32(3).u32(words).u32(structure);
    blob.array_i8(std::vector<int>{-128, -3, 0, -3, -4, -4, -1, -5}).array_i8(std::vector<int>{-3, -24, -1, -2});
    EXPECT_EQ(zv_test::file_bytes(dir.path("lm.bin")), blob.data());
}

// Other programs read these files: a host's decimal comma must not reach
// them.
TEST_F(NgramTest, WeightsAndArpaIgnoreADecimalCommaLocale) {
    zv_test::HostLocale german("de_DE", "UTF-8");
    if (!german.missing().empty()) GTEST_SKIP() << german.missing();
    Ngram model = estimate(dir, count_file(kWorked), abcd.get());
    ASSERT_TRUE(model);
    ASSERT_EQ(zv_ngram_save_weights(model.get(), dir.path("c.txt").c_str()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_ngram_save_arpa(model.get(), dir.path("c.arpa").c_str()), ZV_STATUS_SUCCESS);
    ASSERT_TRUE(german.use());
    ASSERT_EQ(zv_ngram_save_weights(model.get(), dir.path("de.txt").c_str()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_ngram_save_arpa(model.get(), dir.path("de.arpa").c_str()), ZV_STATUS_SUCCESS);
    german.restore();
    EXPECT_EQ(read_text(dir.path("de.txt")), read_text(dir.path("c.txt")));
    EXPECT_EQ(read_text(dir.path("de.arpa")), read_text(dir.path("c.arpa")));
    EXPECT_NE(read_text(dir.path("c.arpa")).find("-0.397940\ta\t-3.000000\n"), std::string::npos);
}

TEST_F(NgramTest, PrunesLastChildFirstAndEachSubtreeBeforeItsNode) {
    // Weighted log differences |lb - lp| * count / 10: c 0.060, (b, a) 0.095,
    // (a, c) 0.310, (a, b, d) 0.067 (b already a leaf with backoff 1), then
    // (a, b) as a leaf 1.019 and b as a leaf 0.143. At 0.1 c, (b, a) and
    // (a, b, d) go; every leaf left has backoff 1.
    Ngram model = estimate(dir, count_file(kWorked), abcd.get());
    ASSERT_TRUE(model);
    zv_ngram_prune(model.get(), 0.1);
    EXPECT_EQ(model->order, 3);
    EXPECT_EQ(node_at(model.get(), {2}), nullptr);
    EXPECT_EQ(node_at(model.get(), {1, 0}), nullptr);
    EXPECT_EQ(node_at(model.get(), {0, 1, 3}), nullptr);
    ASSERT_NE(node_at(model.get(), {0, 2}), nullptr);
    EXPECT_EQ(node_at(model.get(), {1})->num_children, 0);
    EXPECT_EQ(node_at(model.get(), {1})->children, nullptr);
    EXPECT_EQ(node_at(model.get(), {1})->backoff, 1.0);
    EXPECT_EQ(node_at(model.get(), {0, 1})->backoff, 1.0);
    EXPECT_EQ(node_at(model.get(), {0})->backoff, 0.001);  // keeps children: not judged
    EXPECT_EQ(model->root->backoff, kRootBackoff);

    expect_texts(dir, model.get(), "16.000 0.398 \n0.398 3.000 0.523 -0.000 \n0.125 -0.000 0.602 -0.000 \n\n",
                 "\n\\data\\\nngram 1=4\nngram 2=2\nngram 3=0\n\n"
                 "\\1-grams:\n-0.397940\ta\t-3.000000\n-0.522879\tb\n-1.000000\tc\n-1.000000\td\n\n"
                 "\\2-grams:\n-0.124939\ta b\n-0.602060\ta c\n\n"
                 "\\3-grams:\n\n"
                 "\\end\\\n");
}

TEST_F(NgramTest, PruningAtZeroRemovesLeavesNoLikelierThanTheirBackoff) {
    // V = 2, root 4: a 2, b 2 (backoff 0.001: 1 - 2/2 <= 1e-8); a: (a, b)
    // 1/2, backoff (1/2) / (1 - 1/2) = 1. (a, b) backs off to b's 0.5 * 1:
    // lb = lp, so it goes; the unigrams beat 0.001 / 2.
    auto ab = zv_test::make_lexicon({"a", "b"});
    Ngram model = estimate(dir, count_file({{0, -1, 4}, {1, 0, 2}, {2, 1, 1}, {1, 1, 2}}), ab.get());
    ASSERT_TRUE(model);
    EXPECT_EQ(model->root->backoff, 0.001);
    EXPECT_EQ(node_at(model.get(), {0})->backoff, 1.0);
    zv_ngram_prune(model.get(), 0.0);
    EXPECT_EQ(node_at(model.get(), {0, 1}), nullptr);
    EXPECT_NE(node_at(model.get(), {0}), nullptr);
    EXPECT_NE(node_at(model.get(), {1}), nullptr);
}

TEST_F(NgramTest, PruningSeesHigherBranchesAlreadyPruned) {
    // Root 20: a 10, d 1, backoff 0.45 / 0.5 = 0.9. d (0.05) is no likelier
    // than 0.9 / 4 and goes first. Then (a, d) (0.1) backs off to d's
    // probability as the tree now gives it, 0.9 / 4, times a's backoff
    // 0.9 / 0.95: no likelier either, so it goes too (against d's estimated
    // 0.05 it would have stayed).
    Ngram model = estimate(dir, count_file({{0, -1, 20}, {1, 0, 10}, {2, 3, 1}, {1, 3, 1}}), abcd.get());
    ASSERT_TRUE(model);
    EXPECT_DOUBLE_EQ(node_at(model.get(), {0})->backoff, 0.9 / 0.95);
    zv_ngram_prune(model.get(), 0.0);
    ASSERT_EQ(model->root->num_children, 1);
    EXPECT_EQ(node_at(model.get(), {0})->num_children, 0);
    EXPECT_EQ(node_at(model.get(), {0})->backoff, 1.0);
}

TEST_F(NgramTest, BackoffRules) {
    struct Case {
        const char *name;
        std::vector<CountNode> nodes;
        std::vector<int32_t> path;
        double backoff;
    };
    const Case cases[] = {
        // The children use up the history's count: no leftover.
        {"no leftover", {{0, -1, 5}, {1, 0, 3}, {1, 1, 2}}, {}, 0.001},
        // Every lexicon word a unigram: 1 - 4/4 <= 1e-8.
        {"lexicon covered", {{0, -1, 9}, {1, 0, 1}, {1, 1, 1}, {1, 2, 1}, {1, 3, 1}}, {}, 0.001},
        // A history without children: T / T.
        {"no children", {{0, -1, 9}, {1, 0, 5}, {1, 1, 1}, {2, 2, 1}}, {0}, 1.0},
        // Above 1: a (T = 5) leaves 4/5 and its child b takes 1/2 below.
        {"above one", {{0, -1, 10}, {1, 0, 5}, {2, 1, 1}, {1, 1, 5}}, {0}, 0.8 / 0.5},
        // Two siblings with one word: one node with the second count.
        {"repeated word", {{0, -1, 8}, {1, 0, 2}, {1, 0, 6}, {1, 1, 1}}, {}, (1.0 / 8.0) / (1.0 - 0.5)},
        // History a leaves 1/T unseen, but its child's unigram takes all but
        // about 1e-9 of the mass: at most 1e-8 counts as exhausted.
        {"unseen mass 1e-9", {{0, -1, 1000000000}, {1, 0, 999999999}, {2, 0, 1}}, {0}, 0.001},
        // About 1e-7 is not: leftover / b.
        {"unseen mass 1e-7",
         {{0, -1, 1000000000}, {1, 0, 999999900}, {2, 0, 1}},
         {0},
         (999999899.0 / 999999900.0) / (1.0 - 999999900.0 / 1000000000.0)},
    };
    for (const Case &c : cases) {
        Ngram model = estimate(dir, count_file(c.nodes), abcd.get());
        ASSERT_TRUE(model) << c.name;
        const zv_ngram_node_t *node = node_at(model.get(), c.path);
        ASSERT_NE(node, nullptr) << c.name;
        EXPECT_DOUBLE_EQ(node->backoff, c.backoff) << c.name;
    }
    Ngram repeated = estimate(dir, count_file(cases[4].nodes), abcd.get());
    EXPECT_EQ(repeated->root->num_children, 2);
    EXPECT_EQ(node_at(repeated.get(), {0})->count, 6);
}

TEST_F(NgramTest, WeightAboveOneIsANegativeCostAPositiveByteAndNoArpaColumn) {
    auto ab = zv_test::make_lexicon({"a", "b"});
    Ngram model = estimate(dir, count_file({{0, -1, 10}, {1, 0, 5}, {2, 1, 1}, {1, 1, 5}}), ab.get());
    ASSERT_TRUE(model);
    expect_texts(dir, model.get(), "16.000 3.000 \n0.301 -0.204 0.301 -0.000 \n0.699 -0.000 \n",
                 "\n\\data\\\nngram 1=2\nngram 2=1\n\n\\1-grams:\n-0.301030\ta\n-0.301030\tb\n\n"
                 "\\2-grams:\n-0.698970\ta b\n\n\\end\\\n");
    ASSERT_EQ(zv_ngram_save(model.get(), dir.path("lm.bin").c_str()), ZV_STATUS_SUCCESS);
    const std::vector<uint8_t> blob = zv_test::file_bytes(dir.path("lm.bin"));
    // 4 nodes of 2 bits: words 4 bytes, structure 4 bytes, then 4 forward
    // bytes and the backoffs of the root (0.001: -24) and of a (1.6: +1).
    ASSERT_EQ(blob.size(), 16u + 4 + 4 + 4 + 2);
    EXPECT_EQ(static_cast<int8_t>(blob[28]), -24);
    EXPECT_EQ(static_cast<int8_t>(blob[29]), 1);
}

TEST_F(NgramTest, ModelWithoutUnigrams) {
    Ngram model = estimate(dir, count_file({{0, -1, 3}}), abcd.get());
    ASSERT_TRUE(model);
    EXPECT_EQ(model->order, 0);
    expect_texts(dir, model.get(), "16.000 -0.000 \n", "\n\\data\\\n\n\\end\\\n");
    ASSERT_EQ(zv_ngram_save(model.get(), dir.path("lm.bin").c_str()), ZV_STATUS_SUCCESS);
    zv_test::ByteWriter blob;  // N = 1, L = 1, B = 3; one word, one structure word, the root's -128
    blob.i32(25).i32(1).i32(1).i32(3).u32(0).u32(0b10).i8(-128);
    EXPECT_EQ(zv_test::file_bytes(dir.path("lm.bin")), blob.data());

    // Completed with every word it becomes a uniform unigram model.
    ASSERT_EQ(zv_ngram_add_singletons(model.get()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(model->order, 1);
    ASSERT_EQ(zv_ngram_save_arpa(model.get(), dir.path("lm.arpa").c_str()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(read_text(dir.path("lm.arpa")),
              "\n\\data\\\nngram 1=4\n\n\\1-grams:\n-0.602060\ta\n-0.602060\tb\n-0.602060\tc\n-0.602060\td\n\n"
              "\\end\\\n");
}

TEST_F(NgramTest, SingletonsCompleteTheUnigrams) {
    Ngram model = estimate(dir, count_file(kWorked), abcd.get());
    ASSERT_TRUE(model);
    ASSERT_EQ(zv_ngram_add_singletons(model.get()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(model->root->num_children, 4);
    const zv_ngram_node_t *d = model->root->children[3];
    EXPECT_EQ(d->word, 3);
    EXPECT_EQ(d->count, 0);
    EXPECT_EQ(d->probability, kRootBackoff / 4.0);
    EXPECT_EQ(d->backoff, 1.0);
    EXPECT_EQ(node_at(model.get(), {0})->probability, 0.4);  // estimated ones stay
    ASSERT_EQ(zv_ngram_save_arpa(model.get(), dir.path("lm.arpa").c_str()), ZV_STATUS_SUCCESS);
    const std::string arpa = read_text(dir.path("lm.arpa"));
    EXPECT_NE(arpa.find("ngram 1=4\n"), std::string::npos);
    EXPECT_NE(arpa.find("-0.698970\tc\n-1.000000\td\n\n\\2-grams"), std::string::npos);
    // A second call changes nothing.
    ASSERT_EQ(zv_ngram_add_singletons(model.get()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(model->root->num_children, 4);
}

TEST_F(NgramTest, RefusesMalformedAndInconsistentCountFiles) {
    const int64_t big = std::numeric_limits<int64_t>::max();
    std::vector<uint8_t> truncated = count_file(kWorked);
    truncated.resize(truncated.size() - 1);
    std::vector<uint8_t> no_nodes = count_file({{0, -1, 1}});
    no_nodes[0] = 0;
    std::vector<uint8_t> wide = count_file({{0, -1, 1}});
    wide[4] = 32;
    std::vector<uint8_t> unclosed = count_file(kWorked);  // structure all 0: more nodes than declared
    for (size_t i = 8 + 8 * kWorked.size(); i < 8 + 8 * kWorked.size() + 4; ++i) unclosed[i] = 0;
    struct Case {
        const char *name;
        std::vector<uint8_t> file;
    };
    const Case cases[] = {
        {"child counts 0", count_file({{0, -1, 3}, {1, 0, 0}})},
        {"root counts 0", count_file({{0, -1, 0}})},
        {"children above parent", count_file({{0, -1, 3}, {1, 0, 2}, {1, 1, 2}})},
        {"children's sum past int64", count_file({{0, -1, big}, {1, 0, big}, {1, 1, 1}})},
        {"negative count", count_file({{0, -1, 3}, {1, 0, -1}})},
        {"word id of V", count_file({{0, -1, 3}, {1, 4, 1}})},
        {"word id far past V", count_file({{0, -1, 3}, {1, 1000, 1}})},
        {"truncated", truncated},
        {"no nodes", no_nodes},
        {"word width 32", wide},
        {"structure never closes", unclosed},
        {"empty", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        estimate(dir, c.file, abcd.get(), ZV_STATUS_INVALID_ARGUMENT);
    }
    zv_ngram_t *model = reinterpret_cast<zv_ngram_t *>(1);
    EXPECT_EQ(zv_ngram_init(dir.path("missing").c_str(), abcd.get(), &model), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(model, nullptr);
}

TEST_F(NgramTest, WritersReportFailedWrites) {
    Ngram model = estimate(dir, count_file(kWorked), abcd.get());
    ASSERT_TRUE(model);
    for (const char *path : {"/dev/full", "/nonexistent-dir/x"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(zv_ngram_save_weights(model.get(), path), ZV_STATUS_IO_ERROR);
        EXPECT_EQ(zv_ngram_save_arpa(model.get(), path), ZV_STATUS_IO_ERROR);
        EXPECT_EQ(zv_ngram_save(model.get(), path), ZV_STATUS_IO_ERROR);
    }
}

TEST(NgramCost, MatchesWithinAnEighthOfADecade) {
    struct Case {
        double value;
        int8_t cost;
        bool matches;
    };
    const Case cases[] = {
        {0.0, 127, true}, {0.0, 126, false}, {1.0, 0, true},  {1.0, 1, true},    {1.0, 2, false},
        {0.1, 7, true},   {0.1, 8, true},    {0.1, 9, true},  {0.1, 10, false},  {0.1, 6, false},
        {10.0, -8, true}, {10.0, 8, false},  {1e-16, 127, true}, {1e-20, 127, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(zv_ngram_cost_matches(c.value, static_cast<uint8_t>(c.cost)), c.matches) << c.value << " " << +c.cost;
    }
}

// ---- random models through every writer and back ----

// ARPA text read back: the counts line and every entry of every section.
struct Arpa {
    std::vector<int64_t> counts;  // counts[i - 1] from "ngram i=..."
    struct Entry {
        double log_probability;
        bool has_backoff;
        double log_backoff;
    };
    std::vector<std::map<std::string, Entry>> sections;
    std::vector<int64_t> lines;  // lines read per section
};

bool parse_arpa(const std::string &text, Arpa *arpa) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || !line.empty()) return false;
    if (!std::getline(in, line) || line != "\\data\\") return false;
    while (std::getline(in, line) && !line.empty()) {
        int order = 0;
        long long count = 0;
        if (std::sscanf(line.c_str(), "ngram %d=%lld", &order, &count) != 2) return false;
        if (order != static_cast<int>(arpa->counts.size()) + 1) return false;
        arpa->counts.push_back(count);
    }
    for (size_t i = 1; i <= arpa->counts.size(); ++i) {
        if (!std::getline(in, line) || line != "\\" + std::to_string(i) + "-grams:") return false;
        arpa->sections.emplace_back();
        arpa->lines.push_back(0);
        while (std::getline(in, line) && !line.empty()) {
            std::vector<std::string> fields;
            std::string field;
            std::istringstream columns(line);
            while (std::getline(columns, field, '\t')) fields.push_back(field);
            if (fields.size() < 2 || fields.size() > 3) return false;
            Arpa::Entry entry{std::stod(fields[0]), fields.size() == 3, fields.size() == 3 ? std::stod(fields[2]) : 0};
            arpa->sections.back()[fields[1]] = entry;
            arpa->lines.back() += 1;
        }
    }
    return std::getline(in, line) && line == "\\end\\" && !std::getline(in, line);
}

// Random sequences of up to `order` words, counted with every prefix; the
// map's order is the tree's preorder.
std::vector<CountNode> random_counts(std::mt19937 &rng, int32_t vocabulary, int32_t order, int32_t sequences) {
    std::map<std::vector<int32_t>, int64_t> counts;
    std::uniform_int_distribution<int32_t> length(0, order);
    std::geometric_distribution<int32_t> word(0.25);
    for (int32_t s = 0; s < sequences; ++s) {
        std::vector<int32_t> seq;
        const int32_t n = length(rng);
        for (int32_t i = 0; i < n; ++i) seq.push_back(std::min(word(rng), vocabulary - 1));
        for (size_t k = 0; k <= seq.size(); ++k) counts[std::vector<int32_t>(seq.begin(), seq.begin() + k)] += 1;
    }
    std::vector<CountNode> nodes;
    for (const auto &[path, count] : counts) {
        nodes.push_back({static_cast<int32_t>(path.size()), path.empty() ? -1 : path.back(), count});
    }
    return nodes;
}

void expect_arpa_matches(const zv_ngram_t *model, const zv_lexicon_t *lexicon, const std::string &text) {
    Arpa arpa;
    ASSERT_TRUE(parse_arpa(text, &arpa)) << text;
    ASSERT_EQ(arpa.counts.size(), static_cast<size_t>(model->order));
    for (size_t i = 0; i < arpa.counts.size(); ++i) EXPECT_EQ(arpa.lines[i], arpa.counts[i]) << i;
    if (model->order >= 1) {
        EXPECT_EQ(arpa.counts[0], zv_lexicon_size(lexicon));
        EXPECT_EQ(arpa.sections[0].size(), static_cast<size_t>(zv_lexicon_size(lexicon)));
    }
    // Every node of the tree, found by its words.
    struct Item {
        const zv_ngram_node_t *node;
        std::string words;
        int32_t depth;
    };
    std::vector<Item> stack;
    int64_t checked = 0;
    for (int32_t i = 0; i < model->root->num_children; ++i) {
        const zv_ngram_node_t *c = model->root->children[i];
        stack.push_back({c, zv_lexicon_decode(lexicon, c->word), 1});
    }
    while (!stack.empty()) {
        const Item item = stack.back();
        stack.pop_back();
        const auto &section = arpa.sections.at(static_cast<size_t>(item.depth - 1));
        const auto found = section.find(item.words);
        ASSERT_NE(found, section.end()) << item.words;
        EXPECT_NEAR(found->second.log_probability, std::log10(item.node->probability), 5e-7) << item.words;
        const bool backoff = item.depth < model->order && item.node->backoff < 1.0;
        EXPECT_EQ(found->second.has_backoff, backoff) << item.words;
        if (backoff) {
            EXPECT_NEAR(found->second.log_backoff, std::log10(item.node->backoff), 5e-7) << item.words;
        }
        ++checked;
        for (int32_t i = 0; i < item.node->num_children; ++i) {
            const zv_ngram_node_t *c = item.node->children[i];
            stack.push_back({c, item.words + " " + zv_lexicon_decode(lexicon, c->word), item.depth + 1});
        }
    }
    int64_t entries = 0;
    for (const auto &section : arpa.sections) entries += static_cast<int64_t>(section.size());
    // Besides the tree, only the lexicon words it lacks, at root backoff / V.
    const int64_t appended = entries - checked;
    EXPECT_EQ(appended, zv_lexicon_size(lexicon) - model->root->num_children);
    for (const auto &[words, entry] : arpa.sections[0]) {
        if (node_at(model, {zv_lexicon_encode(lexicon, words.c_str())})) continue;
        EXPECT_NEAR(entry.log_probability, std::log10(model->root->backoff / zv_lexicon_size(lexicon)), 5e-7);
        EXPECT_FALSE(entry.has_backoff);
    }
}

// The weights text read back: per line the node count of its depth and
// every cost within rounding of the tree's.
void expect_weights_match(const zv_ngram_t *model, const std::string &text) {
    std::vector<std::vector<const zv_ngram_node_t *>> levels(1, {model->root});
    while (!levels.back().empty()) {
        std::vector<const zv_ngram_node_t *> next;
        for (const zv_ngram_node_t *n : levels.back()) next.insert(next.end(), n->children, n->children + n->num_children);
        levels.push_back(next);
    }
    auto cost = [](double v) { return v <= 0 ? 16.0 : -std::log10(v); };
    std::istringstream in(text);
    std::string line;
    for (int32_t i = 0; i <= model->order; ++i) {
        ASSERT_TRUE(std::getline(in, line)) << i;
        std::istringstream values(line);
        std::vector<double> v;
        for (double x; values >> x;) v.push_back(x);
        // Pruning may have emptied the deepest orders: their lines are empty.
        const std::vector<const zv_ngram_node_t *> none;
        const auto &level = static_cast<size_t>(i) < levels.size() ? levels[static_cast<size_t>(i)] : none;
        ASSERT_EQ(v.size(), 2 * level.size()) << i;
        for (size_t k = 0; k < level.size(); ++k) {
            EXPECT_NEAR(v[2 * k], cost(level[k]->probability), 0.0005);
            EXPECT_NEAR(v[2 * k + 1], cost(level[k]->backoff), 0.0005);
        }
    }
    EXPECT_FALSE(std::getline(in, line));
}

TEST(NgramRandom, EveryWriterReadsBack) {
    std::mt19937 rng(12);
    TempDir dir;
    std::vector<std::string> words;
    for (int i = 0; i < 40; ++i) words.push_back("w" + std::to_string(100 + i));
    auto lexicon = zv_test::make_lexicon(words);
    for (int trial = 0; trial < 30; ++trial) {
        SCOPED_TRACE(trial);
        const int32_t order = 1 + trial % 4;
        const std::vector<CountNode> nodes = random_counts(rng, 40, order, 50 + 40 * trial);
        Ngram model = estimate(dir, count_file(nodes), lexicon.get());
        ASSERT_TRUE(model);
        if (trial % 3 == 1) zv_ngram_prune(model.get(), 0.001 * trial);
        if (trial % 3 == 2) {
            ASSERT_EQ(zv_ngram_add_singletons(model.get()), ZV_STATUS_SUCCESS);
        }

        ASSERT_EQ(zv_ngram_save_arpa(model.get(), dir.path("lm.arpa").c_str()), ZV_STATUS_SUCCESS);
        expect_arpa_matches(model.get(), lexicon.get(), read_text(dir.path("lm.arpa")));
        ASSERT_EQ(zv_ngram_save_weights(model.get(), dir.path("w.txt").c_str()), ZV_STATUS_SUCCESS);
        expect_weights_match(model.get(), read_text(dir.path("w.txt")));

        const std::string blob = dir.path("lm.bin");
        ASSERT_EQ(zv_ngram_save(model.get(), blob.c_str()), ZV_STATUS_SUCCESS);
        zv_mgram_t *mgram = nullptr;
        ASSERT_EQ(zv_mgram_load(blob.c_str(), &mgram), ZV_STATUS_SUCCESS);
        Mgram compact(mgram);
        EXPECT_TRUE(zv_mgram_is_equivalent(compact.get(), model.get()));
        zv_kgram_t *kgram = nullptr;
        ASSERT_EQ(zv_kgram_load(blob.c_str(), &kgram), ZV_STATUS_SUCCESS);
        Kgram editable(kgram);
        EXPECT_TRUE(zv_kgram_is_equivalent(editable.get(), model.get()));

    }
}

TEST(NgramRandom, ReadsWhatTheCountTreeWrites) {
    std::mt19937 rng(6);
    TempDir dir;
    auto lexicon = zv_test::lexicon_of_size(300);
    zv_test::Sequences sequences;
    for (int i = 0; i < 2000; ++i) {
        std::vector<int32_t> s;
        for (int k = 0; k < 3; ++k) s.push_back(static_cast<int32_t>(rng() % 300));
        sequences.push_back(s);
    }
    auto gram = zv_test::make_gram(3, lexicon.get(), sequences);
    auto counts = zv_test::make_count(gram.get(), sequences);
    const std::string path = dir.path("counts.bin");
    ASSERT_EQ(zv_count_save(counts.get(), path.c_str()), ZV_STATUS_SUCCESS);
    zv_ngram_t *read = nullptr;
    ASSERT_EQ(zv_ngram_init(path.c_str(), lexicon.get(), &read), ZV_STATUS_SUCCESS);
    Ngram model(read);
    EXPECT_EQ(model->order, 3);
    std::vector<std::pair<const zv_count_node_t *, const zv_ngram_node_t *>> stack{{counts->root, model->root}};
    while (!stack.empty()) {
        auto [c, g] = stack.back();
        stack.pop_back();
        ASSERT_EQ(g->word, c->word);
        ASSERT_EQ(g->count, c->count);
        ASSERT_EQ(g->num_children, c->num_children);
        for (int32_t i = 0; i < c->num_children; ++i) stack.push_back({c->children[i], g->children[i]});
    }
}

TEST(NgramRandom, EquivalenceNoticesOneCostByteOff) {
    TempDir dir;
    auto lexicon = zv_test::make_lexicon({"a", "b", "c", "d"});
    Ngram model = estimate(dir, count_file(kWorked), lexicon.get());
    ASSERT_TRUE(model);
    ASSERT_EQ(zv_ngram_save(model.get(), dir.path("lm.bin").c_str()), ZV_STATUS_SUCCESS);
    std::vector<uint8_t> blob = zv_test::file_bytes(dir.path("lm.bin"));
    const size_t forward = 16 + 4 + 4;
    for (size_t i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        std::vector<uint8_t> off = blob;
        off[forward + i] = static_cast<uint8_t>(off[forward + i] - 2);  // a quarter decade likelier
        zv_mgram_t *mgram = nullptr;
        ASSERT_EQ(zv_mgram_load(dir.write("off.bin", off).c_str(), &mgram), ZV_STATUS_SUCCESS);
        Mgram compact(mgram);
        EXPECT_FALSE(zv_mgram_is_equivalent(compact.get(), model.get()));
        zv_kgram_t *kgram = nullptr;
        ASSERT_EQ(zv_kgram_load(dir.path("off.bin").c_str(), &kgram), ZV_STATUS_SUCCESS);
        Kgram editable(kgram);
        EXPECT_FALSE(zv_kgram_is_equivalent(editable.get(), model.get()));
    }
    // Nor does the same blob against the model pruned.
    zv_mgram_t *mgram = nullptr;
    ASSERT_EQ(zv_mgram_load(dir.path("lm.bin").c_str(), &mgram), ZV_STATUS_SUCCESS);
    Mgram compact(mgram);
    EXPECT_TRUE(zv_mgram_is_equivalent(compact.get(), model.get()));
    zv_ngram_prune(model.get(), 0.1);
    EXPECT_FALSE(zv_mgram_is_equivalent(compact.get(), model.get()));
}

TEST(NgramDeep, ALongChainIsWalkedWithoutRecursion) {
    // A chain of distinct words, estimated, written and pruned away: the
    // walks must not recurse per level.
    const int32_t depth = 5000;
    std::vector<std::string> words;
    for (int32_t i = 0; i < depth; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "w%05d", i);
        words.push_back(name);
    }
    TempDir dir;
    auto lexicon = zv_test::make_lexicon(words);
    std::vector<CountNode> chain = {{0, -1, 2}};
    for (int32_t i = 0; i < depth; ++i) chain.push_back({i + 1, i, 1});
    Ngram model = estimate(dir, count_file(chain), lexicon.get());
    ASSERT_TRUE(model);
    EXPECT_EQ(model->order, depth);
    ASSERT_EQ(zv_ngram_save(model.get(), dir.path("lm.bin").c_str()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_ngram_save_arpa(model.get(), dir.path("lm.arpa").c_str()), ZV_STATUS_SUCCESS);
    zv_ngram_prune(model.get(), 1e9);
    EXPECT_EQ(model->root->num_children, 0);
}

TEST(NgramDeep, AMillionLevelChainEstimatesAndPrunesInLinearTime) {
    // Words repeating with period three: at every level some shorter
    // histories are paths and most are not. Walking every shorter history
    // from the root made this about an hour's work (quadratic in the depth);
    // along the backoff links it is a fraction of a second. Each level leaves
    // nothing unseen below it, so every backoff weight is the floor.
    const int32_t depth = 1000000;
    TempDir dir;
    auto lexicon = zv_test::lexicon_of_size(3);
    std::vector<CountNode> chain = {{0, -1, 1}};
    for (int32_t d = 1; d <= depth; ++d) chain.push_back({d, d % 3, 1});
    Ngram model = estimate(dir, count_file(chain), lexicon.get());
    ASSERT_TRUE(model);
    EXPECT_EQ(model->order, depth);
    const zv_ngram_node_t *node = model->root;
    for (int32_t d = 1; d < depth; ++d) {
        ASSERT_EQ(node->num_children, 1);
        node = node->children[0];
        if (node->probability != 1.0 || node->backoff != 0.001) {
            FAIL() << "level " << d << ": p " << node->probability << ", backoff " << node->backoff;
        }
    }
    zv_ngram_prune(model.get(), 0.0);
    EXPECT_EQ(model->root->num_children, 1);
}

// ---- against the reference estimator, bit for bit ----

namespace ref = zv_test::reference;

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

// The model holds the reference's tree: words, counts and shape, every
// probability and backoff weight with the same bits.
::testing::AssertionResult same_as_reference(const zv_ngram_t *model, const ref::Model &expected) {
    if (model->order != expected.order) {
        return ::testing::AssertionFailure() << "order " << model->order << ", reference " << expected.order;
    }
    std::vector<std::pair<const zv_ngram_node_t *, const ref::Node *>> stack{{model->root, expected.root.get()}};
    std::vector<int32_t> depth{0};
    while (!stack.empty()) {
        auto [g, r] = stack.back();
        const int32_t d = depth.back();
        stack.pop_back();
        depth.pop_back();
        if (g->word != r->word || g->count != r->count || g->num_children != static_cast<int32_t>(r->children.size()) ||
            bits(g->probability) != bits(r->probability) || bits(g->backoff) != bits(r->backoff)) {
            return ::testing::AssertionFailure()
                   << "at depth " << d << ", word " << g->word << " count " << g->count << " children "
                   << g->num_children << " p " << g->probability << " b " << g->backoff << "; reference word "
                   << r->word << " count " << r->count << " children " << r->children.size() << " p "
                   << r->probability << " b " << r->backoff;
        }
        for (int32_t i = 0; i < g->num_children; ++i) {
            stack.push_back({g->children[i], r->children[static_cast<size_t>(i)].get()});
            depth.push_back(d + 1);
        }
    }
    return ::testing::AssertionSuccess();
}

// A valid count tree: every node counts at least 1 and at least its children
// together (exactly as much now and then, so that some history leaves
// nothing unseen).
struct TreeNode {
    int32_t word;
    int64_t count;
    std::vector<TreeNode> children;
};

TreeNode random_tree(std::mt19937 &rng, int32_t word, int32_t vocabulary, int32_t levels, int32_t max_children) {
    TreeNode node{word, 0, {}};
    if (levels > 0) {
        std::vector<int32_t> words(static_cast<size_t>(vocabulary));
        for (int32_t w = 0; w < vocabulary; ++w) words[static_cast<size_t>(w)] = w;
        std::shuffle(words.begin(), words.end(), rng);
        const int32_t least = word < 0 ? 2 : 0;  // the root has some
        const int32_t k = std::min<int32_t>(vocabulary, least + static_cast<int32_t>(rng() % (max_children + 1)));
        for (int32_t i = 0; i < k; ++i) {
            node.children.push_back(random_tree(rng, words[static_cast<size_t>(i)], vocabulary, levels - 1, max_children));
        }
    }
    for (const TreeNode &c : node.children) node.count += c.count;
    node.count += rng() % 4 == 0 ? 0 : 1 + static_cast<int64_t>(rng() % 3);
    if (node.count == 0) node.count = 1;
    return node;
}

// The tree as a count file's nodes in preorder, the way a file may list it:
// siblings ascending, descending or shuffled, and now and then a node split
// into occurrences under one parent or under the occurrences of its parent,
// its children spread over them. The last occurrence in the file carries the
// count; the others carry stale ones (0, negative, too large), which the
// reader must drop.
std::vector<CountNode> as_count_file(std::mt19937 &rng, const TreeNode &root, int32_t repeat_one_in) {
    struct Occurrence {
        const TreeNode *node;
        std::vector<Occurrence> children;
    };
    auto arrange = [&](std::vector<Occurrence> &list) {
        const auto by_word = [](const Occurrence &a, const Occurrence &b) { return a.node->word < b.node->word; };
        switch (rng() % 3) {
            case 0: std::stable_sort(list.begin(), list.end(), by_word); break;
            case 1: std::stable_sort(list.rbegin(), list.rend(), by_word); break;
            default: std::shuffle(list.begin(), list.end(), rng);
        }
    };
    std::function<std::vector<Occurrence>(const TreeNode &, bool)> split = [&](const TreeNode &n, bool once) {
        const size_t k = once || rng() % static_cast<uint32_t>(repeat_one_in) != 0 ? 1 : 2 + rng() % 2;
        std::vector<Occurrence> occurrences(k, Occurrence{&n, {}});
        for (const TreeNode &c : n.children) {
            for (Occurrence &o : split(c, false)) occurrences[rng() % k].children.push_back(std::move(o));
        }
        for (Occurrence &o : occurrences) arrange(o.children);
        return occurrences;
    };
    std::vector<CountNode> nodes;
    std::vector<const TreeNode *> origin;
    std::vector<std::pair<const Occurrence *, int32_t>> stack;
    const std::vector<Occurrence> top = split(root, true);
    stack.push_back({&top[0], 0});
    while (!stack.empty()) {
        auto [o, depth] = stack.back();
        stack.pop_back();
        nodes.push_back({depth, o->node->word, 0});
        origin.push_back(o->node);
        for (auto c = o->children.rbegin(); c != o->children.rend(); ++c) stack.push_back({&*c, depth + 1});
    }
    std::vector<const TreeNode *> counted;
    for (size_t i = nodes.size(); i-- > 0;) {
        const bool last = std::find(counted.begin(), counted.end(), origin[i]) == counted.end();
        if (last) {
            nodes[i].count = origin[i]->count;
            counted.push_back(origin[i]);
        } else {
            const int64_t stale[] = {0, -7, origin[i]->count + 1000, 1};
            nodes[i].count = stale[rng() % 4];
        }
    }
    return nodes;
}

// Estimates the count file with the library and the reference: the same
// status, and on success the same tree.
Ngram estimate_both(const TempDir &dir, const std::vector<CountNode> &nodes, const zv_lexicon_t *lexicon,
                    ref::Model *expected) {
    const bool valid = ref::build(nodes, zv_lexicon_size(lexicon), expected);
    if (valid) ref::estimate(expected);
    Ngram model = estimate(dir, count_file(nodes), lexicon, valid ? ZV_STATUS_SUCCESS : ZV_STATUS_INVALID_ARGUMENT);
    if (model) {
        EXPECT_TRUE(same_as_reference(model.get(), *expected));
    }
    return model;
}

TEST(NgramReference, RandomTreesInAnyOrderEstimateAndPruneAsTheReference) {
    std::mt19937 rng(61);
    TempDir dir;
    const int32_t vocabularies[] = {2, 3, 5, 12, 40};
    int32_t estimated = 0;
    int32_t refused = 0;
    for (int trial = 0; trial < 150; ++trial) {
        SCOPED_TRACE(trial);
        const int32_t V = vocabularies[trial % 5];
        auto lexicon = zv_test::lexicon_of_size(V);
        const int32_t levels = 1 + static_cast<int32_t>(rng() % 7);
        const TreeNode tree = random_tree(rng, -1, V, levels, 2 + static_cast<int32_t>(rng() % 4));
        std::vector<CountNode> nodes = as_count_file(rng, tree, trial % 2 == 0 ? 4 : 1000000);
        if (trial % 7 == 3 && nodes.size() > 1) {
            // Damaged: a zeroed count (refused where it is the one that
            // stays) or a word past the lexicon.
            CountNode &n = nodes[1 + rng() % (nodes.size() - 1)];
            if (rng() % 2 == 0) {
                n.count = 0;
            } else {
                n.word = V;
            }
        }
        ref::Model expected;
        Ngram model = estimate_both(dir, nodes, lexicon.get(), &expected);
        if (!model) {
            ++refused;
            continue;
        }
        ++estimated;
        if (trial % 3 == 1) {
            ref::add_singletons(&expected);
            ASSERT_EQ(zv_ngram_add_singletons(model.get()), ZV_STATUS_SUCCESS);
        }
        // Pruned again and again, each time the tree as the last left it.
        for (double threshold : {0.0, 1e-4, 1e-3, 0.01, 0.05, 0.2}) {
            SCOPED_TRACE(threshold);
            ref::prune(&expected, threshold);
            zv_ngram_prune(model.get(), threshold);
            ASSERT_TRUE(same_as_reference(model.get(), expected));
        }
    }
    EXPECT_GT(estimated, 100);
    EXPECT_GT(refused, 5);
}

TEST(NgramReference, ChainsEstimateAndPruneAsTheReference) {
    // Chains whose histories are all missing (distinct words), all held (one
    // word), held at a fixed distance (a period) or anywhere (random words),
    // and a comb: a chain of one word with a leaf of another at every level.
    const int32_t levels = 400;
    std::mt19937 rng(8);
    struct Shape {
        const char *name;
        int32_t vocabulary;
        std::function<int32_t(int32_t)> word;  // of the node at depth d
        bool comb;
    };
    const Shape shapes[] = {
        {"distinct words", levels, [](int32_t d) { return d - 1; }, false},
        {"one word", 2, [](int32_t) { return 0; }, false},
        {"period three", 4, [](int32_t d) { return d % 3; }, false},
        {"random words", 3, [&](int32_t) { return static_cast<int32_t>(rng() % 3); }, false},
        {"comb", 2, [](int32_t) { return 0; }, true},
    };
    TempDir dir;
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.name);
        auto lexicon = zv_test::lexicon_of_size(shape.vocabulary);
        // Counts fall by one every other level: some histories leave nothing
        // unseen. A comb's leaves count 1 each.
        std::vector<CountNode> nodes = {{0, -1, levels + 2}};
        for (int32_t d = 1; d <= levels; ++d) {
            nodes.push_back({d, shape.word(d), shape.comb ? 2 * (levels - d) + 2 : (levels - d) / 2 + 1});
        }
        if (shape.comb) {
            for (int32_t d = levels; d >= 1; --d) nodes.insert(nodes.begin() + d + 1, CountNode{d + 1, 1, 1});
            nodes[0].count = 2 * levels + 3;
        }
        for (double threshold : {0.0, 1e-3, 1e9}) {
            SCOPED_TRACE(threshold);
            ref::Model expected;
            Ngram model = estimate_both(dir, nodes, lexicon.get(), &expected);
            ASSERT_TRUE(model);
            ref::prune(&expected, threshold);
            zv_ngram_prune(model.get(), threshold);
            ASSERT_TRUE(same_as_reference(model.get(), expected));
        }
    }
}

}  // namespace
