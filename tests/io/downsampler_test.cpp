#include "io/downsampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

struct Owned {
    zv_downsampler_t *d = nullptr;
    ~Owned() { zv_downsampler_delete(d); }
};

zv_downsampler_t *make(int32_t in, int32_t out, int32_t order, Owned &owner) {
    EXPECT_EQ(zv_downsampler_init(in, out, order, &owner.d), ZV_STATUS_SUCCESS) << in << " " << out;
    return owner.d;
}

std::vector<int16_t> random_signal(size_t n, uint32_t seed, int amplitude = 20000) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-amplitude, amplitude);
    std::vector<int16_t> x(n);
    for (auto &v : x) v = static_cast<int16_t>(dist(rng));
    return x;
}

// The filtered stream over the whole input, x[a] = 0 before the start.
std::vector<int16_t> reference_filtered(const zv_downsampler_t *d, const std::vector<int16_t> &x) {
    const int32_t n = zv_downsampler_num_taps(d);
    const float *taps = zv_downsampler_taps(d);
    std::vector<int16_t> y(x.size());
    for (size_t a = 0; a < x.size(); ++a) {
        float sum = 0.0f;
        for (int32_t j = 0; j < n; ++j) {
            const int64_t idx = static_cast<int64_t>(a) - j;
            sum += static_cast<float>(idx >= 0 ? x[idx] : 0) * taps[j];
        }
        y[a] = sum >= 32767.0f ? 32767 : sum <= -32768.0f ? -32768 : static_cast<int16_t>(static_cast<int32_t>(sum));
    }
    return y;
}

// Largest K with ceil(K r) <= S - 1.
int64_t expected_outputs(double r, int64_t s) {
    int64_t k = 0;
    while (static_cast<int64_t>(std::ceil(static_cast<double>(k + 1) * r)) <= s - 1) ++k;
    return k;
}

std::vector<int16_t> run_in_chunks(zv_downsampler_t *d, const std::vector<int16_t> &x, std::mt19937 &rng,
                                   int max_chunk) {
    std::uniform_int_distribution<int> chunk(1, max_chunk);
    std::vector<int16_t> out(x.size() + 16);
    size_t pos = 0;
    int32_t produced = 0;
    while (pos < x.size()) {
        const int32_t k = static_cast<int32_t>(std::min<size_t>(chunk(rng), x.size() - pos));
        produced += zv_downsampler_process(d, x.data() + pos, k, out.data() + produced);
        pos += k;
    }
    out.resize(produced);
    return out;
}

}  // namespace

TEST(Downsampler, InitRefusesBadArguments) {
    struct Case {
        int32_t in, out, order;
    } cases[] = {
        {8000, 16000, 50},           // below the output rate
        {16000, 16000, 0},           // order
        {48000, 16000, -3},          // order
        {0, 0, 50},                  // zero rates
        {-16000, -48000, 50},        // negative rates, input "above" output
        {16000, -16000, 50},         // negative output rate
        {48000, 16000, 1023},        // 2046 + 3 > 2047: no room in a pass
        {1948 * 16000, 16000, 50},   // 100 + 1948 > 2047
        {31152002, 16000, 50},       // r rounds to 1947.0001 in single precision
        {INT32_MAX, 1, 1},           // ratio far beyond a pass
        {48000, 16000, INT32_MAX},   // 2 x order overflows 32 bits
    };
    for (const Case &c : cases) {
        zv_downsampler_t *d = reinterpret_cast<zv_downsampler_t *>(0x1);
        EXPECT_EQ(zv_downsampler_init(c.in, c.out, c.order, &d), ZV_STATUS_INVALID_ARGUMENT)
            << c.in << " " << c.out << " " << c.order;
        EXPECT_EQ(d, nullptr);
    }
    EXPECT_EQ(zv_downsampler_init(16000, 16000, 50, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    // The edges of the limit are accepted: 31152001 / 16000 rounds to 1947.
    for (const Case &c : {Case{48000, 16000, 1022}, Case{1947 * 16000, 16000, 50}, Case{31152001, 16000, 50}}) {
        Owned o;
        EXPECT_EQ(zv_downsampler_init(c.in, c.out, c.order, &o.d), ZV_STATUS_SUCCESS);
    }
    zv_downsampler_delete(nullptr);
    EXPECT_STREQ(zv_downsampler_version(), "1.0.0");
}

TEST(Downsampler, EqualRatesCopy) {
    Owned o;
    zv_downsampler_t *d = make(16000, 16000, 50, o);
    const std::vector<int16_t> x = random_signal(777, 1);
    std::vector<int16_t> out(800, 7);
    EXPECT_EQ(zv_downsampler_process(d, x.data(), 777, out.data()), 777);
    EXPECT_TRUE(std::equal(x.begin(), x.end(), out.begin()));
    EXPECT_EQ(out[777], 7);
    // A negative count copies nothing.
    std::vector<int16_t> untouched(8, 5);
    EXPECT_EQ(zv_downsampler_process(d, x.data(), -4, untouched.data()), 0);
    EXPECT_EQ(zv_downsampler_process(d, x.data(), 0, untouched.data()), 0);
    EXPECT_EQ(untouched, std::vector<int16_t>(8, 5));
    EXPECT_EQ(zv_downsampler_convert_num_samples_to_input_sample_rate(d, 500), 500);
    EXPECT_EQ(zv_downsampler_convert_num_samples_to_output_sample_rate(d, 500), 499);
}

TEST(Downsampler, TapsAreANormalisedBlackmanSinc) {
    Owned o;
    zv_downsampler_t *d = make(44100, 16000, 50, o);
    const int32_t n = zv_downsampler_num_taps(d);
    ASSERT_EQ(n, 100);
    const double r = 44100.0 / 16000.0;
    const double wc = M_PI / r;
    std::vector<double> ref(n);
    double total = 0;
    for (int i = 0; i < n; ++i) {
        const int j = i - n / 2;
        const double w = 0.42 - 0.5 * std::cos(2 * M_PI * i / n) + 0.08 * std::cos(4 * M_PI * i / n);
        ref[i] = j == 0 ? wc : w * std::sin(j * wc) / j;
        total += ref[i];
    }
    float sum = 0;
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(zv_downsampler_taps(d)[i], ref[i] / total, 2e-6) << i;
        sum += zv_downsampler_taps(d)[i];
    }
    EXPECT_NEAR(sum, 1.0f, 1e-5);
}

TEST(Downsampler, ThreeToOneCountsAndValues) {
    const std::vector<int16_t> x = random_signal(3001, 2);
    {
        Owned o;
        zv_downsampler_t *d = make(48000, 16000, 50, o);
        const std::vector<int16_t> y = reference_filtered(d, x);
        std::vector<int16_t> out(1100);
        ASSERT_EQ(zv_downsampler_process(d, x.data(), 3000, out.data()), 999);
        for (int k = 1; k <= 999; ++k) ASSERT_EQ(out[k - 1], y[3 * k]) << k;
        EXPECT_EQ(zv_downsampler_carry(d), 3);
        EXPECT_EQ(zv_downsampler_next_output(d), 1000);
        EXPECT_EQ(zv_downsampler_convert_num_samples_to_input_sample_rate(d, 1000), 2997);
    }
    {
        Owned o;
        zv_downsampler_t *d = make(48000, 16000, 50, o);
        EXPECT_EQ(zv_downsampler_convert_num_samples_to_output_sample_rate(d, 3001), 999);
        std::vector<int16_t> out(1100);
        EXPECT_EQ(zv_downsampler_process(d, x.data(), 3001, out.data()), 1000);
    }
    {
        Owned o;
        zv_downsampler_t *d = make(48000, 16000, 50, o);
        std::vector<int16_t> out(4, 0x55);
        EXPECT_EQ(zv_downsampler_process(d, x.data(), 2, out.data()), 0);
        EXPECT_EQ(zv_downsampler_carry(d), 2);
        EXPECT_EQ(zv_downsampler_process(d, x.data(), 0, out.data()), 0);
        EXPECT_EQ(zv_downsampler_process(d, x.data(), -1, out.data()), 0);
        EXPECT_EQ(zv_downsampler_carry(d), 2);
        zv_downsampler_reset(d);
        EXPECT_EQ(zv_downsampler_process(d, x.data(), 4, out.data()), 1);
        EXPECT_EQ(out[0], reference_filtered(d, x)[3]);
    }
}

// Input samples count from 0: output K comes with the call that brings
// sample ceil(K r), the (ceil(K r) + 1)-th. Fed one sample at a time, the
// outputs come with these samples (counting from 1).
TEST(Downsampler, OutputKComesWithInputSampleCeilKr) {
    const struct {
        int32_t in;
        std::vector<int32_t> arrivals;  // the sample that brings output K, K = 1, 2, ...
    } cases[] = {
        {48000, {4, 7, 10, 13, 16}},    // r = 3: samples 3, 6, 9, ... counting from 0
        {44100, {4, 7, 10, 13, 15}},    // r = 2.75625: ceil 2.76, 5.51, 8.27, 11.03, 13.78
        {22050, {3, 4, 6, 7, 8}},       // r = 1.378125
        {32000, {3, 5, 7, 9, 11}},      // r = 2
    };
    const std::vector<int16_t> x = random_signal(20, 9);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        Owned o;
        zv_downsampler_t *d = make(c.in, 16000, 50, o);
        std::vector<int32_t> arrivals;
        int16_t out[4];
        for (int32_t s = 0; arrivals.size() < c.arrivals.size(); ++s) {
            const int32_t written = zv_downsampler_process(d, x.data() + s, 1, out);
            ASSERT_LE(written, 1);
            if (written == 1) arrivals.push_back(s + 1);
        }
        EXPECT_EQ(arrivals, c.arrivals);
    }
    // In one call: 3 samples at 48 kHz give nothing, 4 give output 1.
    for (int32_t n : {3, 4}) {
        Owned o;
        zv_downsampler_t *d = make(48000, 16000, 50, o);
        int16_t out[4];
        EXPECT_EQ(zv_downsampler_process(d, x.data(), n, out), n - 3) << n;
    }
}

// Counts never depend on how the stream is split; values match the
// whole-stream model exactly at whole ratios. Otherwise the split moves the
// single-precision interpolation point (below 2048) by up to 2^-13 of a
// sample, which changes a value by that share of its neighbours' step plus
// one unit of truncation: at most 8 units at full scale. The point may cross
// a whole position, so the steps on either side count too.
TEST(Downsampler, SplitsAgreeWithTheStreamModel) {
    struct Case {
        int32_t in, order;
    } cases[] = {{48000, 50}, {32000, 50}, {44100, 50}, {22050, 50}, {24000, 7}, {16001, 50},
                 {1947 * 16000, 50}, {48000, 1022}};
    std::mt19937 rng(3);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        Owned o;
        zv_downsampler_t *d = make(c.in, 16000, c.order, o);
        const double r = zv_downsampler_ratio(d);
        const bool whole = r == std::floor(r);
        const size_t length = c.in > 100000 ? 60000 : 9000;
        const std::vector<int16_t> x = random_signal(length, 4);
        const std::vector<int16_t> y = reference_filtered(d, x);
        const int64_t expected = expected_outputs(r, static_cast<int64_t>(x.size()));

        std::vector<int> slack;
        std::vector<int16_t> one(x.size());
        one.resize(zv_downsampler_process(d, x.data(), static_cast<int32_t>(x.size()), one.data()));
        ASSERT_EQ(static_cast<int64_t>(one.size()), expected);
        for (size_t k = 1; k <= one.size(); ++k) {
            const double pos = k * r;
            const int16_t lo = y[static_cast<size_t>(std::floor(pos))], hi = y[static_cast<size_t>(std::ceil(pos))];
            if (whole) {
                ASSERT_EQ(one[k - 1], y[static_cast<size_t>(pos)]) << k;
            } else {
                const size_t f = static_cast<size_t>(std::floor(pos));
                int step = std::abs(hi - lo);
                if (f > 0) step = std::max(step, std::abs(y[f] - y[f - 1]));
                if (f + 2 < y.size()) step = std::max(step, std::abs(y[f + 2] - y[f + 1]));
                slack.push_back(1 + step / 8192);
                ASSERT_GE(one[k - 1], std::min(lo, hi) - 1) << k;
                ASSERT_LE(one[k - 1], std::max(lo, hi) + 1) << k;
            }
        }
        for (int max_chunk : {1, 7, 300, 5000}) {
            zv_downsampler_reset(d);
            const std::vector<int16_t> split = run_in_chunks(d, x, rng, max_chunk);
            ASSERT_EQ(split.size(), one.size()) << max_chunk;
            for (size_t k = 0; k < one.size(); ++k) {
                if (whole) {
                    ASSERT_EQ(split[k], one[k]) << k;
                } else {
                    ASSERT_LE(std::abs(split[k] - one[k]), slack[k]) << k;
                }
            }
        }
    }
}

TEST(Downsampler, ResetEqualsNew) {
    const std::vector<int16_t> x = random_signal(5000, 5);
    Owned a, b;
    zv_downsampler_t *used = make(44100, 16000, 50, a);
    zv_downsampler_t *fresh = make(44100, 16000, 50, b);
    std::vector<int16_t> junk(4000), first(4000), second(4000);
    zv_downsampler_process(used, x.data() + 100, 3333, junk.data());
    zv_downsampler_reset(used);
    EXPECT_EQ(zv_downsampler_carry(used), 0);
    EXPECT_EQ(zv_downsampler_next_output(used), 1);
    const int32_t n1 = zv_downsampler_process(used, x.data(), 5000, first.data());
    const int32_t n2 = zv_downsampler_process(fresh, x.data(), 5000, second.data());
    ASSERT_EQ(n1, n2);
    EXPECT_EQ(first, second);
}

TEST(Downsampler, ConstantInputKeepsItsLevel) {
    for (int32_t in : {48000, 44100, 22050}) {
        for (int16_t level : {int16_t{1000}, int16_t{-12345}, int16_t{32767}, int16_t{-32768}}) {
            Owned o;
            zv_downsampler_t *d = make(in, 16000, 50, o);
            const std::vector<int16_t> x(6000, level);
            std::vector<int16_t> out(6000);
            const int32_t n = zv_downsampler_process(d, x.data(), 6000, out.data());
            const int first_settled = static_cast<int>(std::ceil(100 / zv_downsampler_ratio(d))) + 1;
            for (int k = first_settled; k < n; ++k) ASSERT_LE(std::abs(out[k] - level), 1) << in << " " << k;
        }
    }
}

// The sizing rules a caller follows, over 2,000 random chunks at each rate:
// given at most the input conversion of n samples (1 when that is 0), process
// writes at most n; it never writes more samples than it is given; the output
// conversion is an estimate that process may exceed by one (at equal rates it
// always does); the internal count is exact. The buffers are sized exactly,
// so that the sanitizer build catches a sample too many. The audio file
// reader sizes its reads the first way.
TEST(Downsampler, SizingRulesHoldForEveryChunk) {
    std::mt19937 rng(6);
    const std::vector<int16_t> x = random_signal(16384, 7);
    for (int32_t in : {16000, 16001, 22050, 32000, 44100, 48000, 96000}) {
        SCOPED_TRACE(in);
        Owned o;
        zv_downsampler_t *d = make(in, 16000, 50, o);
        std::uniform_int_distribution<int> size(1, 1500);
        for (int step = 0; step < 2000; ++step) {
            const int16_t *input = x.data() + (step * 13) % 4000;
            const int32_t n = size(rng);
            std::vector<int16_t> out(static_cast<size_t>(n));
            const int32_t k = zv_downsampler_convert_num_samples_to_input_sample_rate(d, n);
            ASSERT_LE(zv_downsampler_process(d, input, k < 1 ? 1 : k, out.data()), n) << step;

            const int32_t m = size(rng);
            const int32_t estimate = zv_downsampler_convert_num_samples_to_output_sample_rate(d, m);
            std::vector<int16_t> by_input(static_cast<size_t>(m));
            const int32_t exact = zv_downsampler_num_outputs(d, m);
            const int32_t written = zv_downsampler_process(d, input, m, by_input.data());
            ASSERT_EQ(written, exact) << step;
            ASSERT_LE(written, m) << step;
            ASSERT_LE(written, estimate + 1) << step;
            if (in == 16000) {
                ASSERT_EQ(written, estimate + 1) << step;
            }
        }
    }
}

// The input conversion may be 0 (here 2 samples of a new 24 kHz stream wait
// for a third); one sample then still writes no more than asked for.
TEST(Downsampler, InputConversionOfZeroStillAllowsOneSample) {
    Owned o;
    zv_downsampler_t *d = make(24000, 16000, 50, o);
    const std::vector<int16_t> x = random_signal(3, 9);
    std::vector<int16_t> out(1);
    ASSERT_EQ(zv_downsampler_process(d, x.data(), 2, out.data()), 0);
    ASSERT_EQ(zv_downsampler_convert_num_samples_to_input_sample_rate(d, 1), 0);
    EXPECT_EQ(zv_downsampler_process(d, x.data() + 2, 1, out.data()), 1);
}

// A NULL downsampler or buffer gives 0 and changes nothing.
TEST(Downsampler, NullPointersGiveZero) {
    Owned o;
    zv_downsampler_t *d = make(48000, 16000, 50, o);
    const std::vector<int16_t> x = random_signal(600, 10);
    std::vector<int16_t> out(600);
    EXPECT_EQ(zv_downsampler_process(nullptr, x.data(), 600, out.data()), 0);
    EXPECT_EQ(zv_downsampler_process(d, nullptr, 600, out.data()), 0);
    EXPECT_EQ(zv_downsampler_process(d, x.data(), 600, nullptr), 0);
    EXPECT_EQ(zv_downsampler_carry(d), 0);
    EXPECT_EQ(zv_downsampler_next_output(d), 1);
    EXPECT_EQ(zv_downsampler_convert_num_samples_to_input_sample_rate(nullptr, 100), 0);
    EXPECT_EQ(zv_downsampler_convert_num_samples_to_output_sample_rate(nullptr, 100), 0);
    zv_downsampler_reset(nullptr);
}

namespace {

// Largest K with ceil(K r) <= S - 1: what S samples give a new downsampler.
int64_t outputs_of(double r, int64_t s) {
    int64_t k = static_cast<int64_t>(std::floor(static_cast<double>(s - 1) / r)) + 2;
    while (k > 0 && static_cast<int64_t>(std::ceil(static_cast<double>(k) * r)) > s - 1) --k;
    return k;
}

}  // namespace

// Past 2^24 samples a single-precision product is off by more than a sample;
// rounded up, the input conversion would let process write more than n.
TEST(Downsampler, InputConversionBoundsLargeCounts) {
    struct Case {
        int32_t in, n;
    } runs[] = {{16000, 16777219}, {16500, 16777311}};  // counts that round up
    for (const Case &c : runs) {
        SCOPED_TRACE(c.in);
        Owned o;
        zv_downsampler_t *d = make(c.in, 16000, 1, o);  // the counts don't depend on the order
        const int32_t k = zv_downsampler_convert_num_samples_to_input_sample_rate(d, c.n);
        const std::vector<int16_t> input(static_cast<size_t>(k), 3);
        std::vector<int16_t> out(static_cast<size_t>(c.n));
        ASSERT_LE(zv_downsampler_process(d, input.data(), k, out.data()), c.n);
    }
    std::mt19937 rng(8);
    for (int32_t in : {16000, 16001, 22050, 24000, 32000, 44100, 48000, 96000}) {
        SCOPED_TRACE(in);
        Owned o;
        zv_downsampler_t *d = make(in, 16000, 50, o);
        const double r = zv_downsampler_ratio(d);
        std::uniform_int_distribution<int32_t> count(1 << 24, static_cast<int32_t>(INT32_MAX / r));
        for (int i = 0; i < 20000; ++i) {
            const int32_t n = count(rng);
            const int32_t k = zv_downsampler_convert_num_samples_to_input_sample_rate(d, n);
            ASSERT_LE(in == 16000 ? k : outputs_of(r, k), n) << n;
        }
    }
}

TEST(Downsampler, ConversionsDoNotOverflow) {
    Owned o;
    zv_downsampler_t *d = make(48000, 16000, 50, o);
    EXPECT_EQ(zv_downsampler_convert_num_samples_to_input_sample_rate(d, INT32_MAX), INT32_MAX);
    EXPECT_EQ(zv_downsampler_convert_num_samples_to_input_sample_rate(d, INT32_MIN), INT32_MIN);
    EXPECT_GT(zv_downsampler_convert_num_samples_to_output_sample_rate(d, INT32_MAX), 700000000);
}

TEST(Downsampler, VectorKernelMatchesScalar) {
    if (!zv_downsampler_filter_avx2_available()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(8);
    for (int32_t in : {48000, 44100, 17000}) {
        for (int32_t order : {1, 3, 50, 120}) {
            Owned o;
            zv_downsampler_t *d = make(in, 16000, order, o);
            const int32_t n = zv_downsampler_num_taps(d);
            for (int32_t count : {1, 7, 8, 31, 32, 33, 63, 64, 65, 127, 1031, 1947}) {
                // Full-scale noise drives some sums past the int16 range.
                const std::vector<int16_t> h = random_signal(n + count + 8, rng(), 32768);
                std::vector<int16_t> a(count + 1, 99), b(count + 1, 99);
                zv_downsampler_filter_scalar(h.data(), zv_downsampler_taps(d), n, n, n + count, a.data());
                zv_downsampler_filter_avx2(h.data(), zv_downsampler_taps(d), n, n, n + count, b.data());
                ASSERT_EQ(a, b) << in << " " << order << " " << count;
            }
        }
    }
    // Strided: the same sums as the plain kernel at every stride-th position.
    for (int32_t stride : {2, 3, 6, 17}) {
        Owned o;
        zv_downsampler_t *d = make(16000 * stride, 16000, 50, o);
        const int32_t n = zv_downsampler_num_taps(d);
        std::vector<int16_t> phases(stride * (2048 / stride + 2));
        for (int32_t count : {1, 7, 8, 9, 63, 64, 65, 200}) {
            const int32_t first = n + static_cast<int32_t>(rng() % 5);
            const int32_t end = first + stride * (count - 1) + 1;
            if (end > 2048) continue;
            std::vector<int16_t> h = random_signal(2048, rng(), 32768);
            std::vector<int16_t> plain(end - first), a(count + 1, 99), b(count + 1, 99);
            zv_downsampler_filter_scalar(h.data(), zv_downsampler_taps(d), n, first, end, plain.data());
            zv_downsampler_filter_strided_scalar(h.data(), zv_downsampler_taps(d), n, first, stride, count, a.data(),
                                                 nullptr);
            zv_downsampler_filter_strided_avx2(h.data(), zv_downsampler_taps(d), n, first, stride, count, b.data(),
                                               phases.data());
            for (int32_t l = 0; l < count; ++l) ASSERT_EQ(a[l], plain[stride * l]) << stride << " " << l;
            ASSERT_EQ(a, b) << stride << " " << count;
        }
    }
    // And through the whole stream.
    const std::vector<int16_t> x = random_signal(20000, 9, 32768);
    for (int32_t in : {44100, 48000}) {
        Owned sa, va;
        zv_downsampler_t *s = make(in, 16000, 50, sa);
        zv_downsampler_t *v = make(in, 16000, 50, va);
        zv_downsampler_force_scalar(s, 1);
        std::vector<int16_t> os(20000), ov(20000);
        ASSERT_EQ(zv_downsampler_process(s, x.data(), 20000, os.data()),
                  zv_downsampler_process(v, x.data(), 20000, ov.data()));
        EXPECT_EQ(os, ov) << in;
    }
}

TEST(Downsampler, SaturatesInsteadOfWrapping) {
    // A full-scale square wave overshoots at each edge.
    std::vector<int16_t> x(4000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = (i / 60) % 2 ? 32767 : -32768;
    Owned o;
    zv_downsampler_t *d = make(32000, 16000, 50, o);
    const std::vector<int16_t> y = reference_filtered(d, x);
    std::vector<int16_t> out(4000);
    const int32_t n = zv_downsampler_process(d, x.data(), 4000, out.data());
    int top = 0, bottom = 0;
    for (int k = 1; k <= n; ++k) {
        ASSERT_EQ(out[k - 1], y[2 * k]);
        top += out[k - 1] == 32767;
        bottom += out[k - 1] == -32768;
    }
    EXPECT_GT(top, 0);
    EXPECT_GT(bottom, 0);
}

namespace {

// The downsampler written out literally, one pass at a time, with the
// filter design's own mix of single and double precision, to pin the exact
// taps and the exact interpolated values at ratios that aren't whole.
struct Literal {
    int32_t n;
    float r;
    std::vector<float> taps;
    int64_t next_output = 1;
    int32_t carry = 0;
    std::vector<int16_t> filtered, history;

    Literal(int32_t in, int32_t out, int32_t order) : n(2 * order), r(static_cast<float>(in) / static_cast<float>(out)) {
        const int32_t l = static_cast<int32_t>(ceilf(r));
        taps.resize(n);
        const double wc = static_cast<double>(0.5f / r) * 6.283185307179586;
        for (int32_t i = 0; i < n; ++i) {
            const int32_t j = i - n / 2;
            if (j == 0) {
                taps[i] = static_cast<float>(wc);
                continue;
            }
            const float s = sinf(static_cast<float>(j * wc));
            const float c1 = cosf(static_cast<float>(i * 6.283185307179586 / n));
            const float c2 = cosf(static_cast<float>(i * 12.566370614359172 / n));
            const float w = (0.42f - 0.5f * c1) + 0.08f * c2;
            taps[i] = w * (s / static_cast<float>(j));
        }
        float sum = 0.0f;
        for (float t : taps) sum += t;
        for (float &t : taps) t = t / sum;
        filtered.assign(l + 2048, 0);
        history.assign(n + l + 2048, 0);
    }

    int32_t process(const int16_t *input, int32_t count, int16_t *output) {
        if (count <= 0) return 0;
        int32_t c = carry + n;
        int64_t f = static_cast<int64_t>(ceil(static_cast<double>(next_output - 1) * static_cast<double>(r)));
        int32_t produced = 0;
        while (count > 0) {
            const int32_t m = std::min(count, 2048 - c);
            std::memcpy(history.data() + c, input, sizeof(int16_t) * m);
            const int32_t e = c + m;
            for (int32_t i = n; i < e; ++i) {
                float sum = 0.0f;
                for (int32_t j = 0; j < n; ++j) sum += static_cast<float>(history[i - j]) * taps[j];
                filtered[i - n] = sum >= 32767.0f    ? 32767
                                  : sum <= -32768.0f ? -32768
                                                     : static_cast<int16_t>(static_cast<int32_t>(sum));
            }
            const int32_t h = e - n;
            int64_t k = next_output;
            while (static_cast<int64_t>(ceil(static_cast<double>(k) * static_cast<double>(r))) - f < h) {
                const float t = static_cast<float>(static_cast<double>(k) * static_cast<double>(r) - static_cast<double>(f));
                const float lo = static_cast<float>(filtered[static_cast<int32_t>(floorf(t))]);
                const float hi = static_cast<float>(filtered[static_cast<int32_t>(ceilf(t))]);
                output[produced++] = static_cast<int16_t>(static_cast<int32_t>((hi - lo) * (t - floorf(t)) + lo));
                ++k;
            }
            next_output = k;
            const int64_t o = static_cast<int64_t>(ceil(static_cast<double>(next_output - 1) * static_cast<double>(r)));
            carry = static_cast<int32_t>(h + f - o);
            std::memmove(history.data(), history.data() + (e - (carry + n)), sizeof(int16_t) * (carry + n));
            f = o;
            c = carry + n;
            count -= m;
            input += m;
        }
        return produced;
    }
};

}  // namespace

TEST(Downsampler, MatchesTheLiteralPassesExactly) {
    struct Case {
        int32_t in, order;
    } cases[] = {{44100, 50}, {22050, 50}, {16001, 50}, {48000, 50}, {32000, 7}, {37800, 3}, {96000, 200}};
    std::mt19937 rng(12);
    const std::vector<int16_t> x = random_signal(12000, 13, 32768);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        Owned o;
        zv_downsampler_t *d = make(c.in, 16000, c.order, o);
        Literal want(c.in, 16000, c.order);
        ASSERT_EQ(zv_downsampler_num_taps(d), want.n);
        for (int32_t i = 0; i < want.n; ++i) ASSERT_EQ(zv_downsampler_taps(d)[i], want.taps[i]) << i;
        for (int max_chunk : {1, 13, 700, 12000}) {
            zv_downsampler_reset(d);
            Literal lit(c.in, 16000, c.order);
            std::uniform_int_distribution<int> chunk(1, max_chunk);
            std::vector<int16_t> got(x.size() + 8), expected(x.size() + 8);
            int32_t got_count = 0, expected_count = 0;
            for (size_t pos = 0; pos < x.size();) {
                const int32_t k = static_cast<int32_t>(std::min<size_t>(chunk(rng), x.size() - pos));
                got_count += zv_downsampler_process(d, x.data() + pos, k, got.data() + got_count);
                expected_count += lit.process(x.data() + pos, k, expected.data() + expected_count);
                ASSERT_EQ(zv_downsampler_carry(d), lit.carry) << max_chunk << " at " << pos;
                ASSERT_EQ(zv_downsampler_next_output(d), lit.next_output) << max_chunk << " at " << pos;
                pos += k;
            }
            ASSERT_EQ(got_count, expected_count) << max_chunk;
            got.resize(got_count);
            expected.resize(expected_count);
            ASSERT_EQ(got, expected) << max_chunk;
        }
    }
}
