#include "nn/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "nn/signal_reference.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

class Fft : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(zv_memory_init(&memory_), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_fft_init(memory_, &fft_), ZV_STATUS_SUCCESS);
        ASSERT_NE(fft_, nullptr);
    }
    void TearDown() override { zv_fft_delete(fft_); }

    std::vector<float> run(const std::vector<float> &in) {
        std::vector<float> out(514, -7.0f);
        EXPECT_EQ(zv_fft_compute(fft_, in.data(), out.data()), ZV_STATUS_SUCCESS);
        return out;
    }

    zv_memory_t memory_ = 0;
    zv_fft_t *fft_ = nullptr;
};

std::vector<float> tone(double bin, bool sine, double amplitude = 1.0) {
    std::vector<float> x(512);
    for (int n = 0; n < 512; ++n) {
        const double phase = 2 * kPi * bin * n / 512;
        x[n] = static_cast<float>(amplitude * (sine ? std::sin(phase) : std::cos(phase)));
    }
    return x;
}

TEST_F(Fft, SimpleSignals) {
    std::vector<float> out = run(std::vector<float>(512, 0.0f));
    for (float v : out) EXPECT_EQ(v, 0.0f);

    out = run(std::vector<float>(512, 1.0f));
    EXPECT_FLOAT_EQ(out[0], 1.0f);
    for (int i = 1; i < 514; ++i) EXPECT_NEAR(out[i], 0.0f, 1e-6) << i;

    std::vector<float> alternating(512);
    for (int n = 0; n < 512; ++n) alternating[n] = n % 2 ? -1.0f : 1.0f;
    out = run(alternating);
    EXPECT_FLOAT_EQ(out[512], 1.0f);
    for (int i = 0; i < 512; ++i) EXPECT_NEAR(out[i], 0.0f, 1e-6) << i;

    std::vector<float> impulse(512, 0.0f);
    impulse[0] = 1.0f;
    out = run(impulse);
    EXPECT_FLOAT_EQ(out[0], 1.0f / 512);
    EXPECT_FLOAT_EQ(out[512], 1.0f / 512);
    for (int k = 1; k < 256; ++k) {
        EXPECT_NEAR(out[2 * k], 1.0f / 256, 1e-8) << k;
        EXPECT_NEAR(out[2 * k + 1], 0.0f, 1e-8) << k;
    }

    out = run(tone(5, false));
    EXPECT_NEAR(out[10], 1.0f, 1e-5);
    EXPECT_NEAR(out[11], 0.0f, 1e-5);
    out = run(tone(5, true));
    EXPECT_NEAR(out[10], 0.0f, 1e-5);
    EXPECT_NEAR(out[11], -1.0f, 1e-5);
}

// A cosine of amplitude A at any bin shows as magnitude A there (one-sided scaling).
TEST_F(Fft, AmplitudeAtEveryBin) {
    for (int k = 0; k <= 256; ++k) {
        const std::vector<float> out = run(tone(k, false, 3.0));
        EXPECT_NEAR(std::hypot(out[2 * k], out[2 * k + 1]), 3.0, 1e-4) << k;
    }
}

TEST_F(Fft, MatchesDftAndReferenceBitForBit) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-32768.0f, 32767.0f);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<float> in(512);
        for (float &v : in) v = dist(rng);
        const std::vector<float> out = run(in);
        EXPECT_EQ(out[1], 0.0f);
        EXPECT_EQ(out[513], 0.0f);
        std::vector<float> ref(514);
        signal_ref::fft(in.data(), ref.data());
        ASSERT_EQ(std::memcmp(out.data(), ref.data(), sizeof(float) * 514), 0) << trial;
        for (int k = 0; k <= 256; ++k) {
            double re = 0, im = 0;
            for (int n = 0; n < 512; ++n) {
                re += in[n] * std::cos(2 * kPi * k * n / 512);
                im -= in[n] * std::sin(2 * kPi * k * n / 512);
            }
            const double scale = (k == 0 || k == 256) ? 512 : 256;
            ASSERT_NEAR(out[2 * k], re / scale, 0.05) << k;
            ASSERT_NEAR(out[2 * k + 1], im / scale, 0.05) << k;
        }
    }
}

// The bits of a fixed transform, folded into one checksum.
TEST_F(Fft, PinnedChecksum) {
    std::vector<float> in(512);
    uint64_t hash = 1469598103934665603ull;
    for (int trial = 0; trial < 50; ++trial) {
        for (int n = 0; n < 512; ++n) in[n] = static_cast<float>((n * 7919 + trial * 104729) % 65536 - 32768) * 0.75f;
        for (float v : run(in)) {
            uint32_t bits;
            std::memcpy(&bits, &v, 4);
            hash = (hash ^ bits) * 1099511628211ull;
        }
    }
    EXPECT_EQ(hash, 15579057574184094658ull);
}

// The vector transform must give exactly the scalar bits, signs of zero included.
TEST(FftKernels, VectorMatchesScalar) {
    if (!zv_fft_avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> dist(-40000.0f, 40000.0f);
    std::vector<float> in(512), work(512), a(514), b(514);
    for (int trial = 0; trial < 2000; ++trial) {
        for (float &v : in) v = dist(rng);
        if (trial % 4 == 1) {
            for (int n = 0; n < 512; ++n) in[n] = (n * 37 + trial) % 5 == 0 ? in[n] : 0.0f;
        } else if (trial % 4 == 2) {
            for (int n = 0; n < 512; ++n) in[n] = std::round(in[n] / 1000.0f) * (n % 3 ? -0.0f : 1.0f);
        }
        zv_fft_transform_scalar(in.data(), work.data(), a.data());
        zv_fft_transform_avx2(in.data(), work.data(), b.data());
        ASSERT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * 514), 0) << trial;
    }
}

TEST(FftRecord, NullArguments) {
    zv_memory_t memory = 0;
    zv_memory_init(&memory);
    EXPECT_EQ(zv_fft_init(memory, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    zv_fft_t *fft = nullptr;
    ASSERT_EQ(zv_fft_init(memory, &fft), ZV_STATUS_SUCCESS);
    std::vector<float> in(512, 1.0f), out(514, 5.0f);
    EXPECT_EQ(zv_fft_compute(nullptr, in.data(), out.data()), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_fft_compute(fft, nullptr, out.data()), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_fft_compute(fft, in.data(), nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(out, std::vector<float>(514, 5.0f));
    zv_fft_delete(fft);
    zv_fft_delete(nullptr);
}

}  // namespace
