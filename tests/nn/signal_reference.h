// An independent, literal reading of the front end's arithmetic, with its
// tables rebuilt from their defining rules, for bit-for-bit comparison.
#ifndef ZV_TESTS_NN_SIGNAL_REFERENCE_H
#define ZV_TESTS_NN_SIGNAL_REFERENCE_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "nn/fixed_point.h"

namespace signal_ref {

// A value rounded to 7 decimal places, then to single precision.
inline float dec7(long double v) {
    const long double n = std::round(v * 1e7L);
    return static_cast<float>(n / 1e7L);
}

inline const std::vector<float> &twiddle() {
    static const std::vector<float> t = [] {
        std::vector<float> v(384);
        const long double pi = 3.141592653589793238462643383279502884L;
        for (int m = 0; m < 384; ++m) v[m] = dec7(std::sin(2 * pi * m / 512));
        // Exact zeros of the sine keep a positive sign.
        v[0] = 0.0f;
        v[256] = 0.0f;
        return v;
    }();
    return t;
}

inline const std::vector<float> &window() {
    static const std::vector<float> t = [] {
        std::vector<float> v(512);
        const long double pi = 3.141592653589793238462643383279502884L;
        for (int n = 0; n < 256; ++n) v[n] = v[511 - n] = dec7(0.5L - 0.5L * std::cos(2 * pi * n / 511));
        return v;
    }();
    return t;
}

constexpr int kEdges[42] = {0,  1,  3,  5,  6,  8,  10,  12,  14,  17,  19,  22,  25,  28,
                            31, 34, 38, 41, 45, 50, 54,  59,  64,  70,  76,  82,  89,  96,
                            103, 111, 120, 129, 138, 148, 159, 171, 183, 196, 210, 225, 240, 257};

inline int rev8(int k) {
    int r = 0;
    for (int b = 0; b < 8; ++b) r |= ((k >> b) & 1) << (7 - b);
    return r;
}

// out: 514 floats.
inline void fft(const float *in, float *out) {
    const std::vector<float> &tw = twiddle();
    float re[256], im[256];
    for (int k = 0; k < 256; ++k) {
        re[rev8(k)] = in[2 * k];
        im[rev8(k)] = in[2 * k + 1];
    }
    for (int r = 0; r < 8; ++r) {
        const int half = 1 << r, d = 256 >> r;
        for (int g = 0; g < 256; g += 2 * half) {
            for (int k = 0; k < half; ++k) {
                const float c = tw[k * d + 128], s = tw[k * d];
                const int u = g + k, v = g + half + k;
                const float tr = c * re[v] + s * im[v];
                const float ti = c * im[v] - s * re[v];
                const float ur = re[u], ui = im[u];
                re[u] = ur + tr;
                im[u] = ui + ti;
                re[v] = ur - tr;
                im[v] = ui - ti;
            }
        }
    }
    const float scale = std::ldexp(1.0f, -9);
    out[0] = (re[0] + im[0]) * scale;
    out[1] = 0.0f;
    out[512] = (re[0] - im[0]) * scale;
    out[513] = 0.0f;
    for (int k = 1; k < 256; ++k) {
        const float ar = re[256 - k], ai = im[256 - k], br = re[k], bi = im[k];
        const float c = tw[k + 128], s = tw[k];
        out[2 * k] = (((ar + br) + c * (bi + ai)) + s * (ar - br)) * scale;
        out[2 * k + 1] = (((bi - ai) + c * (ar - br)) - s * (bi + ai)) * scale;
    }
}

// A streaming filterbank written straight from its description.
struct Filterbank {
    int hop;
    int16_t prev = 0;
    std::vector<float> history;
    float last_sums[40] = {};  // band sums of the last frame, before scaling

    explicit Filterbank(int frame_length) : hop(frame_length), history(512 - frame_length, 0.0f) {}

    void power(const float *in, float *out) {
        const int n = 512 - hop;
        std::vector<float> frame(512);
        for (int i = 0; i < n; ++i) frame[i] = history[i];
        for (int i = 0; i < hop; ++i) frame[n + i] = in[i];
        for (int i = 0; i < n; ++i) history[i] = frame[hop + i];
        for (int i = 0; i < 512; ++i) frame[i] = frame[i] * window()[i];
        float spectrum[514];
        fft(frame.data(), spectrum);
        for (int k = 0; k < 257; ++k) out[k] = spectrum[2 * k] * spectrum[2 * k] + spectrum[2 * k + 1] * spectrum[2 * k + 1];
    }

    void compute(const int16_t *x, int16_t *features) {
        std::vector<float> y(hop);
        y[0] = static_cast<float>(x[0]) - static_cast<float>(prev) * 0.97f;
        for (int i = 1; i < hop; ++i) y[i] = static_cast<float>(x[i]) - static_cast<float>(x[i - 1]) * 0.97f;
        prev = x[hop - 1];
        float p[257];
        power(y.data(), p);
        for (int b = 0; b < 40; ++b) {
            const float up = dec7(1.0L / (kEdges[b + 1] - kEdges[b]));
            const float down = dec7(1.0L / (kEdges[b + 2] - kEdges[b + 1]));
            float w = 0.0f, sum = 0.0f;
            for (int j = kEdges[b]; j < kEdges[b + 1]; ++j) {
                sum = sum + p[j] * w;
                w = w + up;
            }
            for (int j = kEdges[b + 1]; j < kEdges[b + 2]; ++j) {
                sum = sum + p[j] * w;
                w = w - down;
            }
            last_sums[b] = sum;
            const float v = sum * 8589934592.0f;
            const int64_t q = v >= 9223372036854775808.0f ? INT64_MAX : static_cast<int64_t>(v);
            features[b] = zv_log10(q);
        }
    }
};

}  // namespace signal_ref

#endif
