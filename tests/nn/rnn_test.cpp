#include "nn/rnn.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "nn/fixed_point.h"
#include "support/classifier_block.h"

namespace {

using zv_test::RnnBlock;

struct ParamFree {
    void operator()(zv_rnn_param_t *p) const { zv_rnn_param_delete(p); }
};
using Param = std::unique_ptr<zv_rnn_param_t, ParamFree>;
struct RnnFree {
    void operator()(zv_rnn_t *p) const { zv_rnn_delete(p); }
};
using Layer = std::unique_ptr<zv_rnn_t, RnnFree>;

std::vector<uint8_t> encode(const RnnBlock &r) {
    zv_test::ByteWriter w;
    zv_test::put_rnn(w, r);
    return w.take();
}

Param load(const std::vector<uint8_t> &bytes, zv_status_t expected = ZV_STATUS_SUCCESS) {
    FILE *f = zv_test::open_bytes(bytes);
    EXPECT_NE(f, nullptr);
    zv_rnn_param_t *p = reinterpret_cast<zv_rnn_param_t *>(8);
    EXPECT_EQ(zv_rnn_param_load(f, &p), expected);
    if (expected == ZV_STATUS_SUCCESS) {
        EXPECT_EQ(ftell(f), static_cast<long>(bytes.size()));
    } else {
        EXPECT_EQ(p, nullptr);
    }
    fclose(f);
    return Param(p);
}

Layer make_layer(const zv_rnn_param_t *p) {
    zv_memory_t memory;
    zv_memory_init(&memory);
    zv_rnn_t *rnn = nullptr;
    EXPECT_EQ(zv_rnn_init(memory, p, &rnn), ZV_STATUS_SUCCESS);
    return Layer(rnn);
}

std::vector<int16_t> step(zv_rnn_t *rnn, const std::vector<int16_t> &x, size_t hidden) {
    std::vector<int16_t> y(hidden, 12345);
    EXPECT_EQ(zv_rnn_process(rnn, x.data(), y.data()), ZV_STATUS_SUCCESS);
    return y;
}

TEST(Rnn, ZeroParametersKeepZeroState) {
    Param p = load(encode(zv_test::zero_rnn(4, 3)));
    Layer rnn = make_layer(p.get());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(step(rnn.get(), {1000, -1000, 32767, -32768}, 3), std::vector<int16_t>(3, 0));
    }
}

TEST(Rnn, BiasDrivenSequence) {
    // Every pre-activation 1016: i = o = 23903, g = 24844.
    RnnBlock r = zv_test::zero_rnn(2, 1);
    r.input.bias = {127, 127, 127};
    Param p = load(encode(r));
    Layer rnn = make_layer(p.get());
    const int16_t outputs[] = {375, 452, 471, 476, 477};
    for (int16_t expected : outputs) {
        EXPECT_EQ(step(rnn.get(), {0, 0}, 1)[0], expected);
    }
}

TEST(Rnn, CellUpdateAtTheLimits) {
    struct Case {
        int16_t i, g, o, c;
        int16_t c_after, y;
    };
    const Case cases[] = {
        {23903, 24844, 23903, 0, 566, 375},
        {32755, 32742, 32755, 32767, 1035, 784},
        {11, 32742, 32755, 32767, 32755, 1023},
        {11, -32746, 11, -32768, -32756, 0},
    };
    for (const Case &k : cases) {
        const int16_t gates[3] = {k.i, k.g, k.o};
        int16_t c = k.c, y = 0;
        zv_rnn_cell(1, gates, &c, &y);
        EXPECT_EQ(c, k.c_after) << k.i << " " << k.c;
        EXPECT_EQ(y, k.y) << k.i << " " << k.c;
    }
}

TEST(Rnn, ResetAndInPlaceSteps) {
    std::mt19937 rng(5);
    const RnnBlock r = zv_test::random_rnn(6, 4, rng);
    Param p = load(encode(r));
    Layer a = make_layer(p.get());
    Layer b = make_layer(p.get());
    std::vector<std::vector<int16_t>> xs;
    std::uniform_int_distribution<int> d(-4000, 4000);
    for (int t = 0; t < 6; ++t) {
        std::vector<int16_t> x(6);
        for (auto &v : x) v = static_cast<int16_t>(d(rng));
        xs.push_back(x);
    }
    std::vector<std::vector<int16_t>> first;
    for (const auto &x : xs) first.push_back(step(a.get(), x, 4));
    EXPECT_NE(first[0], first[1]);  // the state carries over
    zv_rnn_reset(a.get());
    for (size_t t = 0; t < xs.size(); ++t) {
        EXPECT_EQ(step(a.get(), xs[t], 4), first[t]) << t;
        // x and y the same array: the input is consumed before the output lands.
        std::vector<int16_t> inout = xs[t];
        ASSERT_EQ(zv_rnn_process(b.get(), inout.data(), inout.data()), ZV_STATUS_SUCCESS);
        EXPECT_EQ(std::vector<int16_t>(inout.begin(), inout.begin() + 4), first[t]) << t;
    }
}

TEST(RnnParam, RoundTripAndTruncation) {
    std::mt19937 rng(9);
    const std::vector<uint8_t> bytes = encode(zv_test::random_rnn(3, 2, rng));
    Param p = load(bytes);
    FILE *t = std::tmpfile();
    ASSERT_EQ(zv_rnn_param_serialize(p.get(), t), ZV_STATUS_SUCCESS);
    std::vector<uint8_t> written(static_cast<size_t>(ftell(t)));
    rewind(t);
    ASSERT_EQ(fread(written.data(), 1, written.size(), t), written.size());
    fclose(t);
    EXPECT_EQ(written, bytes);
    // Every cut point, in the input and in the recurrent parameters.
    for (size_t n = 0; n < bytes.size(); ++n) {
        load(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(n)), ZV_STATUS_IO_ERROR);
    }
    // A bad count in the recurrent parameters.
    std::vector<uint8_t> bad = bytes;
    const size_t recurrent = 8 + 6 * (3 + 1);
    bad[recurrent] = 0;
    load(bad, ZV_STATUS_INVALID_ARGUMENT);
}

TEST(Rnn, InitRefusesWidthsThatDontFit) {
    struct Case {
        const char *what;
        int32_t in_out, rec_in, rec_out;
    };
    const Case cases[] = {
        {"input layer not 3H", 8, 3, 9},
        {"recurrent outputs not 3H", 9, 3, 8},
        {"recurrent width against 3H", 9, 2, 9},
    };
    zv_memory_t memory;
    zv_memory_init(&memory);
    for (const Case &c : cases) {
        RnnBlock r;
        r.input = zv_test::zero_fc(5, c.in_out);
        r.recurrent = zv_test::zero_fc(c.rec_in, c.rec_out);
        Param p = load(encode(r));
        zv_rnn_t *rnn = reinterpret_cast<zv_rnn_t *>(8);
        EXPECT_EQ(zv_rnn_init(memory, p.get(), &rnn), ZV_STATUS_INVALID_ARGUMENT) << c.what;
        EXPECT_EQ(rnn, nullptr);
    }
    zv_rnn_t *rnn = nullptr;
    EXPECT_EQ(zv_rnn_init(memory, nullptr, &rnn), ZV_STATUS_INVALID_ARGUMENT);
    zv_rnn_delete(nullptr);
    zv_rnn_param_delete(nullptr);
}

}  // namespace

namespace {

// The vector gate functions give the scalar results for every int16 input,
// at every length remainder.
TEST(Rnn, VectorActivationsMatchScalar) {
    const zv_rnn_activation_t sigmoid = zv_rnn_sigmoid_avx2();
    const zv_rnn_activation_t tanh = zv_rnn_tanh_avx2();
    if (!sigmoid || !tanh) GTEST_SKIP() << "no AVX2";
    int32_t grid[257];
    zv_rnn_sigmoid_grid(grid);
    EXPECT_EQ(grid[0], 16384);
    EXPECT_EQ(grid[128], 11);
    EXPECT_EQ(grid[256], 16384);
    std::vector<int16_t> all(65536 + 5);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int16_t>(static_cast<uint16_t>(i));
    for (int32_t n : {65536 + 5, 15, 16, 17, 1}) {
        std::vector<int16_t> s(n), v(n, 7);
        zv_sigmoid(n, all.data(), s.data());
        sigmoid(grid, n, all.data(), v.data());
        ASSERT_EQ(s, v) << n;
        zv_tanh(n, all.data(), s.data());
        tanh(grid, n, all.data(), v.data());
        ASSERT_EQ(s, v) << n;
        // In place, as the recurrent step uses them.
        std::vector<int16_t> inplace(all.begin(), all.begin() + n);
        tanh(grid, n, inplace.data(), inplace.data());
        ASSERT_EQ(inplace, s) << n;
    }
}

// The vector cell gives the scalar cell's state and output on random and
// extreme gates and states, at widths either side of its vectors.
TEST(Rnn, VectorCellMatchesScalar) {
    const zv_rnn_cell_kernel_t vector_cell = zv_rnn_cell_avx2();
    if (!vector_cell) GTEST_SKIP() << "no AVX2";
    int32_t grid[257];
    zv_rnn_sigmoid_grid(grid);
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> any16(-32768, 32767), gate(0, 32767), pick(0, 3);
    const int16_t extreme_gates[] = {0, 32767, 1, 16384};
    const int16_t extreme_values[] = {-32768, 32767, 0, -1};
    for (int32_t hidden : {1, 15, 16, 17, 37, 256}) {
        for (int mode = 0; mode < 2; ++mode) {  // random, extremes
            const size_t h = static_cast<size_t>(hidden);
            std::vector<int16_t> gates(3 * h), c(h);
            for (size_t j = 0; j < h; ++j) {
                gates[j] = static_cast<int16_t>(mode == 0 ? gate(rng) : extreme_gates[pick(rng)]);
                gates[h + j] = static_cast<int16_t>(mode == 0 ? any16(rng) : extreme_values[pick(rng)]);
                gates[2 * h + j] = static_cast<int16_t>(mode == 0 ? gate(rng) : extreme_gates[pick(rng)]);
                c[j] = static_cast<int16_t>(mode == 0 ? any16(rng) : extreme_values[pick(rng)]);
            }
            std::vector<int16_t> cs = c, cv = c, ys(h, 7), yv(h, 9);
            zv_rnn_cell(hidden, gates.data(), cs.data(), ys.data());
            vector_cell(hidden, gates.data(), cv.data(), yv.data(), grid);
            ASSERT_EQ(cv, cs) << hidden << " mode " << mode;
            ASSERT_EQ(yv, ys) << hidden << " mode " << mode;
        }
    }
}

}  // namespace
