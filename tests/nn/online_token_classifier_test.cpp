#include "nn/online_token_classifier.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "nn/fc.h"
#include "nn/offline_token_classifier.h"
#include "support/child_process.h"
#include "support/classifier_block.h"
#include "support/temp_dir.h"

namespace {

constexpr const char *kName = "lumarin";
constexpr const char *kVersion = "1.1.0";

using zv_test::open_bytes;

zv_status_t load(const std::vector<uint8_t> &bytes, zv_online_token_classifier_param_t **param,
                 int32_t *extra = nullptr, long *position = nullptr) {
    FILE *f = open_bytes(bytes);
    EXPECT_NE(f, nullptr);
    int32_t ignored = 0;
    const zv_status_t status =
        zv_online_token_classifier_param_load2(f, kName, kVersion, extra ? extra : &ignored, param);
    if (position != nullptr) *position = std::ftell(f);
    std::fclose(f);
    return status;
}

// Weights and biases of the random networks are drawn from [-127, 127].
using Net = zv_test::ClassifierBlock;
constexpr int kLo = -127, kHi = 127;

// A random network with the given hidden widths, F inputs and K classes.
Net random_net(int32_t inputs, const std::vector<int32_t> &hidden, int32_t classes, uint32_t seed) {
    return zv_test::random_classifier(inputs, hidden, classes, seed, ZV_LANGUAGE_EN, true, kLo, kHi);
}

std::vector<uint8_t> block_of(Net net, int32_t extra = 0, int32_t language = ZV_LANGUAGE_EN,
                              const std::string &name = kName, const std::string &version = kVersion) {
    net.extra = extra;
    net.language = language;
    return zv_test::online_block(name, version, net);
}

struct Loaded {
    zv_online_token_classifier_param_t *param = nullptr;
    zv_online_token_classifier_t *classifier = nullptr;
    ~Loaded() {
        zv_online_token_classifier_delete(classifier);
        zv_online_token_classifier_param_delete(param);
    }
};

void make(const Net &net, Loaded *out) {
    ASSERT_EQ(load(block_of(net), &out->param), ZV_STATUS_SUCCESS);
    zv_memory_t memory;
    zv_memory_init(&memory);
    ASSERT_EQ(zv_online_token_classifier_init(memory, out->param, &out->classifier), ZV_STATUS_SUCCESS);
}

std::vector<int16_t> random_frames(int32_t count, int32_t width, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(-3000, 3000);
    std::vector<int16_t> frames(static_cast<size_t>(count) * width);
    for (int16_t &v : frames) v = static_cast<int16_t>(d(rng));
    return frames;
}

std::vector<int32_t> run(zv_online_token_classifier_t *c, const std::vector<int16_t> &frames, int32_t width,
                         int32_t classes) {
    const size_t count = frames.size() / width;
    std::vector<int32_t> out(count * classes);
    for (size_t t = 0; t < count; ++t) {
        EXPECT_EQ(zv_online_token_classifier_process(c, frames.data() + t * width, out.data() + t * classes),
                  ZV_STATUS_SUCCESS);
    }
    return out;
}

TEST(OnlineTokenClassifierParam, ReadsTheBlockAndStopsRightAfterIt) {
    const Net net = random_net(5, {4, 3}, 6, 1);
    std::vector<uint8_t> bytes = block_of(net, -77, ZV_LANGUAGE_NONE);
    const long size = static_cast<long>(bytes.size());
    bytes.push_back(0xAB);
    zv_online_token_classifier_param_t *param = nullptr;
    int32_t extra = 0;
    long position = 0;
    ASSERT_EQ(load(bytes, &param, &extra, &position), ZV_STATUS_SUCCESS);
    EXPECT_EQ(position, size);
    EXPECT_EQ(extra, -77);
    ASSERT_EQ(param->num_layers, 2);
    EXPECT_EQ(param->language, ZV_LANGUAGE_NONE);
    EXPECT_EQ(param->layers[1]->input->in, 4);
    EXPECT_EQ(param->layers[1]->recurrent->in, 3);
    EXPECT_EQ(param->layers[0]->input->weights[7], net.forward[0].input.weights[7]);
    EXPECT_EQ(param->layers[0]->input->bias[2], net.forward[0].input.bias[2]);
    EXPECT_EQ(param->output->out, 6);
    EXPECT_EQ(param->output->weights[17], net.output.weights[17]);
    zv_online_token_classifier_param_delete(param);
}

TEST(OnlineTokenClassifierParam, SerializeWritesTheSameBytesAndReadsBack) {
    const Net net = random_net(7, {5}, 4, 2);
    const std::vector<uint8_t> bytes = block_of(net, 123456, ZV_LANGUAGE_FR);
    zv_online_token_classifier_param_t *param = nullptr;
    ASSERT_EQ(load(bytes, &param), ZV_STATUS_SUCCESS);
    zv_test::TempDir dir;
    const std::string path = dir.path("online.bin");
    ASSERT_EQ(zv_online_token_classifier_param_serialize(param, kName, kVersion, 123456, path.c_str()),
              ZV_STATUS_SUCCESS);
    FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> written(bytes.size() + 16);
    written.resize(std::fread(written.data(), 1, written.size(), f));
    std::fclose(f);
    EXPECT_EQ(written, bytes);

    zv_online_token_classifier_param_t *back = nullptr;
    int32_t extra = 0;
    ASSERT_EQ(zv_online_token_classifier_param_load(path.c_str(), kName, kVersion, &extra, &back),
              ZV_STATUS_SUCCESS);
    EXPECT_EQ(extra, 123456);
    EXPECT_EQ(back->language, ZV_LANGUAGE_FR);
    ASSERT_EQ(back->num_layers, 1);
    EXPECT_TRUE(zv_fc_param_is_equal(back->layers[0]->input, param->layers[0]->input));
    EXPECT_TRUE(zv_fc_param_is_equal(back->layers[0]->recurrent, param->layers[0]->recurrent));
    EXPECT_TRUE(zv_fc_param_is_equal(back->output, param->output));
    zv_online_token_classifier_param_delete(back);
    zv_online_token_classifier_param_delete(param);

    EXPECT_EQ(zv_online_token_classifier_param_load(dir.path("missing").c_str(), kName, kVersion, &extra, &back),
              ZV_STATUS_IO_ERROR);
    EXPECT_EQ(back, nullptr);
}

// A small block fits in the stream's buffer, so a full device fails only
// when the file is closed: that is still a failed write.
TEST(OnlineTokenClassifierParam, SerializeReportsAFailedClose) {
    zv_online_token_classifier_param_t *param = nullptr;
    ASSERT_EQ(load(block_of(random_net(3, {2}, 3, 16)), &param), ZV_STATUS_SUCCESS);
    FILE *probe = std::fopen("/dev/full", "wb");
    if (probe == nullptr) {
        zv_online_token_classifier_param_delete(param);
        GTEST_SKIP() << "no /dev/full";
    }
    std::fclose(probe);
    EXPECT_EQ(zv_online_token_classifier_param_serialize(param, kName, kVersion, 0, "/dev/full"),
              ZV_STATUS_IO_ERROR);
    EXPECT_EQ(zv_online_token_classifier_param_serialize(param, kName, kVersion, 0, "/nonexistent/dir/x"),
              ZV_STATUS_IO_ERROR);
    EXPECT_EQ(zv_online_token_classifier_param_serialize(nullptr, kName, kVersion, 0, "x"),
              ZV_STATUS_INVALID_ARGUMENT);
    zv_online_token_classifier_param_delete(param);
}

TEST(OnlineTokenClassifierParam, MalformedBlocks) {
    const Net net = random_net(3, {2}, 3, 3);
    const std::vector<uint8_t> good = block_of(net);
    Net no_layers = net;
    no_layers.forward.clear();
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        zv_status_t status;
    };
    std::vector<Case> cases = {
        {"name", block_of(net, 0, ZV_LANGUAGE_EN, "marbo"), ZV_STATUS_INVALID_ARGUMENT},
        {"no layers", block_of(no_layers), ZV_STATUS_INVALID_ARGUMENT},
        {"language 6869", block_of(net, 0, 6869), ZV_STATUS_INVALID_ARGUMENT},
        {"language 6863", block_of(net, 0, 6863), ZV_STATUS_INVALID_ARGUMENT},
    };
    // A huge layer count over a short block runs out of bytes, not memory.
    std::vector<uint8_t> huge = good;
    zv_test::ByteWriter w;
    w.bytes(huge);
    w.patch_u32(7 + 5 + 4, 0x7FFFFFFF);
    cases.push_back({"huge layer count", w.take(), ZV_STATUS_IO_ERROR});
    // A negative count inside a layer.
    zv_test::ByteWriter neg;
    neg.bytes(good);
    neg.patch_u32(7 + 5 + 8 + 4, 0xFFFFFFFF);
    cases.push_back({"negative output count", neg.take(), ZV_STATUS_INVALID_ARGUMENT});
    // Every cut before the last byte is a short read.
    for (size_t cut = 0; cut < good.size(); ++cut) {
        cases.push_back({"cut", std::vector<uint8_t>(good.begin(), good.begin() + cut), ZV_STATUS_IO_ERROR});
    }
    for (const Case &c : cases) {
        zv_online_token_classifier_param_t *param = reinterpret_cast<zv_online_token_classifier_param_t *>(0x1);
        EXPECT_EQ(load(c.bytes, &param), c.status) << c.what << " " << c.bytes.size();
        EXPECT_EQ(param, nullptr) << c.what;
    }
}

TEST(OnlineTokenClassifierParam, VersionMismatchIsLoggedNameMismatchIsNot) {
    const Net net = random_net(3, {2}, 3, 4);
    zv_online_token_classifier_param_t *param = nullptr;
    const std::vector<uint8_t> version = block_of(net, 0, 6865, kName, "1.0.1");
    std::string out = zv_test::capture_stdout([&] { EXPECT_EQ(load(version, &param), ZV_STATUS_INVALID_ARGUMENT); });
    EXPECT_EQ(out, "\x1b[31m[ERROR] Model file version is '1.0.1' but library version is '1.1.0'\x1b[0m\n");

    const std::vector<uint8_t> name = block_of(net, 0, 6865, "lumarix");
    out = zv_test::capture_stdout([&] { EXPECT_EQ(load(name, &param), ZV_STATUS_INVALID_ARGUMENT); });
    EXPECT_EQ(out, "");

    zv_log_disable();
    out = zv_test::capture_stdout([&] { EXPECT_EQ(load(version, &param), ZV_STATUS_INVALID_ARGUMENT); });
    zv_log_enable();
    EXPECT_EQ(out, "");
    EXPECT_EQ(param, nullptr);
}

TEST(OnlineTokenClassifier, InitRefusesWidthsThatDontFit) {
    std::mt19937 rng(5);
    struct Case {
        const char *what;
        Net net;
    };
    std::vector<Case> cases;
    {
        Net n = random_net(4, {3, 2}, 5, 6);
        n.forward[1] = zv_test::random_rnn(4, 2, rng, kLo, kHi);  // reads 4, level 0 gives 3
        cases.push_back({"level 1 input", n});
    }
    {
        Net n = random_net(4, {3}, 5, 7);
        n.output = zv_test::random_fc(4, 5, rng, kLo, kHi);
        cases.push_back({"output input", n});
    }
    {
        Net n = random_net(4, {3}, 5, 8);
        n.forward[0].input = zv_test::random_fc(4, 8, rng, kLo, kHi);  // gates 8, not 9
        cases.push_back({"input gates", n});
    }
    {
        Net n = random_net(4, {3}, 5, 9);
        n.forward[0].recurrent = zv_test::random_fc(3, 6, rng, kLo, kHi);
        cases.push_back({"recurrent gates", n});
    }
    zv_memory_t memory;
    zv_memory_init(&memory);
    for (const Case &c : cases) {
        zv_online_token_classifier_param_t *param = nullptr;
        ASSERT_EQ(load(block_of(c.net), &param), ZV_STATUS_SUCCESS) << c.what;
        zv_online_token_classifier_t *classifier = reinterpret_cast<zv_online_token_classifier_t *>(0x1);
        EXPECT_EQ(zv_online_token_classifier_init(memory, param, &classifier), ZV_STATUS_INVALID_ARGUMENT)
            << c.what;
        EXPECT_EQ(classifier, nullptr);
        zv_online_token_classifier_param_delete(param);
    }

    // Counts not above zero in a record built by hand.
    zv_online_token_classifier_param_t *param = nullptr;
    ASSERT_EQ(load(block_of(random_net(4, {3}, 5, 10)), &param), ZV_STATUS_SUCCESS);
    zv_online_token_classifier_t *classifier = nullptr;
    param->num_layers = 0;
    EXPECT_EQ(zv_online_token_classifier_init(memory, param, &classifier), ZV_STATUS_INVALID_ARGUMENT);
    param->num_layers = 1;
    param->output->out = 0;
    EXPECT_EQ(zv_online_token_classifier_init(memory, param, &classifier), ZV_STATUS_INVALID_ARGUMENT);
    param->output->out = 5;
    EXPECT_EQ(zv_online_token_classifier_init(memory, nullptr, &classifier), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_online_token_classifier_init(memory, param, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(classifier, nullptr);
    zv_online_token_classifier_param_delete(param);
}

TEST(OnlineTokenClassifier, StateCarriesAcrossFramesUntilReset) {
    const Net net = random_net(6, {5}, 4, 11);
    Loaded a, b;
    make(net, &a);
    make(net, &b);
    const std::vector<int16_t> frames = random_frames(10, 6, 12);
    const std::vector<int32_t> first = run(a.classifier, frames, 6, 4);
    // A fresh classifier and a reset one give the same results.
    EXPECT_EQ(run(b.classifier, frames, 6, 4), first);
    zv_online_token_classifier_reset(a.classifier);
    EXPECT_EQ(run(a.classifier, frames, 6, 4), first);
    // The same frame at another position sees another context.
    zv_online_token_classifier_reset(a.classifier);
    std::vector<int16_t> repeated;
    for (int i = 0; i < 3; ++i) repeated.insert(repeated.end(), frames.begin(), frames.begin() + 6);
    const std::vector<int32_t> r = run(a.classifier, repeated, 6, 4);
    EXPECT_NE(std::vector<int32_t>(r.begin(), r.begin() + 4), std::vector<int32_t>(r.begin() + 4, r.begin() + 8));
    EXPECT_EQ(zv_online_token_classifier_language(a.classifier), ZV_LANGUAGE_EN);
    for (size_t t = 0; t < 10; ++t) {
        int64_t sum = 0;
        for (int k = 0; k < 4; ++k) sum += first[t * 4 + k];
        EXPECT_NEAR(static_cast<double>(sum), 2147483648.0, 64.0);
    }
}

// Streaming gives the same bits on every kernel set this processor runs,
// the set chosen when the classifier is made; widths either side of the
// vector blocks.
TEST(OnlineTokenClassifier, SameResultsOnEveryKernelSet) {
    const Net net = random_net(37, {21, 40}, 17, 13);
    const std::vector<int16_t> frames = random_frames(60, 37, 14);
    std::vector<int32_t> scalar;
    for (zv_fc_kernel_set_t set : {ZV_FC_KERNELS_SCALAR, ZV_FC_KERNELS_AVX2, ZV_FC_KERNELS_AVX512}) {
        if (!zv_fc_kernel_set_is_available(set)) continue;
        zv_fc_kernel_set_limit(set);
        Loaded loaded;
        make(net, &loaded);
        zv_fc_kernel_set_limit(ZV_FC_KERNELS_AVX512);
        const std::vector<int32_t> out = run(loaded.classifier, frames, 37, 17);
        if (set == ZV_FC_KERNELS_SCALAR) {
            scalar = out;
        } else {
            EXPECT_EQ(out, scalar) << "set " << set;
        }
    }
}

// With backward layers that give zero, the offline classifier's rows are the
// online classifier's frame by frame; a level wider than level 0 included.
TEST(OnlineTokenClassifier, MatchesTheOfflineClassifierWithSilentBackwardLayers) {
    for (const std::vector<int32_t> &hidden : {std::vector<int32_t>{8}, std::vector<int32_t>{4, 9, 3}}) {
        const int32_t F = 5, K = 6, T = 13;
        const Net net = random_net(F, hidden, K, 13);
        Loaded online;
        make(net, &online);

        Net with_backward = net;
        int32_t in = F;
        for (int32_t h : hidden) {
            with_backward.backward.push_back(zv_test::zero_rnn(in, h));
            in = h;
        }
        const std::vector<uint8_t> offline_bytes = zv_test::offline_block(kName, kVersion, with_backward);
        FILE *f = open_bytes(offline_bytes);
        int32_t extra = 0;
        zv_offline_token_classifier_param_t *param = nullptr;
        ASSERT_EQ(zv_offline_token_classifier_param_load2(f, kName, kVersion, &extra, &param), ZV_STATUS_SUCCESS);
        std::fclose(f);
        zv_memory_t memory;
        zv_memory_init(&memory);
        zv_offline_token_classifier_t *offline = nullptr;
        ASSERT_EQ(zv_offline_token_classifier_init(memory, param, &offline), ZV_STATUS_SUCCESS);
        const std::vector<int16_t> frames = random_frames(T, F, 14);
        std::vector<int32_t> expected(static_cast<size_t>(T) * K);
        ASSERT_EQ(zv_offline_token_classifier_process(offline, frames.data(), T, expected.data()),
                  ZV_STATUS_SUCCESS);
        zv_offline_token_classifier_delete(offline);
        zv_offline_token_classifier_param_delete(param);

        EXPECT_EQ(run(online.classifier, frames, F, K), expected) << hidden.size();
    }
}

TEST(OnlineTokenClassifier, ProcessArgumentsAndNullDelete) {
    Loaded a;
    make(random_net(2, {2}, 2, 15), &a);
    int16_t frame[2] = {1, 2};
    int32_t p[2];
    EXPECT_EQ(zv_online_token_classifier_process(nullptr, frame, p), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_online_token_classifier_process(a.classifier, nullptr, p), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_online_token_classifier_process(a.classifier, frame, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    zv_online_token_classifier_delete(nullptr);
    zv_online_token_classifier_param_delete(nullptr);
}

}  // namespace
