#include "nn/stft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "nn/signal_reference.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct StftDeleter {
    void operator()(zv_stft_t *s) const { zv_stft_delete(s); }
};
using StftPtr = std::unique_ptr<zv_stft_t, StftDeleter>;

StftPtr make(int32_t hop) {
    zv_memory_t memory = 0;
    zv_memory_init(&memory);
    zv_stft_t *stft = nullptr;
    EXPECT_EQ(zv_stft_init(memory, hop, &stft), ZV_STATUS_SUCCESS) << hop;
    return StftPtr(stft);
}

std::vector<float> compute(zv_stft_t *stft, const std::vector<float> &in) {
    std::vector<float> power(257, -1.0f);
    EXPECT_EQ(zv_stft_compute(stft, in.data(), power.data()), ZV_STATUS_SUCCESS);
    return power;
}

std::vector<float> random_samples(std::mt19937 &rng, int n) {
    std::uniform_real_distribution<float> dist(-32768.0f, 32767.0f);
    std::vector<float> v(n);
    for (float &x : v) x = dist(rng);
    return v;
}

TEST(Stft, RefusesBadArguments) {
    zv_memory_t memory = 0;
    zv_memory_init(&memory);
    for (int32_t hop : {0, -1, 513, INT32_MIN, INT32_MAX}) {
        zv_stft_t *stft = reinterpret_cast<zv_stft_t *>(&memory);
        EXPECT_EQ(zv_stft_init(memory, hop, &stft), ZV_STATUS_INVALID_ARGUMENT) << hop;
        EXPECT_EQ(stft, nullptr);
    }
    EXPECT_EQ(zv_stft_init(memory, 256, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    zv_stft_delete(nullptr);
    zv_stft_reset(nullptr);

    StftPtr stft = make(256);
    std::vector<float> in(256, 1.0f), power(257, 5.0f);
    EXPECT_EQ(zv_stft_compute(nullptr, in.data(), power.data()), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_stft_compute(stft.get(), nullptr, power.data()), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_stft_compute(stft.get(), in.data(), nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(power, std::vector<float>(257, 5.0f));
}

TEST(Stft, HistoryAndReset) {
    StftPtr stft = make(256);
    std::mt19937 rng(1);
    const std::vector<float> x = random_samples(rng, 256);
    const std::vector<float> zeros(256, 0.0f);

    for (float p : compute(stft.get(), zeros)) EXPECT_EQ(p, 0.0f);
    const std::vector<float> first = compute(stft.get(), x);
    const std::vector<float> second = compute(stft.get(), x);
    const std::vector<float> third = compute(stft.get(), x);
    EXPECT_NE(first, second);  // the first frame is half zeros
    EXPECT_EQ(second, third);

    zv_stft_reset(stft.get());
    EXPECT_EQ(compute(stft.get(), x), first);
}

// Random hops and signals through the analyser and through a literal reading
// of its arithmetic: the same bits, frame after frame.
TEST(Stft, MatchesReferenceBitForBit) {
    std::mt19937 rng(2);
    for (int32_t hop : {1, 100, 255, 256, 257, 400, 511, 512}) {
        StftPtr stft = make(hop);
        signal_ref::Filterbank ref(hop);
        for (int frame = 0; frame < 6; ++frame) {
            const std::vector<float> x = random_samples(rng, hop);
            const std::vector<float> got = compute(stft.get(), x);
            std::vector<float> want(257);
            ref.power(x.data(), want.data());
            ASSERT_EQ(std::memcmp(got.data(), want.data(), sizeof(float) * 257), 0) << hop << " " << frame;
        }
    }
}

// A cosine of amplitude A at a bin centre, through the Hann window (coherent
// gain about 1/2), shows about (A / 2)^2 at its bin.
TEST(Stft, ToneLandsInItsBin) {
    StftPtr stft = make(512);
    std::vector<float> x(512);
    for (int n = 0; n < 512; ++n) x[n] = static_cast<float>(1000.0 * std::cos(2 * kPi * 40 * n / 512));
    const std::vector<float> power = compute(stft.get(), x);
    EXPECT_NEAR(power[40], 500.0 * 500.0, 500.0 * 500.0 * 0.01);
    EXPECT_NEAR(power[39], 250.0 * 250.0, 250.0 * 250.0 * 0.02);
    EXPECT_LT(power[45], 1.0);
}

}  // namespace
