#include "nn/fc.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "nn/param_io.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define ZV_FC_X86 1
#endif

#include <atomic>

// Weights for the AVX-512 kernels: each group of 16 output rows (a block)
// holds, for every quad of inputs, the 16 rows' four weights side by side, so
// that one 64-byte vector multiplies a broadcast quad of input bytes into 16
// outputs. Rows past out and inputs past in are zero.
struct zv_fc_packed {
    int32_t in;
    int32_t out;
    int32_t quads;   // (in + 3) / 4
    int32_t blocks;  // (out + 15) / 16
    size_t split_stride;     // bytes per half of a split row: in rounded up to 32
    const int8_t *weights;   // blocks x quads x 64, 64-byte aligned
    const int32_t *terms;    // blocks x 16, see pack()
    uint8_t *split;          // work rows: per frame, the inputs' low bytes, then their high bytes + 128
    void *block;             // the allocation holding all three
};

namespace {

// The scalar and AVX2 kernels, on the weights as stored.
using Kernel = void (*)(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias, int32_t accumulate,
                        const int16_t *x, int16_t *y);
// Several frames at once: rows x[t * x_stride ...] to y[t * y_stride ...] for
// t = 0..frames-1, exactly as that many kernel calls without accumulating,
// but with each weight row read once per group of frames.
using BatchKernel = void (*)(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias, size_t frames,
                             const int16_t *x, size_t x_stride, int16_t *y, size_t y_stride);

void batch_kernel_scalar(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias, size_t frames,
                         const int16_t *x, size_t x_stride, int16_t *y, size_t y_stride) {
    for (size_t t = 0; t < frames; ++t) {
        zv_fc_kernel_scalar(in, out, weights, bias, 0, x + t * x_stride, y + t * y_stride);
    }
}

}  // namespace

struct zv_fc {
    zv_memory_t memory;
    const zv_fc_param_t *param;
    int32_t accumulate;
    zv_fc_kernel_set_t set;
    Kernel kernel;
    BatchKernel batch;
    zv_fc_packed packed;  // AVX-512 set only
};

namespace {

struct ParamDeleter {
    void operator()(zv_fc_param_t *p) const { zv_fc_param_delete(p); }
};
using ParamPtr = std::unique_ptr<zv_fc_param_t, ParamDeleter>;

int32_t read_le32(const uint8_t *p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

void write_le32(uint8_t *p, int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Heap record with its arrays, uninitialised contents unless zeroed.
zv_status_t allocate_param(int32_t in, int32_t out, bool zeroed, ParamPtr *result) {
    if (in <= 0 || out <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const uint64_t weights = static_cast<uint64_t>(in) * static_cast<uint64_t>(out);
    if (weights > SIZE_MAX) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    ParamPtr param(static_cast<zv_fc_param_t *>(calloc(1, sizeof(zv_fc_param_t))));
    if (!param) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    param->in = in;
    param->out = out;
    param->weights = static_cast<int8_t *>(zeroed ? calloc(static_cast<size_t>(weights), 1)
                                                  : malloc(static_cast<size_t>(weights)));
    param->bias = static_cast<int8_t *>(zeroed ? calloc(static_cast<size_t>(out), 1)
                                               : malloc(static_cast<size_t>(out)));
    if (!param->weights || !param->bias) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    *result = std::move(param);
    return ZV_STATUS_SUCCESS;
}

// The fixed-point finish of one output: round the product sum with the bias,
// add what the output held when accumulating, saturate. The 32-bit sums wrap,
// so they are done unsigned.
inline int16_t finish(uint32_t acc, int8_t bias, int32_t accumulate, int16_t held) {
    const uint32_t sum = acc + static_cast<uint32_t>(static_cast<int32_t>(bias) * 1024) + 64u;
    int32_t r = static_cast<int32_t>(sum) >> 7;
    if (accumulate) {
        r += held;
    }
    if (r > 32767) {
        r = 32767;
    } else if (r < -32768) {
        r = -32768;
    }
    return static_cast<int16_t>(r);
}

inline uint32_t dot_scalar(int32_t n, const int8_t *w, const int16_t *x) {
    uint32_t acc = 0;
    for (int32_t j = 0; j < n; ++j) {
        acc += static_cast<uint32_t>(static_cast<int32_t>(w[j]) * static_cast<int32_t>(x[j]));
    }
    return acc;
}

// Frames the AVX-512 batch kernel computes together.
constexpr size_t kSplitFrames = 4;

#ifdef ZV_FC_X86

// Int8 weights are sign-extended to int16 and multiplied pairwise with
// vpmaddwd: each product is below 2^22 in magnitude, so the pair sums are
// exact and the 32-bit lane sums wrap exactly as the scalar sum does.
__attribute__((target("avx2"))) inline __m256i widen(const int8_t *w) {
    return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(w)));
}

__attribute__((target("avx2"))) inline __m256i load16(const int16_t *x) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x));
}

// Four lane sums of a, b, c, d as one vector of four wrapping int32 totals.
__attribute__((target("avx2"))) inline __m128i hsum4(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i ab = _mm256_hadd_epi32(a, b);
    const __m256i cd = _mm256_hadd_epi32(c, d);
    const __m256i abcd = _mm256_hadd_epi32(ab, cd);
    return _mm_add_epi32(_mm256_castsi256_si128(abcd), _mm256_extracti128_si256(abcd, 1));
}

__attribute__((target("avx2"))) inline uint32_t hsum1(__m256i a) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(s));
}

__attribute__((target("avx2"))) void kernel_avx2(int32_t in, int32_t out, const int8_t *weights,
                                                 const int8_t *bias, int32_t accumulate, const int16_t *x,
                                                 int16_t *y) {
    const int32_t body = in & ~15;
    const size_t stride = static_cast<size_t>(in);
    int32_t i = 0;
    for (; i + 4 <= out; i += 4) {
        const int8_t *w0 = weights + static_cast<size_t>(i) * stride;
        const int8_t *w1 = w0 + stride;
        const int8_t *w2 = w1 + stride;
        const int8_t *w3 = w2 + stride;
        __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
        for (int32_t j = 0; j < body; j += 16) {
            const __m256i xv = load16(x + j);
            a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(widen(w0 + j), xv));
            a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(widen(w1 + j), xv));
            a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(widen(w2 + j), xv));
            a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(widen(w3 + j), xv));
        }
        alignas(16) uint32_t acc[4];
        _mm_store_si128(reinterpret_cast<__m128i *>(acc), hsum4(a0, a1, a2, a3));
        const int8_t *rows[4] = {w0, w1, w2, w3};
        for (int k = 0; k < 4; ++k) {
            const uint32_t total = acc[k] + dot_scalar(in - body, rows[k] + body, x + body);
            y[i + k] = finish(total, bias[i + k], accumulate, y[i + k]);
        }
    }
    for (; i < out; ++i) {
        const int8_t *w = weights + static_cast<size_t>(i) * stride;
        __m256i a = _mm256_setzero_si256();
        for (int32_t j = 0; j < body; j += 16) {
            a = _mm256_add_epi32(a, _mm256_madd_epi16(widen(w + j), load16(x + j)));
        }
        const uint32_t total = hsum1(a) + dot_scalar(in - body, w + body, x + body);
        y[i] = finish(total, bias[i], accumulate, y[i]);
    }
}

// Groups of four frames share every widened weight vector.
__attribute__((target("avx2"))) void batch_kernel_avx2(int32_t in, int32_t out, const int8_t *weights,
                                                       const int8_t *bias, size_t frames, const int16_t *x,
                                                       size_t x_stride, int16_t *y, size_t y_stride) {
    const int32_t body = in & ~15;
    const size_t stride = static_cast<size_t>(in);
    size_t t = 0;
    for (; t + 4 <= frames; t += 4) {
        const int16_t *x0 = x + t * x_stride;
        const int16_t *x1 = x0 + x_stride;
        const int16_t *x2 = x1 + x_stride;
        const int16_t *x3 = x2 + x_stride;
        int16_t *y0 = y + t * y_stride;
        int16_t *y1 = y0 + y_stride;
        int16_t *y2 = y1 + y_stride;
        int16_t *y3 = y2 + y_stride;
        for (int32_t i = 0; i < out; ++i) {
            const int8_t *w = weights + static_cast<size_t>(i) * stride;
            __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
            for (int32_t j = 0; j < body; j += 16) {
                const __m256i wv = widen(w + j);
                a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(wv, load16(x0 + j)));
                a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(wv, load16(x1 + j)));
                a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(wv, load16(x2 + j)));
                a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(wv, load16(x3 + j)));
            }
            alignas(16) uint32_t acc[4];
            _mm_store_si128(reinterpret_cast<__m128i *>(acc), hsum4(a0, a1, a2, a3));
            const int32_t tail = in - body;
            y0[i] = finish(acc[0] + dot_scalar(tail, w + body, x0 + body), bias[i], 0, 0);
            y1[i] = finish(acc[1] + dot_scalar(tail, w + body, x1 + body), bias[i], 0, 0);
            y2[i] = finish(acc[2] + dot_scalar(tail, w + body, x2 + body), bias[i], 0, 0);
            y3[i] = finish(acc[3] + dot_scalar(tail, w + body, x3 + body), bias[i], 0, 0);
        }
    }
    for (; t < frames; ++t) {
        kernel_avx2(in, out, weights, bias, 0, x + t * x_stride, y + t * y_stride);
    }
}

bool have_avx2() { return __builtin_cpu_supports("avx2"); }

bool have_avx512() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni");
}

#define ZV_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni")))

// Some compilers' AVX-512 intrinsics fill unused operands with deliberately
// undefined values and then warn about them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// vpdpbusd multiplies unsigned bytes by signed ones, so each int16 input x is
// split as x = 256 * (hi - 128) + lo with lo and hi unsigned bytes:
// sum(w * x) = 256 * sum(w * hi) + sum(w * lo) - 32768 * sum(w), all taken
// modulo 2^32, which is the scalar code's wrapping sum. The last term is
// constant per row and joins the rounding's constant in pack().
ZV_AVX512 void split_row(const int16_t *x, int32_t in, uint8_t *lo, uint8_t *hi) {
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    for (int32_t j = 0; j < in; j += 32) {
        const int32_t left = in - j;
        const __mmask32 mask = left >= 32 ? ~__mmask32{0} : static_cast<__mmask32>((1u << left) - 1u);
        const __m512i v = _mm512_maskz_loadu_epi16(mask, x + j);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(lo + j), _mm512_cvtepi16_epi8(v));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hi + j),
                            _mm256_xor_si256(_mm512_cvtepi16_epi8(_mm512_srai_epi16(v, 8)), flip));
    }
}

// acc + the byte products of x (unsigned) and w (signed), four per lane. In
// assembly because some compilers copy every accumulator around the
// intrinsic's tied operand, which doubles the loop's instructions.
ZV_AVX512 __attribute__((always_inline)) inline __m512i dot_bytes(__m512i acc, __m512i x, __m512i w) {
    asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(x), "v"(w));
    return acc;
}

// F frames by B blocks from block b0, over split rows: 2 x F x B independent
// sums, each vpdpbusd adding 64 byte products into 16 wrapping lanes.
template <int F, int B>
ZV_AVX512 void tile_avx512(const zv_fc_packed &pk, int32_t b0, int32_t accumulate, int16_t *y, size_t y_stride) {
    __m512i lo[F][B], hi[F][B];
    #pragma GCC unroll 16
    for (int f = 0; f < F; ++f) {
        #pragma GCC unroll 16
        for (int b = 0; b < B; ++b) {
            lo[f][b] = _mm512_setzero_si512();
            hi[f][b] = _mm512_setzero_si512();
        }
    }
    const size_t block_size = static_cast<size_t>(pk.quads) * 64;
    const size_t half = pk.split_stride;
    const int8_t *w = pk.weights + static_cast<size_t>(b0) * block_size;
    const uint8_t *split = pk.split;
    for (int32_t q = 0; q < pk.quads; ++q) {
        const int8_t *wq = w + static_cast<size_t>(q) * 64;
        __m512i xl[F], xh[F];
        #pragma GCC unroll 16
        for (int f = 0; f < F; ++f) {
            int32_t low, high;
            memcpy(&low, split + f * 2 * half + 4 * static_cast<size_t>(q), sizeof low);
            memcpy(&high, split + f * 2 * half + half + 4 * static_cast<size_t>(q), sizeof high);
            xl[f] = _mm512_set1_epi32(low);
            xh[f] = _mm512_set1_epi32(high);
        }
        #pragma GCC unroll 16
        for (int b = 0; b < B; ++b) {
            const __m512i wv = _mm512_load_si512(wq + b * block_size);
            #pragma GCC unroll 16
            for (int f = 0; f < F; ++f) {
                lo[f][b] = dot_bytes(lo[f][b], xl[f], wv);
                hi[f][b] = dot_bytes(hi[f][b], xh[f], wv);
            }
        }
    }
    #pragma GCC unroll 16
    for (int b = 0; b < B; ++b) {
        const int32_t first = (b0 + b) * 16;
        const int32_t lanes = pk.out - first < 16 ? pk.out - first : 16;
        const __mmask16 mask = static_cast<__mmask16>((1u << lanes) - 1u);
        const __m512i term = _mm512_load_si512(pk.terms + first);
        #pragma GCC unroll 16
        for (int f = 0; f < F; ++f) {
            int16_t *out = y + f * y_stride + first;
            const __m512i sum = _mm512_add_epi32(_mm512_add_epi32(_mm512_slli_epi32(hi[f][b], 8), lo[f][b]), term);
            __m512i r = _mm512_srai_epi32(sum, 7);
            if (accumulate) {
                r = _mm512_add_epi32(r, _mm512_cvtepi16_epi32(_mm256_maskz_loadu_epi16(mask, out)));
            }
            // vpmovsdw saturates to int16 as the scalar finish does.
            _mm256_mask_storeu_epi16(out, mask, _mm512_cvtsepi32_epi16(r));
        }
    }
}

// One frame: up to 8 blocks share each broadcast input quad, enough
// independent sums to run at the multiplier's throughput.
ZV_AVX512 void process_avx512(const zv_fc_packed &pk, int32_t accumulate, const int16_t *x, int16_t *y) {
    split_row(x, pk.in, pk.split, pk.split + pk.split_stride);
    int32_t b = 0;
    for (; b + 8 <= pk.blocks; b += 8) {
        tile_avx512<1, 8>(pk, b, accumulate, y, 0);
    }
    switch (pk.blocks - b) {
        case 7: tile_avx512<1, 7>(pk, b, accumulate, y, 0); break;
        case 6: tile_avx512<1, 6>(pk, b, accumulate, y, 0); break;
        case 5: tile_avx512<1, 5>(pk, b, accumulate, y, 0); break;
        case 4: tile_avx512<1, 4>(pk, b, accumulate, y, 0); break;
        case 3: tile_avx512<1, 3>(pk, b, accumulate, y, 0); break;
        case 2: tile_avx512<1, 2>(pk, b, accumulate, y, 0); break;
        case 1: tile_avx512<1, 1>(pk, b, accumulate, y, 0); break;
        default: break;
    }
}

// F frames, already split, over every block two at a time.
template <int F>
ZV_AVX512 void frames_avx512(const zv_fc_packed &pk, int32_t accumulate, int16_t *y, size_t y_stride) {
    int32_t b = 0;
    for (; b + 2 <= pk.blocks; b += 2) {
        tile_avx512<F, 2>(pk, b, accumulate, y, y_stride);
    }
    if (b < pk.blocks) {
        tile_avx512<F, 1>(pk, b, accumulate, y, y_stride);
    }
}

ZV_AVX512 void batch_avx512(const zv_fc_packed &pk, int32_t accumulate, size_t frames, const int16_t *x,
                            size_t x_stride, int16_t *y, size_t y_stride) {
    for (size_t t = 0; t < frames; t += kSplitFrames) {
        const size_t n = frames - t < kSplitFrames ? frames - t : kSplitFrames;
        for (size_t f = 0; f < n; ++f) {
            uint8_t *row = pk.split + f * 2 * pk.split_stride;
            split_row(x + (t + f) * x_stride, pk.in, row, row + pk.split_stride);
        }
        int16_t *yt = y + t * y_stride;
        switch (n) {
            case 4: frames_avx512<4>(pk, accumulate, yt, y_stride); break;
            case 3: frames_avx512<3>(pk, accumulate, yt, y_stride); break;
            case 2: frames_avx512<2>(pk, accumulate, yt, y_stride); break;
            default: frames_avx512<1>(pk, accumulate, yt, y_stride); break;
        }
    }
}

#pragma GCC diagnostic pop

#endif

bool set_available(zv_fc_kernel_set_t set) {
    switch (set) {
        case ZV_FC_KERNELS_SCALAR:
            return true;
#ifdef ZV_FC_X86
        case ZV_FC_KERNELS_AVX2:
            return have_avx2();
        case ZV_FC_KERNELS_AVX512:
            return have_avx512();
#endif
        default:
            return false;
    }
}

// The limit of zv_fc_kernel_set_limit; constant-initialised, no constructor.
std::atomic<int> g_kernel_limit{ZV_FC_KERNELS_AVX512};

#ifdef ZV_FC_X86
// The re-laid copy of the weights, their row constants and the split work
// rows, in one 64-byte aligned block. terms[i] is bias * 1024 + 64 (the
// rounding's constant) less 32768 times the row's weight sum, modulo 2^32.
zv_status_t pack(zv_memory_t memory, const zv_fc_param_t *param, zv_fc_packed *pk) {
    pk->in = param->in;
    pk->out = param->out;
    pk->quads = static_cast<int32_t>((static_cast<int64_t>(param->in) + 3) / 4);
    pk->blocks = static_cast<int32_t>((static_cast<int64_t>(param->out) + 15) / 16);
    pk->split_stride = (static_cast<size_t>(param->in) + 31) & ~static_cast<size_t>(31);
    // Counts below 2^31 keep every size here below 2^64.
    const uint64_t weight_bytes = static_cast<uint64_t>(pk->blocks) * static_cast<uint64_t>(pk->quads) * 64u;
    const uint64_t term_bytes = static_cast<uint64_t>(pk->blocks) * 16u * sizeof(int32_t);
    const uint64_t split_bytes = static_cast<uint64_t>(kSplitFrames) * 2u * pk->split_stride;
    const uint64_t total = weight_bytes + term_bytes + split_bytes + 63u;
    if (total > SIZE_MAX) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    void *block = zv_memory_allocate(memory, total, 1);
    if (!block) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(block) + 63u) & ~static_cast<uintptr_t>(63u);
    int8_t *weights = reinterpret_cast<int8_t *>(aligned);
    int32_t *terms = reinterpret_cast<int32_t *>(aligned + static_cast<uintptr_t>(weight_bytes));
    const size_t in = static_cast<size_t>(param->in);
    const size_t block_size = static_cast<size_t>(pk->quads) * 64;
    for (int32_t i = 0; i < param->out; ++i) {
        int8_t *dst = weights + static_cast<size_t>(i / 16) * block_size + static_cast<size_t>(i % 16) * 4;
        const int8_t *src = param->weights + static_cast<size_t>(i) * in;
        uint32_t sum = 0;
        for (size_t j = 0; j < in; ++j) {
            dst[(j / 4) * 64 + (j % 4)] = src[j];
            sum += static_cast<uint32_t>(static_cast<int32_t>(src[j]));
        }
        terms[i] = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(param->bias[i]) * 1024) + 64u -
                                        (sum << 15));
    }
    pk->weights = weights;
    pk->terms = terms;
    pk->split = reinterpret_cast<uint8_t *>(aligned + static_cast<uintptr_t>(weight_bytes + term_bytes));
    pk->block = block;
    return ZV_STATUS_SUCCESS;
}

#endif

}  // namespace

extern "C" uint64_t zv_fc_param_encoded_size(int32_t in, int32_t out) {
    // Only meaningful for positive counts; at most about 2^62.
    return 8u + static_cast<uint64_t>(out) * (static_cast<uint64_t>(in) + 1u);
}

extern "C" zv_status_t zv_fc_param_init(int32_t in, int32_t out, zv_fc_param_t **param) {
    *param = nullptr;
    ParamPtr result;
    ZV_TRY(allocate_param(in, out, true, &result));
    *param = result.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_fc_param_delete(zv_fc_param_t *param) {
    if (!param) {
        return;
    }
    free(param->weights);
    free(param->bias);
    free(param);
}

extern "C" zv_status_t zv_fc_param_load(FILE *file, zv_fc_param_t **param) {
    *param = nullptr;
    int32_t in = 0;
    int32_t out = 0;
    ZV_TRY(zv_param_read_i32(file, &in));
    if (in <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    ZV_TRY(zv_param_read_i32(file, &out));
    if (out <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    // Counts claiming more bytes than the file holds are a short read; they
    // are refused before anything that large is allocated.
    uint64_t left = 0;
    if (zv_param_bytes_left(file, &left) && zv_fc_param_encoded_size(in, out) - 8u > left) {
        return ZV_STATUS_IO_ERROR;
    }
    ParamPtr result;
    ZV_TRY(allocate_param(in, out, false, &result));
    ZV_TRY(zv_param_read(file, result->bias, static_cast<size_t>(out)));
    ZV_TRY(zv_param_read(file, result->weights, static_cast<size_t>(in) * static_cast<size_t>(out)));
    *param = result.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_fc_param_load_buffer(const uint8_t **cursor, zv_fc_param_t **param) {
    *param = nullptr;
    const uint8_t *p = *cursor;
    const int32_t in = read_le32(p);
    if (in <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int32_t out = read_le32(p + 4);
    if (out <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    ParamPtr result;
    ZV_TRY(allocate_param(in, out, false, &result));
    const size_t weights = static_cast<size_t>(in) * static_cast<size_t>(out);
    memcpy(result->bias, p + 8, static_cast<size_t>(out));
    memcpy(result->weights, p + 8 + out, weights);
    *cursor = p + 8 + static_cast<size_t>(out) + weights;
    *param = result.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_fc_param_serialize_buffer(const zv_fc_param_t *param, size_t *size, void **buffer) {
    *buffer = nullptr;
    const uint64_t total = zv_fc_param_encoded_size(param->in, param->out);
    *size = static_cast<size_t>(total);
    if (param->in <= 0 || param->out <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (total > SIZE_MAX) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    uint8_t *bytes = static_cast<uint8_t *>(malloc(static_cast<size_t>(total)));
    if (!bytes) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    write_le32(bytes, param->in);
    write_le32(bytes + 4, param->out);
    memcpy(bytes + 8, param->bias, static_cast<size_t>(param->out));
    memcpy(bytes + 8 + param->out, param->weights, static_cast<size_t>(param->in) * static_cast<size_t>(param->out));
    *buffer = bytes;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_fc_param_serialize(const zv_fc_param_t *param, FILE *file) {
    size_t size = 0;
    void *buffer = nullptr;
    ZV_TRY(zv_fc_param_serialize_buffer(param, &size, &buffer));
    const zv_status_t status = zv_param_write(file, buffer, size);
    free(buffer);
    return status;
}

extern "C" int32_t zv_fc_param_is_equal(const zv_fc_param_t *a, const zv_fc_param_t *b) {
    if (a->in != b->in || a->out != b->out) {
        return 0;
    }
    if (a->in <= 0 || a->out <= 0) {
        return 1;
    }
    const size_t weights = static_cast<size_t>(a->in) * static_cast<size_t>(a->out);
    return memcmp(a->bias, b->bias, static_cast<size_t>(a->out)) == 0 && memcmp(a->weights, b->weights, weights) == 0
               ? 1
               : 0;
}

extern "C" void zv_fc_kernel_scalar(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias,
                                    int32_t accumulate, const int16_t *x, int16_t *y) {
    for (int32_t i = 0; i < out; ++i) {
        const uint32_t acc = dot_scalar(in, weights + static_cast<size_t>(i) * static_cast<size_t>(in), x);
        y[i] = finish(acc, bias[i], accumulate, y[i]);
    }
}


extern "C" int32_t zv_fc_kernel_set_is_available(zv_fc_kernel_set_t set) { return set_available(set) ? 1 : 0; }

extern "C" void zv_fc_kernel_set_limit(zv_fc_kernel_set_t limit) { g_kernel_limit.store(limit); }

extern "C" zv_fc_kernel_set_t zv_fc_kernel_set_current(void) {
    int set = g_kernel_limit.load();
    if (set > ZV_FC_KERNELS_AVX512) {
        set = ZV_FC_KERNELS_AVX512;
    }
    while (set > ZV_FC_KERNELS_SCALAR && !set_available(static_cast<zv_fc_kernel_set_t>(set))) {
        --set;
    }
    return set < ZV_FC_KERNELS_SCALAR ? ZV_FC_KERNELS_SCALAR : static_cast<zv_fc_kernel_set_t>(set);
}

extern "C" zv_status_t zv_fc_init_with_set(zv_memory_t memory, const zv_fc_param_t *param, int32_t accumulate,
                                           zv_fc_kernel_set_t set, zv_fc_t **fc) {
    *fc = nullptr;
    if (!param || param->in <= 0 || param->out <= 0 || !param->weights || !param->bias || !set_available(set)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    zv_fc_t *layer = static_cast<zv_fc_t *>(zv_memory_allocate(memory, sizeof(zv_fc_t), 1));
    if (!layer) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    layer->memory = memory;
    layer->param = param;
    layer->accumulate = accumulate;
    layer->set = set;
    layer->kernel = zv_fc_kernel_scalar;
    layer->batch = batch_kernel_scalar;
#ifdef ZV_FC_X86
    if (set == ZV_FC_KERNELS_AVX2) {
        layer->kernel = kernel_avx2;
        layer->batch = batch_kernel_avx2;
    } else if (set == ZV_FC_KERNELS_AVX512) {
        const zv_status_t status = pack(memory, param, &layer->packed);
        if (status != ZV_STATUS_SUCCESS) {
            zv_memory_free(memory, layer);
            return status;
        }
    }
#endif
    *fc = layer;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_fc_init(zv_memory_t memory, const zv_fc_param_t *param, int32_t accumulate, zv_fc_t **fc) {
    return zv_fc_init_with_set(memory, param, accumulate, zv_fc_kernel_set_current(), fc);
}

extern "C" void zv_fc_delete(zv_fc_t *fc) {
    if (fc) {
        zv_memory_free(fc->memory, fc->packed.block);
        zv_memory_free(fc->memory, fc);
    }
}

extern "C" void zv_fc_process(const zv_fc_t *fc, const int16_t *x, int16_t *y) {
    const zv_fc_param_t *p = fc->param;
#ifdef ZV_FC_X86
    if (fc->set == ZV_FC_KERNELS_AVX512) {
        process_avx512(fc->packed, fc->accumulate, x, y);
        return;
    }
#endif
    fc->kernel(p->in, p->out, p->weights, p->bias, fc->accumulate, x, y);
}

extern "C" void zv_fc_process_batch(const zv_fc_t *fc, size_t frames, const int16_t *x, size_t x_stride, int16_t *y,
                                    size_t y_stride) {
    const zv_fc_param_t *p = fc->param;
#ifdef ZV_FC_X86
    if (fc->set == ZV_FC_KERNELS_AVX512) {
        batch_avx512(fc->packed, fc->accumulate, frames, x, x_stride, y, y_stride);
        return;
    }
#endif
    if (fc->accumulate) {
        for (size_t t = 0; t < frames; ++t) {
            fc->kernel(p->in, p->out, p->weights, p->bias, 1, x + t * x_stride, y + t * y_stride);
        }
        return;
    }
    fc->batch(p->in, p->out, p->weights, p->bias, frames, x, x_stride, y, y_stride);
}

extern "C" zv_fc_kernel_set_t zv_fc_kernel_set(const zv_fc_t *fc) { return fc->set; }

extern "C" const zv_fc_param_t *zv_fc_param(const zv_fc_t *fc) { return fc->param; }
