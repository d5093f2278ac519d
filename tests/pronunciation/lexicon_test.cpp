#include "pronunciation/lexicon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include "support/byte_writer.h"
#include "support/model_writer.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::ByteWriter;
using zv_test::TempDir;

using Lexicon = zv_test::LexiconPtr;

std::vector<std::string> words_of(const zv_lexicon_t *lexicon) {
    std::vector<std::string> words;
    for (int32_t i = 0; i < zv_lexicon_size(lexicon); ++i) words.emplace_back(zv_lexicon_decode(lexicon, i));
    return words;
}

Lexicon from_text(const TempDir &dir, const std::string &text, zv_status_t *status) {
    zv_lexicon_t *lexicon = reinterpret_cast<zv_lexicon_t *>(1);
    *status = zv_lexicon_init(dir.write("words.txt", text).c_str(), &lexicon);
    if (*status != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(lexicon, nullptr);
    }
    return Lexicon(lexicon);
}

Lexicon from_words(const std::vector<std::string> &words) {
    TempDir dir;
    std::string text;
    for (const std::string &w : words) text += w + "\n";
    zv_status_t status;
    Lexicon lexicon = from_text(dir, text, &status);
    EXPECT_EQ(status, ZV_STATUS_SUCCESS);
    return lexicon;
}

using zv_test::damaged;
using zv_test::lexicon_blob;

zv_status_t deserialize(const std::vector<uint8_t> &bytes, Lexicon *out, uint64_t *consumed) {
    zv_lexicon_t *lexicon = reinterpret_cast<zv_lexicon_t *>(1);
    const zv_status_t status = zv_test::decode_exact_copy(bytes, consumed, [&](const void **cursor, uint64_t size) {
        return zv_lexicon_deserialize_bounded(cursor, size, &lexicon);
    });
    out->reset(lexicon);
    return status;
}

}  // namespace

TEST(LexiconText, LookupsAreExactAndBytewise) {
    TempDir dir;
    for (const std::string &text : {std::string("APPLE\nBANANA\nCHERRY\n"), std::string("APPLE\nBANANA\nCHERRY\n\0", 21)}) {
        zv_status_t status;
        Lexicon lexicon = from_text(dir, text, &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_lexicon_size(lexicon.get()), 3);
        EXPECT_EQ(zv_lexicon_encode(lexicon.get(), "APPLE"), 0);
        EXPECT_EQ(zv_lexicon_encode(lexicon.get(), "BANANA"), 1);
        EXPECT_EQ(zv_lexicon_encode(lexicon.get(), "CHERRY"), 2);
        for (const char *absent : {"APPLES", "apple", "", "APPL", "ZEBRA", "AAA"}) {
            EXPECT_EQ(zv_lexicon_encode(lexicon.get(), absent), -1) << absent;
        }
        EXPECT_STREQ(zv_lexicon_decode(lexicon.get(), 1), "BANANA");
    }
}

TEST(LexiconText, OtherBytesBelongToTheWord) {
    TempDir dir;
    zv_status_t status;
    Lexicon lexicon = from_text(dir, "A\r\nAB\nA B\tC\n", &status);
    ASSERT_EQ(status, ZV_STATUS_INVALID_ARGUMENT);  // the space sorts before B
    lexicon = from_text(dir, "A\r\nA B\tC\nAB\n\xC3\xA9T\xC3\xA9\n", &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_lexicon_encode(lexicon.get(), "A"), -1);
    EXPECT_EQ(zv_lexicon_encode(lexicon.get(), "A\r"), 0);
    EXPECT_EQ(zv_lexicon_encode(lexicon.get(), "A B\tC"), 1);
    // Bytes above 0x7F compare as unsigned: they sort after ASCII.
    EXPECT_EQ(zv_lexicon_encode(lexicon.get(), "\xC3\xA9T\xC3\xA9"), 3);
}

TEST(LexiconText, MalformedTextsAreRefused) {
    TempDir dir;
    struct Case { std::string text; zv_status_t status; };
    const Case cases[] = {
        {"AB\nABC\n", ZV_STATUS_SUCCESS},
        {"ABC\nAB\n", ZV_STATUS_INVALID_ARGUMENT},
        {"APPLE\nBANANA", ZV_STATUS_INVALID_ARGUMENT},
        {"APPLE\n\nBANANA\n", ZV_STATUS_INVALID_ARGUMENT},
        {"BANANA\nAPPLE\n", ZV_STATUS_INVALID_ARGUMENT},
        {"APPLE\nAPPLE\n", ZV_STATUS_INVALID_ARGUMENT},
        {"", ZV_STATUS_INVALID_ARGUMENT},
        {"\n", ZV_STATUS_INVALID_ARGUMENT},
        {std::string("\0", 1), ZV_STATUS_INVALID_ARGUMENT},
        {std::string("A\n\0\0", 4), ZV_STATUS_INVALID_ARGUMENT},
        // An embedded NUL would cut a word short unseen.
        {std::string("AP\0PLE\nBANANA\n", 14), ZV_STATUS_INVALID_ARGUMENT},
        {std::string("APPLE\n\0BANANA\n", 14), ZV_STATUS_INVALID_ARGUMENT},
    };
    for (const Case &c : cases) {
        zv_status_t status;
        Lexicon lexicon = from_text(dir, c.text, &status);
        EXPECT_EQ(status, c.status) << testing::PrintToString(c.text);
    }
    zv_lexicon_t *lexicon = reinterpret_cast<zv_lexicon_t *>(1);
    EXPECT_EQ(zv_lexicon_init(dir.path("missing.txt").c_str(), &lexicon), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(lexicon, nullptr);
    zv_lexicon_delete(nullptr);
}

TEST(LexiconMerge, InsertsSkipsAndRenumbers) {
    Lexicon lexicon = from_words({"ANT", "CAT"});
    const char *new_words[] = {"BEE", "CAT", "DOG"};
    ASSERT_EQ(zv_lexicon_add(lexicon.get(), new_words, 3), ZV_STATUS_SUCCESS);
    EXPECT_EQ(words_of(lexicon.get()), (std::vector<std::string>{"ANT", "BEE", "CAT", "DOG"}));
    EXPECT_EQ(zv_lexicon_encode(lexicon.get(), "CAT"), 2);

    ASSERT_EQ(zv_lexicon_add(lexicon.get(), nullptr, 0), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_lexicon_size(lexicon.get()), 4);

    // Into an empty lexicon, and nothing into an empty one.
    Lexicon empty;
    uint64_t consumed;
    ASSERT_EQ(deserialize(ByteWriter().u32(16).u32(1).u32(2).u32(0).take(), &empty, &consumed), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_lexicon_add(empty.get(), nullptr, 0), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_lexicon_size(empty.get()), 0);
    const char *two[] = {"X", "Y"};
    ASSERT_EQ(zv_lexicon_add(empty.get(), two, 2), ZV_STATUS_SUCCESS);
    EXPECT_EQ(words_of(empty.get()), (std::vector<std::string>{"X", "Y"}));
}

TEST(LexiconMerge, Equality) {
    Lexicon a = from_words({"ANT", "BEE"});
    Lexicon b = from_words({"ANT", "CAT"});
    Lexicon c = from_words({"ANT"});
    Lexicon d = from_words({"ANT", "BEE"});
    EXPECT_TRUE(zv_lexicon_is_equal(a.get(), a.get()));
    EXPECT_TRUE(zv_lexicon_is_equal(a.get(), d.get()));
    EXPECT_FALSE(zv_lexicon_is_equal(a.get(), b.get()));
    EXPECT_FALSE(zv_lexicon_is_equal(a.get(), c.get()));
}

TEST(LexiconBlob, WriterGivesTheExactBytes) {
    struct Case { std::vector<std::string> words; std::vector<uint8_t> blob; };
    const Case cases[] = {
        {{"A"}, ByteWriter().u32(16).u32(3).u32(0x38).bytes({0x00, 0x41, 0x00, 0x00}).take()},
        {{"AB", "AC"}, ByteWriter().u32(20).u32(6).u32(0x0F30).bytes({0, 0x41, 0x42, 0, 0x43, 0, 0, 0}).take()},
        // The end node under B stands before C.
        {{"AB", "ABC"}, ByteWriter().u32(20).u32(6).u32(0x0F90).bytes({0, 0x41, 0x42, 0, 0x43, 0, 0, 0}).take()},
    };
    for (const Case &c : cases) {
        Lexicon lexicon = from_words(c.words);
        EXPECT_EQ(lexicon_blob(lexicon.get()), c.blob) << c.words.size();
        Lexicon back;
        uint64_t consumed = 0;
        ASSERT_EQ(deserialize(c.blob, &back, &consumed), ZV_STATUS_SUCCESS);
        EXPECT_EQ(consumed, c.blob.size());
        EXPECT_EQ(words_of(back.get()), c.words);
    }
    // No words: the root alone.
    Lexicon empty;
    uint64_t consumed;
    const std::vector<uint8_t> root = ByteWriter().u32(16).u32(1).u32(2).u32(0).take();
    ASSERT_EQ(deserialize(root, &empty, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_lexicon_size(empty.get()), 0);
    EXPECT_EQ(zv_lexicon_encode(empty.get(), "A"), -1);
    EXPECT_EQ(lexicon_blob(empty.get()), root);
}

TEST(LexiconBlob, PublicFormReadsBackToBackBlobs) {
    std::vector<uint8_t> two = lexicon_blob(from_words({"A"}).get());
    const std::vector<uint8_t> second = lexicon_blob(from_words({"AB", "AC"}).get());
    two.insert(two.end(), second.begin(), second.end());
    const void *cursor = two.data();
    zv_lexicon_t *first = nullptr;
    ASSERT_EQ(zv_lexicon_deserialize(&cursor, &first), ZV_STATUS_SUCCESS);
    EXPECT_EQ(cursor, two.data() + 16);
    zv_lexicon_t *next = nullptr;
    ASSERT_EQ(zv_lexicon_deserialize(&cursor, &next), ZV_STATUS_SUCCESS);
    EXPECT_EQ(cursor, two.data() + 36);
    EXPECT_EQ(words_of(next), (std::vector<std::string>{"AB", "AC"}));
    zv_lexicon_delete(first);
    zv_lexicon_delete(next);
}

TEST(LexiconBlob, MalformedBlobsAreRefused) {
    // Bit strings written as text (bit 0 first), then the node bytes.
    auto blob = [](uint32_t total, int32_t n, const std::string &bits, const std::vector<uint8_t> &chars) {
        ByteWriter w;
        w.u32(total).i32(n);
        // Sized for n nodes, except for huge counts, where the blob is short anyway.
        const uint64_t nodes = n <= 0 ? 0 : n > 1000 ? bits.size() / 2 : static_cast<uint64_t>(n);
        std::vector<uint8_t> packed(4 * ((2 * nodes + 31) / 32), 0);
        for (size_t k = 0; k < bits.size() && k / 8 < packed.size(); ++k) {
            if (bits[k] == '1') packed[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
        }
        w.bytes(packed).bytes(chars);
        while (w.size() % 4) w.u8(0);
        while (w.size() < total && w.size() < 64) w.u8(0);
        return w.take();
    };
    struct Case { const char *what; std::vector<uint8_t> bytes; };
    const Case cases[] = {
        {"total 8", blob(8, 3, "000111", {0, 'A', 0})},
        {"total 9", blob(9, 3, "000111", {0, 'A', 0})},
        {"total 18", blob(18, 3, "000111", {0, 'A', 0})},
        {"no nodes", blob(16, 0, "", {0, 0, 0, 0, 0, 0, 0, 0})},
        {"negative nodes", blob(16, -1, "", {0, 0, 0, 0, 0, 0, 0, 0})},
        {"total beyond the bytes", ByteWriter().u32(20).u32(3).u32(0x38).bytes({0, 'A', 0, 0}).take()},
        {"header only", ByteWriter().u32(16).u32(3).take()},
        {"short header", ByteWriter().u32(16).take()},
        {"characters beyond total", blob(12, 3, "000111", {0, 'A', 0})},
        {"node count far beyond the bytes", blob(16, 0x7FFFFFFF, "000111", {0, 'A', 0})},
        {"root closed early", blob(16, 4, "00011101", {0, 'A', 0, 0})},
        {"more nodes than declared", blob(16, 3, "000011", {0, 'A', 'B', 0})},
        {"end node with children", blob(20, 5, "0000011111", {0, 'A', 0, 'B', 0})},
        {"word without end", blob(16, 2, "0011", {0, 'A'})},
        {"empty word", blob(16, 2, "0011", {0, 0})},
        {"words out of order", blob(20, 5, "0001100111", {0, 'B', 0, 'A', 0})},
        {"word twice", blob(20, 5, "0001100111", {0, 'A', 0, 'A', 0})},
        {"end node twice", blob(16, 4, "00010111", {0, 'A', 0, 0})},
    };
    for (const Case &c : cases) {
        Lexicon lexicon;
        uint64_t consumed = 99;
        EXPECT_EQ(deserialize(c.bytes, &lexicon, &consumed), ZV_STATUS_INVALID_ARGUMENT) << c.what;
        EXPECT_EQ(consumed, 0u) << c.what;
        EXPECT_EQ(lexicon, nullptr) << c.what;
    }
}

TEST(LexiconBlob, TextMayBeAtMost64TimesTheBlob) {
    // A chain of L levels spells L (L + 3) / 2 bytes from about 2.5 L: the
    // bound falls between 300 and 350 levels.
    for (int32_t levels : {1, 100, 300, 350, 3000}) {
        const std::vector<uint8_t> blob = zv_test::EncodeLexicon(zv_test::chain_words(levels));
        const uint64_t text = static_cast<uint64_t>(levels) * (levels + 3) / 2;
        Lexicon lexicon;
        uint64_t consumed = 0;
        EXPECT_EQ(deserialize(blob, &lexicon, &consumed),
                  text <= 64 * blob.size() ? ZV_STATUS_SUCCESS : ZV_STATUS_INVALID_ARGUMENT)
            << levels;
        EXPECT_EQ(lexicon != nullptr, levels <= 300) << levels;
        // The writer refuses what its reader would.
        Lexicon from_text = from_words(zv_test::chain_words(levels));
        uint64_t size = 0;
        void *written = nullptr;
        EXPECT_EQ(zv_lexicon_serialize(from_text.get(), &size, &written),
                  levels <= 300 ? ZV_STATUS_SUCCESS : ZV_STATUS_INVALID_ARGUMENT)
            << levels;
        free(written);
    }
}

TEST(LexiconBlob, SaveAndLoad) {
    TempDir dir;
    Lexicon lexicon = from_words({"AB", "ABC", "B", "\xC3\xA9"});
    ASSERT_EQ(zv_lexicon_save(lexicon.get(), dir.path("lex.bin").c_str()), ZV_STATUS_SUCCESS);
    zv_lexicon_t *loaded = nullptr;
    ASSERT_EQ(zv_lexicon_load(dir.path("lex.bin").c_str(), &loaded), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(zv_lexicon_is_equal(loaded, lexicon.get()));
    zv_lexicon_delete(loaded);

    // Trailing bytes are ignored; a file shorter than its blob is refused.
    std::vector<uint8_t> bytes = lexicon_blob(lexicon.get());
    std::vector<uint8_t> longer = bytes;
    longer.insert(longer.end(), {1, 2, 3, 4, 5});
    ASSERT_EQ(zv_lexicon_load(dir.write("long.bin", longer).c_str(), &loaded), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(zv_lexicon_is_equal(loaded, lexicon.get()));
    zv_lexicon_delete(loaded);
    bytes.pop_back();
    loaded = reinterpret_cast<zv_lexicon_t *>(1);
    EXPECT_EQ(zv_lexicon_load(dir.write("short.bin", bytes).c_str(), &loaded), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(loaded, nullptr);

    loaded = reinterpret_cast<zv_lexicon_t *>(1);
    EXPECT_EQ(zv_lexicon_load(dir.path("missing.bin").c_str(), &loaded), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(zv_lexicon_save(lexicon.get(), dir.path("no/such/dir.bin").c_str()), ZV_STATUS_IO_ERROR);
}

TEST(LexiconBlob, RoundTripOfManyWords) {
    // Every prefix shape: words over a small alphabet, all lengths 1..4.
    std::vector<std::string> words;
    const std::string alphabet = "AB\x7F\x80";
    std::vector<std::string> frontier = {""};
    for (int len = 1; len <= 4; ++len) {
        std::vector<std::string> next;
        for (const std::string &p : frontier)
            for (char c : alphabet) next.push_back(p + c);
        words.insert(words.end(), next.begin(), next.end());
        frontier = next;
    }
    std::sort(words.begin(), words.end(), [](const std::string &a, const std::string &b) {
        return std::strcmp(a.c_str(), b.c_str()) < 0;
    });
    Lexicon lexicon = from_words(words);
    Lexicon back;
    uint64_t consumed;
    ASSERT_EQ(deserialize(lexicon_blob(lexicon.get()), &back, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(words_of(back.get()), words);
}

TEST(LexiconBlob, CorruptedBlobsNeverReadOutside) {
    const Lexicon lexicon = from_words({"A", "AB", "ABC", "B", "BA", "CAT", "CATS", "DOG"});
    const std::vector<uint8_t> blob = lexicon_blob(lexicon.get());
    std::mt19937 rng(5);
    int accepted = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const std::vector<uint8_t> bytes = damaged(blob, rng);
        Lexicon back;
        uint64_t consumed;
        if (deserialize(bytes, &back, &consumed) != ZV_STATUS_SUCCESS) continue;
        accepted += 1;
        EXPECT_LE(consumed, bytes.size());
        const std::vector<std::string> words = words_of(back.get());
        for (size_t i = 0; i < words.size(); ++i) {
            EXPECT_FALSE(words[i].empty());
            if (i > 0) {
                EXPECT_LT(std::strcmp(words[i - 1].c_str(), words[i].c_str()), 0);
            }
        }
    }
    EXPECT_GT(accepted, 0);
}
