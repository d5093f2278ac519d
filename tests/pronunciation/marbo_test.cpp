#include "pronunciation/marbo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/language.h"
#include "nn/fixed_point.h"
#include "nn/offline_token_classifier.h"
#include "support/marbo_block.h"
#include "support/temp_dir.h"

namespace {

namespace mb = zv_test::marbo_block;

constexpr int32_t kEn = ZV_LANGUAGE_EN;

using zv_test::open_bytes;

zv_status_t init_from(const std::vector<uint8_t> &bytes, zv_marbo_t **marbo) {
    FILE *f = open_bytes(bytes);
    EXPECT_NE(f, nullptr);
    const zv_status_t status = zv_marbo_init2(f, marbo);
    std::fclose(f);
    return status;
}

struct Pron {
    std::vector<std::string> names;
    float prob;
    bool operator==(const Pron &o) const { return names == o.names && prob == o.prob; }
};

// Pronounces a word and releases the results the way a caller must.
zv_status_t pronounce(zv_marbo_t *marbo, const char *word, std::vector<Pron> *out) {
    int32_t n = -1;
    int32_t *lengths = nullptr;
    const char ***names = nullptr;
    float *probs = nullptr;
    const zv_status_t status = zv_marbo_pronounce(marbo, word, &n, &lengths, &names, &probs);
    if (status != ZV_STATUS_SUCCESS) {
        return status;
    }
    out->clear();
    for (int32_t i = 0; i < n; ++i) {
        Pron p;
        for (int32_t j = 0; j < lengths[i]; ++j) p.names.emplace_back(names[i][j]);
        p.prob = probs[i];
        out->push_back(p);
        free(names[i]);
    }
    free(names);
    free(lengths);
    free(probs);
    return status;
}

// C -> K, A -> AE, T -> T, every other letter -> AH.
std::vector<uint8_t> spelling_block() {
    std::array<int32_t, 27> map;
    map.fill(3);  // AH
    map['C' - 'A'] = 20;  // K
    map['A' - 'A'] = 2;   // AE
    map['T' - 'A'] = 31;  // T
    map[26] = 27;         // apostrophe -> P
    return mb::spelling_marbo(kEn, map);
}

class MarboEngine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(init_from(spelling_block(), &marbo_), ZV_STATUS_SUCCESS); }
    void TearDown() override { zv_marbo_delete(marbo_); }
    zv_marbo_t *marbo_ = nullptr;
};

TEST(Marbo, VersionAndNullDelete) {
    EXPECT_STREQ(zv_marbo_version(), "1.0.0");
    zv_marbo_delete(nullptr);
}

TEST(Marbo, Init2LeavesTheFileRightAfterTheBlock) {
    std::vector<uint8_t> bytes = mb::random_marbo(kEn, 6, 1);
    const long block_size = static_cast<long>(bytes.size());
    for (char c : std::string("TAIL")) bytes.push_back(static_cast<uint8_t>(c));
    FILE *f = open_bytes(bytes);
    ASSERT_NE(f, nullptr);
    zv_marbo_t *marbo = nullptr;
    ASSERT_EQ(zv_marbo_init2(f, &marbo), ZV_STATUS_SUCCESS);
    EXPECT_EQ(std::ftell(f), block_size);
    char tail[5] = {};
    EXPECT_EQ(std::fread(tail, 1, 4, f), 4u);
    EXPECT_STREQ(tail, "TAIL");
    std::fclose(f);
    zv_marbo_delete(marbo);
}

TEST(Marbo, InitByPath) {
    zv_test::TempDir dir;
    const std::string path = dir.write("g2p.bin", mb::random_marbo(ZV_LANGUAGE_DE, 5, 2));
    zv_marbo_t *marbo = nullptr;
    ASSERT_EQ(zv_marbo_init(path.c_str(), &marbo), ZV_STATUS_SUCCESS);
    std::vector<Pron> prons;
    EXPECT_EQ(pronounce(marbo, "Haus", &prons), ZV_STATUS_SUCCESS);
    zv_marbo_delete(marbo);

    marbo = reinterpret_cast<zv_marbo_t *>(&dir);
    EXPECT_EQ(zv_marbo_init(dir.path("missing").c_str(), &marbo), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(marbo, nullptr);
}

TEST(Marbo, InitArgumentsAreCheckedBeforeAnythingIsWritten) {
    zv_marbo_t *sentinel = reinterpret_cast<zv_marbo_t *>(0x1);
    zv_marbo_t *marbo = sentinel;
    EXPECT_EQ(zv_marbo_init2(nullptr, &marbo), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_marbo_init(nullptr, &marbo), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(marbo, sentinel);
    FILE *f = open_bytes(mb::random_marbo(kEn, 3, 1));
    EXPECT_EQ(zv_marbo_init2(f, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_marbo_init("x", nullptr), ZV_STATUS_INVALID_ARGUMENT);
    std::fclose(f);
}

TEST(Marbo, MalformedBlocksAreRefused) {
    std::mt19937 rng(3);
    const int32_t H = 4;
    auto block = [&](const std::string &name, const std::string &version, int32_t inputs, int32_t classes,
                     int32_t language) {
        zv_test::ClassifierBlock c;
        c.forward = {zv_test::random_rnn(inputs, H, rng, -127, 127)};
        c.backward = {zv_test::random_rnn(inputs, H, rng, -127, 127)};
        c.output = zv_test::random_fc(H, classes, rng, -127, 127);
        c.language = language;
        return zv_test::offline_block(name, version, c);
    };
    std::vector<uint8_t> truncated = block("marbo", "1.0.0", 28, 40, kEn);
    truncated.pop_back();
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        zv_status_t status;
    };
    const std::vector<Case> cases = {
        {"name", block("lumarin", "1.0.0", 28, 40, kEn), ZV_STATUS_INVALID_ARGUMENT},
        {"version", block("marbo", "1.1.0", 28, 40, kEn), ZV_STATUS_INVALID_ARGUMENT},
        {"27 inputs", block("marbo", "1.0.0", 27, 40, kEn), ZV_STATUS_INVALID_ARGUMENT},
        {"29 inputs", block("marbo", "1.0.0", 29, 40, kEn), ZV_STATUS_INVALID_ARGUMENT},
        {"P classes", block("marbo", "1.0.0", 28, 39, kEn), ZV_STATUS_INVALID_ARGUMENT},
        {"P + 2 classes", block("marbo", "1.0.0", 28, 41, kEn), ZV_STATUS_INVALID_ARGUMENT},
        {"other language's width", block("marbo", "1.0.0", 28, 53, kEn), ZV_STATUS_INVALID_ARGUMENT},
        {"no phonemes", block("marbo", "1.0.0", 28, 1, ZV_LANGUAGE_NONE), ZV_STATUS_INVALID_ARGUMENT},
        {"invalid language", block("marbo", "1.0.0", 28, 40, 6869), ZV_STATUS_INVALID_ARGUMENT},
        {"truncated", truncated, ZV_STATUS_IO_ERROR},
        {"empty", {}, ZV_STATUS_IO_ERROR},
    };
    for (const Case &c : cases) {
        zv_marbo_t *marbo = reinterpret_cast<zv_marbo_t *>(0x1);
        EXPECT_EQ(init_from(c.bytes, &marbo), c.status) << c.what;
        EXPECT_EQ(marbo, nullptr) << c.what;
    }
    // The same shapes with a well-formed header are accepted.
    zv_marbo_t *marbo = nullptr;
    EXPECT_EQ(init_from(block("marbo", "1.0.0", 28, 40, kEn), &marbo), ZV_STATUS_SUCCESS);
    zv_marbo_delete(marbo);
}

TEST_F(MarboEngine, PronounceArgumentsAndWordsOutsideTheAlphabet) {
    int32_t n = -7;
    int32_t *lengths = reinterpret_cast<int32_t *>(0x1);
    const char ***names = reinterpret_cast<const char ***>(0x1);
    float *probs = reinterpret_cast<float *>(0x1);
    EXPECT_EQ(zv_marbo_pronounce(nullptr, "A", &n, &lengths, &names, &probs), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_marbo_pronounce(marbo_, nullptr, &n, &lengths, &names, &probs), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_marbo_pronounce(marbo_, "A", nullptr, &lengths, &names, &probs), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_marbo_pronounce(marbo_, "A", &n, nullptr, &names, &probs), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_marbo_pronounce(marbo_, "A", &n, &lengths, nullptr, &probs), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_marbo_pronounce(marbo_, "A", &n, &lengths, &names, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    for (const char *word : {"", "A1", "A B", "A-B", "caf\xC3\xA9", "\x7F", "Z\x80", "[", "@", "`", "{"}) {
        EXPECT_EQ(zv_marbo_pronounce(marbo_, word, &n, &lengths, &names, &probs), ZV_STATUS_INVALID_ARGUMENT)
            << word;
    }
    EXPECT_EQ(n, -7);
    EXPECT_EQ(lengths, reinterpret_cast<int32_t *>(0x1));
    EXPECT_EQ(names, reinterpret_cast<const char ***>(0x1));
    EXPECT_EQ(probs, reinterpret_cast<float *>(0x1));
}

TEST_F(MarboEngine, SpellsLettersAsTheirPhonemes) {
    struct Case {
        const char *word;
        std::vector<std::string> best;
    };
    const std::vector<Case> cases = {
        {"CAT", {"K", "AE", "T"}},
        {"cat", {"K", "AE", "T"}},
        {"AA", {"AE"}},          // a blank between equal phonemes does not part them
        {"CAAT", {"K", "AE", "T"}},
        {"TACT", {"T", "AE", "K", "T"}},
        {"A'", {"AE", "P"}},
        {"Z", {"AH"}},
    };
    for (const Case &c : cases) {
        std::vector<Pron> prons;
        ASSERT_EQ(pronounce(marbo_, c.word, &prons), ZV_STATUS_SUCCESS) << c.word;
        ASSERT_FALSE(prons.empty()) << c.word;
        EXPECT_EQ(prons[0].names, c.best) << c.word;
        EXPECT_GT(prons[0].prob, 0.85f) << c.word;
        EXPECT_LE(prons[0].prob, 1.0f) << c.word;
    }
}

TEST_F(MarboEngine, CaseFoldingGivesTheSameCandidates) {
    std::vector<Pron> upper, mixed;
    ASSERT_EQ(pronounce(marbo_, "DON'T", &upper), ZV_STATUS_SUCCESS);
    ASSERT_EQ(pronounce(marbo_, "don'T", &mixed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(upper, mixed);
}

// The engine gives what the search gives over the classifier's scores for
// the frames of the word "AB": frame 0 lights column 1, frame 2 column 2.
TEST(Marbo, PronounceIsTheSearchOverTheClassifierScores) {
    const std::vector<uint8_t> block = mb::random_marbo(kEn, 8, 11, 60);
    zv_marbo_t *marbo = nullptr;
    ASSERT_EQ(init_from(block, &marbo), ZV_STATUS_SUCCESS);
    std::vector<Pron> prons;
    ASSERT_EQ(pronounce(marbo, "ab", &prons), ZV_STATUS_SUCCESS);
    zv_marbo_delete(marbo);

    FILE *f = open_bytes(block);
    int32_t extra = 0;
    zv_offline_token_classifier_param_t *param = nullptr;
    ASSERT_EQ(zv_offline_token_classifier_param_load2(f, "marbo", "1.0.0", &extra, &param), ZV_STATUS_SUCCESS);
    std::fclose(f);
    zv_memory_t memory;
    zv_memory_init(&memory);
    zv_offline_token_classifier_t *classifier = nullptr;
    ASSERT_EQ(zv_offline_token_classifier_init(memory, param, &classifier), ZV_STATUS_SUCCESS);
    std::vector<int16_t> frames(4 * 28, 0);
    frames[0 * 28 + 1] = 1024;
    frames[2 * 28 + 2] = 1024;
    std::vector<int32_t> probs(4 * 40);
    ASSERT_EQ(zv_offline_token_classifier_process(classifier, frames.data(), 4, probs.data()), ZV_STATUS_SUCCESS);
    zv_offline_token_classifier_delete(classifier);
    zv_offline_token_classifier_param_delete(param);

    std::vector<int16_t> scores(probs.size());
    for (size_t i = 0; i < probs.size(); ++i) {
        scores[i] = zv_log10(static_cast<int64_t>(probs[i]) << 32);
    }
    zv_marbo_candidate_t c[ZV_MARBO_BEAM_WIDTH];
    int32_t n = 0;
    ASSERT_EQ(zv_marbo_search(scores.data(), 4, 40, c, &n), ZV_STATUS_SUCCESS);
    ASSERT_EQ(static_cast<size_t>(n), prons.size());
    ASSERT_GT(n, 0);
    for (int32_t i = 0; i < n; ++i) {
        std::vector<std::string> names;
        for (int32_t j = 0; j < c[i].length; ++j) {
            const char *name = nullptr;
            ASSERT_EQ(zv_language_phoneme_to_string(kEn, c[i].phonemes[j], &name), ZV_STATUS_SUCCESS);
            names.emplace_back(name);
        }
        EXPECT_EQ(prons[i].names, names);
        EXPECT_EQ(prons[i].prob, static_cast<float>(std::pow(10.0, -static_cast<double>(c[i].cost))));
    }
    zv_marbo_candidates_release(c, n);
}

TEST(Marbo, RandomNetworksKeepTheResultBounds) {
    const char *words[] = {"A", "HELLO", "o'clock", "ZZZZZZZZZZZZ", "Q"};
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        const int32_t language = ZV_LANGUAGE_EN + static_cast<int32_t>(seed % 4);
        zv_marbo_t *marbo = nullptr;
        ASSERT_EQ(init_from(mb::random_marbo(language, 5 + static_cast<int32_t>(seed), seed, 40), &marbo),
                  ZV_STATUS_SUCCESS);
        std::vector<Pron> first;
        for (const char *word : words) {
            std::vector<Pron> prons;
            ASSERT_EQ(pronounce(marbo, word, &prons), ZV_STATUS_SUCCESS);
            ASSERT_LE(prons.size(), 8u);
            for (size_t i = 0; i < prons.size(); ++i) {
                EXPECT_FALSE(prons[i].names.empty());
                if (i > 0) {
                    EXPECT_GE(prons[i - 1].prob, prons[i].prob);
                }
                EXPECT_GT(prons[i].prob, prons[0].prob / 10.0f * 0.999f);
                for (const std::string &name : prons[i].names) {
                    int32_t id = 0;
                    EXPECT_EQ(zv_language_phoneme_from_string(language, name.c_str(), &id), ZV_STATUS_SUCCESS);
                }
            }
            if (first.empty()) first = prons;
        }
        // Calls don't depend on what ran before.
        std::vector<Pron> again;
        ASSERT_EQ(pronounce(marbo, words[0], &again), ZV_STATUS_SUCCESS);
        EXPECT_EQ(again, first);
        zv_marbo_delete(marbo);
    }
}

TEST(Marbo, AllBlankOutputGivesNoPronunciations) {
    // Always-on hidden units (every gate bias high) hold the blank far above
    // every phoneme on every frame.
    const int32_t H = 16;
    zv_test::RnnBlock layer = zv_test::zero_rnn(28, H);
    for (int8_t &b : layer.input.bias) b = 127;
    zv_test::FcBlock output = zv_test::zero_fc(H, 40);
    output.bias[0] = 127;
    for (int k = 1; k < 40; ++k) output.bias[k] = -128;
    for (int k = 0; k < 40; ++k) {
        for (int u = 0; u < H; ++u) output.w(k, u) = k == 0 ? 127 : -127;
    }
    const std::vector<uint8_t> block =
        zv_test::offline_block("marbo", "1.0.0", {.forward = {layer}, .backward = {layer}, .output = output, .language = kEn});
    zv_marbo_t *marbo = nullptr;
    ASSERT_EQ(init_from(block, &marbo), ZV_STATUS_SUCCESS);
    int32_t n = -1;
    int32_t *lengths = nullptr;
    const char ***names = nullptr;
    float *probs = nullptr;
    ASSERT_EQ(zv_marbo_pronounce(marbo, "word", &n, &lengths, &names, &probs), ZV_STATUS_SUCCESS);
    EXPECT_EQ(n, 0);
    free(lengths);
    free(names);
    free(probs);
    zv_marbo_delete(marbo);
}

}  // namespace
