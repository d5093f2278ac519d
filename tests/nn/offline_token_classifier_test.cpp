#include "nn/offline_token_classifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "nn/softmax.h"
#include "support/classifier_block.h"
#include "support/temp_dir.h"

namespace {

using zv_test::ClassifierBlock;

struct ParamFree {
    void operator()(zv_offline_token_classifier_param_t *p) const { zv_offline_token_classifier_param_delete(p); }
};
using Param = std::unique_ptr<zv_offline_token_classifier_param_t, ParamFree>;
struct ClassifierFree {
    void operator()(zv_offline_token_classifier_t *p) const { zv_offline_token_classifier_delete(p); }
};
using Classifier = std::unique_ptr<zv_offline_token_classifier_t, ClassifierFree>;

zv_status_t load(const std::vector<uint8_t> &bytes, const char *name, const char *version, Param *out,
                 int32_t *extra = nullptr, long *stop = nullptr) {
    FILE *f = zv_test::open_bytes(bytes);
    EXPECT_NE(f, nullptr);
    int32_t ignored = 0;
    zv_offline_token_classifier_param_t *p = reinterpret_cast<zv_offline_token_classifier_param_t *>(8);
    const zv_status_t status = zv_offline_token_classifier_param_load2(f, name, version, extra ? extra : &ignored, &p);
    if (stop) *stop = ftell(f);
    fclose(f);
    if (status != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(p, nullptr);
    }
    out->reset(status == ZV_STATUS_SUCCESS ? p : nullptr);
    return status;
}

Param load_ok(const ClassifierBlock &c) {
    Param p;
    EXPECT_EQ(load(zv_test::offline_block("lumarin", "1.1.0", c), "lumarin", "1.1.0", &p), ZV_STATUS_SUCCESS);
    return p;
}

Classifier make(const zv_offline_token_classifier_param_t *p) {
    zv_memory_t memory;
    zv_memory_init(&memory);
    zv_offline_token_classifier_t *c = nullptr;
    EXPECT_EQ(zv_offline_token_classifier_init(memory, p, &c), ZV_STATUS_SUCCESS);
    return Classifier(c);
}

bool equal_fc(const zv_fc_param_t *p, const zv_test::FcBlock &b) {
    return p->in == b.in && p->out == b.out && std::equal(b.bias.begin(), b.bias.end(), p->bias) &&
           std::equal(b.weights.begin(), b.weights.end(), p->weights);
}

bool equal_block(const zv_offline_token_classifier_param_t *p, const ClassifierBlock &c) {
    if (p->num_layers != static_cast<int32_t>(c.forward.size()) || p->language != c.language) return false;
    for (size_t l = 0; l < c.forward.size(); ++l) {
        if (!equal_fc(p->forward[l]->input, c.forward[l].input) ||
            !equal_fc(p->forward[l]->recurrent, c.forward[l].recurrent) ||
            !equal_fc(p->backward[l]->input, c.backward[l].input) ||
            !equal_fc(p->backward[l]->recurrent, c.backward[l].recurrent)) {
            return false;
        }
    }
    return equal_fc(p->output, c.output);
}

std::vector<int16_t> random_features(size_t frames, int32_t width, uint32_t seed, int lo = -32768, int hi = 32767) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(lo, hi);
    std::vector<int16_t> x(frames * static_cast<size_t>(width));
    for (auto &v : x) v = static_cast<int16_t>(d(rng));
    return x;
}

// The classifier composed frame by frame from the layers' own interfaces.
std::vector<int32_t> reference(const zv_offline_token_classifier_param_t *p, const std::vector<int16_t> &features,
                               size_t frames) {
    zv_memory_t memory;
    zv_memory_init(&memory);
    std::vector<int16_t> in = features;
    size_t in_width = static_cast<size_t>(p->forward[0]->input->in);
    for (int32_t l = 0; l < p->num_layers; ++l) {
        const size_t h = static_cast<size_t>(p->forward[l]->recurrent->in);
        zv_rnn_t *f = nullptr, *b = nullptr;
        EXPECT_EQ(zv_rnn_init(memory, p->forward[l], &f), ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_rnn_init(memory, p->backward[l], &b), ZV_STATUS_SUCCESS);
        std::vector<int16_t> out(frames * h), scratch(h);
        for (size_t t = 0; t < frames; ++t) zv_rnn_process(f, &in[t * in_width], &out[t * h]);
        for (size_t t = frames; t-- > 0;) {
            zv_rnn_process(b, &in[t * in_width], scratch.data());
            for (size_t j = 0; j < h; ++j) {
                out[t * h + j] = static_cast<int16_t>(std::clamp(out[t * h + j] + scratch[j], -32768, 32767));
            }
        }
        zv_rnn_delete(b);
        zv_rnn_delete(f);
        in = out;
        in_width = h;
    }
    const size_t k = static_cast<size_t>(p->output->out);
    zv_fc_t *fc = nullptr;
    zv_softmax_t *s = nullptr;
    EXPECT_EQ(zv_fc_init(memory, p->output, 0, &fc), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_softmax_init(memory, p->output->out, &s), ZV_STATUS_SUCCESS);
    std::vector<int32_t> probabilities(frames * k);
    std::vector<int16_t> row(k);
    for (size_t t = 0; t < frames; ++t) {
        zv_fc_process(fc, &in[t * in_width], row.data());
        zv_softmax_process(s, row.data(), &probabilities[t * k]);
    }
    zv_softmax_delete(s);
    zv_fc_delete(fc);
    return probabilities;
}

TEST(OfflineClassifierParam, ReadsTheLayout) {
    ClassifierBlock c = zv_test::random_classifier(3, {4, 2}, 5, 1, 6866);
    c.extra = -77;
    const std::vector<uint8_t> bytes = zv_test::offline_block("marbo", "1.0.0", c);
    Param p;
    int32_t extra = 0;
    long stop = 0;
    ASSERT_EQ(load(bytes, "marbo", "1.0.0", &p, &extra, &stop), ZV_STATUS_SUCCESS);
    EXPECT_EQ(extra, -77);
    EXPECT_EQ(stop, static_cast<long>(bytes.size()));
    EXPECT_TRUE(equal_block(p.get(), c));
    EXPECT_EQ(zv_offline_token_classifier_param_input_width(p.get()), 3);
    EXPECT_EQ(zv_offline_token_classifier_param_output_width(p.get()), 5);

    // A block followed by more bytes: the reader stops right after the language.
    std::vector<uint8_t> more = bytes;
    more.insert(more.end(), {1, 2, 3});
    ASSERT_EQ(load(more, "marbo", "1.0.0", &p, &extra, &stop), ZV_STATUS_SUCCESS);
    EXPECT_EQ(stop, static_cast<long>(bytes.size()));
}

TEST(OfflineClassifierParam, SerializeWritesTheSameBytes) {
    ClassifierBlock c = zv_test::random_classifier(6, {5, 3, 4}, 7, 2, 6864);
    c.extra = 123456;
    const std::vector<uint8_t> bytes = zv_test::offline_block("lumarin", "1.1.0", c);
    Param p;
    ASSERT_EQ(load(bytes, "lumarin", "1.1.0", &p), ZV_STATUS_SUCCESS);  // "--" passes the reader
    zv_test::TempDir dir;
    const std::string path = dir.path("block.bin");
    ASSERT_EQ(zv_offline_token_classifier_param_serialize(p.get(), "lumarin", "1.1.0", 123456, path.c_str()),
              ZV_STATUS_SUCCESS);
    FILE *f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> written(bytes.size() + 1);
    EXPECT_EQ(fread(written.data(), 1, written.size(), f), bytes.size());
    fclose(f);
    written.resize(bytes.size());
    EXPECT_EQ(written, bytes);

    zv_offline_token_classifier_param_t *again = nullptr;
    int32_t extra = 0;
    ASSERT_EQ(zv_offline_token_classifier_param_load(path.c_str(), "lumarin", "1.1.0", &extra, &again),
              ZV_STATUS_SUCCESS);
    Param q(again);
    EXPECT_EQ(extra, 123456);
    EXPECT_TRUE(equal_block(q.get(), c));

    EXPECT_EQ(zv_offline_token_classifier_param_load(dir.path("missing").c_str(), "lumarin", "1.1.0", &extra, &again),
              ZV_STATUS_IO_ERROR);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(zv_offline_token_classifier_param_serialize(p.get(), "lumarin", "1.1.0", 0,
                                                          dir.path("no/such/dir").c_str()),
              ZV_STATUS_IO_ERROR);
}

TEST(OfflineClassifierParam, RefusesMalformedBlocks) {
    const ClassifierBlock good = zv_test::random_classifier(2, {3}, 4, 3);
    const size_t levels_at = zv_test::block_levels_offset("lumarin", "1.1.0");
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        const char *name;
        const char *version;
        zv_status_t status;
    };
    std::vector<Case> cases;
    cases.push_back({"other name", zv_test::offline_block("marbo", "1.0.0", good), "lumarin", "1.1.0",
                     ZV_STATUS_INVALID_ARGUMENT});
    cases.push_back({"other version", zv_test::offline_block("lumarin", "1.0.0", good), "lumarin", "1.1.0",
                     ZV_STATUS_INVALID_ARGUMENT});
    ClassifierBlock bad_language = good;
    bad_language.language = 6869;
    cases.push_back({"language 6869", zv_test::offline_block("lumarin", "1.1.0", bad_language), "lumarin", "1.1.0",
                     ZV_STATUS_INVALID_ARGUMENT});
    for (uint32_t levels : {0u, 0xFFFFFFFFu, 0x80000000u}) {
        std::vector<uint8_t> b = zv_test::offline_block("lumarin", "1.1.0", good);
        zv_test::ByteWriter w;
        w.bytes(b).patch_u32(levels_at, levels);
        cases.push_back({"L not above 0", w.take(), "lumarin", "1.1.0", ZV_STATUS_INVALID_ARGUMENT});
    }
    // Hostile level and layer counts claim far more bytes than there are.
    {
        zv_test::ByteWriter w;
        w.bytes(zv_test::offline_block("lumarin", "1.1.0", good)).patch_u32(levels_at, 0x7FFFFFFF);
        cases.push_back({"hostile L", w.take(), "lumarin", "1.1.0", ZV_STATUS_IO_ERROR});
        zv_test::ByteWriter v;
        v.bytes(zv_test::offline_block("lumarin", "1.1.0", good))
            .patch_u32(levels_at + 4, 0x7FFFFFFF)
            .patch_u32(levels_at + 8, 0x7FFFFFFF);
        cases.push_back({"hostile layer counts", v.take(), "lumarin", "1.1.0", ZV_STATUS_IO_ERROR});
        zv_test::ByteWriter u;
        u.bytes(zv_test::offline_block("lumarin", "1.1.0", good)).patch_u32(levels_at + 4, 0);
        cases.push_back({"layer count 0", u.take(), "lumarin", "1.1.0", ZV_STATUS_INVALID_ARGUMENT});
        // Layers are read in order: a level count the bytes can't hold does
        // not hide the bad count of the first layer.
        zv_test::ByteWriter t;
        t.bytes(zv_test::offline_block("lumarin", "1.1.0", good))
            .patch_u32(levels_at, 1000)
            .patch_u32(levels_at + 4, 0);
        cases.push_back({"long L, layer count 0", t.take(), "lumarin", "1.1.0", ZV_STATUS_INVALID_ARGUMENT});
    }
    for (const Case &c : cases) {
        Param p;
        EXPECT_EQ(load(c.bytes, c.name, c.version, &p), c.status) << c.what;
    }

    // Cut at every length: always a short read, never anything else.
    const std::vector<uint8_t> bytes = zv_test::offline_block("lumarin", "1.1.0", good);
    for (size_t n = 0; n < bytes.size(); ++n) {
        Param p;
        int32_t extra = 0;
        ASSERT_EQ(load(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(n)), "lumarin", "1.1.0",
                       &p, &extra),
                  ZV_STATUS_IO_ERROR)
            << n;
    }
    // The extra word is delivered even when a later field fails.
    ClassifierBlock marked = bad_language;
    marked.extra = 4242;
    Param p;
    int32_t extra = 0;
    EXPECT_EQ(load(zv_test::offline_block("lumarin", "1.1.0", marked), "lumarin", "1.1.0", &p, &extra),
              ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(extra, 4242);
}

TEST(OfflineClassifier, InitRefusesWidthsThatDontFit) {
    std::mt19937 rng(4);
    auto base = [] { return zv_test::random_classifier(3, {4, 2}, 5, 8); };
    std::vector<std::pair<const char *, ClassifierBlock>> cases;
    {
        ClassifierBlock c = base();
        c.forward[0].input = zv_test::zero_fc(3, 11);
        cases.push_back({"input layer not 3H", c});
    }
    {
        ClassifierBlock c = base();
        c.backward[1] = zv_test::random_rnn(4, 3, rng);
        cases.push_back({"backward wider than forward", c});
    }
    {
        ClassifierBlock c = base();
        c.backward[0] = zv_test::random_rnn(2, 4, rng);
        cases.push_back({"backward fed another width", c});
    }
    {
        ClassifierBlock c = base();
        c.forward[1] = zv_test::random_rnn(3, 2, rng);
        c.backward[1] = zv_test::random_rnn(3, 2, rng);
        cases.push_back({"level 1 not fed level 0's width", c});
    }
    {
        ClassifierBlock c = base();
        c.output = zv_test::random_fc(4, 5, rng);
        cases.push_back({"output not fed the last level", c});
    }
    zv_memory_t memory;
    zv_memory_init(&memory);
    for (const auto &[what, c] : cases) {
        Param p = load_ok(c);
        ASSERT_NE(p, nullptr) << what;
        zv_offline_token_classifier_t *classifier = reinterpret_cast<zv_offline_token_classifier_t *>(8);
        EXPECT_EQ(zv_offline_token_classifier_init(memory, p.get(), &classifier), ZV_STATUS_INVALID_ARGUMENT) << what;
        EXPECT_EQ(classifier, nullptr);
    }
    zv_offline_token_classifier_t *classifier = nullptr;
    EXPECT_EQ(zv_offline_token_classifier_init(memory, nullptr, &classifier), ZV_STATUS_INVALID_ARGUMENT);
    zv_offline_token_classifier_delete(nullptr);
    zv_offline_token_classifier_param_delete(nullptr);
}

// The chunked, batched classifier gives what the layers give frame by frame,
// for sequences shorter and longer than a chunk and for levels wider than
// level 0; two calls give the same rows; every row sums to about 2^31.
TEST(OfflineClassifier, MatchesTheLayersFrameByFrame) {
    struct Case {
        int32_t features;
        std::vector<int32_t> hidden;
        int32_t classes;
        size_t frames;
        int lo, hi;  // weight range
    };
    const Case cases[] = {
        {3, {4}, 2, 1, -128, 127},
        {5, {6, 3}, 4, 31, -128, 127},
        {80, {16, 40, 8}, 40, 97, -20, 20},
        {7, {2, 9}, 3, 64, -128, 127},  // level 1 wider than level 0
        {28, {17}, 40, 33, -128, 127},
    };
    uint32_t seed = 100;
    for (const Case &c : cases) {
        const ClassifierBlock block = zv_test::random_classifier(c.features, c.hidden, c.classes, ++seed, 6865, false,
                                                                 c.lo, c.hi);
        Param p = load_ok(block);
        Classifier classifier = make(p.get());
        ASSERT_NE(classifier, nullptr);
        EXPECT_EQ(zv_offline_token_classifier_language(classifier.get()), 6865);
        const std::vector<int16_t> x = random_features(c.frames, c.features, ++seed, -3000, 3000);
        const std::vector<int32_t> expected = reference(p.get(), x, c.frames);
        for (int run = 0; run < 2; ++run) {
            std::vector<int32_t> got(c.frames * static_cast<size_t>(c.classes) + 1, 77);
            ASSERT_EQ(zv_offline_token_classifier_process(classifier.get(), x.data(), static_cast<int32_t>(c.frames),
                                                          got.data()),
                      ZV_STATUS_SUCCESS);
            EXPECT_EQ(got.back(), 77);  // nothing past the last row
            got.pop_back();
            ASSERT_EQ(got, expected) << c.frames << " frames, run " << run;
        }
        for (size_t t = 0; t < c.frames; ++t) {
            int64_t sum = 0;
            for (int32_t k = 0; k < c.classes; ++k) sum += expected[t * c.classes + k];
            EXPECT_NEAR(static_cast<double>(sum), 2147483648.0, 64.0);
        }
    }
}

TEST(OfflineClassifier, ExtremeFeatures) {
    const ClassifierBlock block = zv_test::random_classifier(20, {12, 12}, 6, 77);
    Param p = load_ok(block);
    Classifier classifier = make(p.get());
    const size_t frames = 45;
    std::vector<int16_t> x = random_features(frames, 20, 5);
    for (size_t i = 0; i < x.size(); i += 3) x[i] = (i & 1) ? 32767 : -32768;
    std::vector<int32_t> got(frames * 6);
    ASSERT_EQ(zv_offline_token_classifier_process(classifier.get(), x.data(), static_cast<int32_t>(frames), got.data()),
              ZV_STATUS_SUCCESS);
    EXPECT_EQ(got, reference(p.get(), x, frames));
}

TEST(OfflineClassifier, ZeroAndNegativeFrameCounts) {
    const ClassifierBlock block = zv_test::random_classifier(3, {2}, 2, 9);
    Param p = load_ok(block);
    Classifier classifier = make(p.get());
    int32_t untouched[2] = {5, 6};
    const int16_t features[3] = {1, 2, 3};
    EXPECT_EQ(zv_offline_token_classifier_process(classifier.get(), features, 0, untouched), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_offline_token_classifier_process(classifier.get(), nullptr, 0, nullptr), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_offline_token_classifier_process(classifier.get(), features, -1, untouched),
              ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_offline_token_classifier_process(classifier.get(), nullptr, 1, untouched), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_offline_token_classifier_process(classifier.get(), features, 1, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(untouched[0], 5);
    EXPECT_EQ(untouched[1], 6);
}

}  // namespace
