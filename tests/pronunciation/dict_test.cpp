#include "pronunciation/dict.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "support/byte_writer.h"
#include "support/child_process.h"
#include "support/model_writer.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::ByteWriter;
using zv_test::DictPtr;
using zv_test::LexiconPtr;
using zv_test::make_dict;
using zv_test::make_lexicon;
using zv_test::Pronunciations;
using zv_test::TempDir;

// Every pronunciation of every word, as the accessors give them.
Pronunciations contents(const zv_dict_t *dict, int32_t words) {
    Pronunciations all(words);
    for (int32_t w = 0; w < words; ++w) {
        for (int32_t k = 0; k < zv_dict_num_pronunciations(dict, w); ++k) {
            int32_t length = -1;
            const int32_t *ids = nullptr;
            zv_dict_pronunciation(dict, w, k, &length, &ids);
            all[w].emplace_back(ids, ids + length);
        }
    }
    return all;
}

struct TextCase {
    std::string phones;
    std::string prons;
};

zv_status_t from_text(const zv_lexicon_t *lexicon, const TextCase &c, DictPtr *out) {
    TempDir dir;
    zv_dict_t *dict = reinterpret_cast<zv_dict_t *>(1);
    const zv_status_t status = zv_dict_init(dir.write("phones.txt", c.phones).c_str(),
                                            dir.write("prons.txt", c.prons).c_str(), lexicon, &dict);
    if (status != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(dict, nullptr);
    }
    out->reset(status == ZV_STATUS_SUCCESS ? dict : nullptr);
    return status;
}

zv_status_t deserialize(const zv_lexicon_t *lexicon, const std::vector<uint8_t> &bytes, DictPtr *out,
                        uint64_t *consumed) {
    zv_dict_t *dict = nullptr;
    const zv_status_t status = zv_test::decode_exact_copy(bytes, consumed, [&](const void **cursor, uint64_t size) {
        return zv_dict_deserialize_bounded(lexicon, cursor, size, &dict);
    });
    if (status != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(dict, nullptr);
    }
    out->reset(dict);
    return status;
}

// A dictionary blob assembled by hand: fields packed here, apart from the
// library's own bit-field writer.
struct HandBlob {
    static constexpr int32_t kDerived = INT32_MIN;
    int32_t total = kDerived;  // the exact size
    int32_t p = 3;
    int32_t d = kDerived;      // labels.size()
    int32_t e = 2;
    int32_t n = kDerived;      // words.size()
    int32_t word_bits = 1;
    std::vector<uint32_t> labels;
    std::vector<uint32_t> words;
    std::string bits;  // structure, bit 0 first

    static void pack(std::vector<uint32_t> *out, const std::vector<uint32_t> &values, int32_t width) {
        const size_t total_bits = values.size() * width;
        out->assign((total_bits + 31) / 32, 0);
        for (size_t i = 0; i < values.size(); ++i)
            for (int32_t b = 0; b < width; ++b)
                if ((values[i] >> b) & 1) (*out)[(i * width + b) / 32] |= 1u << ((i * width + b) % 32);
    }
    std::vector<uint8_t> bytes() const {
        std::vector<uint32_t> l, w, s;
        pack(&l, labels, e);
        pack(&w, words, word_bits);
        std::vector<uint32_t> bit_values;
        for (char c : bits) bit_values.push_back(c == '1');
        pack(&s, bit_values, 1);
        const int32_t size = static_cast<int32_t>(20 + 4 * (l.size() + w.size() + s.size()));
        ByteWriter out;
        out.i32(total == kDerived ? size : total).i32(p);
        out.i32(d == kDerived ? static_cast<int32_t>(labels.size()) : d).i32(e);
        out.i32(n == kDerived ? static_cast<int32_t>(words.size()) : n);
        for (const std::vector<uint32_t> *a : {&l, &w, &s})
            for (uint32_t v : *a) out.u32(v);
        return out.take();
    }
};

// ANT 1 2, BEE 1 3 with P = 3: the blob the writer must give.
HandBlob ant_bee() {
    HandBlob h;
    h.labels = {0, 1, 2, 0, 3, 0};
    h.words = {0, 1};
    h.bits = "000011001111";
    h.word_bits = 2;
    return h;
}

}  // namespace

TEST(DictText, ReadsGroupsAndTokens) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE"});
    struct Case {
        TextCase text;
        Pronunciations want;
    };
    const Case cases[] = {
        {{"AA\nB\nCH\n", "ANT\tAA B\nANT\tCH\nBEE\tB B\n"}, {{{1, 2}, {3}}, {{2, 2}}}},
        {{std::string("AA\nB\nCH\n\0", 9), "ANT\tAA B\nANT\tCH\nBEE\tB B"}, {{{1, 2}, {3}}, {{2, 2}}}},
        {{"AA\nB\nCH\n", "\t\tANT\t  AA  B \nBEE\n"}, {{{1, 2}}, {{}}}},
        {{"AA\nB\nCH\n", "ANT\t\nBEE\tCH\n"}, {{{}}, {{3}}}},
        {{"AA\n", "ANT\nBEE\n"}, {{{}}, {{}}}},  // no ids at all
        // A repeated phone name always takes its first id.
        {{"AA\nAA\n", "ANT\tAA\nBEE\tAA AA\n"}, {{{1}}, {{1, 1}}}},
        // A name is any bytes but the space: tabs, CR and high bytes included.
        {{"A\tB\nC\r\n\xC3\xA9\n", "ANT\tA\tB \xC3\xA9\nBEE\tC\r\n"}, {{{1, 3}}, {{2}}}},
    };
    for (const Case &c : cases) {
        DictPtr dict;
        ASSERT_EQ(from_text(lexicon.get(), c.text, &dict), ZV_STATUS_SUCCESS) << c.text.prons;
        EXPECT_EQ(contents(dict.get(), 2), c.want) << c.text.prons;
    }
    DictPtr dict;
    ASSERT_EQ(from_text(lexicon.get(), {"AA\nAA\nB\n", "ANT\tB\nBEE\tB\n"}, &dict), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_dict_phoneme_set_size(dict.get()), 3);
}

TEST(DictText, EveryNameTakesTheIdOfItsFirstLine) {
    // Random phone sets of short names over a few bytes (prefixes of one
    // another, repeats, high bytes), and a pronunciation of every line's
    // name: each id must be that of the first line holding the name.
    std::mt19937 rng(5);
    const char alphabet[] = {'A', 'B', '\xC3', '\r'};
    LexiconPtr lexicon = make_lexicon({"W"});
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<std::string> names(1 + rng() % 300);
        for (std::string &name : names) {
            name.assign(1 + rng() % 3, 'A');
            for (char &c : name) c = alphabet[rng() % 4];
        }
        std::string phones, prons = "W\t";
        std::vector<int32_t> want;
        for (const std::string &name : names) phones += name + "\n";
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string &name = names[rng() % names.size()];
            prons += name + " ";
            int32_t first = 0;
            while (names[first] != name) ++first;
            want.push_back(first + 1);
        }
        DictPtr dict;
        ASSERT_EQ(from_text(lexicon.get(), {phones, prons + "\n"}, &dict), ZV_STATUS_SUCCESS);
        EXPECT_EQ(contents(dict.get(), 1), Pronunciations{{want}});
    }
}

TEST(DictText, MalformedTextsAreRefused) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE", "CAT"});
    const std::string phones = "AA\nB\nCH\n";
    const std::string good = "ANT\tAA\nBEE\tB\nCAT\tCH\n";
    struct Case {
        const char *what;
        TextCase text;
        zv_status_t status;
    };
    const Case cases[] = {
        {"good", {phones, good}, ZV_STATUS_SUCCESS},
        {"empty phone set", {"", good}, ZV_STATUS_INVALID_ARGUMENT},
        {"phone set of one NUL", {std::string("\0", 1), good}, ZV_STATUS_INVALID_ARGUMENT},
        {"phone set without final newline", {"AA\nB\nCH", good}, ZV_STATUS_INVALID_ARGUMENT},
        {"empty phone line", {"AA\n\nB\nCH\n", good}, ZV_STATUS_INVALID_ARGUMENT},
        {"NUL inside the phone set", {std::string("AA\nB\0X\nCH\n", 10), good}, ZV_STATUS_INVALID_ARGUMENT},
        {"word missing", {phones, "ANT\tAA\nCAT\tCH\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"last word missing", {phones, "ANT\tAA\nBEE\tB\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"words out of order", {phones, "BEE\tB\nANT\tAA\nCAT\tCH\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"a word split in two runs", {phones, "ANT\tAA\nBEE\tB\nANT\tB\nCAT\tCH\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"one word too many", {phones, good + "CAT\tB\nANT\tB\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"word outside the lexicon", {phones, "ANT\tAA\nBEE\tB\nCOW\tCH\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"unknown phone", {phones, "ANT\tAA\nBEE\tZ\nCAT\tCH\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"tab inside the names", {phones, "ANT\tAA\tB\nBEE\tB\nCAT\tCH\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"empty line", {phones, "ANT\tAA\n\nBEE\tB\nCAT\tCH\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"empty last line", {phones, good + "\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"line of tabs", {phones, good + "\t\t\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"CR before newline", {phones, "ANT\tAA\r\nBEE\tB\r\nCAT\tCH\r\n"}, ZV_STATUS_INVALID_ARGUMENT},
        {"NUL inside a line", {phones, std::string("ANT\tAA\nBEE\tB\0 B\nCAT\tCH\n", 22)}, ZV_STATUS_INVALID_ARGUMENT},
        {"line of 1022 bytes", {phones, "ANT\tAA" + std::string(1016, ' ') + "\nBEE\tB\nCAT\tCH\n"}, ZV_STATUS_SUCCESS},
        {"line of 1023 bytes", {phones, "ANT\tAA" + std::string(1017, ' ') + "\nBEE\tB\nCAT\tCH\n"},
         ZV_STATUS_RUNTIME_ERROR},
        // Without a newline to hold, a last line fills the whole buffer.
        {"last line of 1023 bytes", {phones, "ANT\tAA\nBEE\tB\nCAT\tCH" + std::string(1017, ' ')},
         ZV_STATUS_SUCCESS},
        {"last line of 1024 bytes", {phones, "ANT\tAA\nBEE\tB\nCAT\tCH" + std::string(1018, ' ')},
         ZV_STATUS_RUNTIME_ERROR},
        {"line of 5000 bytes", {phones, "ANT\t" + std::string(5000, ' ') + "AA\nBEE\tB\nCAT\tCH\n"},
         ZV_STATUS_RUNTIME_ERROR},
    };
    for (const Case &c : cases) {
        DictPtr dict;
        EXPECT_EQ(from_text(lexicon.get(), c.text, &dict), c.status) << c.what;
    }
}

TEST(DictText, FilesThatCantBeReadAndEmptyLexicon) {
    TempDir dir;
    const std::string phones = dir.write("phones.txt", std::string("AA\n"));
    const std::string prons = dir.write("prons.txt", std::string(""));
    // Over a lexicon without words, an empty pronunciation text is a
    // dictionary without words, not a failed allocation.
    zv_lexicon_t *empty = nullptr;
    const std::vector<uint8_t> root = ByteWriter().u32(16).u32(1).u32(2).u32(0).take();
    const void *cursor = root.data();
    ASSERT_EQ(zv_lexicon_deserialize(&cursor, &empty), ZV_STATUS_SUCCESS);
    LexiconPtr lexicon(empty);
    zv_dict_t *dict = nullptr;
    ASSERT_EQ(zv_dict_init(phones.c_str(), prons.c_str(), empty, &dict), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_dict_num_pronunciations(dict, 0), 0);
    zv_dict_delete(dict);

    // A read error is not the end of the text: a directory opens but can't be read.
    dict = reinterpret_cast<zv_dict_t *>(1);
    EXPECT_EQ(zv_dict_init(phones.c_str(), dir.root().c_str(), empty, &dict), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(dict, nullptr);
    EXPECT_EQ(zv_dict_init(phones.c_str(), dir.path("missing").c_str(), empty, &dict), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(zv_dict_init(dir.path("missing").c_str(), prons.c_str(), empty, &dict), ZV_STATUS_IO_ERROR);
    zv_dict_delete(nullptr);
}

TEST(DictLookup, PointersAndWordsWithoutPronunciations) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE"});
    DictPtr dict = make_dict(lexicon.get(), 3, {{{1, 2}, {3}}, {{2, 2}}});
    int32_t length1, length2;
    const int32_t *ids1, *ids2;
    zv_dict_pronunciation(dict.get(), 1, 0, &length1, &ids1);
    zv_dict_pronunciation(dict.get(), 1, 0, &length2, &ids2);
    EXPECT_EQ(ids1, ids2);
    ASSERT_EQ(length1, 2);
    EXPECT_EQ(ids1[0], 2);
    EXPECT_EQ(ids1[1], 2);

    // Out of range: no pronunciation, and nothing read past the arrays.
    for (auto [word, k] : {std::pair{1, 1}, {0, 2}, {0, -1}, {2, 0}, {-1, 0}}) {
        int32_t length = -1;
        const int32_t *ids = ids1;
        zv_dict_pronunciation(dict.get(), word, k, &length, &ids);
        EXPECT_EQ(length, 0) << word << " " << k;
        EXPECT_EQ(ids, nullptr) << word << " " << k;
    }
    EXPECT_EQ(zv_dict_num_pronunciations(dict.get(), 2), 0);
    EXPECT_EQ(zv_dict_num_pronunciations(dict.get(), -1), 0);

    // A word merged in with no pronunciation at all.
    const char *added[] = {"CAT"};
    const int32_t none[] = {0};
    LexiconPtr merged = make_lexicon({"ANT", "BEE", "CAT"});
    ASSERT_EQ(zv_dict_add(dict.get(), merged.get(), 1, added, none, nullptr, nullptr), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_dict_num_pronunciations(dict.get(), 2), 0);
    int32_t length = -1;
    const int32_t *ids = ids1;
    zv_dict_pronunciation(dict.get(), 2, 0, &length, &ids);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(ids, nullptr);
}

TEST(DictLookup, PrintsThroughTheLogInGreen) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE"});
    DictPtr dict = make_dict(lexicon.get(), 3, {{{1, 2}, {3}}, {{2, 2}}});
    const std::string out = zv_test::capture_stdout([&] { zv_dict_print(dict.get()); });
    auto g = [](const std::string &t) { return std::string(ZV_LOG_GREEN) + t + ZV_LOG_RESET; };
    EXPECT_EQ(out, g("ANT >>> ") + g("[ ") + g("1 ") + g("2 ") + g("] ") + g("[ ") + g("3 ") + g("] ") + g("\n") +
                       g("BEE >>> ") + g("[ ") + g("2 ") + g("2 ") + g("] ") + g("\n"));
    zv_log_disable();
    EXPECT_EQ(zv_test::capture_stdout([&] { zv_dict_print(dict.get()); }), "");
    zv_log_enable();
}

TEST(DictLookup, Equality) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE"});
    DictPtr a = make_dict(lexicon.get(), 4, {{{1, 2}, {3}}, {{2, 2}}});
    DictPtr reordered = make_dict(lexicon.get(), 4, {{{3}, {1, 2}}, {{2, 2}}});
    DictPtr fewer = make_dict(lexicon.get(), 4, {{{1, 2}}, {{2, 2}}});
    DictPtr other = make_dict(lexicon.get(), 4, {{{1, 2}, {4}}, {{2, 2}}});
    DictPtr twice = make_dict(lexicon.get(), 4, {{{1, 2}, {1, 2}}, {{2, 2}}});
    EXPECT_TRUE(zv_dict_is_equal(a.get(), a.get()));
    EXPECT_TRUE(zv_dict_is_equal(a.get(), reordered.get()));
    EXPECT_FALSE(zv_dict_is_equal(a.get(), fewer.get()));
    EXPECT_FALSE(zv_dict_is_equal(a.get(), other.get()));
    // One-sided with a repeated pronunciation.
    EXPECT_TRUE(zv_dict_is_equal(a.get(), twice.get()));
    EXPECT_FALSE(zv_dict_is_equal(twice.get(), a.get()));
}

TEST(DictMerge, NewWordsTakeTheirPronunciations) {
    LexiconPtr lexicon = make_lexicon({"ANT", "CAT"});
    DictPtr dict = make_dict(lexicon.get(), 5, {{{1}}, {{2, 3}}});
    const char *words[] = {"BEE", "CAT", "DOG"};
    const int32_t num_prons[] = {1, 5, 2};
    const int32_t lengths[] = {1, 1, 2};
    const int32_t bee[] = {4}, dog1[] = {5}, dog2[] = {1, 5};
    const int32_t *prons[] = {bee, dog1, dog2};
    LexiconPtr merged = make_lexicon({"ANT", "BEE", "CAT", "DOG"});
    ASSERT_EQ(zv_dict_add(dict.get(), merged.get(), 3, words, num_prons, lengths, prons), ZV_STATUS_SUCCESS);
    EXPECT_EQ(contents(dict.get(), 4), (Pronunciations{{{1}}, {{4}}, {{2, 3}}, {{5}, {1, 5}}}));
    EXPECT_EQ(zv_dict_phoneme_set_size(dict.get()), 5);
    // Nothing to merge: the same contents.
    ASSERT_EQ(zv_dict_add(dict.get(), merged.get(), 0, nullptr, nullptr, nullptr, nullptr), ZV_STATUS_SUCCESS);
    EXPECT_EQ(contents(dict.get(), 4), (Pronunciations{{{1}}, {{4}}, {{2, 3}}, {{5}, {1, 5}}}));
}

TEST(DictBlob, WriterGivesTheExactBytes) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE"});
    DictPtr dict = make_dict(lexicon.get(), 3, {{{1, 2}}, {{1, 3}}});
    const std::vector<uint8_t> want = ByteWriter()
                                          .u32(32).u32(3).u32(6).u32(2).u32(2)
                                          .u32(0x324).u32(0x4).u32(0xF30)
                                          .take();
    const std::vector<uint8_t> blob = zv_test::dict_blob(dict.get());
    EXPECT_EQ(blob, want);
    EXPECT_EQ(ant_bee().bytes(), want);
    DictPtr back;
    uint64_t consumed = 0;
    ASSERT_EQ(deserialize(lexicon.get(), blob, &back, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(consumed, 32u);
    EXPECT_EQ(zv_dict_phoneme_set_size(back.get()), 3);
    EXPECT_TRUE(zv_dict_is_equal(dict.get(), back.get()));
}

TEST(DictBlob, RoundTripsKeepTrieOrder) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE"});
    struct Case {
        const char *what;
        int32_t p;
        Pronunciations prons;
        Pronunciations back;
        int32_t nodes;
    };
    const Case cases[] = {
        // Node 1, made for ANT, precedes node 3 under the root.
        {"first insertion order", 4, {{{1, 2}}, {{3}, {1, 4}}}, {{{1, 2}}, {{1, 4}, {3}}}, 8},
        {"shared pronunciation", 4, {{{1, 2}}, {{1, 2}}}, {{{1, 2}}, {{1, 2}}}, 5},
        {"empty pronunciation", 4, {{{}}, {{2}}}, {{{}}, {{2}}}, 4},
        // A repeated pronunciation is one end node, and N counts end nodes.
        {"repeated pronunciation", 4, {{{1, 2}, {3}, {1, 2}}, {{4}}}, {{{1, 2}, {3}}, {{4}}}, 8},
    };
    for (const Case &c : cases) {
        DictPtr dict = make_dict(lexicon.get(), c.p, c.prons);
        const std::vector<uint8_t> blob = zv_test::dict_blob(dict.get());
        ASSERT_GE(blob.size(), 20u);
        uint32_t nodes, n;
        std::memcpy(&nodes, blob.data() + 8, 4);
        std::memcpy(&n, blob.data() + 16, 4);
        EXPECT_EQ(nodes, static_cast<uint32_t>(c.nodes)) << c.what;
        size_t ends = 0;
        for (const auto &word : c.back) ends += word.size();
        EXPECT_EQ(n, ends) << c.what;
        DictPtr back;
        uint64_t consumed;
        ASSERT_EQ(deserialize(lexicon.get(), blob, &back, &consumed), ZV_STATUS_SUCCESS) << c.what;
        EXPECT_EQ(contents(back.get(), 2), c.back) << c.what;
    }
}

TEST(DictBlob, EmptyLexiconAndSpareBytes) {
    const std::vector<uint8_t> root = ByteWriter().u32(16).u32(1).u32(2).u32(0).take();
    zv_lexicon_t *empty = nullptr;
    const void *cursor = root.data();
    ASSERT_EQ(zv_lexicon_deserialize(&cursor, &empty), ZV_STATUS_SUCCESS);
    LexiconPtr lexicon(empty);
    HandBlob h;
    h.labels = {0};
    h.bits = "01";
    h.word_bits = 0;
    DictPtr back;
    uint64_t consumed;
    ASSERT_EQ(deserialize(empty, h.bytes(), &back, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(consumed, 28u);
    EXPECT_EQ(zv_test::dict_blob(back.get()), h.bytes());

    // A total larger than the arrays need: the same dictionary, the cursor
    // moved by the total.
    LexiconPtr ant_bee_lexicon = make_lexicon({"ANT", "BEE"});
    HandBlob spare = ant_bee();
    spare.total = 40;
    std::vector<uint8_t> bytes = spare.bytes();
    bytes.resize(40, 0xEE);
    ASSERT_EQ(deserialize(ant_bee_lexicon.get(), bytes, &back, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(consumed, 40u);
    EXPECT_EQ(contents(back.get(), 2), (Pronunciations{{{1, 2}}, {{1, 3}}}));

    // A word may own no pronunciation while another owns two (N >= L).
    HandBlob lopsided;
    lopsided.labels = {0, 1, 0, 2, 0};
    lopsided.words = {0, 0};
    lopsided.bits = "0001100111";
    lopsided.word_bits = 2;
    ASSERT_EQ(deserialize(ant_bee_lexicon.get(), lopsided.bytes(), &back, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(contents(back.get(), 2), (Pronunciations{{{1}, {2}}, {}}));
    int32_t length = -1;
    const int32_t *ids = reinterpret_cast<const int32_t *>(&length);
    zv_dict_pronunciation(back.get(), 1, 0, &length, &ids);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(ids, nullptr);
}

TEST(DictBlob, MalformedBlobsAreRefused) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE"});
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    auto with = [&](const char *what, auto change) {
        HandBlob h = ant_bee();
        change(h);
        cases.push_back({what, h.bytes()});
    };
    with("total 20", [](HandBlob &h) { h.total = 20; });
    with("total beyond the bytes", [](HandBlob &h) { h.total = 36; });
    with("total below the arrays", [](HandBlob &h) { h.total = 28; });
    with("no nodes", [](HandBlob &h) { h.d = 0; });
    with("negative nodes", [](HandBlob &h) { h.d = -1; });
    with("label width 0", [](HandBlob &h) { h.e = 0; });
    with("label width 32", [](HandBlob &h) { h.e = 32; });
    with("no phonemes", [](HandBlob &h) { h.p = 0; });
    with("negative phonemes", [](HandBlob &h) { h.p = -3; });
    with("fewer pronunciations than words", [](HandBlob &h) { h.n = 1; h.words = {0}; });
    with("more pronunciations than nodes", [](HandBlob &h) { h.n = 7; });
    with("node count far beyond the bytes", [](HandBlob &h) { h.d = 0x7FFFFFFF; });
    with("label above P", [](HandBlob &h) { h.p = 2; });
    with("word index beyond the lexicon", [](HandBlob &h) { h.words = {0, 2}; h.word_bits = 2; });
    with("more end nodes than recorded", [](HandBlob &h) {
        h.labels = {0, 1, 0, 2, 0, 3, 0};
        h.words = {0, 1, 1};
        h.n = 2;
        h.bits = "00011001100111";
    });
    with("fewer end nodes than recorded", [](HandBlob &h) { h.n = 3; h.words = {0, 1, 0}; });
    with("end node with children", [](HandBlob &h) {
        h.labels = {0, 1, 0, 3, 0, 0};
        h.bits = "000001111011";
        h.words = {0, 1};
    });
    with("path without end", [](HandBlob &h) {
        h.labels = {0, 1, 2, 0, 3, 0};
        h.bits = "000011001111";
        h.labels[5] = 1;  // BEE's end node becomes a phoneme leaf
        h.words = {0};
        h.n = 2;
    });
    with("root closed early", [](HandBlob &h) { h.bits = "000011110000"; });
    with("more nodes than declared", [](HandBlob &h) { h.bits = "000011000111"; });
    cases.push_back({"short header", ByteWriter().u32(32).u32(3).u32(6).u32(2).take()});
    for (const Case &c : cases) {
        DictPtr dict;
        uint64_t consumed = 99;
        EXPECT_EQ(deserialize(lexicon.get(), c.bytes, &dict, &consumed), ZV_STATUS_INVALID_ARGUMENT) << c.what;
        EXPECT_EQ(consumed, 0u) << c.what;
    }
}

TEST(DictBlob, IdsMayBeAtMost64PerBlobByte) {
    // A chain of L levels spells L (L + 1) / 2 ids from about 20 + 7 L / 8
    // bytes: the bound falls between 130 and 140 levels.
    LexiconPtr lexicon = make_lexicon({"A"});
    for (int32_t levels : {1, 50, 130, 140, 3000}) {
        const std::vector<uint8_t> blob = zv_test::EncodeDict(1, 1, zv_test::chain_pronunciations(levels));
        const uint64_t ids = static_cast<uint64_t>(levels) * (levels + 1) / 2;
        DictPtr dict;
        uint64_t consumed = 0;
        EXPECT_EQ(deserialize(lexicon.get(), blob, &dict, &consumed),
                  ids <= 64 * blob.size() ? ZV_STATUS_SUCCESS : ZV_STATUS_INVALID_ARGUMENT)
            << levels;
        EXPECT_EQ(dict != nullptr, levels <= 130) << levels;
    }
}

TEST(DictBlob, WriterRefusesWhatItsReaderWould) {
    zv_status_t status = ZV_STATUS_SUCCESS;
    auto written = [&](const zv_dict_t *dict) {
        uint64_t size = 1;
        void *blob = reinterpret_cast<void *>(1);
        status = zv_dict_serialize(dict, &size, &blob);
        const bool nothing = size == 0 && blob == nullptr;
        free(blob);
        return nothing;
    };
    // ANT's one pronunciation twice beside BEE without any: stored once, it
    // leaves fewer end nodes than words.
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE"});
    DictPtr repeated;
    uint64_t consumed = 0;
    HandBlob h = ant_bee();
    h.labels = {0, 1, 2, 0, 0};
    h.words = {0, 0};
    h.bits = "0000101111";
    ASSERT_EQ(deserialize(lexicon.get(), h.bytes(), &repeated, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(written(repeated.get()));
    EXPECT_EQ(status, ZV_STATUS_INVALID_ARGUMENT);

    // A word merged in with no pronunciation.
    LexiconPtr ant = make_lexicon({"ANT"});
    DictPtr merged = make_dict(ant.get(), 3, {{{1}}});
    const char *words[] = {"BEE"};
    const int32_t none[] = {0};
    ASSERT_EQ(zv_dict_add(merged.get(), lexicon.get(), 1, words, none, nullptr, nullptr), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(written(merged.get()));
    EXPECT_EQ(status, ZV_STATUS_INVALID_ARGUMENT);

    // Beyond the reader's bound of ids per byte: many words sharing one long
    // pronunciation, each costing only its end node.
    std::vector<std::string> many;
    for (int i = 0; i < 64; ++i) many.push_back("W" + std::to_string(100 + i));
    LexiconPtr homophones = make_lexicon(many);
    DictPtr dict = make_dict(homophones.get(), 1, Pronunciations(64, {std::vector<int32_t>(300, 1)}));
    EXPECT_TRUE(written(dict.get()));
    EXPECT_EQ(status, ZV_STATUS_INVALID_ARGUMENT);
}

TEST(DictBlob, PublicFormSaveAndLoad) {
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE", "CAT"});
    DictPtr dict = make_dict(lexicon.get(), 39, {{{1, 2}, {39}}, {{2, 2, 5}}, {{7}}});
    std::vector<uint8_t> two = zv_test::lexicon_blob(lexicon.get());
    const size_t lexicon_bytes = two.size();
    const std::vector<uint8_t> blob = zv_test::dict_blob(dict.get());
    two.insert(two.end(), blob.begin(), blob.end());
    two.insert(two.end(), {9, 9, 9});
    const void *cursor = two.data();
    zv_lexicon_t *decoded_lexicon = nullptr;
    ASSERT_EQ(zv_lexicon_deserialize(&cursor, &decoded_lexicon), ZV_STATUS_SUCCESS);
    LexiconPtr owned(decoded_lexicon);
    zv_dict_t *decoded = nullptr;
    ASSERT_EQ(zv_dict_deserialize(decoded_lexicon, &cursor, &decoded), ZV_STATUS_SUCCESS);
    DictPtr owned_dict(decoded);
    EXPECT_EQ(cursor, two.data() + lexicon_bytes + blob.size());
    EXPECT_TRUE(zv_dict_is_equal(dict.get(), decoded));

    TempDir dir;
    ASSERT_EQ(zv_dict_save(dict.get(), dir.path("dict.bin").c_str()), ZV_STATUS_SUCCESS);
    zv_dict_t *loaded = nullptr;
    ASSERT_EQ(zv_dict_load(lexicon.get(), dir.path("dict.bin").c_str(), &loaded), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(zv_dict_is_equal(dict.get(), loaded));
    zv_dict_delete(loaded);
    std::vector<uint8_t> longer = blob;
    longer.insert(longer.end(), {1, 2, 3});
    ASSERT_EQ(zv_dict_load(lexicon.get(), dir.write("long.bin", longer).c_str(), &loaded), ZV_STATUS_SUCCESS);
    zv_dict_delete(loaded);
    std::vector<uint8_t> shorter(blob.begin(), blob.end() - 1);
    loaded = nullptr;
    EXPECT_EQ(zv_dict_load(lexicon.get(), dir.write("short.bin", shorter).c_str(), &loaded),
              ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(loaded, nullptr);
    EXPECT_EQ(zv_dict_load(lexicon.get(), dir.path("missing.bin").c_str(), &loaded), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(zv_dict_save(dict.get(), dir.path("no/such/dir.bin").c_str()), ZV_STATUS_IO_ERROR);
}

TEST(DictBlob, CorruptedBlobsNeverReadOutside) {
    // Random damage to a real blob: whatever the reader says, it stays inside
    // the bytes (AddressSanitizer) and what it accepts is consistent.
    LexiconPtr lexicon = make_lexicon({"ANT", "BEE", "CAT", "DOG", "EEL"});
    DictPtr dict = make_dict(lexicon.get(), 7, {{{1, 2}, {3}}, {{1, 2, 4}}, {{5}}, {{6, 7, 1}, {}}, {{2}}});
    const std::vector<uint8_t> blob = zv_test::dict_blob(dict.get());
    std::mt19937 rng(11);
    int accepted = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const std::vector<uint8_t> bytes = zv_test::damaged(blob, rng);
        DictPtr back;
        uint64_t consumed;
        if (deserialize(lexicon.get(), bytes, &back, &consumed) != ZV_STATUS_SUCCESS) continue;
        accepted += 1;
        EXPECT_LE(consumed, bytes.size());
        for (int32_t w = 0; w < 5; ++w) {
            for (int32_t k = 0; k < zv_dict_num_pronunciations(back.get(), w); ++k) {
                int32_t length;
                const int32_t *ids;
                zv_dict_pronunciation(back.get(), w, k, &length, &ids);
                for (int32_t m = 0; m < length; ++m) {
                    EXPECT_GE(ids[m], 1);
                    EXPECT_LE(ids[m], zv_dict_phoneme_set_size(back.get()));
                }
            }
        }
    }
    EXPECT_GT(accepted, 0);  // some damage (spare bits, labels) leaves a valid blob
}
