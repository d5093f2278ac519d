// The downsampler's internal extras. The public functions (zv_downsampler_init,
// _process, _reset, _delete, _version and the two count conversions) are
// declared in zv_lumarin.h.
#ifndef ZV_IO_DOWNSAMPLER_H
#define ZV_IO_DOWNSAMPLER_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// The filter kernel: for i = first .. end - 1,
//   out[i - first] = sat16(sum over j = 0 .. num_taps - 1 of history[i - j] * taps[j]),
// each sum in single precision from 0, j = 0 added first. history[first - num_taps + 1]
// must be readable. The vector kernels give exactly the scalar results.
typedef void (*zv_downsampler_filter_fn)(const int16_t *history, const float *taps, int32_t num_taps,
                                         int32_t first, int32_t end, int16_t *out);

void zv_downsampler_filter_scalar(const int16_t *history, const float *taps, int32_t num_taps,
                                  int32_t first, int32_t end, int16_t *out);
// Needs AVX2 at run time (see zv_downsampler_filter_avx2_available).
void zv_downsampler_filter_avx2(const int16_t *history, const float *taps, int32_t num_taps,
                                int32_t first, int32_t end, int16_t *out);
int32_t zv_downsampler_filter_avx2_available(void);

// The same sums at count positions spaced by stride: out[l] is the filtered
// sample at first + stride x l. `phases` is scratch for the vector kernel, of
// stride x (2048 / stride + 2) values; all indices read lie below 2048.
typedef void (*zv_downsampler_strided_fn)(const int16_t *history, const float *taps, int32_t num_taps,
                                          int32_t first, int32_t stride, int32_t count, int16_t *out,
                                          int16_t *phases);
void zv_downsampler_filter_strided_scalar(const int16_t *history, const float *taps, int32_t num_taps,
                                          int32_t first, int32_t stride, int32_t count, int16_t *out,
                                          int16_t *phases);
void zv_downsampler_filter_strided_avx2(const int16_t *history, const float *taps, int32_t num_taps,
                                        int32_t first, int32_t stride, int32_t count, int16_t *out,
                                        int16_t *phases);

// Exactly the number of samples process would write if given num_samples
// more now (0 for a count of 0 or less), where the output conversion only
// estimates it.
int32_t zv_downsampler_num_outputs(const zv_downsampler_t *downsampler, int32_t num_samples);

// Makes `downsampler` use the scalar kernel from now on (1) or the best one
// the machine offers (0); for tests and benchmarks.
void zv_downsampler_force_scalar(zv_downsampler_t *downsampler, int32_t scalar);

// The filter taps (2 x order values) and the ratio, for tests.
const float *zv_downsampler_taps(const zv_downsampler_t *downsampler);
int32_t zv_downsampler_num_taps(const zv_downsampler_t *downsampler);
float zv_downsampler_ratio(const zv_downsampler_t *downsampler);
int32_t zv_downsampler_carry(const zv_downsampler_t *downsampler);
int64_t zv_downsampler_next_output(const zv_downsampler_t *downsampler);

#ifdef __cplusplus
}
#endif

#endif
