// The whole toolkit, end to end: word sequences -> gram set -> counts ->
// estimated model -> language-model blob -> graph file with a small
// dictionary -> decoder fed scores that favour the phonemes of a known
// sentence, which must come out as that sentence.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lm/count.h"
#include "lm/decoder.h"
#include "lm/gram.h"
#include "lm/ngram.h"
#include "support/graph_file.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

// Phonemes: 1 DH, 2 AH, 3 K, 4 AE, 5 T, 6 D, 7 AO, 8 G, 9 S, 10 N, 11 M.
constexpr int32_t kPhonemes = 11;
const std::vector<std::string> kWords = {"a", "cat", "dog", "mat", "on", "sat", "the"};
const zv_test::Pronunciations kProns = {
    {{2}}, {{3, 4, 5}}, {{6, 7, 8}}, {{11, 4, 5}}, {{7, 10}}, {{9, 4, 5}}, {{1, 2}, {1, 4}}};

std::vector<int32_t> ids(const zv_lexicon_t *lexicon, const std::vector<std::string> &sentence) {
    std::vector<int32_t> out;
    for (const std::string &w : sentence) out.push_back(zv_lexicon_encode(lexicon, w.c_str()));
    return out;
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(DecoderToolkit, ASentenceSpokenThroughTheWholeToolkitComesBack) {
    zv_test::TempDir dir;
    zv_test::LexiconPtr lexicon = zv_test::make_lexicon(kWords);
    ASSERT_NE(lexicon, nullptr);
    const std::vector<std::vector<std::string>> corpus = {
        {"the", "cat", "sat", "on", "the", "mat"}, {"the", "dog", "sat", "on", "the", "mat"},
        {"a", "cat", "sat", "on", "a", "mat"},     {"the", "dog", "sat"},
        {"a", "dog", "sat", "on", "the", "cat"},   {"the", "mat"}};
    constexpr int32_t kOrder = 2;

    // Gram set and counts of every window of up to two words.
    zv_gram_t *gram = nullptr;
    ASSERT_EQ(zv_gram_init(kOrder, lexicon.get(), &gram), ZV_STATUS_SUCCESS);
    for (const auto &sentence : corpus) {
        const std::vector<int32_t> w = ids(lexicon.get(), sentence);
        for (size_t i = 0; i < w.size(); ++i) {
            ASSERT_EQ(zv_gram_insert(gram, w.data() + i, static_cast<int32_t>(std::min<size_t>(kOrder, w.size() - i))),
                      ZV_STATUS_SUCCESS);
        }
    }
    zv_count_t *count = nullptr;
    ASSERT_EQ(zv_count_init(gram, &count), ZV_STATUS_SUCCESS);
    for (const auto &sentence : corpus) {
        const std::vector<int32_t> w = ids(lexicon.get(), sentence);
        for (size_t i = 0; i < w.size(); ++i) {
            zv_count_insert(count, w.data() + i, static_cast<int32_t>(std::min<size_t>(kOrder, w.size() - i)));
        }
    }
    EXPECT_TRUE(zv_count_is_valid(count));
    const std::string counts_path = dir.path("counts.bin");
    ASSERT_EQ(zv_count_save(count, counts_path.c_str()), ZV_STATUS_SUCCESS);
    zv_count_delete(count);
    zv_gram_delete(gram);

    // The estimated model as a blob, behind the lexicon and dictionary blobs.
    zv_ngram_t *model = nullptr;
    ASSERT_EQ(zv_ngram_init(counts_path.c_str(), lexicon.get(), &model), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_ngram_add_singletons(model), ZV_STATUS_SUCCESS);
    const std::string blob_path = dir.path("model.blob");
    ASSERT_EQ(zv_ngram_save(model, blob_path.c_str()), ZV_STATUS_SUCCESS);
    zv_ngram_delete(model);
    std::vector<uint8_t> file = zv_test::pronunciation_blobs(kWords, kPhonemes, kProns);
    const std::vector<uint8_t> blob = read_file(blob_path);
    ASSERT_FALSE(blob.empty());
    file.insert(file.end(), blob.begin(), blob.end());
    zv_status_t status = ZV_STATUS_RUNTIME_ERROR;
    zv_test::GraphPtr graph = zv_test::load_graph(file, &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);

    // Scores as a phoneme classifier gives them: each phoneme of the sentence
    // held two or three frames, blanks between some, a rival phoneme close
    // behind now and then, the rest far below.
    const std::vector<std::vector<int32_t>> spoken = {{1, 2}, {3, 4, 5}, {9, 4, 5}, {7, 10}, {1, 2}, {11, 4, 5}};
    std::vector<std::vector<int16_t>> frames;
    auto frame = [](int32_t favoured, int32_t rival) {
        std::vector<int16_t> s(kPhonemes + 1, -9000);
        s[0] = favoured == 0 ? 0 : -2500;
        s[static_cast<size_t>(favoured)] = -60;
        if (rival > 0) s[static_cast<size_t>(rival)] = -1400;
        return s;
    };
    int32_t n = 0;
    for (const auto &word : spoken) {
        for (int32_t p : word) {
            for (int32_t k = 0; k < 2 + n % 2; ++k) frames.push_back(frame(p, n % 3 == 0 ? 1 + (p + 2) % kPhonemes : 0));
            if (n++ % 2 == 0) frames.push_back(frame(0, 0));
        }
    }
    for (int32_t k = 0; k < 4; ++k) frames.push_back(frame(0, 0));

    zv_decoder_t *d = nullptr;
    ASSERT_EQ(zv_decoder_init(graph.get(), 8.0f, 64, 1.0f, &d), ZV_STATUS_SUCCESS);
    std::string partial;
    int32_t texts = 0;
    for (const auto &f : frames) {
        char *text = nullptr;
        ASSERT_EQ(zv_decoder_process(d, f.data(), &text), ZV_STATUS_SUCCESS);
        texts += text[0] != '\0';
        partial += text;
        std::free(text);
    }
    char *rest = nullptr;
    ASSERT_EQ(zv_decoder_flush(d, &rest), ZV_STATUS_SUCCESS);
    EXPECT_GE(texts, 2) << "words became certain as the sentence went on";
    EXPECT_EQ(partial + rest, "the cat sat on the mat") << "partial: '" << partial << "' flushed: '" << rest << "'";
    std::free(rest);

    // The same stream after a reset gives the same texts.
    ASSERT_EQ(zv_decoder_reset(d), ZV_STATUS_SUCCESS);
    std::string again;
    for (const auto &f : frames) {
        char *text = nullptr;
        ASSERT_EQ(zv_decoder_process(d, f.data(), &text), ZV_STATUS_SUCCESS);
        again += text;
        std::free(text);
    }
    EXPECT_EQ(again, partial);
    zv_decoder_delete(d);
}
