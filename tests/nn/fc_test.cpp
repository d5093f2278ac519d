#include "nn/fc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "support/classifier_block.h"

namespace {

using zv_test::FcBlock;

struct ParamFree {
    void operator()(zv_fc_param_t *p) const { zv_fc_param_delete(p); }
};
using Param = std::unique_ptr<zv_fc_param_t, ParamFree>;
struct FcFree {
    void operator()(zv_fc_t *p) const { zv_fc_delete(p); }
};
using Layer = std::unique_ptr<zv_fc_t, FcFree>;

Param make_param(const FcBlock &b) {
    zv_fc_param_t *p = nullptr;
    EXPECT_EQ(zv_fc_param_init(b.in, b.out, &p), ZV_STATUS_SUCCESS);
    std::copy(b.bias.begin(), b.bias.end(), p->bias);
    std::copy(b.weights.begin(), b.weights.end(), p->weights);
    return Param(p);
}

// Independent reference: the exact sum in 64 bits, reduced to 32-bit two's
// complement, then rounding, accumulation and saturation.
std::vector<int16_t> reference(const FcBlock &b, const std::vector<int16_t> &x, bool accumulate,
                               std::vector<int16_t> y) {
    for (int32_t i = 0; i < b.out; ++i) {
        int64_t exact = 0;
        for (int32_t j = 0; j < b.in; ++j) {
            exact += int64_t{b.weights[static_cast<size_t>(i) * b.in + j]} * x[j];
        }
        const int64_t wrapped = static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(exact)));
        int64_t sum = wrapped + b.bias[i] * 1024 + 64;
        sum = static_cast<int32_t>(static_cast<uint32_t>(sum));  // the 32-bit sum wraps too
        int64_t r = sum >> 7;
        if (accumulate) r += y[i];
        y[i] = static_cast<int16_t>(std::clamp<int64_t>(r, -32768, 32767));
    }
    return y;
}

std::vector<int16_t> run(const FcBlock &b, const std::vector<int16_t> &x, bool accumulate,
                         std::vector<int16_t> y) {
    Param p = make_param(b);
    zv_memory_t memory;
    zv_memory_init(&memory);
    zv_fc_t *fc = nullptr;
    EXPECT_EQ(zv_fc_init(memory, p.get(), accumulate ? 1 : 0, &fc), ZV_STATUS_SUCCESS);
    Layer layer(fc);
    zv_fc_process(fc, x.data(), y.data());
    return y;
}

TEST(Fc, FixedPointCases) {
    struct Case {
        const char *what;
        int8_t weight;
        int16_t input;
        int8_t bias;
        int16_t held;
        bool accumulate;
        int16_t expected;
    };
    // One input, so the product sum is weight * input.
    const Case cases[] = {
        {"bias 1 alone", 0, 0, 1, 0, false, 8},
        {"bias -128 alone", 0, 0, -128, 0, false, -1024},
        {"sum 64 rounds up", 1, 64, 0, 0, false, 1},
        {"sum 63 rounds down", 1, 63, 0, 0, false, 0},
        {"sum -64 rounds to 0", 1, -64, 0, 0, false, 0},
        {"sum -65 gives -1", 1, -65, 0, 0, false, -1},
        {"1024 * 127", 127, 1024, 0, 0, false, 1016},
        {"not accumulating ignores held", 127, 1024, 0, 500, false, 1016},
        {"accumulates", 127, 1024, 0, 500, true, 1516},
        {"accumulated saturates high", 127, 1024, 0, 32767, true, 32767},
        {"accumulated saturates low", -128, 32767, -128, -32768, true, -32768},
    };
    for (const Case &c : cases) {
        FcBlock b = zv_test::zero_fc(1, 1);
        b.weights[0] = c.weight;
        b.bias[0] = c.bias;
        EXPECT_EQ(run(b, {c.input}, c.accumulate, {c.held})[0], c.expected) << c.what;
    }
}

TEST(Fc, SaturatesAndWrapsLikeTheReference) {
    // 300 products of 127 * 32767 exceed int16 after scaling; 70000 products
    // of -128 * -32768 exceed int32 and must wrap.
    for (int32_t in : {300, 70000}) {
        FcBlock b = zv_test::zero_fc(in, 2);
        std::vector<int16_t> x(static_cast<size_t>(in));
        for (int32_t j = 0; j < in; ++j) {
            b.weights[j] = in == 300 ? 127 : -128;
            b.weights[in + j] = in == 300 ? -128 : 127;
            x[j] = in == 300 ? 32767 : -32768;
        }
        b.bias = {127, -128};
        for (bool acc : {false, true}) {
            const std::vector<int16_t> held = {-20000, 20000};
            EXPECT_EQ(run(b, x, acc, held), reference(b, x, acc, held)) << in << " " << acc;
        }
    }
}

// Layers on every vector kernel set this processor runs.
std::vector<zv_fc_kernel_set_t> vector_sets() {
    std::vector<zv_fc_kernel_set_t> sets;
    for (zv_fc_kernel_set_t set : {ZV_FC_KERNELS_AVX2, ZV_FC_KERNELS_AVX512}) {
        if (zv_fc_kernel_set_is_available(set)) sets.push_back(set);
    }
    return sets;
}

Layer make_layer(const zv_fc_param_t *p, int32_t accumulate, zv_fc_kernel_set_t set) {
    zv_memory_t memory;
    zv_memory_init(&memory);
    zv_fc_t *fc = nullptr;
    EXPECT_EQ(zv_fc_init_with_set(memory, p, accumulate, set, &fc), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_fc_kernel_set(fc), set);
    return Layer(fc);
}

// Every kernel set this processor runs gives the scalar results, at odd
// widths and row counts either side of the vector blocks, with weights and
// inputs at their extremes as well as random ones.
TEST(Fc, VectorKernelsMatchScalar) {
    const std::vector<zv_fc_kernel_set_t> sets = vector_sets();
    if (sets.empty()) GTEST_SKIP() << "no vector kernels";
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> any16(-32768, 32767);
    std::uniform_int_distribution<int> pick(0, 3);
    const int16_t extremes16[] = {-32768, 32767, -1, 0};
    const int8_t extremes8[] = {-128, 127, -1, 0};
    for (int32_t in : {1, 2, 7, 15, 16, 17, 37, 80, 127, 256, 1031, 40000}) {
        for (int32_t out : {1, 3, 4, 5, 9, 16, 17, 40, 143}) {
            if (in == 40000 && out > 9) continue;
            for (int mode = 0; mode < 3; ++mode) {  // random, extremes, all at the worst corner
                FcBlock b = zv_test::random_fc(in, out, rng);
                std::vector<int16_t> x(static_cast<size_t>(in));
                for (auto &v : x) v = static_cast<int16_t>(any16(rng));
                if (mode == 1) {
                    for (auto &w : b.weights) w = extremes8[pick(rng)];
                    for (auto &v : x) v = extremes16[pick(rng)];
                } else if (mode == 2) {
                    for (auto &w : b.weights) w = -128;
                    for (auto &v : x) v = -32768;
                }
                const Param p = make_param(b);
                std::vector<int16_t> held(static_cast<size_t>(out));
                for (auto &v : held) v = static_cast<int16_t>(any16(rng));
                for (int32_t acc = 0; acc < 2; ++acc) {
                    std::vector<int16_t> ys = held;
                    zv_fc_kernel_scalar(in, out, b.weights.data(), b.bias.data(), acc, x.data(), ys.data());
                    if (in <= 1031) {
                        ASSERT_EQ(ys, reference(b, x, acc, held));
                    }
                    for (zv_fc_kernel_set_t set : sets) {
                        std::vector<int16_t> yv = held;
                        zv_fc_process(make_layer(p.get(), acc, set).get(), x.data(), yv.data());
                        ASSERT_EQ(ys, yv) << in << "x" << out << " mode " << mode << " acc " << acc << " set " << set;
                    }
                }
            }
        }
    }
}

// Batches on every set give what frame-by-frame calls give, over frame
// counts either side of the kernels' frame groups, with and without
// accumulation, and write nothing outside the rows.
TEST(Fc, BatchesMatchFrameByFrame) {
    std::vector<zv_fc_kernel_set_t> sets = vector_sets();
    sets.insert(sets.begin(), ZV_FC_KERNELS_SCALAR);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> any16(-32768, 32767);
    for (int32_t in : {5, 16, 80, 257}) {
        for (int32_t out : {12, 13, 33}) {
            FcBlock b = zv_test::random_fc(in, out, rng);
            const Param p = make_param(b);
            for (size_t frames : {size_t{1}, size_t{3}, size_t{4}, size_t{8}, size_t{9}, size_t{23}}) {
                const size_t x_stride = static_cast<size_t>(in) + 3;  // strides wider than the rows
                const size_t y_stride = static_cast<size_t>(out) + 2;
                std::vector<int16_t> x(frames * x_stride);
                for (auto &v : x) v = static_cast<int16_t>(any16(rng));
                std::vector<int16_t> held(frames * y_stride);
                for (auto &v : held) v = static_cast<int16_t>(any16(rng));
                for (int32_t acc = 0; acc < 2; ++acc) {
                    std::vector<int16_t> expected = held;
                    for (size_t t = 0; t < frames; ++t) {
                        zv_fc_kernel_scalar(in, out, b.weights.data(), b.bias.data(), acc, x.data() + t * x_stride,
                                            expected.data() + t * y_stride);
                    }
                    for (zv_fc_kernel_set_t set : sets) {
                        std::vector<int16_t> y = held;
                        zv_fc_process_batch(make_layer(p.get(), acc, set).get(), frames, x.data(), x_stride, y.data(),
                                            y_stride);
                        ASSERT_EQ(y, expected) << in << "x" << out << " frames " << frames << " acc " << acc
                                               << " set " << set;
                    }
                }
            }
        }
    }
}

// The limit picks the set new layers use; a set beyond the processor is
// refused when asked for by name.
TEST(Fc, KernelSetLimit) {
    EXPECT_TRUE(zv_fc_kernel_set_is_available(ZV_FC_KERNELS_SCALAR));
    const zv_fc_kernel_set_t best = zv_fc_kernel_set_current();
    FcBlock b = zv_test::zero_fc(3, 2);
    const Param p = make_param(b);
    zv_memory_t memory;
    zv_memory_init(&memory);
    for (zv_fc_kernel_set_t limit : {ZV_FC_KERNELS_SCALAR, ZV_FC_KERNELS_AVX2, ZV_FC_KERNELS_AVX512}) {
        zv_fc_kernel_set_limit(limit);
        const zv_fc_kernel_set_t expected = limit < best ? limit : best;
        EXPECT_EQ(zv_fc_kernel_set_current(), expected);
        zv_fc_t *fc = nullptr;
        ASSERT_EQ(zv_fc_init(memory, p.get(), 0, &fc), ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_fc_kernel_set(fc), expected);
        zv_fc_delete(fc);
        if (!zv_fc_kernel_set_is_available(limit)) {
            fc = reinterpret_cast<zv_fc_t *>(&memory);
            EXPECT_EQ(zv_fc_init_with_set(memory, p.get(), 0, limit, &fc), ZV_STATUS_INVALID_ARGUMENT);
            EXPECT_EQ(fc, nullptr);
        }
    }
    zv_fc_kernel_set_limit(ZV_FC_KERNELS_AVX512);
    EXPECT_EQ(zv_fc_kernel_set_current(), best);
}

TEST(FcParam, LoadsTheLayoutAndRoundTrips) {
    std::mt19937 rng(3);
    const FcBlock b = zv_test::random_fc(5, 3, rng);
    zv_test::ByteWriter w;
    zv_test::put_fc(w, b);
    const std::vector<uint8_t> bytes = w.take();
    ASSERT_EQ(bytes.size(), 8u + 3u * (5u + 1u));

    FILE *f = zv_test::open_bytes(bytes);
    ASSERT_NE(f, nullptr);
    zv_fc_param_t *loaded = nullptr;
    ASSERT_EQ(zv_fc_param_load(f, &loaded), ZV_STATUS_SUCCESS);
    Param p(loaded);
    EXPECT_EQ(ftell(f), static_cast<long>(bytes.size()));
    fclose(f);
    ASSERT_EQ(p->in, 5);
    ASSERT_EQ(p->out, 3);
    EXPECT_EQ(std::vector<int8_t>(p->bias, p->bias + 3), b.bias);
    EXPECT_EQ(std::vector<int8_t>(p->weights, p->weights + 15), b.weights);

    // Buffer pair: the same bytes out, the cursor right after them.
    size_t size = 0;
    void *buffer = nullptr;
    ASSERT_EQ(zv_fc_param_serialize_buffer(p.get(), &size, &buffer), ZV_STATUS_SUCCESS);
    const uint8_t *encoded = static_cast<const uint8_t *>(buffer);
    EXPECT_EQ(std::vector<uint8_t>(encoded, encoded + size), bytes);
    const uint8_t *cursor = encoded;
    zv_fc_param_t *again = nullptr;
    ASSERT_EQ(zv_fc_param_load_buffer(&cursor, &again), ZV_STATUS_SUCCESS);
    Param q(again);
    EXPECT_EQ(cursor, encoded + size);
    EXPECT_EQ(zv_fc_param_is_equal(p.get(), q.get()), 1);
    free(buffer);

    // File pair.
    FILE *t = std::tmpfile();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(zv_fc_param_serialize(p.get(), t), ZV_STATUS_SUCCESS);
    EXPECT_EQ(ftell(t), static_cast<long>(bytes.size()));
    rewind(t);
    zv_fc_param_t *from_file = nullptr;
    ASSERT_EQ(zv_fc_param_load(t, &from_file), ZV_STATUS_SUCCESS);
    Param r(from_file);
    fclose(t);
    EXPECT_EQ(zv_fc_param_is_equal(p.get(), r.get()), 1);

    // One bias byte apart.
    r->bias[2] ^= 1;
    EXPECT_EQ(zv_fc_param_is_equal(p.get(), r.get()), 0);
}

TEST(FcParam, RefusesBadEncodings) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        zv_status_t status;
        long stop;  // where reading stopped
    };
    auto enc = [](int32_t in, int32_t out, size_t payload) {
        zv_test::ByteWriter w;
        w.i32(in).i32(out);
        for (size_t i = 0; i < payload; ++i) w.u8(1);
        return w.take();
    };
    const Case cases[] = {
        {"input count 0", enc(0, 5, 100), ZV_STATUS_INVALID_ARGUMENT, 4},
        {"output count -1", enc(3, -1, 100), ZV_STATUS_INVALID_ARGUMENT, 8},
        {"cut inside the weights", enc(3, 2, 2 + 5), ZV_STATUS_IO_ERROR, -1},
        {"cut inside the bias", enc(3, 2, 1), ZV_STATUS_IO_ERROR, -1},
        {"cut inside the output count", {3, 0, 0, 0, 2, 0}, ZV_STATUS_IO_ERROR, -1},
        {"empty", {}, ZV_STATUS_IO_ERROR, -1},
        // Counts whose product is far beyond the bytes present (and beyond
        // 32 bits) are refused before anything is allocated for them.
        {"hostile counts", enc(INT32_MAX, INT32_MAX, 64), ZV_STATUS_IO_ERROR, -1},
        {"product wraps 32 bits", enc(65536, 65536, 64), ZV_STATUS_IO_ERROR, -1},
    };
    for (const Case &c : cases) {
        FILE *f = zv_test::open_bytes(c.bytes);
        ASSERT_NE(f, nullptr);
        zv_fc_param_t *p = reinterpret_cast<zv_fc_param_t *>(8);
        EXPECT_EQ(zv_fc_param_load(f, &p), c.status) << c.what;
        EXPECT_EQ(p, nullptr) << c.what;
        if (c.stop >= 0) {
            EXPECT_EQ(ftell(f), c.stop) << c.what;
        }
        fclose(f);
    }
    for (const auto &bytes : {enc(0, 1, 8), enc(1, 0, 8)}) {
        const uint8_t *cursor = bytes.data();
        zv_fc_param_t *p = nullptr;
        EXPECT_EQ(zv_fc_param_load_buffer(&cursor, &p), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(cursor, bytes.data());
    }
}

TEST(FcParam, CountsNotAboveZeroAreRefused) {
    for (auto [in, out] : {std::pair{0, 1}, {1, 0}, {-1, 4}, {4, INT32_MIN}}) {
        zv_fc_param_t *p = reinterpret_cast<zv_fc_param_t *>(8);
        EXPECT_EQ(zv_fc_param_init(in, out, &p), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(p, nullptr);
    }
    zv_memory_t memory;
    zv_memory_init(&memory);
    zv_fc_t *fc = reinterpret_cast<zv_fc_t *>(8);
    EXPECT_EQ(zv_fc_init(memory, nullptr, 0, &fc), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(fc, nullptr);
    zv_fc_param_t shapeless{0, 3, nullptr, nullptr};
    EXPECT_EQ(zv_fc_init(memory, &shapeless, 0, &fc), ZV_STATUS_INVALID_ARGUMENT);
    zv_fc_param_delete(nullptr);
    zv_fc_delete(nullptr);
}

}  // namespace
