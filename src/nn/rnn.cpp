#include "nn/rnn.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "nn/fixed_point.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define ZV_RNN_X86 1
#endif

struct zv_rnn {
    zv_memory_t memory;
    const zv_rnn_param_t *param;
    int32_t hidden;
    int16_t *h;  // hidden state (previous output), Q10
    int16_t *c;  // cell state, Q10
    zv_fc_t *input;
    zv_fc_t *recurrent;
    zv_rnn_activation_t sigmoid;  // vector forms, or null for the scalar ones
    zv_rnn_activation_t tanh;
    zv_rnn_cell_kernel_t cell;
    int32_t grid[257];
};

namespace {

struct ParamDeleter {
    void operator()(zv_rnn_param_t *p) const { zv_rnn_param_delete(p); }
};
struct RnnDeleter {
    void operator()(zv_rnn_t *p) const { zv_rnn_delete(p); }
};

int16_t clamp16(int32_t v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

// The cell's state update over n units: the gates are sigmoid and tanh
// outputs, so every product fits in 32 bits; the forget factor is 32767 - i.
void cell_update_scalar(int32_t n, const int16_t *gi, const int16_t *gg, int16_t *c) {
    for (int32_t j = 0; j < n; ++j) {
        const int32_t i = gi[j];
        const int32_t kept = ((32767 - i) * static_cast<int32_t>(c[j]) + (1 << 14)) >> 15;
        const int32_t added = (i * static_cast<int32_t>(gg[j]) + (1 << 19)) >> 20;
        c[j] = clamp16(kept + added);
    }
}

// The output gate applied to the tanh of the new state, in place in y.
void cell_output_scalar(int32_t n, const int16_t *go, int16_t *y) {
    for (int32_t j = 0; j < n; ++j) {
        y[j] = static_cast<int16_t>((static_cast<int32_t>(go[j]) * static_cast<int32_t>(y[j]) + (1 << 19)) >> 20);
    }
}

#ifdef ZV_RNN_X86

#define ZV_AVX2 __attribute__((target("avx2")))

// Eight lanes of the sigmoid's interpolation between grid points, on Q10
// inputs already widened to 32 bits.
ZV_AVX2 inline __m256i sigmoid8(const int32_t *table, __m256i x) {
    x = _mm256_min_epi32(_mm256_max_epi32(x, _mm256_set1_epi32(-8192)), _mm256_set1_epi32(8128));
    const __m256i u = _mm256_and_si256(x, _mm256_set1_epi32(0x3FFF));
    const __m256i f = _mm256_and_si256(x, _mm256_set1_epi32(63));
    const __m256i a = _mm256_srli_epi32(u, 6);
    const __m256i b = _mm256_srli_epi32(_mm256_add_epi32(u, _mm256_set1_epi32(63)), 6);
    const __m256i ta = _mm256_i32gather_epi32(table, a, 4);
    const __m256i tb = _mm256_i32gather_epi32(table, b, 4);
    const __m256i sum = _mm256_add_epi32(_mm256_mullo_epi32(ta, _mm256_sub_epi32(_mm256_set1_epi32(64), f)),
                                         _mm256_mullo_epi32(tb, f));
    return _mm256_srai_epi32(sum, 6);
}

// Sixteen int16 values in, sixteen out; in_scale 2 and the final 2s - 32768
// make the tanh.
template <bool kTanh>
ZV_AVX2 void activation_avx2(const int32_t *table, int32_t n, const int16_t *in, int16_t *out) {
    int32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i));
        __m256i lo = _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v));
        __m256i hi = _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1));
        if (kTanh) {
            // Doubling then saturating to int16 is subsumed by the sigmoid's clamp.
            lo = _mm256_slli_epi32(lo, 1);
            hi = _mm256_slli_epi32(hi, 1);
        }
        lo = sigmoid8(table, lo);
        hi = sigmoid8(table, hi);
        if (kTanh) {
            const __m256i half = _mm256_set1_epi32(32768);
            const __m256i floor = _mm256_set1_epi32(-32768);
            lo = _mm256_max_epi32(_mm256_sub_epi32(_mm256_slli_epi32(lo, 1), half), floor);
            hi = _mm256_max_epi32(_mm256_sub_epi32(_mm256_slli_epi32(hi, 1), half), floor);
        }
        // Every value fits int16, so the saturating pack only reorders.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), packed);
    }
    if (i < n) {
        if (kTanh) {
            zv_tanh(n - i, in + i, out + i);
        } else {
            zv_sigmoid(n - i, in + i, out + i);
        }
    }
}

// Eight lanes of value * factor + round >> shift in 32 bits, as the scalar
// cell computes them (every product fits, the gates being bounded).
ZV_AVX2 inline __m256i scale8(__m256i factor, __m256i value, int32_t round, int shift) {
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(factor, value), _mm256_set1_epi32(round)), shift);
}

ZV_AVX2 inline __m256i widen_low(__m256i v) { return _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v)); }
ZV_AVX2 inline __m256i widen_high(__m256i v) { return _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1)); }

// Sixteen int32 lanes back to int16, saturating as clamp16 does.
ZV_AVX2 inline __m256i narrow(__m256i low, __m256i high) {
    return _mm256_permute4x64_epi64(_mm256_packs_epi32(low, high), 0xD8);
}

// The cell in vector form, sixteen units at a time, exactly as zv_rnn_cell.
ZV_AVX2 void cell_avx2(int32_t hidden, const int16_t *z, int16_t *c, int16_t *y, const int32_t *grid) {
    const int16_t *gi = z;
    const int16_t *gg = z + hidden;
    const int16_t *go = z + 2 * static_cast<size_t>(hidden);
    const __m256i full = _mm256_set1_epi32(32767);
    int32_t j = 0;
    for (; j + 16 <= hidden; j += 16) {
        const __m256i i = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(gi + j));
        const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(gg + j));
        const __m256i cj = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(c + j));
        __m256i halves[2];
        for (int h = 0; h < 2; ++h) {
            const __m256i ih = h == 0 ? widen_low(i) : widen_high(i);
            const __m256i gh = h == 0 ? widen_low(g) : widen_high(g);
            const __m256i ch = h == 0 ? widen_low(cj) : widen_high(cj);
            const __m256i kept = scale8(_mm256_sub_epi32(full, ih), ch, 1 << 14, 15);
            const __m256i added = scale8(ih, gh, 1 << 19, 20);
            halves[h] = _mm256_add_epi32(kept, added);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(c + j), narrow(halves[0], halves[1]));
    }
    cell_update_scalar(hidden - j, gi + j, gg + j, c + j);
    activation_avx2<true>(grid, hidden, c, y);
    for (j = 0; j + 16 <= hidden; j += 16) {
        const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(go + j));
        const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(y + j));
        const __m256i low = scale8(widen_low(o), widen_low(t), 1 << 19, 20);
        const __m256i high = scale8(widen_high(o), widen_high(t), 1 << 19, 20);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(y + j), narrow(low, high));
    }
    cell_output_scalar(hidden - j, go + j, y + j);
}

bool have_avx2() { return __builtin_cpu_supports("avx2"); }

#endif

void sigmoid(const zv_rnn_t *rnn, int32_t n, int16_t *v) {
    if (rnn->sigmoid) {
        rnn->sigmoid(rnn->grid, n, v, v);
    } else {
        zv_sigmoid(n, v, v);
    }
}

void tanh_gate(const zv_rnn_t *rnn, int32_t n, const int16_t *in, int16_t *out) {
    if (rnn->tanh) {
        rnn->tanh(rnn->grid, n, in, out);
    } else {
        zv_tanh(n, in, out);
    }
}

}  // namespace

extern "C" void zv_rnn_sigmoid_grid(int32_t table[257]) {
    // At a grid point the interpolation weight is 0, so the sigmoid gives the
    // point's own value: 64k for k < 128, 64(k - 256) from k = 128 on.
    for (int32_t k = 0; k <= 256; ++k) {
        const int16_t x = static_cast<int16_t>(k < 128 ? 64 * k : 64 * (k - 256));
        int16_t y = 0;
        zv_sigmoid(1, &x, &y);
        table[k] = y;
    }
}

extern "C" zv_rnn_activation_t zv_rnn_sigmoid_avx2(void) {
#ifdef ZV_RNN_X86
    if (have_avx2()) {
        return activation_avx2<false>;
    }
#endif
    return nullptr;
}

extern "C" zv_rnn_cell_kernel_t zv_rnn_cell_avx2(void) {
#ifdef ZV_RNN_X86
    if (have_avx2()) {
        return cell_avx2;
    }
#endif
    return nullptr;
}

extern "C" zv_rnn_activation_t zv_rnn_tanh_avx2(void) {
#ifdef ZV_RNN_X86
    if (have_avx2()) {
        return activation_avx2<true>;
    }
#endif
    return nullptr;
}

extern "C" void zv_rnn_cell(int32_t hidden, const int16_t *z, int16_t *c, int16_t *y) {
    cell_update_scalar(hidden, z, z + hidden, c);
    zv_tanh(hidden, c, y);
    cell_output_scalar(hidden, z + 2 * static_cast<size_t>(hidden), y);
}

extern "C" zv_status_t zv_rnn_param_load(FILE *file, zv_rnn_param_t **param) {
    *param = nullptr;
    std::unique_ptr<zv_rnn_param_t, ParamDeleter> result(
        static_cast<zv_rnn_param_t *>(calloc(1, sizeof(zv_rnn_param_t))));
    if (!result) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    ZV_TRY(zv_fc_param_load(file, &result->input));
    ZV_TRY(zv_fc_param_load(file, &result->recurrent));
    *param = result.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_rnn_param_delete(zv_rnn_param_t *param) {
    if (!param) {
        return;
    }
    zv_fc_param_delete(param->input);
    zv_fc_param_delete(param->recurrent);
    free(param);
}

extern "C" zv_status_t zv_rnn_param_serialize(const zv_rnn_param_t *param, FILE *file) {
    ZV_TRY(zv_fc_param_serialize(param->input, file));
    return zv_fc_param_serialize(param->recurrent, file);
}

extern "C" int32_t zv_rnn_param_hidden_width(const zv_rnn_param_t *param) { return param->recurrent->in; }

extern "C" int32_t zv_rnn_param_is_consistent(const zv_rnn_param_t *param) {
    if (!param || !param->input || !param->recurrent) {
        return 0;
    }
    const zv_fc_param_t *in = param->input;
    const zv_fc_param_t *rec = param->recurrent;
    if (in->in <= 0 || in->out <= 0 || rec->in <= 0 || rec->out <= 0) {
        return 0;
    }
    const int64_t gates = 3 * static_cast<int64_t>(rec->in);
    return in->out == gates && rec->out == gates ? 1 : 0;
}

extern "C" zv_status_t zv_rnn_init(zv_memory_t memory, const zv_rnn_param_t *param, zv_rnn_t **rnn) {
    *rnn = nullptr;
    if (!zv_rnn_param_is_consistent(param)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    std::unique_ptr<zv_rnn_t, RnnDeleter> layer(static_cast<zv_rnn_t *>(zv_memory_allocate(memory, sizeof(zv_rnn_t), 1)));
    if (!layer) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    layer->memory = memory;
    layer->param = param;
    layer->hidden = param->recurrent->in;
    zv_rnn_sigmoid_grid(layer->grid);
    const uint64_t state_bytes = static_cast<uint64_t>(layer->hidden) * sizeof(int16_t);
    layer->h = static_cast<int16_t *>(zv_memory_allocate(memory, state_bytes, 1));
    layer->c = static_cast<int16_t *>(zv_memory_allocate(memory, state_bytes, 1));
    if (!layer->h || !layer->c) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    ZV_TRY(zv_fc_init(memory, param->input, 0, &layer->input));
    ZV_TRY(zv_fc_init(memory, param->recurrent, 1, &layer->recurrent));
    // The gates follow the products' kernel set, so that a scalar layer is scalar throughout.
    if (zv_fc_kernel_set(layer->recurrent) != ZV_FC_KERNELS_SCALAR) {
        layer->sigmoid = zv_rnn_sigmoid_avx2();
        layer->tanh = zv_rnn_tanh_avx2();
        layer->cell = zv_rnn_cell_avx2();
    }
    *rnn = layer.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_rnn_delete(zv_rnn_t *rnn) {
    if (!rnn) {
        return;
    }
    zv_fc_delete(rnn->recurrent);
    zv_fc_delete(rnn->input);
    zv_memory_free(rnn->memory, rnn->c);
    zv_memory_free(rnn->memory, rnn->h);
    zv_memory_free(rnn->memory, rnn);
}

extern "C" void zv_rnn_step(zv_rnn_t *rnn, int16_t *z, int16_t *y) {
    const int32_t hidden = rnn->hidden;
    zv_fc_process(rnn->recurrent, rnn->h, z);
    sigmoid(rnn, hidden, z);
    tanh_gate(rnn, hidden, z + hidden, z + hidden);
    sigmoid(rnn, hidden, z + 2 * static_cast<size_t>(hidden));
    // The cell update, then the output's tanh of the new cell state. The
    // vector cell is there exactly when the vector gates are.
    if (rnn->cell) {
        rnn->cell(hidden, z, rnn->c, rnn->h, rnn->grid);
    } else {
        zv_rnn_cell(hidden, z, rnn->c, rnn->h);
    }
    memcpy(y, rnn->h, static_cast<size_t>(hidden) * sizeof(int16_t));
}

extern "C" zv_status_t zv_rnn_process(zv_rnn_t *rnn, const int16_t *x, int16_t *y) {
    const uint64_t work_bytes = 3u * static_cast<uint64_t>(rnn->hidden) * sizeof(int16_t);
    int16_t *z = static_cast<int16_t *>(zv_memory_allocate(rnn->memory, work_bytes, 1));
    if (!z) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    // x is consumed here, before y (which may be x) is written.
    zv_fc_process(rnn->input, x, z);
    zv_rnn_step(rnn, z, y);
    zv_memory_free(rnn->memory, z);
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_rnn_reset(zv_rnn_t *rnn) {
    const size_t bytes = static_cast<size_t>(rnn->hidden) * sizeof(int16_t);
    memset(rnn->h, 0, bytes);
    memset(rnn->c, 0, bytes);
}

extern "C" const zv_rnn_param_t *zv_rnn_param(const zv_rnn_t *rnn) { return rnn->param; }

extern "C" const zv_fc_t *zv_rnn_input_layer(const zv_rnn_t *rnn) { return rnn->input; }
