#include "nn/fixed_point.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// Reference tables built from their defining rules in long double.
int64_t round_half_up(long double v) { return static_cast<int64_t>(std::floor(v + 0.5L)); }

std::vector<int32_t> log_table() {
    std::vector<int32_t> t(513);
    for (int i = 0; i <= 512; ++i) t[i] = round_half_up(1024.0L * std::log10((512.0L + i) / 2048.0L));
    return t;
}

std::vector<int64_t> exp_table(long double step) {
    std::vector<int64_t> t(128);
    for (int i = 0; i < 128; ++i) t[i] = round_half_up(2147483647.0L * std::exp(-i * step));
    return t;
}

std::vector<int32_t> sigmoid_table() {
    std::vector<int32_t> t(257);
    for (int k = 0; k <= 256; ++k) {
        const long double x = (k < 128 ? 64.0L * k : 64.0L * (k - 256)) / 1024.0L;
        t[k] = round_half_up(32767.0L / (1.0L + std::exp(-x)));
    }
    return t;
}

int16_t ref_log10(int64_t x, const std::vector<int32_t> &table) {
    if (x <= 0) return -32768;
    int n = 0;
    if (x >= (INT64_C(1) << 62)) {
        x >>= 1;
        n = -1;
    }
    while (x < (INT64_C(1) << 61)) {
        x <<= 1;
        ++n;
    }
    const int i = static_cast<int>(((x + (INT64_C(1) << 51)) >> 52) - 512);
    return static_cast<int16_t>(std::clamp(table[i] - 308 * n, -32768, 32767));
}

int16_t ref_sigmoid(int32_t x, const std::vector<int32_t> &t) {
    x = std::clamp(x, -8192, 8128);
    const int32_t u = x & 0x3FFF, f = x & 63;
    return static_cast<int16_t>((t[u >> 6] * (64 - f) + t[(u + 63) >> 6] * f) >> 6);
}

TEST(FixedPointLog10, KnownValues) {
    const struct {
        int64_t x;
        int16_t want;
    } cases[] = {
        {0, -32768},
        {1, -19405},
        {INT64_C(1) << 31, -9857},
        {INT64_C(1) << 32, -9549},
        {INT64_C(1) << 61, -617},
        {INT64_C(1) << 62, -309},
        {INT64_MAX, 0},
        // Never passed by callers; must not loop or read outside the table.
        {-1, -32768},
        {INT64_MIN, -32768},
    };
    for (const auto &c : cases) EXPECT_EQ(zv_log10(c.x), c.want) << c.x;
}

TEST(FixedPointLog10, MatchesRuleAcrossOctavesAndTableSlots) {
    const std::vector<int32_t> table = log_table();
    EXPECT_EQ(table[0], -617);
    EXPECT_EQ(table[256], -436);
    EXPECT_EQ(table[512], -308);
    // Every slot of every octave, at the slot, around its rounding boundary and at ±1.
    for (int shift = 0; shift <= 62; ++shift) {
        for (int64_t m = 1; m < 4096; ++m) {
            const long double v = std::ldexp(static_cast<long double>(m), shift) / 4096.0L;
            if (v < 1.0L || v > 9.2233720368547758e18L) continue;
            const int64_t x = static_cast<int64_t>(std::min(v, 9.2233720368547758e18L - 1024.0L));
            for (int64_t d : {INT64_C(-1), INT64_C(0), INT64_C(1)}) {
                const int64_t y = x + d;
                if (y < 1) continue;
                ASSERT_EQ(zv_log10(y), ref_log10(y, table)) << y;
            }
        }
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000; ++i) {
        const int64_t x = static_cast<int64_t>(rng() >> (rng() % 64));
        ASSERT_EQ(zv_log10(x), ref_log10(x, table)) << x;
    }
    for (int64_t x = 1; x < 70000; ++x) ASSERT_EQ(zv_log10(x), ref_log10(x, table)) << x;
}

TEST(FixedPointLog10, CloseToTrueLogarithm) {
    // 308 units per octave instead of 308.25 drifts upward by at most about 16 units.
    std::mt19937_64 rng(11);
    for (int i = 0; i < 100000; ++i) {
        const int64_t x = static_cast<int64_t>(rng() >> (1 + rng() % 63)) | 1;
        const long double exact = 1024.0L * std::log10(static_cast<long double>(x) / 9.223372036854775808e18L);
        const long double got = zv_log10(x);
        ASSERT_GE(got - exact, -1.5L) << x;
        ASSERT_LE(got - exact, 17.0L) << x;
    }
}

TEST(FixedPointExp, KnownValues) {
    const struct {
        int16_t x;
        int32_t want;
    } cases[] = {
        {0, 2147483646},  {-1, 2145387518}, {-1024, 790015084}, {-2048, 290630308}, {-10240, 97496},
        {-16383, 242},    {-16384, 242},    {-32767, 242},      {-32768, 242},
        // Never passed by callers; treated as 0 instead of reading past the tables.
        {1, 2147483646},  {32767, 2147483646},
    };
    for (const auto &c : cases) EXPECT_EQ(zv_exp(c.x), c.want) << c.x;
}

TEST(FixedPointExp, ExhaustiveAgainstRule) {
    const std::vector<int64_t> fine = exp_table(1.0L / 1024.0L);
    const std::vector<int64_t> coarse = exp_table(1.0L / 8.0L);
    EXPECT_EQ(fine[1], 2145387519);
    EXPECT_EQ(fine[127], 1896999301);
    EXPECT_EQ(coarse[1], 1895147667);
    EXPECT_EQ(coarse[8], 790015084);
    EXPECT_EQ(coarse[127], 274);
    for (int32_t x = -32767; x <= 0; ++x) {
        const int32_t y = std::min(-x, 16383);
        const int64_t want = std::min<int64_t>((fine[y & 127] * coarse[y >> 7] + (INT64_C(1) << 30)) >> 31, INT32_MAX);
        ASSERT_EQ(zv_exp(static_cast<int16_t>(x)), want) << x;
        // Within a few units of the real exponential down to the floor.
        if (y < 16383) {
            const long double exact = 2147483647.0L * std::exp(x / 1024.0L);
            ASSERT_NEAR(static_cast<long double>(want), exact, 2.0L + exact * 1e-9L) << x;
        }
    }
}

TEST(FixedPointSigmoid, KnownValues) {
    const struct {
        int16_t x, want;
    } cases[] = {
        {0, 16384},      {1, 16391},     {64, 16895},     {1024, 23955}, {8128, 32755},
        {8129, 32755},   {32767, 32755}, {-1, 16376},     {-1024, 8812}, {-8192, 11},
        {-8193, 11},     {-32768, 11},
    };
    for (const auto &c : cases) {
        int16_t out = 0;
        zv_sigmoid(1, &c.x, &out);
        EXPECT_EQ(out, c.want) << c.x;
    }
}

TEST(FixedPointTanh, KnownValues) {
    const struct {
        int16_t x, want;
    } cases[] = {
        {0, 0},         {1, 30},         {1024, 24954},  {-1024, -24956}, {4064, 32742},
        {32767, 32742}, {-4096, -32746}, {-32768, -32746},
    };
    for (const auto &c : cases) {
        int16_t out = 0;
        zv_tanh(1, &c.x, &out);
        EXPECT_EQ(out, c.want) << c.x;
    }
}

struct Kernels {
    const char *name;
    void (*sigmoid)(int32_t, const int16_t *, int16_t *);
    void (*tanh)(int32_t, const int16_t *, int16_t *);
    bool needs_avx2;
};

const Kernels kKernels[] = {
    {"dispatch", zv_sigmoid, zv_tanh, false},
    {"scalar", zv_sigmoid_scalar, zv_tanh_scalar, false},
    {"avx2", zv_sigmoid_avx2, zv_tanh_avx2, true},
};

class GateKernels : public ::testing::TestWithParam<Kernels> {
protected:
    void SetUp() override {
        if (GetParam().needs_avx2 && !zv_fixed_point_avx2_available()) GTEST_SKIP() << "no AVX2 on this machine";
    }
};

// Every int16 input, through one call over the whole range, in place and not.
TEST_P(GateKernels, ExhaustiveAgainstRule) {
    const Kernels &k = GetParam();
    const std::vector<int32_t> t = sigmoid_table();
    EXPECT_EQ(t[0], 16384);
    EXPECT_EQ(t[256], 16384);
    EXPECT_EQ(t[1], 16895);
    EXPECT_EQ(t[127], 32755);
    EXPECT_EQ(t[128], 11);
    EXPECT_EQ(t[255], 15872);
    std::vector<int16_t> in(65536), sig(65536), tanh_out(65536);
    for (int i = 0; i < 65536; ++i) in[i] = static_cast<int16_t>(i - 32768);
    k.sigmoid(65536, in.data(), sig.data());
    k.tanh(65536, in.data(), tanh_out.data());
    std::vector<int16_t> sig_inplace = in, tanh_inplace = in;
    k.sigmoid(65536, sig_inplace.data(), sig_inplace.data());
    k.tanh(65536, tanh_inplace.data(), tanh_inplace.data());
    for (int i = 0; i < 65536; ++i) {
        const int32_t x = in[i];
        const int16_t s = ref_sigmoid(x, t);
        const int16_t th = static_cast<int16_t>(
            std::max(2 * ref_sigmoid(std::clamp(2 * x, -32768, 32767), t) - 32768, -32768));
        ASSERT_EQ(sig[i], s) << x;
        ASSERT_EQ(tanh_out[i], th) << x;
        ASSERT_EQ(sig_inplace[i], s) << x;
        ASSERT_EQ(tanh_inplace[i], th) << x;
        // Interpolation stays within a few Q15 units of the real curves inside the table's range.
        if (x >= -8192 && x <= 8128) {
            ASSERT_NEAR(s, 32767.0 / (1.0 + std::exp(-x / 1024.0)), 10.0) << x;
        }
        if (x >= -4096 && x <= 4064) {
            ASSERT_NEAR(th, 32767.0 * std::tanh(x / 1024.0), 20.0) << x;
        }
        if (i > 0) {
            ASSERT_GE(sig[i], sig[i - 1]) << x;
            ASSERT_GE(tanh_out[i], tanh_out[i - 1]) << x;
        }
    }
}

// Odd lengths and offsets on random inputs against the scalar kernels; the
// element after the output stays as it was.
TEST_P(GateKernels, MatchesScalarAtAnyLength) {
    const Kernels &k = GetParam();
    std::mt19937 rng(21);
    for (int32_t n : {1, 7, 8, 9, 15, 16, 17, 37, 127, 1031}) {
        for (int offset = 0; offset < 3; ++offset) {
            std::vector<int16_t> in(n + offset + 1);
            for (int16_t &v : in) v = static_cast<int16_t>(rng());
            std::vector<int16_t> want(n + 1, 777), got(n + 1, 777);
            zv_sigmoid_scalar(n, in.data() + offset, want.data());
            k.sigmoid(n, in.data() + offset, got.data());
            ASSERT_EQ(got, want) << k.name << " sigmoid " << n;
            zv_tanh_scalar(n, in.data() + offset, want.data());
            k.tanh(n, in.data() + offset, got.data());
            ASSERT_EQ(got, want) << k.name << " tanh " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, GateKernels, ::testing::ValuesIn(kKernels),
                         [](const ::testing::TestParamInfo<Kernels> &info) { return std::string(info.param.name); });

TEST(FixedPointSigmoidTanh, CountZeroOrBelowLeavesOutputUntouched) {
    const int16_t in[2] = {1000, -1000};
    for (int32_t n : {0, -1, INT32_MIN}) {
        int16_t out[2] = {123, 456};
        zv_sigmoid(n, in, out);
        EXPECT_EQ(out[0], 123);
        EXPECT_EQ(out[1], 456);
        zv_tanh(n, in, out);
        EXPECT_EQ(out[0], 123);
        EXPECT_EQ(out[1], 456);
    }
}

}  // namespace
