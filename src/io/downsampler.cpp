// Sample-rate reduction by a windowed-sinc low-pass filter followed by linear
// interpolation at the output instants, over a stream given in blocks of any size.
#include "io/downsampler.h"

#include <immintrin.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

// The number of samples one pass works on: the history holds at most this
// many samples in use (filter memory, carried samples and new ones).
static constexpr int32_t kPassSize = 2048;

struct zv_downsampler {
    int32_t num_taps;        // N = 2 x order
    float ratio;             // input rate / output rate
    float *taps;             // N values, adding up to 1
    int32_t output_rate;     // as given to init
    int64_t next_output;     // number of the next output sample; outputs count from 1
    int32_t carry;           // filtered samples kept for the next call
    int16_t *filtered;       // L + kPassSize values, L = ceil(ratio)
    int16_t *history;        // N + L + kPassSize values
    int32_t history_size;
    zv_downsampler_filter_fn filter;
    // At a whole ratio every output is a filtered sample itself, so only every
    // stride-th one is computed: stride is the ratio then, else 0.
    int32_t stride;
    int16_t *phases;  // stride x phase_pitch(stride) values, for the vector kernel
    zv_downsampler_strided_fn strided;
};

namespace {

inline int16_t sat16(float sum) {
    if (sum >= 32767.0f) return 32767;
    if (sum <= -32768.0f) return -32768;
    return static_cast<int16_t>(static_cast<int32_t>(sum));
}

int32_t clamp_to_int32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// A float that may lie far outside the int32 range, truncated toward zero and clamped.
int64_t float_to_int64(double v) {
    if (v >= 4.0e18) return INT64_C(4000000000000000000);
    if (v <= -4.0e18) return -INT64_C(4000000000000000000);
    return static_cast<int64_t>(v);
}

zv_downsampler_filter_fn best_filter() {
    return zv_downsampler_filter_avx2_available() ? zv_downsampler_filter_avx2 : zv_downsampler_filter_scalar;
}

zv_downsampler_strided_fn best_strided() {
    return zv_downsampler_filter_avx2_available() ? zv_downsampler_filter_strided_avx2
                                                  : zv_downsampler_filter_strided_scalar;
}

// Samples of one phase: every history index below kPassSize, plus one block of slack.
inline int32_t phase_pitch(int32_t stride) { return kPassSize / stride + 2; }

}  // namespace

extern "C" void zv_downsampler_filter_scalar(const int16_t *history, const float *taps, int32_t num_taps,
                                             int32_t first, int32_t end, int16_t *out) {
    for (int32_t i = first; i < end; ++i) {
        float sum = 0.0f;
        for (int32_t j = 0; j < num_taps; ++j) {
            sum += static_cast<float>(history[i - j]) * taps[j];
        }
        out[i - first] = sat16(sum);
    }
}

extern "C" void zv_downsampler_filter_strided_scalar(const int16_t *history, const float *taps,
                                                     int32_t num_taps, int32_t first, int32_t stride,
                                                     int32_t count, int16_t *out, int16_t *) {
    for (int32_t l = 0; l < count; ++l) {
        const int32_t i = first + stride * l;
        float sum = 0.0f;
        for (int32_t j = 0; j < num_taps; ++j) {
            sum += static_cast<float>(history[i - j]) * taps[j];
        }
        out[l] = sat16(sum);
    }
}

extern "C" int32_t zv_downsampler_filter_avx2_available(void) {
    return __builtin_cpu_supports("avx2") ? 1 : 0;
}

namespace {

// Eight consecutive samples as floats.
__attribute__((target("avx2"))) inline __m256 load8(const int16_t *p) {
    return _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))));
}

__attribute__((target("avx2"))) inline void store8(int16_t *out, __m256 sum) {
    const __m256 clamped = _mm256_min_ps(_mm256_max_ps(sum, _mm256_set1_ps(-32768.0f)), _mm256_set1_ps(32767.0f));
    const __m256i v = _mm256_cvttps_epi32(clamped);
    const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), packed);
}

// 8 x kVectors consecutive outputs; enough independent sums to keep the adder busy.
template <int kVectors>
__attribute__((target("avx2"))) inline void filter_block(const int16_t *p, const float *taps, int32_t num_taps,
                                                         int16_t *out) {
    __m256 acc[kVectors];
    for (int v = 0; v < kVectors; ++v) acc[v] = _mm256_setzero_ps();
    for (int32_t j = 0; j < num_taps; ++j) {
        const __m256 t = _mm256_broadcast_ss(taps + j);
        const int16_t *q = p - j;
        for (int v = 0; v < kVectors; ++v) acc[v] = _mm256_add_ps(acc[v], _mm256_mul_ps(load8(q + 8 * v), t));
    }
    for (int v = 0; v < kVectors; ++v) store8(out + 8 * v, acc[v]);
}

}  // namespace

// Vectorised across output samples, never across taps: each lane adds its
// terms in the scalar order, so the sums are bit-identical.
extern "C" __attribute__((target("avx2"))) void zv_downsampler_filter_avx2(const int16_t *history,
                                                                          const float *taps, int32_t num_taps,
                                                                          int32_t first, int32_t end,
                                                                          int16_t *out) {
    int32_t i = first;
    for (; i + 64 <= end; i += 64) filter_block<8>(history + i, taps, num_taps, out + (i - first));
    for (; i + 8 <= end; i += 8) filter_block<1>(history + i, taps, num_taps, out + (i - first));
    zv_downsampler_filter_scalar(history, taps, num_taps, i, end, out + (i - first));
}

namespace {

// 8 x kVectors outputs spaced by the stride, from the history split into its
// phases: lane by lane the samples of one tap are consecutive in one phase.
template <int kVectors>
__attribute__((target("avx2"))) inline void strided_block(const int16_t *phases, int32_t pitch, int32_t stride,
                                                          int32_t base, const float *taps, int32_t num_taps,
                                                          int16_t *out) {
    __m256 acc[kVectors];
    for (int v = 0; v < kVectors; ++v) acc[v] = _mm256_setzero_ps();
    int32_t phase = base % stride, index = base / stride;
    for (int32_t j = 0; j < num_taps; ++j) {
        const __m256 t = _mm256_broadcast_ss(taps + j);
        const int16_t *q = phases + phase * pitch + index;
        for (int v = 0; v < kVectors; ++v) acc[v] = _mm256_add_ps(acc[v], _mm256_mul_ps(load8(q + 8 * v), t));
        // The next tap reads one sample earlier.
        if (--phase < 0) {
            phase = stride - 1;
            --index;
        }
    }
    for (int v = 0; v < kVectors; ++v) store8(out + 8 * v, acc[v]);
}

}  // namespace

extern "C" __attribute__((target("avx2"))) void zv_downsampler_filter_strided_avx2(
    const int16_t *history, const float *taps, int32_t num_taps, int32_t first, int32_t stride, int32_t count,
    int16_t *out, int16_t *phases) {
    const int32_t pitch = phase_pitch(stride);
    const int32_t full = count / 8 * 8;
    if (full > 0) {
        const int32_t last = first + stride * (full - 1);
        for (int32_t p = 0; p < stride; ++p) {
            int16_t *dst = phases + p * pitch;
            for (int32_t i = p, m = 0; i <= last; i += stride, ++m) dst[m] = history[i];
        }
    }
    int32_t l = 0;
    for (; l + 64 <= full; l += 64) strided_block<8>(phases, pitch, stride, first + stride * l, taps, num_taps, out + l);
    for (; l + 8 <= full; l += 8) strided_block<1>(phases, pitch, stride, first + stride * l, taps, num_taps, out + l);
    zv_downsampler_filter_strided_scalar(history, taps, num_taps, first + stride * l, stride, count - l, out + l,
                                         phases);
}

extern "C" zv_status_t zv_downsampler_init(int32_t input_sample_rate, int32_t output_sample_rate, int32_t order,
                                           zv_downsampler_t **downsampler) {
    if (downsampler == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *downsampler = nullptr;
    if (input_sample_rate < output_sample_rate || order < 1 || output_sample_rate <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const float ratio = static_cast<float>(input_sample_rate) / static_cast<float>(output_sample_rate);
    const float ceil_ratio = ceilf(ratio);
    // Each pass needs room for at least one new sample beside the filter
    // memory and the carried samples; otherwise it could never advance.
    if (2 * static_cast<int64_t>(order) + static_cast<int64_t>(ceil_ratio) > kPassSize - 1) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int32_t num_taps = 2 * order;
    const int32_t lookahead = static_cast<int32_t>(ceil_ratio);

    zv_downsampler_t *d = static_cast<zv_downsampler_t *>(calloc(1, sizeof(zv_downsampler_t)));
    if (d == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    d->output_rate = output_sample_rate;
    d->num_taps = num_taps;
    d->ratio = ratio;
    d->taps = static_cast<float *>(malloc(sizeof(float) * static_cast<size_t>(num_taps)));
    if (d->taps == nullptr) {
        free(d);
        return ZV_STATUS_OUT_OF_MEMORY;
    }

    // Cut-off at the output's Nyquist frequency: pi / ratio radians per input sample.
    const double wc = static_cast<double>(0.5f / ratio) * 6.283185307179586;
    const int32_t half = num_taps / 2;
    for (int32_t i = 0; i < num_taps; ++i) {
        const int32_t j = i - half;
        if (j == 0) {
            d->taps[i] = static_cast<float>(wc);
            continue;
        }
        const float s = sinf(static_cast<float>(j * wc));
        const float c1 = cosf(static_cast<float>(i * 6.283185307179586 / num_taps));
        const float c2 = cosf(static_cast<float>(i * 12.566370614359172 / num_taps));
        const float w = (0.42f - 0.5f * c1) + 0.08f * c2;
        d->taps[i] = w * (s / static_cast<float>(j));
    }
    float sum = 0.0f;
    for (int32_t i = 0; i < num_taps; ++i) {
        sum += d->taps[i];
    }
    for (int32_t i = 0; i < num_taps; ++i) {
        d->taps[i] = d->taps[i] / sum;
    }

    d->history_size = num_taps + lookahead + kPassSize;
    d->filtered = static_cast<int16_t *>(calloc(static_cast<size_t>(lookahead + kPassSize), sizeof(int16_t)));
    d->history = static_cast<int16_t *>(calloc(static_cast<size_t>(d->history_size), sizeof(int16_t)));
    if (d->filtered == nullptr || d->history == nullptr) {
        zv_downsampler_delete(d);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    if (ratio == ceil_ratio && lookahead >= 2) {
        d->stride = lookahead;
        d->phases = static_cast<int16_t *>(malloc(sizeof(int16_t) * static_cast<size_t>(lookahead) *
                                                  static_cast<size_t>(phase_pitch(lookahead))));
        if (d->phases == nullptr) {
            zv_downsampler_delete(d);
            return ZV_STATUS_OUT_OF_MEMORY;
        }
    }
    d->carry = 0;
    d->next_output = 1;
    d->filter = best_filter();
    d->strided = best_strided();
    *downsampler = d;
    return ZV_STATUS_SUCCESS;
}

extern "C" int32_t zv_downsampler_process(zv_downsampler_t *d, const int16_t *input, int32_t num_samples,
                                          int16_t *output) {
    if (d == nullptr || num_samples <= 0 || input == nullptr || output == nullptr) {
        return 0;
    }
    if (!(d->ratio > 1.0f)) {
        memmove(output, input, sizeof(int16_t) * static_cast<size_t>(num_samples));
        return num_samples;
    }
    const int32_t num_taps = d->num_taps;
    const double r = static_cast<double>(d->ratio);
    int16_t *history = d->history;
    int16_t *filtered = d->filtered;

    int32_t n = num_samples;
    int32_t c = d->carry + num_taps;
    // Absolute index of the sample that filtered[0] stands for in this pass.
    int64_t f = static_cast<int64_t>(ceil(static_cast<double>(d->next_output - 1) * r));
    int32_t produced = 0;
    while (n > 0) {
        const int32_t m = n < kPassSize - c ? n : kPassSize - c;
        memcpy(history + c, input, sizeof(int16_t) * static_cast<size_t>(m));
        const int32_t e = c + m;
        const int32_t h = e - num_taps;

        int64_t k = d->next_output;
        if (d->stride > 0) {
            // Output K is the filtered sample at K x stride: the same values
            // as interpolating, without filtering the samples in between.
            const int64_t t0 = k * d->stride - f;
            const int32_t count = t0 < h ? static_cast<int32_t>((h - 1 - t0) / d->stride + 1) : 0;
            d->strided(history, d->taps, num_taps, num_taps + static_cast<int32_t>(t0), d->stride, count,
                       output + produced, d->phases);
            produced += count;
            k += count;
        } else {
            d->filter(history, d->taps, num_taps, num_taps, e, filtered);
        }
        while (d->stride == 0 && static_cast<int64_t>(ceil(static_cast<double>(k) * r)) - f < h) {
            const float t = static_cast<float>(static_cast<double>(k) * r - static_cast<double>(f));
            const float t_floor = floorf(t);
            const float lo = static_cast<float>(filtered[static_cast<int32_t>(t_floor)]);
            const float hi = static_cast<float>(filtered[static_cast<int32_t>(ceilf(t))]);
            const float value = (hi - lo) * (t - t_floor) + lo;
            output[produced] = static_cast<int16_t>(static_cast<int32_t>(value));
            ++produced;
            ++k;
        }
        d->next_output = k;

        // Keep the filtered samples from the last output's upper neighbour on,
        // with the filter memory in front of them.
        const int64_t o = static_cast<int64_t>(ceil(static_cast<double>(k - 1) * r));
        d->carry = static_cast<int32_t>(h + f - o);
        const int32_t keep = d->carry + num_taps;
        memmove(history, history + (e - keep), sizeof(int16_t) * static_cast<size_t>(keep));
        f = o;
        c = keep;
        n -= m;
        input += m;
    }
    return produced;
}

extern "C" void zv_downsampler_reset(zv_downsampler_t *d) {
    if (d == nullptr) {
        return;
    }
    memset(d->history, 0, sizeof(int16_t) * static_cast<size_t>(d->history_size));
    d->carry = 0;
    d->next_output = 1;
}

extern "C" void zv_downsampler_delete(zv_downsampler_t *d) {
    if (d == nullptr) {
        return;
    }
    free(d->taps);
    free(d->filtered);
    free(d->history);
    free(d->phases);
    free(d);
}

extern "C" const char *zv_downsampler_version(void) { return "1.0.0"; }

extern "C" int32_t zv_downsampler_convert_num_samples_to_input_sample_rate(zv_downsampler_t *d,
                                                                          int32_t num_samples) {
    if (d == nullptr) {
        return 0;
    }
    // The single-precision product, but never above the exact one: past 2^24
    // samples it can round up by more than a sample, and process would then
    // write more than num_samples.
    const double needed = fmin(ceilf(static_cast<float>(num_samples) * d->ratio),
                               ceil(static_cast<double>(num_samples) * static_cast<double>(d->ratio)));
    return clamp_to_int32(float_to_int64(needed) - d->carry);
}

extern "C" int32_t zv_downsampler_convert_num_samples_to_output_sample_rate(zv_downsampler_t *d,
                                                                           int32_t num_samples) {
    if (d == nullptr) {
        return 0;
    }
    const int64_t total = static_cast<int64_t>(num_samples) + d->carry;
    const float quotient = static_cast<float>(total) / d->ratio;
    return clamp_to_int32(float_to_int64(quotient) - 1);
}

extern "C" int32_t zv_downsampler_num_outputs(const zv_downsampler_t *d, int32_t num_samples) {
    if (num_samples <= 0) {
        return 0;
    }
    if (!(d->ratio > 1.0f)) {
        return num_samples;
    }
    // Output K is written once sample ceil(K r) has arrived; the samples given
    // so far end where the carry does, past the last output's upper neighbour.
    const double r = static_cast<double>(d->ratio);
    const int64_t given = static_cast<int64_t>(ceil(static_cast<double>(d->next_output - 1) * r)) + d->carry;
    const int64_t last = given + num_samples - 1;  // index of the last sample
    int64_t k = static_cast<int64_t>(floor(static_cast<double>(last) / r)) + 1;
    while (k >= d->next_output && static_cast<int64_t>(ceil(static_cast<double>(k) * r)) > last) {
        --k;
    }
    return clamp_to_int32(k - (d->next_output - 1));
}

extern "C" void zv_downsampler_force_scalar(zv_downsampler_t *d, int32_t scalar) {
    d->filter = scalar ? zv_downsampler_filter_scalar : best_filter();
    d->strided = scalar ? zv_downsampler_filter_strided_scalar : best_strided();
}

extern "C" const float *zv_downsampler_taps(const zv_downsampler_t *d) { return d->taps; }
extern "C" int32_t zv_downsampler_num_taps(const zv_downsampler_t *d) { return d->num_taps; }
extern "C" float zv_downsampler_ratio(const zv_downsampler_t *d) { return d->ratio; }
extern "C" int32_t zv_downsampler_carry(const zv_downsampler_t *d) { return d->carry; }
extern "C" int64_t zv_downsampler_next_output(const zv_downsampler_t *d) { return d->next_output; }
