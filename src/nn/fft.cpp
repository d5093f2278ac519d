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

extern "C" int zv_fft_avx2_available(void) { return 0; }

extern "C" void zv_fft_transform_avx2(const float *in, float *work, float *out) {
    zv_fft_transform_scalar(in, work, out);
}

extern "C" zv_status_t zv_fft_init(zv_memory_t memory, zv_fft_t **fft) {
    *fft = nullptr;
    zv_fft_t *record = static_cast<zv_fft_t *>(zv_memory_allocate(memory, sizeof(zv_fft_t), 1));
    if (record == nullptr) return ZV_STATUS_OUT_OF_MEMORY;
    record->memory = memory;
    record->transform = zv_fft_avx2_available() ? zv_fft_transform_avx2 : zv_fft_transform_scalar;
    *fft = record;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_fft_compute(zv_fft_t *fft, const float *in, float *out) {
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
