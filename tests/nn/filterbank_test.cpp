#include "nn/filterbank.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "nn/signal_reference.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct FilterbankDeleter {
    void operator()(zv_filterbank_t *f) const { zv_filterbank_delete(f); }
};
using FilterbankPtr = std::unique_ptr<zv_filterbank_t, FilterbankDeleter>;

FilterbankPtr make(int32_t frame_length) {
    zv_memory_t memory = 0;
    zv_memory_init(&memory);
    zv_filterbank_t *fb = nullptr;
    EXPECT_EQ(zv_filterbank_init(memory, frame_length, &fb), ZV_STATUS_SUCCESS) << frame_length;
    return FilterbankPtr(fb);
}

std::vector<int16_t> compute(zv_filterbank_t *fb, const std::vector<int16_t> &pcm) {
    std::vector<int16_t> features(40, 12345);
    EXPECT_EQ(zv_filterbank_compute(fb, pcm.data(), features.data()), ZV_STATUS_SUCCESS);
    return features;
}

std::vector<int16_t> tone(int n, double hz, double amplitude, int offset = 0) {
    std::vector<int16_t> pcm(n);
    for (int i = 0; i < n; ++i) {
        pcm[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * kPi * hz * (i + offset) / 16000.0)));
    }
    return pcm;
}

TEST(Filterbank, RefusesBadArguments) {
    zv_memory_t memory = 0;
    zv_memory_init(&memory);
    for (int32_t length : {0, -1, 513, INT32_MIN, INT32_MAX}) {
        zv_filterbank_t *fb = reinterpret_cast<zv_filterbank_t *>(&memory);
        EXPECT_EQ(zv_filterbank_init(memory, length, &fb), ZV_STATUS_INVALID_ARGUMENT) << length;
        EXPECT_EQ(fb, nullptr);
    }
    EXPECT_EQ(zv_filterbank_init(memory, 256, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    zv_filterbank_delete(nullptr);
    zv_filterbank_reset(nullptr);
    zv_filterbank_normalize(nullptr, nullptr, nullptr);

    FilterbankPtr fb = make(256);
    std::vector<int16_t> pcm(256, 1), features(40, 5);
    EXPECT_EQ(zv_filterbank_compute(nullptr, pcm.data(), features.data()), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_filterbank_compute(fb.get(), nullptr, features.data()), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_filterbank_compute(fb.get(), pcm.data(), nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(features, std::vector<int16_t>(40, 5));
}

TEST(Filterbank, SilenceGivesTheFloor) {
    FilterbankPtr fb = make(256);
    const std::vector<int16_t> silence(256, 0);
    for (int16_t v : compute(fb.get(), silence)) EXPECT_EQ(v, -32768);
    compute(fb.get(), tone(256, 1000, 8000));
    zv_filterbank_reset(fb.get());
    for (int16_t v : compute(fb.get(), silence)) EXPECT_EQ(v, -32768);
}

// Noise, tones, clipping square waves and silence, frame after frame, against
// a literal reading of the whole front end: the same 40 values every time.
TEST(Filterbank, MatchesReferenceBitForBit) {
    std::mt19937 rng(9);
    for (int32_t length : {256, 1, 160, 511, 512}) {
        FilterbankPtr fb = make(length);
        signal_ref::Filterbank ref(length);
        const int frames = length == 1 ? 600 : 40;
        for (int frame = 0; frame < frames; ++frame) {
            std::vector<int16_t> pcm(length);
            const int kind = frame % 5;
            const int amplitude = 1 << (rng() % 16);
            for (int i = 0; i < length; ++i) {
                const int t = frame * length + i;
                switch (kind) {
                case 0: pcm[i] = static_cast<int16_t>(static_cast<int>(rng() % (2 * amplitude + 1)) - amplitude); break;
                case 1: pcm[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(t * 0.37) * 0.999)); break;
                case 2: pcm[i] = (t / 17) % 2 ? 32767 : -32768; break;
                case 3: pcm[i] = 0; break;
                default: pcm[i] = static_cast<int16_t>(rng()); break;
                }
            }
            if (frame == 25) {
                zv_filterbank_reset(fb.get());
                ref = signal_ref::Filterbank(length);
            }
            const std::vector<int16_t> got = compute(fb.get(), pcm);
            std::vector<int16_t> want(40);
            ref.compute(pcm.data(), want.data());
            ASSERT_EQ(got, want) << "length " << length << " frame " << frame;
        }
    }
}

// A full-scale tone at 7031.25 Hz puts more than 2^30 of energy into band 38:
// the scaled sum passes 2^63 and must saturate to the largest value, 0.
TEST(Filterbank, FullScaleToneSaturatesItsBand) {
    FilterbankPtr fb = make(256);
    signal_ref::Filterbank ref(256);
    std::vector<int16_t> features, want(40);
    for (int frame = 0; frame < 4; ++frame) {
        const std::vector<int16_t> pcm = tone(256, 7031.25, 32767, frame * 256);
        features = compute(fb.get(), pcm);
        ref.compute(pcm.data(), want.data());
    }
    ASSERT_GE(ref.last_sums[38], 1073741824.0f);  // 2^30: scaled by 2^33 it reaches 2^63
    EXPECT_EQ(features[38], 0);
    for (int b = 0; b < 36; ++b) EXPECT_LT(features[b], features[38]) << b;
}

TEST(Filterbank, StateCarriesAcrossFrames) {
    const std::vector<int16_t> a = tone(256, 440, 12000);
    const std::vector<int16_t> b = tone(256, 2500, 9000);
    FilterbankPtr fb = make(256);
    compute(fb.get(), a);
    const std::vector<int16_t> after_a = compute(fb.get(), b);
    zv_filterbank_reset(fb.get());
    const std::vector<int16_t> after_reset = compute(fb.get(), b);
    EXPECT_NE(after_a, after_reset);
    // Reset gives back the state after init.
    FilterbankPtr fresh = make(256);
    EXPECT_EQ(compute(fresh.get(), b), after_reset);
}

// The features of a fixed signal, folded into one checksum: stored indexes
// and trained tables depend on these exact values, so any drift in the
// arithmetic (contraction, reordering, another table) shows here.
TEST(Filterbank, PinnedChecksum) {
    FilterbankPtr fb = make(256);
    // Integer synthesis only (no libm): a rising triangle chirp plus noise.
    uint32_t seed = 12345, phase = 0, step = 1 << 20;
    uint64_t hash = 1469598103934665603ull;
    for (int frame = 0; frame < 400; ++frame) {
        std::vector<int16_t> pcm(256);
        for (int i = 0; i < 256; ++i) {
            seed = seed * 1664525u + 1013904223u;
            phase += step;
            step += 20000;
            const int32_t triangle = std::abs(static_cast<int32_t>(phase >> 16) - 32768) - 16384;
            pcm[i] = static_cast<int16_t>(triangle + static_cast<int32_t>(seed >> 22) - 512);
        }
        for (int16_t v : compute(fb.get(), pcm)) {
            hash = (hash ^ static_cast<uint16_t>(v)) * 1099511628211ull;
        }
    }
    EXPECT_EQ(hash, 10278661129132742578ull);
}

TEST(FilterbankNormalize, DefaultTables) {
    std::vector<int16_t> f(40, -32768);
    f[0] = -8912;
    zv_filterbank_normalize(f.data(), nullptr, nullptr);
    EXPECT_EQ(f[0], 0);
    EXPECT_EQ(f[1], ((-32768 + 8258) * 774) >> 10);
    EXPECT_EQ(f[39], ((-32768 + 7448) * 714) >> 10);
    std::vector<int16_t> g(40, -32768);
    zv_filterbank_normalize(g.data(), nullptr, nullptr);
    EXPECT_EQ(g[0], -17124);
}

TEST(FilterbankNormalize, CallerTablesShiftDownAndSaturate) {
    std::vector<int16_t> mean(40, 0), scale(40, 1024);
    const struct {
        int16_t feature, mean, scale, want;
    } cases[] = {
        {100, 0, 1024, 100},       {-1, 0, 1, -1},           // rounds toward minus infinity
        {1, 0, 1, 0},              {32767, -32768, 32767, 32767},
        {-32768, 32767, 32767, -32768}, {-32768, 32767, -32768, 32767},
        {5000, 1000, 2048, 8000},  {0, 0, 0, 0},
    };
    std::vector<int16_t> f(40, 0);
    for (size_t i = 0; i < std::size(cases); ++i) {
        f[i] = cases[i].feature;
        mean[i] = cases[i].mean;
        scale[i] = cases[i].scale;
    }
    zv_filterbank_normalize(f.data(), mean.data(), scale.data());
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(f[i], cases[i].want) << i;
}

}  // namespace
