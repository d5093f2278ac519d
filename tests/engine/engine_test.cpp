// Creation, indexing and search end to end, on models made by the model
// writer. The classifier's recurrent weights are all zero, so every index
// row is the softmax of its output biases whatever the PCM.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/scorer.h"
#include "nn/fc.h"
#include "support/model_writer.h"
#include "nn/softmax.h"
#include "support/host_locale.h"
#include "support/temp_dir.h"

namespace {

using zv_test::ModelWriter;
using zv_test::SmallModel;
using zv_test::SmallModelOptions;
using zv_test::TempDir;

constexpr int32_t kWidth = 40;  // English: 39 phonemes and the blank
constexpr int32_t kOne = 2147483647;

struct EngineDeleter {
    void operator()(zv_lumarin_t *engine) const { zv_lumarin_delete(engine); }
};
using Engine = std::unique_ptr<zv_lumarin_t, EngineDeleter>;

Engine Create(const std::string &path, zv_status_t expected = ZV_STATUS_SUCCESS) {
    zv_lumarin_t *engine = reinterpret_cast<zv_lumarin_t *>(8);
    const zv_status_t status = zv_lumarin_init(path.c_str(), &engine);
    EXPECT_EQ(status, expected) << zv_status_to_string(status);
    if (status != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(engine, nullptr);
        return Engine(nullptr);
    }
    return Engine(engine);
}

std::vector<int16_t> RandomPcm(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> sample(-20000, 20000);
    std::vector<int16_t> pcm(n);
    for (int16_t &s : pcm) s = static_cast<int16_t>(sample(random));
    return pcm;
}

std::vector<int32_t> Index(zv_lumarin_t *engine, const std::vector<int16_t> &pcm) {
    int32_t *index = nullptr;
    int32_t size = -1;
    EXPECT_EQ(zv_lumarin_index(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &index, &size),
              ZV_STATUS_SUCCESS);
    if (index == nullptr) return {};
    std::vector<int32_t> out(index, index + size / 4);
    free(index);
    return out;
}

struct Found {
    zv_status_t status;
    std::vector<zv_lumarin_match_t> matches;
};

Found Search(zv_lumarin_t *engine, const std::vector<int32_t> &index, const char *phrase, int32_t size = -1) {
    zv_lumarin_match_t *matches = reinterpret_cast<zv_lumarin_match_t *>(8);
    int32_t count = -1;
    if (size < 0) size = static_cast<int32_t>(index.size() * 4);
    Found found{zv_lumarin_search(engine, index.data(), size, phrase, &matches, &count), {}};
    if (found.status == ZV_STATUS_SUCCESS) {
        EXPECT_EQ(matches == nullptr, count == 0);
        if (count > 0) found.matches.assign(matches, matches + count);
        free(matches);
    } else {
        // Refused before scoring: the outputs are as the caller left them.
        EXPECT_EQ(matches, reinterpret_cast<zv_lumarin_match_t *>(8));
        EXPECT_EQ(count, -1);
    }
    return found;
}

std::vector<int32_t> CachedIds(const zv_lumarin_t *engine) {
    return std::vector<int32_t>(engine->cached_phonemes, engine->cached_phonemes + engine->cached_num_phonemes);
}

// The row every frame gives: the softmax of the output biases as Q10 logits.
std::vector<int32_t> BiasRow(const std::vector<int8_t> &bias) {
    zv_softmax_t *softmax = nullptr;
    EXPECT_EQ(zv_softmax_init(0, static_cast<int32_t>(bias.size()), &softmax), ZV_STATUS_SUCCESS);
    std::vector<int16_t> logits(bias.size());
    for (size_t k = 0; k < bias.size(); ++k) logits[k] = static_cast<int16_t>(bias[k] * 8);
    std::vector<int32_t> row(bias.size());
    zv_softmax_process(softmax, logits.data(), row.data());
    zv_softmax_delete(softmax);
    return row;
}

class EngineTest : public ::testing::Test {
protected:
    std::string Write(const ModelWriter &model, const std::string &name = "model.bin") {
        return model.write(dir_.path(name));
    }
    std::string WriteBytes(const std::vector<uint8_t> &bytes, const std::string &name = "model.bin") {
        return dir_.write(name, bytes);
    }
    TempDir dir_;
};

// ---- Creation ----

TEST_F(EngineTest, ArgumentsAndMissingFile) {
    zv_lumarin_t *engine = reinterpret_cast<zv_lumarin_t *>(8);
    EXPECT_EQ(zv_lumarin_init(nullptr, &engine), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(engine, reinterpret_cast<zv_lumarin_t *>(8));  // nothing written
    EXPECT_EQ(zv_lumarin_init("x", nullptr), ZV_STATUS_INVALID_ARGUMENT);
    Create(dir_.path("missing.bin"), ZV_STATUS_IO_ERROR);
    zv_lumarin_delete(nullptr);
    EXPECT_STREQ(zv_lumarin_version(), "1.1.0");
}

TEST_F(EngineTest, CreatesFromSmallModelAndIgnoresTrailingBytes) {
    ModelWriter model = SmallModel();
    Engine plain = Create(Write(model, "plain.bin"));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(zv_lumarin_num_phonemes(plain.get()), 39);
    model.trailer = {1, 2, 3, 4, 5, 6, 7};
    Engine trailed = Create(Write(model, "trailed.bin"));
    ASSERT_NE(trailed, nullptr);
    const auto pcm = RandomPcm(4096, 1);
    EXPECT_EQ(Index(plain.get(), pcm), Index(trailed.get(), pcm));
}

struct BadModel {
    const char *what;
    zv_status_t status;
    std::vector<uint8_t> (*make)();
};

std::vector<uint8_t> WithClassifier(zv_test::BlockSpec block) {
    ModelWriter model = SmallModel();
    model.classifier = zv_test::EncodeBlock(block);
    return model.bytes();
}

const BadModel kBadModels[] = {
    {"wrong classifier name", ZV_STATUS_INVALID_ARGUMENT,
     [] { return WithClassifier(zv_test::ZeroBlock("lumarix", "1.1.0", 6865, 80, {4}, std::vector<int8_t>(40))); }},
    {"wrong classifier version", ZV_STATUS_INVALID_ARGUMENT,
     [] { return WithClassifier(zv_test::ZeroBlock("lumarin", "1.0.0", 6865, 80, {4}, std::vector<int8_t>(40))); }},
    {"classifier language without phonemes", ZV_STATUS_INVALID_ARGUMENT,
     [] { return WithClassifier(zv_test::ZeroBlock("lumarin", "1.1.0", 6864, 80, {4}, std::vector<int8_t>(40))); }},
    {"output narrower than the phonemes and the blank", ZV_STATUS_INVALID_ARGUMENT,
     [] { return WithClassifier(zv_test::ZeroBlock("lumarin", "1.1.0", 6865, 80, {4}, std::vector<int8_t>(39))); }},
    {"output wider than the phonemes and the blank", ZV_STATUS_INVALID_ARGUMENT,
     [] { return WithClassifier(zv_test::ZeroBlock("lumarin", "1.1.0", 6865, 80, {4}, std::vector<int8_t>(53))); }},
    {"first layer not 80 wide", ZV_STATUS_INVALID_ARGUMENT,
     [] { return WithClassifier(zv_test::ZeroBlock("lumarin", "1.1.0", 6865, 40, {4}, std::vector<int8_t>(40))); }},
    {"dictionary of more phonemes than the model's", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         model.dict = zv_test::EncodeDict(52, 5, SmallModelOptions().pronunciations);
         return model.bytes();
     }},
    {"dictionary id above the model's phonemes", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         auto prons = SmallModelOptions().pronunciations;
         prons[0][0][1] = 40;
         model.dict = zv_test::EncodeDict(39, 5, prons);
         return model.bytes();
     }},
    {"grapheme block of a language without phonemes", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         model.marbo = zv_test::EncodeBlock(zv_test::LoudBlock("marbo", "1.0.0", 6864, 28, 4, 40, 1));
         return model.bytes();
     }},
    {"grapheme block wider than its language", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         model.marbo = zv_test::EncodeBlock(zv_test::LoudBlock("marbo", "1.0.0", 6868, 28, 4, 40, 1));
         return model.bytes();
     }},
    {"grapheme block not 28 wide", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         model.marbo = zv_test::EncodeBlock(zv_test::LoudBlock("marbo", "1.0.0", 6865, 27, 4, 40, 1));
         return model.bytes();
     }},
    {"nothing after the blocks", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         model.lexicon.clear();
         model.dict.clear();
         return model.bytes();
     }},
    {"no dictionary after the lexicon", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         model.dict.clear();
         return model.bytes();
     }},
    {"lexicon claiming more bytes than the file holds", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         return model.patched_u32(model.lexicon_offset(), 0x7ffffff0u);
     }},
    {"dictionary claiming more bytes than the file holds", ZV_STATUS_INVALID_ARGUMENT,
     [] {
         ModelWriter model = SmallModel();
         return model.patched_u32(model.dict_offset(), static_cast<uint32_t>(model.dict.size() + 4));
     }},
};

TEST_F(EngineTest, RefusesModelsThatCannotWork) {
    for (const BadModel &bad : kBadModels) {
        SCOPED_TRACE(bad.what);
        Create(WriteBytes(bad.make()), bad.status);
    }
}

// Every cut of the file fails cleanly: short reads inside the blocks are
// I/O errors, a cut rest is malformed. Nothing stays allocated (checked by
// the sanitizer build).
TEST_F(EngineTest, EveryTruncationFailsAndLeavesNothing) {
    SmallModelOptions options;
    options.marbo_hidden = 4;
    const ModelWriter model = SmallModel(options);
    const size_t whole = model.bytes().size();
    const std::string path = Write(model, "cut.bin");
    // Cut the one file shorter and shorter: far cheaper than rewriting it.
    for (size_t size = whole; size-- > 0;) {
        std::filesystem::resize_file(path, size);
        zv_lumarin_t *engine = reinterpret_cast<zv_lumarin_t *>(8);
        const zv_status_t status = zv_lumarin_init(path.c_str(), &engine);
        const zv_status_t expected = size < model.lexicon_offset() ? ZV_STATUS_IO_ERROR : ZV_STATUS_INVALID_ARGUMENT;
        ASSERT_EQ(status, expected) << "size " << size;
        ASSERT_EQ(engine, nullptr) << "size " << size;
    }
}

// ---- Indexing ----

TEST_F(EngineTest, EveryRowIsTheSoftmaxOfTheOutputBiases) {
    std::vector<int8_t> bias(kWidth, -100);
    bias[0] = 60;
    bias[20] = 127;
    bias[7] = -128;
    SmallModelOptions options;
    options.output_bias = bias;
    Engine engine = Create(Write(SmallModel(options)));
    ASSERT_NE(engine, nullptr);
    const std::vector<int32_t> row = BiasRow(bias);
    for (const auto &pcm : {RandomPcm(5120, 2), std::vector<int16_t>(5120, 0), RandomPcm(5600, 3)}) {
        const std::vector<int32_t> index = Index(engine.get(), pcm);
        ASSERT_EQ(index.size(), 10u * kWidth);  // 5600 samples: the last 480 are ignored
        for (size_t r = 0; r < 10; ++r) {
            ASSERT_EQ(std::vector<int32_t>(index.begin() + r * kWidth, index.begin() + (r + 1) * kWidth), row) << r;
        }
    }
}

TEST_F(EngineTest, IndexSizesAndArguments) {
    Engine engine = Create(Write(SmallModel()));
    ASSERT_NE(engine, nullptr);
    const auto pcm = RandomPcm(5120, 4);
    struct Case {
        int32_t samples;
        int32_t bytes;
    };
    for (const Case c : {Case{5120, 1600}, Case{1000, 160}, Case{512, 160}, Case{511, 0}, Case{1, 0}}) {
        int32_t *index = nullptr;
        int32_t size = -1;
        ASSERT_EQ(zv_lumarin_index(engine.get(), pcm.data(), c.samples, &index, &size), ZV_STATUS_SUCCESS);
        EXPECT_EQ(size, c.bytes) << c.samples;
        EXPECT_NE(index, nullptr);  // a block to free even for zero rows
        free(index);
    }
    int32_t *index = reinterpret_cast<int32_t *>(8);
    int32_t size = -1;
    EXPECT_EQ(zv_lumarin_index(engine.get(), pcm.data(), 0, &index, &size), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_index(engine.get(), pcm.data(), -5, &index, &size), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_index(nullptr, pcm.data(), 512, &index, &size), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_index(engine.get(), nullptr, 512, &index, &size), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_index(engine.get(), pcm.data(), 512, nullptr, &size), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_index(engine.get(), pcm.data(), 512, &index, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(index, reinterpret_cast<int32_t *>(8));  // nothing written
    EXPECT_EQ(size, -1);
}

// Audio shorter than one row gives an index of 0 bytes, which the search
// refuses as it refuses any index_size below 1.
TEST_F(EngineTest, ClipShorterThanARowCannotBeSearched) {
    Engine engine = Create(Write(SmallModel()));
    ASSERT_NE(engine, nullptr);
    const auto pcm = RandomPcm(511, 5);
    int32_t *index = nullptr;
    int32_t size = -1;
    ASSERT_EQ(zv_lumarin_index(engine.get(), pcm.data(), 511, &index, &size), ZV_STATUS_SUCCESS);
    EXPECT_EQ(size, 0);
    zv_lumarin_match_t *matches = reinterpret_cast<zv_lumarin_match_t *>(8);
    int32_t count = -1;
    EXPECT_EQ(zv_lumarin_search(engine.get(), index, size, "cat", &matches, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(matches, reinterpret_cast<zv_lumarin_match_t *>(8));
    EXPECT_EQ(count, -1);
    free(index);
}

TEST_F(EngineTest, NothingCarriesOverBetweenCalls) {
    // Random weights, so that the rows depend on the audio and on any
    // filterbank history a call might leave behind.
    ModelWriter model = SmallModel();
    model.classifier = zv_test::EncodeBlock(zv_test::RandomBlock("lumarin", "1.1.0", 6865, 80, {8}, 40, 5, 127));
    Engine engine = Create(Write(model));
    Engine fresh = Create(Write(model, "fresh.bin"));
    ASSERT_NE(engine, nullptr);
    ASSERT_NE(fresh, nullptr);
    const auto a = RandomPcm(512 * 12, 6), b = RandomPcm(512 * 7 + 100, 7);
    const std::vector<int32_t> first = Index(engine.get(), a);
    const std::vector<int32_t> other = Index(engine.get(), b);
    EXPECT_EQ(Index(engine.get(), a), first);
    EXPECT_EQ(Index(fresh.get(), b), other);
    EXPECT_NE(std::vector<int32_t>(first.begin(), first.begin() + 7 * kWidth), other);
}

// The index of a long random PCM is the same bits on every kernel set this
// processor runs, the set chosen when the engine is made. Widths that fill no
// vector evenly, weights small enough to keep the gates off their limits and
// large enough to saturate them.
TEST_F(EngineTest, IndexIsTheSameOnEveryKernelSet) {
    const auto pcm = RandomPcm(512 * 700 + 300, 8);
    for (int limit : {6, 127}) {
        ModelWriter model = SmallModel();
        model.classifier = zv_test::EncodeBlock(
            zv_test::RandomBlock("lumarin", "1.1.0", 6865, 80, {37, 64, 19}, 40, 9, limit));
        const std::string path = Write(model, "sets.bin");
        std::vector<int32_t> scalar;
        for (zv_fc_kernel_set_t set : {ZV_FC_KERNELS_SCALAR, ZV_FC_KERNELS_AVX2, ZV_FC_KERNELS_AVX512}) {
            if (!zv_fc_kernel_set_is_available(set)) continue;
            zv_fc_kernel_set_limit(set);
            Engine engine = Create(path);
            zv_fc_kernel_set_limit(ZV_FC_KERNELS_AVX512);
            ASSERT_NE(engine, nullptr);
            const std::vector<int32_t> index = Index(engine.get(), pcm);
            ASSERT_EQ(index.size(), 700u * kWidth);
            if (set == ZV_FC_KERNELS_SCALAR) {
                scalar = index;
            } else {
                EXPECT_EQ(index, scalar) << "limit " << limit << " set " << set;
            }
        }
    }
}

// Engines share nothing: several made from one model, indexing PCM and
// audio files of every format and searching, in threads of their own at
// once, give what one gives alone.
TEST_F(EngineTest, SeparateEnginesWorkInParallel) {
    ModelWriter model = SmallModel();
    model.classifier = zv_test::EncodeBlock(zv_test::RandomBlock("lumarin", "1.1.0", 6865, 80, {8}, 40, 5, 127));
    const std::string path = Write(model);
    const auto pcm = RandomPcm(512 * 200, 11);
    Engine alone = Create(path);
    ASSERT_NE(alone, nullptr);
    const std::vector<int32_t> index = Index(alone.get(), pcm);
    const Found found = Search(alone.get(), index, "cat dog");
    ASSERT_EQ(found.status, ZV_STATUS_SUCCESS);
    const std::string data = ZV_TEST_DATA_DIR;
    const std::vector<std::string> files = {data + "/wav_stereo_44k.wav", data + "/flac_stereo_44k.flac",
                                            data + "/mp3_stereo_44k.mp3", data + "/audio/opus_stereo_48k.opus",
                                            data + "/audio/vorbis_stereo_44k.ogg", data + "/audio/webm_vorbis.webm"};
    std::vector<std::vector<int32_t>> file_indexes;
    for (const std::string &file : files) {
        int32_t *block = nullptr;
        int32_t size = 0;
        ASSERT_EQ(zv_lumarin_index_file(alone.get(), file.c_str(), &block, &size), ZV_STATUS_SUCCESS) << file;
        file_indexes.emplace_back(block, block + size / 4);
        free(block);
    }

    constexpr int kThreads = 4;
    std::vector<int> same(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            zv_lumarin_t *engine = nullptr;
            if (zv_lumarin_init(path.c_str(), &engine) != ZV_STATUS_SUCCESS) return;
            int ok = 1;
            for (int round = 0; round < 5; ++round) {
                int32_t *block = nullptr;
                int32_t size = 0;
                zv_lumarin_match_t *matches = nullptr;
                int32_t count = 0;
                ok &= zv_lumarin_index(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &block, &size) ==
                      ZV_STATUS_SUCCESS;
                ok &= size == static_cast<int32_t>(index.size() * 4) &&
                      std::memcmp(block, index.data(), index.size() * 4) == 0;
                ok &= zv_lumarin_search(engine, block, size, round % 2 ? "cat dog" : "dog", &matches, &count) ==
                      ZV_STATUS_SUCCESS;
                if (round % 2) {
                    ok &= count == static_cast<int32_t>(found.matches.size()) &&
                          (count == 0 || std::memcmp(matches, found.matches.data(), count * sizeof(*matches)) == 0);
                }
                free(matches);
                free(block);
            }
            for (size_t f = 0; f < files.size(); ++f) {
                int32_t *block = nullptr;
                int32_t size = 0;
                ok &= zv_lumarin_index_file(engine, files[f].c_str(), &block, &size) == ZV_STATUS_SUCCESS &&
                      std::vector<int32_t>(block, block + size / 4) == file_indexes[f];
                free(block);
            }
            zv_lumarin_delete(engine);
            same[t] = ok;
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(same, std::vector<int>(kThreads, 1));
}

// ---- Search ----

class SearchTest : public EngineTest {
protected:
    void SetUp() override {
        engine_ = Create(Write(SmallModel()));
        ASSERT_NE(engine_, nullptr);
    }
    Engine engine_;
};

TEST_F(SearchTest, PronunciationFromLexiconAndGraphemes) {
    const std::vector<int32_t> index(kWidth, 0);
    struct Case {
        const char *phrase;
        std::vector<int32_t> ids;
    };
    const Case cases[] = {
        {"cat", {20, 2, 31}},
        {"  cat   DoG ", {20, 2, 31, 9, 4, 15}},
        {"two", {31, 34}},                    // the first pronunciation
        {"silent cat", {20, 2, 31}},          // an empty pronunciation adds nothing
        {"zebra", {1}},                       // not in the lexicon: every letter sounds AA
        {"cat zebra's", {20, 2, 31, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.phrase);
        ASSERT_EQ(Search(engine_.get(), index, c.phrase).status, ZV_STATUS_SUCCESS);
        EXPECT_EQ(CachedIds(engine_.get()), c.ids);
        EXPECT_STREQ(engine_->cached_phrase, c.phrase);
    }
}

TEST_F(SearchTest, RefusedPhrasesLeaveTheCache) {
    const std::vector<int32_t> index(kWidth, 0);
    ASSERT_EQ(Search(engine_.get(), index, "dog").status, ZV_STATUS_SUCCESS);
    for (const char *phrase : {"   ", "silent", "nopron", "silent  nopron", "cat nopron", "cat\tdog", "caf\xc3\xa9",
                               "hello, world!", "room 101", "cat-dog"}) {
        SCOPED_TRACE(phrase);
        EXPECT_EQ(Search(engine_.get(), index, phrase).status, ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_STREQ(engine_->cached_phrase, "dog");
        EXPECT_EQ(CachedIds(engine_.get()), (std::vector<int32_t>{9, 4, 15}));
    }
}

// A host that set a Turkish locale, where toupper turns i into the dotted
// capital (0xDD in ISO-8859-9) and the bytes of ç and ı into Ç and I, reads
// every phrase as the C locale does: only a-z change.
TEST_F(EngineTest, PhrasesReadTheSameUnderATurkishLocale) {
    zv_test::HostLocale turkish("tr_TR", "ISO-8859-9");
    if (!turkish.missing().empty()) GTEST_SKIP() << turkish.missing();
    SmallModelOptions options;
    options.words.push_back("\xC7OK");  // ÇOK, after the ASCII words
    options.pronunciations.push_back({{20, 27}});
    const std::string path = Write(SmallModel(options));
    const std::vector<int32_t> index(kWidth, 0);
    struct Case {
        const char *phrase;
        zv_status_t status;
        std::vector<int32_t> ids;
    };
    const Case cases[] = {
        {"silent cat", ZV_STATUS_SUCCESS, {20, 2, 31}},  // SILENT in the lexicon
        {"this is", ZV_STATUS_SUCCESS, {1, 1}},         // spelled: every letter sounds AA
        {"liquid", ZV_STATUS_SUCCESS, {1}},
        {"finish it", ZV_STATUS_SUCCESS, {1, 1}},
        {"\xC7OK", ZV_STATUS_SUCCESS, {20, 27}},
        {"\xE7ok", ZV_STATUS_INVALID_ARGUMENT, {}},  // ç stays: neither the lexicon's word nor spelled
        {"\xFD", ZV_STATUS_INVALID_ARGUMENT, {}},    // ı stays
    };
    for (const bool use_turkish : {false, true}) {
        if (use_turkish) {
            ASSERT_TRUE(turkish.use());
            ASSERT_EQ(std::toupper('i'), 0xDD);  // the locale bites
        }
        // A new engine each time: its phrase cache would skip the reading.
        Engine engine = Create(path);
        ASSERT_NE(engine, nullptr);
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.phrase) + (use_turkish ? " under " + turkish.name() : " in the C locale"));
            const Found found = Search(engine.get(), index, c.phrase);
            EXPECT_EQ(found.status, c.status);
            if (found.status == ZV_STATUS_SUCCESS) {
                EXPECT_EQ(CachedIds(engine.get()), c.ids);
            }
        }
    }
}

// Outside the lexicon only the letters and the apostrophe can be pronounced;
// a lexicon word is found whatever its bytes.
TEST_F(EngineTest, LexiconWordsNeedNotBeSpelledWithLetters) {
    SmallModelOptions options;
    options.words = {"CAT", "DOG", "NOPRON", "ROOM-101", "SILENT", "TWO"};
    options.pronunciations = {{{20, 2, 31}}, {{9, 4, 15}}, {}, {{28, 33}}, {{}}, {{31, 34}, {31, 25}}};
    Engine engine = Create(Write(SmallModel(options)));
    ASSERT_NE(engine, nullptr);
    const std::vector<int32_t> index(kWidth, 0);
    ASSERT_EQ(Search(engine.get(), index, "room-101").status, ZV_STATUS_SUCCESS);
    EXPECT_EQ(CachedIds(engine.get()), (std::vector<int32_t>{28, 33}));
    EXPECT_EQ(Search(engine.get(), index, "room 101").status, ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(Search(engine.get(), index, "room-102").status, ZV_STATUS_INVALID_ARGUMENT);
}

TEST_F(SearchTest, CacheIsKeyedByTheCallersBytes) {
    const std::vector<int32_t> index(kWidth, 0);
    ASSERT_EQ(Search(engine_.get(), index, "cat").status, ZV_STATUS_SUCCESS);
    // Planting other ids shows whether the next search rebuilds them.
    engine_->cached_phonemes[0] = 7;
    ASSERT_EQ(Search(engine_.get(), index, "cat").status, ZV_STATUS_SUCCESS);
    EXPECT_EQ(CachedIds(engine_.get()), (std::vector<int32_t>{7, 2, 31}));  // same text: reused
    ASSERT_EQ(Search(engine_.get(), index, "CAT").status, ZV_STATUS_SUCCESS);
    EXPECT_EQ(CachedIds(engine_.get()), (std::vector<int32_t>{20, 2, 31}));  // other text: rebuilt
}

TEST_F(SearchTest, ArgumentsAndIndexSizes) {
    const std::vector<int32_t> index(2 * kWidth, 0);
    zv_lumarin_match_t *matches = reinterpret_cast<zv_lumarin_match_t *>(8);
    int32_t count = -7;
    auto call = [&](zv_lumarin_t *e, const int32_t *i, int32_t size, const char *p, zv_lumarin_match_t **m,
                    int32_t *n) { return zv_lumarin_search(e, i, size, p, m, n); };
    EXPECT_EQ(call(nullptr, index.data(), 160, "cat", &matches, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(call(engine_.get(), nullptr, 160, "cat", &matches, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(call(engine_.get(), index.data(), 0, "cat", &matches, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(call(engine_.get(), index.data(), -160, "cat", &matches, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(call(engine_.get(), index.data(), 164, "cat", &matches, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(call(engine_.get(), index.data(), 160, nullptr, &matches, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(call(engine_.get(), index.data(), 160, "", &matches, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(call(engine_.get(), index.data(), 160, "cat", nullptr, &count), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(call(engine_.get(), index.data(), 160, "cat", &matches, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(matches, reinterpret_cast<zv_lumarin_match_t *>(8));
    EXPECT_EQ(count, -7);
    EXPECT_EQ(engine_->cached_phrase, nullptr);
    // 1 to 3 bytes hold no whole value: zero rows, no match, but the
    // pronunciation is built; 160 to 163 bytes give one row.
    for (int32_t size : {1, 3, 160, 163, 320}) {
        const Found found = Search(engine_.get(), index, "cat", size);
        EXPECT_EQ(found.status, ZV_STATUS_SUCCESS) << size;
        EXPECT_TRUE(found.matches.empty()) << size;
    }
    EXPECT_STREQ(engine_->cached_phrase, "cat");
}

// Hand-made rows for the one-phoneme phrase "zebra" (AA, column 1): a row of
// zeros puts everything back outside the phrase, and a row whose AA value is
// v right after it ends the phrase with probability v / 2^31-1 in 2 rows.
class HandMadeIndex {
public:
    explicit HandMadeIndex(int32_t rows) : values_(static_cast<size_t>(rows) * kWidth, 0) {}
    HandMadeIndex &set(int32_t row, int32_t column, int32_t value) {
        values_[static_cast<size_t>(row) * kWidth + column] = value;
        return *this;
    }
    const std::vector<int32_t> &values() const { return values_; }

private:
    std::vector<int32_t> values_;
};

float ScoreOf(int32_t value) { return static_cast<float>(std::log10(static_cast<double>(value) / 2147483647.0)); }
float ProbabilityOf(float score) { return (1.0f + std::fmin(score, -0.25f)) / 0.75f; }
float EndOf(int32_t row) { return ((static_cast<float>(row) + 8.0f) * 512.0f) / 16000.0f; }
float StartOf(int32_t row, int32_t duration) {
    return EndOf(row) - (static_cast<float>(duration + 8) * 512.0f) / 16000.0f;
}

void ExpectMatch(const zv_lumarin_match_t &m, float start, float end, float probability) {
    EXPECT_EQ(m.start_sec, start);
    EXPECT_EQ(m.end_sec, end);
    EXPECT_EQ(m.probability, probability);
}

TEST_F(SearchTest, HitAtRowZeroStartsBeforeTheAudio) {
    const Found found = Search(engine_.get(), HandMadeIndex(3).set(0, 1, kOne).values(), "zebra");
    ASSERT_EQ(found.status, ZV_STATUS_SUCCESS);
    ASSERT_EQ(found.matches.size(), 1u);
    ExpectMatch(found.matches[0], StartOf(0, 2), EndOf(0), 1.0f);
    EXPECT_FLOAT_EQ(found.matches[0].end_sec, 0.256f);
    EXPECT_FLOAT_EQ(found.matches[0].start_sec, -0.064f);
}

// A phrase held in rows a to i spans (a - 2) x 0.032 to (i + 8) x 0.032: the
// scorer's duration counts one row more than the phrase's own.
TEST_F(SearchTest, SpanOfAPhraseFoundInRowsAToI) {
    const struct {
        int32_t first, last;
        float start, end;
    } cases[] = {
        {20, 23, 0.576f, 0.992f},
        {0, 0, -0.064f, 0.256f},
        {7, 9, 0.16f, 0.544f},
        {3, 4, 0.032f, 0.384f},
    };
    for (const auto &c : cases) {
        HandMadeIndex index(30);
        for (int32_t r = c.first; r <= c.last; ++r) index.set(r, 1, kOne);
        const Found found = Search(engine_.get(), index.values(), "zebra");
        ASSERT_EQ(found.status, ZV_STATUS_SUCCESS);
        ASSERT_EQ(found.matches.size(), 1u) << c.first;
        EXPECT_FLOAT_EQ(found.matches[0].start_sec, c.start) << c.first;
        EXPECT_FLOAT_EQ(found.matches[0].end_sec, c.end) << c.first;
        EXPECT_EQ(found.matches[0].probability, 1.0f);
    }
}

// The search checks only the index's size: values no model would write, or
// another model's rows, are scored like any, giving matches or none but no
// error, and a match keeps its probability in (0, 1].
TEST_F(SearchTest, IndexValuesAreTrusted) {
    std::mt19937 random(4);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    std::vector<int32_t> garbage(200 * kWidth);
    for (int32_t &v : garbage) v = any(random);
    std::vector<int32_t> all_max(200 * kWidth, INT32_MAX), all_min(200 * kWidth, INT32_MIN);
    // A German index (53 values a row) of 40 rows is 53 rows of 40 values.
    std::vector<int32_t> german(40 * 53, kOne / 53);
    size_t found_any = 0;
    for (const std::vector<int32_t> *index : {&garbage, &all_max, &all_min, &german}) {
        for (const char *phrase : {"zebra", "cat dog"}) {
            const Found found = Search(engine_.get(), *index, phrase);
            ASSERT_EQ(found.status, ZV_STATUS_SUCCESS) << phrase;
            for (const zv_lumarin_match_t &m : found.matches) {
                EXPECT_GT(m.probability, 0.0f);
                EXPECT_LE(m.probability, 1.0f);
                EXPECT_LT(m.start_sec, m.end_sec);
            }
            found_any += found.matches.size();
        }
    }
    EXPECT_GT(found_any, 0u);
}

TEST_F(SearchTest, OverlappingHitsMergeByProbability) {
    const int32_t v_half = 683212743;    // log10 about -0.4975
    const int32_t v_high = 1500000000;   // about -0.156: probability 1
    const int32_t v_low = 400000000;     // about -0.73
    const int32_t v_edge = 250000000;    // about -0.934
    HandMadeIndex index(60);
    index.set(1, 1, v_half)    // new match
        .set(3, 1, v_low)      // overlaps, lower: dropped
        .set(5, 1, v_half)     // overlaps, equal to the kept one: replaces it
        .set(7, 1, v_low)      // dropped against the match kept at row 5
        .set(30, 1, v_edge)    // far away: a new match
        .set(32, 1, v_high)    // overlaps, higher: replaces
        .set(50, 1, -kOne);    // NaN score: no hit
    const Found found = Search(engine_.get(), index.values(), "zebra");
    ASSERT_EQ(found.status, ZV_STATUS_SUCCESS);
    ASSERT_EQ(found.matches.size(), 2u);
    ExpectMatch(found.matches[0], StartOf(5, 2), EndOf(5), ProbabilityOf(ScoreOf(v_half)));
    ExpectMatch(found.matches[1], StartOf(32, 2), EndOf(32), 1.0f);
    EXPECT_NEAR(found.matches[0].probability, (1.0 - 0.4975) / 0.75, 1e-3);
}

TEST_F(SearchTest, AcceptsAtMostFiveRowsPerPhoneme) {
    // AA held with certainty: durations 2, 3, 4, 5, 6, 7; rows 0 to 3 are
    // hits (all probability 1, so each replaces the last), rows 4 on aren't.
    HandMadeIndex index(6);
    for (int32_t r = 0; r < 6; ++r) index.set(r, 1, kOne);
    const Found found = Search(engine_.get(), index.values(), "zebra");
    ASSERT_EQ(found.matches.size(), 1u);
    ExpectMatch(found.matches[0], StartOf(3, 5), EndOf(3), 1.0f);
}

TEST_F(SearchTest, WeakRowsGiveNoMatch) {
    // A score of -1 or below (probability 0.1 or less per phoneme) is no hit.
    const Found found = Search(engine_.get(), HandMadeIndex(4).set(1, 1, 214748364).values(), "zebra");
    ASSERT_EQ(found.status, ZV_STATUS_SUCCESS);
    EXPECT_TRUE(found.matches.empty());
}

// The acceptance and merging rules written out literally over the scorer's
// output for every row, against the search on random rows that put most of
// their weight on the phrase's phonemes, so that hits, overlaps, near misses
// and scores around -1 are all common.
std::vector<zv_lumarin_match_t> LiteralMatches(const std::vector<int32_t> &ids, const std::vector<int32_t> &index) {
    zv_lumarin_decoder_t *decoder = nullptr;
    EXPECT_EQ(zv_lumarin_decoder_init(ids.data(), static_cast<int32_t>(ids.size()), &decoder), ZV_STATUS_SUCCESS);
    std::vector<zv_lumarin_match_t> matches;
    const int32_t e = static_cast<int32_t>(ids.size());
    const float rate = 16000.0f;
    for (size_t i = 0; i * kWidth < index.size(); ++i) {
        float score = 0.0f;
        int32_t d = 0;
        zv_lumarin_decoder_process(decoder, index.data() + i * kWidth, &score, &d);
        if (!(d <= 5 * e && score > -1.0f)) continue;
        const float end = ((static_cast<float>(i) + 8.0f) * 512.0f) / rate;
        const float start = end - (static_cast<float>(d + 8) * 512.0f) / rate;
        const float probability = (1.0f + fminf(score, -0.25f)) / 0.75f;
        if (!matches.empty() && start < matches.back().end_sec) {
            if (probability >= matches.back().probability) matches.back() = zv_lumarin_match_t{start, end, probability};
        } else {
            matches.push_back(zv_lumarin_match_t{start, end, probability});
        }
    }
    zv_lumarin_decoder_delete(decoder);
    return matches;
}

TEST_F(SearchTest, MatchesTheLiteralRulesOnRandomRows) {
    std::mt19937 random(21);
    for (const char *phrase : {"zebra", "cat", "cat dog"}) {
        SCOPED_TRACE(phrase);
        ASSERT_EQ(Search(engine_.get(), std::vector<int32_t>(kWidth, 0), phrase).status, ZV_STATUS_SUCCESS);
        const std::vector<int32_t> ids = CachedIds(engine_.get());
        std::uniform_int_distribution<size_t> pick(0, ids.size());
        std::uniform_int_distribution<int32_t> strong(kOne / 20, kOne), weak(0, kOne / 50);
        size_t total = 0;
        for (int trial = 0; trial < 40; ++trial) {
            std::vector<int32_t> index(300 * kWidth);
            for (size_t r = 0; r < 300; ++r) {
                int32_t *row = index.data() + r * kWidth;
                for (int32_t c = 0; c < kWidth; ++c) row[c] = weak(random);
                const size_t k = pick(random);  // the blank, or one of the phrase's phonemes
                row[k == ids.size() ? 0 : ids[k]] = strong(random);
            }
            const Found found = Search(engine_.get(), index, phrase);
            ASSERT_EQ(found.status, ZV_STATUS_SUCCESS);
            const std::vector<zv_lumarin_match_t> want = LiteralMatches(ids, index);
            ASSERT_EQ(found.matches.size(), want.size()) << trial;
            for (size_t m = 0; m < want.size(); ++m) {
                ExpectMatch(found.matches[m], want[m].start_sec, want[m].end_sec, want[m].probability);
            }
            total += want.size();
        }
        EXPECT_GT(total, 40u);
    }
}

// End to end: PCM through a zero classifier into constant rows, then the
// phrase's matches as the scorer and the merging rules predict them.
TEST_F(EngineTest, IndexThenSearchGivesPredictedMatches) {
    std::vector<int8_t> bias(kWidth, -128);
    bias[0] = 40;    // the blank
    bias[20] = 127;  // K
    bias[2] = 127;   // AE
    bias[31] = 127;  // T
    SmallModelOptions options;
    options.output_bias = bias;
    Engine engine = Create(Write(SmallModel(options)));
    ASSERT_NE(engine, nullptr);
    const std::vector<int32_t> index = Index(engine.get(), RandomPcm(512 * 40, 9));
    ASSERT_EQ(index.size(), 40u * kWidth);

    // The prediction: each row's score and duration from the scorer, the
    // hits, and overlapping hits merged.
    const std::vector<int32_t> ids = {20, 2, 31};
    zv_lumarin_decoder_t *decoder = nullptr;
    ASSERT_EQ(zv_lumarin_decoder_init(ids.data(), 3, &decoder), ZV_STATUS_SUCCESS);
    std::vector<zv_lumarin_match_t> expected;
    for (int32_t r = 0; r < 40; ++r) {
        float score;
        int32_t duration;
        zv_lumarin_decoder_process(decoder, index.data() + r * kWidth, &score, &duration);
        if (!(duration <= 15 && score > -1.0f)) continue;
        const zv_lumarin_match_t hit{StartOf(r, duration), EndOf(r), ProbabilityOf(score)};
        if (!expected.empty() && hit.start_sec < expected.back().end_sec) {
            if (hit.probability >= expected.back().probability) expected.back() = hit;
        } else {
            expected.push_back(hit);
        }
    }
    zv_lumarin_decoder_delete(decoder);
    ASSERT_FALSE(expected.empty());  // the fixture is meant to find the phrase

    const Found found = Search(engine.get(), index, "cat");
    ASSERT_EQ(found.status, ZV_STATUS_SUCCESS);
    ASSERT_EQ(found.matches.size(), expected.size());
    for (size_t m = 0; m < expected.size(); ++m) {
        ExpectMatch(found.matches[m], expected[m].start_sec, expected[m].end_sec, expected[m].probability);
    }
    // Deleting after searches releases the cache too (sanitizer build).
}

TEST_F(EngineTest, GraphemeNamesBecomeIdsOfTheClassifiersLanguage) {
    // A Spanish model whose grapheme network speaks German: German "b" (id 5)
    // is Spanish id 2; German "a\xc9\xaa" (id 2) has no Spanish id.
    SmallModelOptions options;
    options.language = 6868;
    options.marbo_language = 6866;
    options.marbo_favoured = 5;
    options.pronunciations = {{{1}}, {{2}}, {}, {{}}, {{3}, {4}}};
    Engine engine = Create(Write(SmallModel(options)));
    ASSERT_NE(engine, nullptr);
    const std::vector<int32_t> index(33, 0);
    ASSERT_EQ(Search(engine.get(), index, "zebra").status, ZV_STATUS_SUCCESS);
    EXPECT_EQ(CachedIds(engine.get()), (std::vector<int32_t>{2}));

    options.marbo_favoured = 2;
    Engine other = Create(Write(SmallModel(options), "other.bin"));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(Search(other.get(), index, "zebra").status, ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(other->cached_phrase, nullptr);
}

TEST_F(EngineTest, GraphemeResultWithoutCandidateIsRefused) {
    SmallModelOptions options;
    options.marbo_favoured = 0;  // every frame blank: no pronunciation at all
    Engine engine = Create(Write(SmallModel(options)));
    ASSERT_NE(engine, nullptr);
    const std::vector<int32_t> index(kWidth, 0);
    EXPECT_EQ(Search(engine.get(), index, "zebra").status, ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(Search(engine.get(), index, "cat").status, ZV_STATUS_SUCCESS);
}

}  // namespace
