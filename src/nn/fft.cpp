// 256-point complex radix-2 FFT over the packed real input, then the split
// into the 257 bins of the real spectrum.
#include "nn/fft.h"

#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZV_FFT_X86 1
#endif

struct zv_fft {
    zv_memory_t memory;
    void (*transform)(const float *in, float *work, float *out);
};

namespace {

constexpr int kPairs = 256;
constexpr float kScale = 0.001953125f;  // 2^-9

// sin(2 pi m / 512) rounded to 7 decimals; cos(2 pi m / 512) is entry m + 128.
constexpr float kTwiddle[384] = {
    0.0000000f, 0.0122715f, 0.0245412f, 0.0368072f, 0.0490677f, 0.0613207f, 0.0735646f, 0.0857973f,
    0.0980171f, 0.1102222f, 0.1224107f, 0.1345807f, 0.1467305f, 0.1588581f, 0.1709619f, 0.1830399f,
    0.1950903f, 0.2071114f, 0.2191012f, 0.2310581f, 0.2429802f, 0.2548657f, 0.2667128f, 0.2785197f,
    0.2902847f, 0.3020059f, 0.3136817f, 0.3253103f, 0.3368899f, 0.3484187f, 0.3598950f, 0.3713172f,
    0.3826834f, 0.3939920f, 0.4052413f, 0.4164296f, 0.4275551f, 0.4386162f, 0.4496113f, 0.4605387f,
    0.4713967f, 0.4821838f, 0.4928982f, 0.5035384f, 0.5141027f, 0.5245897f, 0.5349976f, 0.5453250f,
    0.5555702f, 0.5657318f, 0.5758082f, 0.5857979f, 0.5956993f, 0.6055110f, 0.6152316f, 0.6248595f,
    0.6343933f, 0.6438315f, 0.6531728f, 0.6624158f, 0.6715590f, 0.6806010f, 0.6895405f, 0.6983762f,
    0.7071068f, 0.7157308f, 0.7242471f, 0.7326543f, 0.7409511f, 0.7491364f, 0.7572088f, 0.7651673f,
    0.7730105f, 0.7807372f, 0.7883464f, 0.7958369f, 0.8032075f, 0.8104572f, 0.8175848f, 0.8245893f,
    0.8314696f, 0.8382247f, 0.8448536f, 0.8513552f, 0.8577286f, 0.8639729f, 0.8700870f, 0.8760701f,
    0.8819213f, 0.8876396f, 0.8932243f, 0.8986745f, 0.9039893f, 0.9091680f, 0.9142098f, 0.9191139f,
    0.9238795f, 0.9285061f, 0.9329928f, 0.9373390f, 0.9415441f, 0.9456073f, 0.9495282f, 0.9533060f,
    0.9569403f, 0.9604305f, 0.9637761f, 0.9669765f, 0.9700313f, 0.9729400f, 0.9757021f, 0.9783174f,
    0.9807853f, 0.9831055f, 0.9852776f, 0.9873014f, 0.9891765f, 0.9909026f, 0.9924795f, 0.9939070f,
    0.9951847f, 0.9963126f, 0.9972905f, 0.9981181f, 0.9987955f, 0.9993224f, 0.9996988f, 0.9999247f,
    1.0000000f, 0.9999247f, 0.9996988f, 0.9993224f, 0.9987955f, 0.9981181f, 0.9972905f, 0.9963126f,
    0.9951847f, 0.9939070f, 0.9924795f, 0.9909026f, 0.9891765f, 0.9873014f, 0.9852776f, 0.9831055f,
    0.9807853f, 0.9783174f, 0.9757021f, 0.9729400f, 0.9700313f, 0.9669765f, 0.9637761f, 0.9604305f,
    0.9569403f, 0.9533060f, 0.9495282f, 0.9456073f, 0.9415441f, 0.9373390f, 0.9329928f, 0.9285061f,
    0.9238795f, 0.9191139f, 0.9142098f, 0.9091680f, 0.9039893f, 0.8986745f, 0.8932243f, 0.8876396f,
    0.8819213f, 0.8760701f, 0.8700870f, 0.8639729f, 0.8577286f, 0.8513552f, 0.8448536f, 0.8382247f,
    0.8314696f, 0.8245893f, 0.8175848f, 0.8104572f, 0.8032075f, 0.7958369f, 0.7883464f, 0.7807372f,
    0.7730105f, 0.7651673f, 0.7572088f, 0.7491364f, 0.7409511f, 0.7326543f, 0.7242471f, 0.7157308f,
    0.7071068f, 0.6983762f, 0.6895405f, 0.6806010f, 0.6715590f, 0.6624158f, 0.6531728f, 0.6438315f,
    0.6343933f, 0.6248595f, 0.6152316f, 0.6055110f, 0.5956993f, 0.5857979f, 0.5758082f, 0.5657318f,
    0.5555702f, 0.5453250f, 0.5349976f, 0.5245897f, 0.5141027f, 0.5035384f, 0.4928982f, 0.4821838f,
    0.4713967f, 0.4605387f, 0.4496113f, 0.4386162f, 0.4275551f, 0.4164296f, 0.4052413f, 0.3939920f,
    0.3826834f, 0.3713172f, 0.3598950f, 0.3484187f, 0.3368899f, 0.3253103f, 0.3136817f, 0.3020059f,
    0.2902847f, 0.2785197f, 0.2667128f, 0.2548657f, 0.2429802f, 0.2310581f, 0.2191012f, 0.2071114f,
    0.1950903f, 0.1830399f, 0.1709619f, 0.1588581f, 0.1467305f, 0.1345807f, 0.1224107f, 0.1102222f,
    0.0980171f, 0.0857973f, 0.0735646f, 0.0613207f, 0.0490677f, 0.0368072f, 0.0245412f, 0.0122715f,
    0.0000000f, -0.0122715f, -0.0245412f, -0.0368072f, -0.0490677f, -0.0613207f, -0.0735646f, -0.0857973f,
    -0.0980171f, -0.1102222f, -0.1224107f, -0.1345807f, -0.1467305f, -0.1588581f, -0.1709619f, -0.1830399f,
    -0.1950903f, -0.2071114f, -0.2191012f, -0.2310581f, -0.2429802f, -0.2548657f, -0.2667128f, -0.2785197f,
    -0.2902847f, -0.3020059f, -0.3136817f, -0.3253103f, -0.3368899f, -0.3484187f, -0.3598950f, -0.3713172f,
    -0.3826834f, -0.3939920f, -0.4052413f, -0.4164296f, -0.4275551f, -0.4386162f, -0.4496113f, -0.4605387f,
    -0.4713967f, -0.4821838f, -0.4928982f, -0.5035384f, -0.5141027f, -0.5245897f, -0.5349976f, -0.5453250f,
    -0.5555702f, -0.5657318f, -0.5758082f, -0.5857979f, -0.5956993f, -0.6055110f, -0.6152316f, -0.6248595f,
    -0.6343933f, -0.6438315f, -0.6531728f, -0.6624158f, -0.6715590f, -0.6806010f, -0.6895405f, -0.6983762f,
    -0.7071068f, -0.7157308f, -0.7242471f, -0.7326543f, -0.7409511f, -0.7491364f, -0.7572088f, -0.7651673f,
    -0.7730105f, -0.7807372f, -0.7883464f, -0.7958369f, -0.8032075f, -0.8104572f, -0.8175848f, -0.8245893f,
    -0.8314696f, -0.8382247f, -0.8448536f, -0.8513552f, -0.8577286f, -0.8639729f, -0.8700870f, -0.8760701f,
    -0.8819213f, -0.8876396f, -0.8932243f, -0.8986745f, -0.9039893f, -0.9091680f, -0.9142098f, -0.9191139f,
    -0.9238795f, -0.9285061f, -0.9329928f, -0.9373390f, -0.9415441f, -0.9456073f, -0.9495282f, -0.9533060f,
    -0.9569403f, -0.9604305f, -0.9637761f, -0.9669765f, -0.9700313f, -0.9729400f, -0.9757021f, -0.9783174f,
    -0.9807853f, -0.9831055f, -0.9852776f, -0.9873014f, -0.9891765f, -0.9909026f, -0.9924795f, -0.9939070f,
    -0.9951847f, -0.9963126f, -0.9972905f, -0.9981181f, -0.9987955f, -0.9993224f, -0.9996988f, -0.9999247f,
};

constexpr int rev8(int k) {
    int r = 0;
    for (int b = 0; b < 8; ++b) r |= ((k >> b) & 1) << (7 - b);
    return r;
}

// Float offset of the complex slot that input pair k goes to.
struct BitReverse {
    int16_t offset[kPairs];
    constexpr BitReverse() : offset() {
        for (int k = 0; k < kPairs; ++k) offset[k] = static_cast<int16_t>(2 * rev8(k));
    }
};
constexpr BitReverse kBitReverse;

}  // namespace

extern "C" void zv_fft_transform_scalar(const float *in, float *work, float *out) {
    for (int k = 0; k < kPairs; ++k) {
        work[kBitReverse.offset[k]] = in[2 * k];
        work[kBitReverse.offset[k] + 1] = in[2 * k + 1];
    }
    for (int r = 0; r < 8; ++r) {
        const int half = 1 << r;
        const int d = 256 >> r;
        for (int g = 0; g < kPairs; g += 2 * half) {
            for (int k = 0; k < half; ++k) {
                const int m = k * d;
                const float c = kTwiddle[m + 128];
                const float s = kTwiddle[m];
                float *u = work + 2 * (g + k);
                float *v = work + 2 * (g + half + k);
                const float tr = c * v[0] + s * v[1];
                const float ti = c * v[1] - s * v[0];
                const float ur = u[0];
                const float ui = u[1];
                u[0] = ur + tr;
                u[1] = ui + ti;
                v[0] = ur - tr;
                v[1] = ui - ti;
            }
        }
    }
    out[0] = (work[0] + work[1]) * kScale;
    out[1] = 0.0f;
    out[512] = (work[0] - work[1]) * kScale;
    out[513] = 0.0f;
    for (int k = 1; k < kPairs; ++k) {
        const float *a = work + 2 * (kPairs - k);
        const float *b = work + 2 * k;
        const float c = kTwiddle[k + 128];
        const float s = kTwiddle[k];
        out[2 * k] = (((a[0] + b[0]) + c * (b[1] + a[1])) + s * (a[0] - b[0])) * kScale;
        out[2 * k + 1] = (((b[1] - a[1]) + c * (a[0] - b[0])) - s * (b[1] + a[1])) * kScale;
    }
}

#ifdef ZV_FFT_X86

namespace {

// Per-stage twiddles laid out contiguously for the vector butterflies: entry
// half + k holds the cos and sin of m = k * (256 / half), copied from kTwiddle.
struct StageTwiddles {
    float cos[kPairs];
    float sin[kPairs];
    constexpr StageTwiddles() : cos(), sin() {
        for (int half = 1; half < kPairs; half *= 2) {
            for (int k = 0; k < half; ++k) {
                cos[half + k] = kTwiddle[k * (kPairs / half) + 128];
                sin[half + k] = kTwiddle[k * (kPairs / half)];
            }
        }
    }
};
constexpr StageTwiddles kStage;

}  // namespace

// The same operations in the same order as the scalar form, on real and
// imaginary parts kept in separate halves of the work buffer, eight
// butterflies at a time where a group is wide enough. Without FMA in the
// target and with contraction off, every product and sum rounds as in scalar.
extern "C" __attribute__((target("avx2"))) void zv_fft_transform_avx2(const float *in, float *work, float *out) {
    float *re = work;
    float *im = work + kPairs;
    for (int k = 0; k < kPairs; ++k) {
        re[kBitReverse.offset[k] >> 1] = in[2 * k];
        im[kBitReverse.offset[k] >> 1] = in[2 * k + 1];
    }
    // Stages 0 to 2 stay inside runs of eight slots: each run is one register,
    // u and v are brought into the same lanes by shuffles, and a blend keeps
    // u + t in the lanes of u and u - t in the lanes of v.
    {
        const __m256 c0 = _mm256_set1_ps(kStage.cos[1]);
        const __m256 s0 = _mm256_set1_ps(kStage.sin[1]);
        const __m256 c1 = _mm256_setr_ps(kStage.cos[2], kStage.cos[3], kStage.cos[2], kStage.cos[3], kStage.cos[2],
                                         kStage.cos[3], kStage.cos[2], kStage.cos[3]);
        const __m256 s1 = _mm256_setr_ps(kStage.sin[2], kStage.sin[3], kStage.sin[2], kStage.sin[3], kStage.sin[2],
                                         kStage.sin[3], kStage.sin[2], kStage.sin[3]);
        const __m256 c2 = _mm256_setr_ps(kStage.cos[4], kStage.cos[5], kStage.cos[6], kStage.cos[7], kStage.cos[4],
                                         kStage.cos[5], kStage.cos[6], kStage.cos[7]);
        const __m256 s2 = _mm256_setr_ps(kStage.sin[4], kStage.sin[5], kStage.sin[6], kStage.sin[7], kStage.sin[4],
                                         kStage.sin[5], kStage.sin[6], kStage.sin[7]);
        for (int g = 0; g < kPairs; g += 8) {
            __m256 xr = _mm256_loadu_ps(re + g);
            __m256 xi = _mm256_loadu_ps(im + g);
            {  // half 1: u in lanes 0, 2, 4, 6
                const __m256 ur = _mm256_shuffle_ps(xr, xr, 0xA0), ui = _mm256_shuffle_ps(xi, xi, 0xA0);
                const __m256 vr = _mm256_shuffle_ps(xr, xr, 0xF5), vi = _mm256_shuffle_ps(xi, xi, 0xF5);
                const __m256 tr = _mm256_add_ps(_mm256_mul_ps(c0, vr), _mm256_mul_ps(s0, vi));
                const __m256 ti = _mm256_sub_ps(_mm256_mul_ps(c0, vi), _mm256_mul_ps(s0, vr));
                xr = _mm256_blend_ps(_mm256_add_ps(ur, tr), _mm256_sub_ps(ur, tr), 0xAA);
                xi = _mm256_blend_ps(_mm256_add_ps(ui, ti), _mm256_sub_ps(ui, ti), 0xAA);
            }
            {  // half 2: u in lanes 0, 1, 4, 5
                const __m256 ur = _mm256_shuffle_ps(xr, xr, 0x44), ui = _mm256_shuffle_ps(xi, xi, 0x44);
                const __m256 vr = _mm256_shuffle_ps(xr, xr, 0xEE), vi = _mm256_shuffle_ps(xi, xi, 0xEE);
                const __m256 tr = _mm256_add_ps(_mm256_mul_ps(c1, vr), _mm256_mul_ps(s1, vi));
                const __m256 ti = _mm256_sub_ps(_mm256_mul_ps(c1, vi), _mm256_mul_ps(s1, vr));
                xr = _mm256_blend_ps(_mm256_add_ps(ur, tr), _mm256_sub_ps(ur, tr), 0xCC);
                xi = _mm256_blend_ps(_mm256_add_ps(ui, ti), _mm256_sub_ps(ui, ti), 0xCC);
            }
            {  // half 4: u in lanes 0 to 3
                const __m256 ur = _mm256_permute2f128_ps(xr, xr, 0x00), ui = _mm256_permute2f128_ps(xi, xi, 0x00);
                const __m256 vr = _mm256_permute2f128_ps(xr, xr, 0x11), vi = _mm256_permute2f128_ps(xi, xi, 0x11);
                const __m256 tr = _mm256_add_ps(_mm256_mul_ps(c2, vr), _mm256_mul_ps(s2, vi));
                const __m256 ti = _mm256_sub_ps(_mm256_mul_ps(c2, vi), _mm256_mul_ps(s2, vr));
                xr = _mm256_blend_ps(_mm256_add_ps(ur, tr), _mm256_sub_ps(ur, tr), 0xF0);
                xi = _mm256_blend_ps(_mm256_add_ps(ui, ti), _mm256_sub_ps(ui, ti), 0xF0);
            }
            _mm256_storeu_ps(re + g, xr);
            _mm256_storeu_ps(im + g, xi);
        }
    }
    for (int r = 3; r < 8; ++r) {
        const int half = 1 << r;
        for (int g = 0; g < kPairs; g += 2 * half) {
            for (int k = 0; k < half; k += 8) {
                const __m256 c = _mm256_loadu_ps(kStage.cos + half + k);
                const __m256 s = _mm256_loadu_ps(kStage.sin + half + k);
                float *ur_p = re + g + k;
                float *ui_p = im + g + k;
                float *vr_p = re + g + half + k;
                float *vi_p = im + g + half + k;
                const __m256 vr = _mm256_loadu_ps(vr_p);
                const __m256 vi = _mm256_loadu_ps(vi_p);
                const __m256 tr = _mm256_add_ps(_mm256_mul_ps(c, vr), _mm256_mul_ps(s, vi));
                const __m256 ti = _mm256_sub_ps(_mm256_mul_ps(c, vi), _mm256_mul_ps(s, vr));
                const __m256 ur = _mm256_loadu_ps(ur_p);
                const __m256 ui = _mm256_loadu_ps(ui_p);
                _mm256_storeu_ps(ur_p, _mm256_add_ps(ur, tr));
                _mm256_storeu_ps(ui_p, _mm256_add_ps(ui, ti));
                _mm256_storeu_ps(vr_p, _mm256_sub_ps(ur, tr));
                _mm256_storeu_ps(vi_p, _mm256_sub_ps(ui, ti));
            }
        }
    }
    out[0] = (re[0] + im[0]) * kScale;
    out[1] = 0.0f;
    out[512] = (re[0] - im[0]) * kScale;
    out[513] = 0.0f;
    const __m256 scale = _mm256_set1_ps(kScale);
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    int k = 1;
    for (; k + 8 <= kPairs; k += 8) {
        // a runs downward from Z[256 - k]; b upward from Z[k].
        const __m256 ar = _mm256_permutevar8x32_ps(_mm256_loadu_ps(re + kPairs - k - 7), reverse);
        const __m256 ai = _mm256_permutevar8x32_ps(_mm256_loadu_ps(im + kPairs - k - 7), reverse);
        const __m256 br = _mm256_loadu_ps(re + k);
        const __m256 bi = _mm256_loadu_ps(im + k);
        const __m256 c = _mm256_loadu_ps(kTwiddle + 128 + k);
        const __m256 s = _mm256_loadu_ps(kTwiddle + k);
        const __m256 sum_i = _mm256_add_ps(bi, ai);
        const __m256 diff_r = _mm256_sub_ps(ar, br);
        const __m256 out_r = _mm256_mul_ps(
            _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(ar, br), _mm256_mul_ps(c, sum_i)), _mm256_mul_ps(s, diff_r)),
            scale);
        const __m256 out_i = _mm256_mul_ps(
            _mm256_sub_ps(_mm256_add_ps(_mm256_sub_ps(bi, ai), _mm256_mul_ps(c, diff_r)), _mm256_mul_ps(s, sum_i)),
            scale);
        const __m256 lo = _mm256_unpacklo_ps(out_r, out_i);
        const __m256 hi = _mm256_unpackhi_ps(out_r, out_i);
        _mm256_storeu_ps(out + 2 * k, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(out + 2 * k + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
    for (; k < kPairs; ++k) {
        const float ar = re[kPairs - k], ai = im[kPairs - k];
        const float br = re[k], bi = im[k];
        const float c = kTwiddle[k + 128];
        const float s = kTwiddle[k];
        out[2 * k] = (((ar + br) + c * (bi + ai)) + s * (ar - br)) * kScale;
        out[2 * k + 1] = (((bi - ai) + c * (ar - br)) - s * (bi + ai)) * kScale;
    }
}

extern "C" int zv_fft_avx2_available(void) { return __builtin_cpu_supports("avx2") ? 1 : 0; }

#else

extern "C" void zv_fft_transform_avx2(const float *in, float *work, float *out) {
    zv_fft_transform_scalar(in, work, out);
}

extern "C" int zv_fft_avx2_available(void) { return 0; }

#endif

extern "C" zv_status_t zv_fft_init(zv_memory_t memory, zv_fft_t **fft) {
    if (fft == nullptr) return ZV_STATUS_INVALID_ARGUMENT;
    *fft = nullptr;
    zv_fft_t *record = static_cast<zv_fft_t *>(zv_memory_allocate(memory, sizeof(zv_fft_t), 1));
    if (record == nullptr) return ZV_STATUS_OUT_OF_MEMORY;
    record->memory = memory;
    record->transform = zv_fft_avx2_available() ? zv_fft_transform_avx2 : zv_fft_transform_scalar;
    *fft = record;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_fft_compute(zv_fft_t *fft, const float *in, float *out) {
    if (fft == nullptr || in == nullptr || out == nullptr) return ZV_STATUS_INVALID_ARGUMENT;
    float *work = static_cast<float *>(zv_memory_allocate(fft->memory, 2 * kPairs * sizeof(float), 0));
    if (work == nullptr) return ZV_STATUS_OUT_OF_MEMORY;
    fft->transform(in, work, out);
    zv_memory_free(fft->memory, work);
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_fft_delete(zv_fft_t *fft) {
    if (fft == nullptr) return;
    zv_memory_free(fft->memory, fft);
}
