// 512-point real FFT: 512 single-precision samples in, 257 complex bins out,
// scaled one-sided (bins 1..255 are X[k] / 256, bins 0 and 256 are X[k] / 512,
// so a cosine of amplitude A shows as magnitude A). The transform is stateless;
// the record only remembers the memory handle that made it.
#ifndef ZV_NN_FFT_H
#define ZV_NN_FFT_H

#include "foundation/status.h"

#ifdef __cplusplus
extern "C" {
#endif

// NULL pointer arguments give INVALID_ARGUMENT.
typedef struct zv_fft zv_fft_t;

// Sets *fft to NULL, then makes the record through the memory handle.
zv_status_t zv_fft_init(zv_memory_t memory, zv_fft_t **fft);

// in: 512 floats, read as 256 complex pairs (not changed).
// out: 257 complex bins, real part first (514 floats); untouched on failure.
// A 256-pair work buffer is allocated and freed within the call.
zv_status_t zv_fft_compute(zv_fft_t *fft, const float *in, float *out);

// NULL is accepted.
void zv_fft_delete(zv_fft_t *fft);

// The transform proper, without allocation: work is 512 floats of scratch.
// The scalar form defines the result; the AVX2 form gives the same bits and
// may only be called when zv_fft_avx2_available() is non-zero.
void zv_fft_transform_scalar(const float *in, float *work, float *out);
void zv_fft_transform_avx2(const float *in, float *work, float *out);
int zv_fft_avx2_available(void);

#ifdef __cplusplus
}
#endif

#endif
