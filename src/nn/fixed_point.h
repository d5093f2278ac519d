// Fixed-point non-linearities of the network path: table look-ups with integer
// arithmetic, bit-exact on every platform. No state, no allocation, no failure.
//
// Formats: Q10 int16 (1.0 = 1024), Q15 int16 (1.0 = 32767 in tables),
// Q31 int32 (1.0 = 2147483647), Q63 int64 (1.0 = 2^63 - 1),
// weights int8 (1.0 = 128). Log-domain values are Q10 decimal logarithms.
#ifndef ZV_NN_FIXED_POINT_H
#define ZV_NN_FIXED_POINT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Q10 value of log10(x / 2^63) for a Q63 x. Inputs of 0 or below give -32768.
int16_t zv_log10(int64_t x);

// About (2^31 - 1) * e^(x / 1024) for a Q10 x <= 0; a positive x counts as 0.
int32_t zv_exp(int16_t x);

// out[i] = sigmoid(in[i] / 1024) in Q15 for i < n; n <= 0 does nothing.
// in and out may be the same array.
void zv_sigmoid(int32_t n, const int16_t *in, int16_t *out);

// out[i] = tanh(in[i] / 1024) in Q15, as 2 * sigmoid(2x) - 1; n <= 0 does
// nothing. in and out may be the same array.
void zv_tanh(int32_t n, const int16_t *in, int16_t *out);

// The element-wise kernels behind zv_sigmoid and zv_tanh. The scalar forms
// define the results; the AVX2 forms give the same values and may only be
// called when zv_fixed_point_avx2_available() is non-zero.
void zv_sigmoid_scalar(int32_t n, const int16_t *in, int16_t *out);
void zv_sigmoid_avx2(int32_t n, const int16_t *in, int16_t *out);
void zv_tanh_scalar(int32_t n, const int16_t *in, int16_t *out);
void zv_tanh_avx2(int32_t n, const int16_t *in, int16_t *out);
int zv_fixed_point_avx2_available(void);

#ifdef __cplusplus
}
#endif

#endif
