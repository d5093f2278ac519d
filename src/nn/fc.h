// Fully connected layer in fixed point: int8 weights and biases (1.0 = 128)
// applied to int16 Q10 activations, with rounding and int16 saturation.
#ifndef ZV_NN_FC_H
#define ZV_NN_FC_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "foundation/status.h"

#ifdef __cplusplus
extern "C" {
#endif

// Parameters, a plain heap record owning both arrays.
typedef struct zv_fc_param {
    int32_t in;        // input count
    int32_t out;       // output count
    int8_t *weights;   // out x in, one row per output: weight of input j for output i at i * in + j
    int8_t *bias;      // out values
} zv_fc_param_t;

// Encoding, little-endian, back to back: int32 in, int32 out, out bias bytes,
// out x in weight bytes row by row. 8 + out * (in + 1) bytes in all.

// Zeroed parameters of the given shape. Counts not above 0 give INVALID_ARGUMENT.
zv_status_t zv_fc_param_init(int32_t in, int32_t out, zv_fc_param_t **param);
void zv_fc_param_delete(zv_fc_param_t *param);
// Reads one encoding at the file's position. A count not above 0 gives
// INVALID_ARGUMENT (tested as soon as it is read), too few bytes IO_ERROR.
zv_status_t zv_fc_param_load(FILE *file, zv_fc_param_t **param);
// Reads one encoding at *cursor and, on success only, advances *cursor past
// it. The caller guarantees that the whole encoding is present.
zv_status_t zv_fc_param_load_buffer(const uint8_t **cursor, zv_fc_param_t **param);
// Writes the encoding with one write; a short write gives IO_ERROR.
zv_status_t zv_fc_param_serialize(const zv_fc_param_t *param, FILE *file);
// The encoding in a new heap block (release with free). *size is set to the
// encoding's size even when the allocation fails.
zv_status_t zv_fc_param_serialize_buffer(const zv_fc_param_t *param, size_t *size, void **buffer);
// 1 when both shapes and every weight and bias are equal, else 0.
int32_t zv_fc_param_is_equal(const zv_fc_param_t *a, const zv_fc_param_t *b);

// The size of the encoding, computed in 64 bits.
uint64_t zv_fc_param_encoded_size(int32_t in, int32_t out);

// The instruction sets the layers have kernels for, in order of preference.
// Every set gives the same results.
typedef enum zv_fc_kernel_set {
    ZV_FC_KERNELS_SCALAR = 0,
    ZV_FC_KERNELS_AVX2 = 1,
    ZV_FC_KERNELS_AVX512 = 2,  // AVX-512 F, BW, VL and VNNI
} zv_fc_kernel_set_t;

// 1 when this processor runs the set, else 0.
int32_t zv_fc_kernel_set_is_available(zv_fc_kernel_set_t set);
// The set that layers made from now on use: the best this processor runs,
// but not above the limit last given to zv_fc_kernel_set_limit (none until
// then). The limit is process-wide and meant for tests and benchmarks that
// compare the sets; give it while no layer is being made.
void zv_fc_kernel_set_limit(zv_fc_kernel_set_t limit);
zv_fc_kernel_set_t zv_fc_kernel_set_current(void);

typedef struct zv_fc zv_fc_t;

// A layer over parameters that must outlive it, running the current kernel
// set. With accumulate nonzero the layer adds its result to what the output
// array already holds. With the AVX-512 set the layer keeps its own copy of
// the weights laid out for the kernels: 1 byte per weight, rows padded to a
// multiple of 16 and inputs to a multiple of 4, plus 4 bytes per padded row
// and 8 work rows of the input count rounded up to 32 bytes. Those work rows
// make a layer one thread's at a time, as the recurrent layers' state does.
zv_status_t zv_fc_init(zv_memory_t memory, const zv_fc_param_t *param, int32_t accumulate, zv_fc_t **fc);
// The same on a given set; a set this processor doesn't run gives
// INVALID_ARGUMENT.
zv_status_t zv_fc_init_with_set(zv_memory_t memory, const zv_fc_param_t *param, int32_t accumulate,
                                zv_fc_kernel_set_t set, zv_fc_t **fc);
void zv_fc_delete(zv_fc_t *fc);
// x: in int16 Q10 inputs; y: out int16 Q10 outputs (read first when
// accumulating). x and y must not overlap.
void zv_fc_process(const zv_fc_t *fc, const int16_t *x, int16_t *y);
// Several frames at once, exactly as that many calls of zv_fc_process on rows
// x[t * x_stride ...] and y[t * y_stride ...], t = 0..frames-1, but with the
// weights read once per group of frames.
void zv_fc_process_batch(const zv_fc_t *fc, size_t frames, const int16_t *x, size_t x_stride, int16_t *y,
                         size_t y_stride);
const zv_fc_param_t *zv_fc_param(const zv_fc_t *fc);
zv_fc_kernel_set_t zv_fc_kernel_set(const zv_fc_t *fc);

// The scalar reference the other sets are tested against, on the weights as
// stored: for every output i, the wrapping 32-bit sum of weights * x, then
// (sum + bias * 1024 + 64) >> 7, plus y[i] when accumulating, saturated.
void zv_fc_kernel_scalar(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias,
                         int32_t accumulate, const int16_t *x, int16_t *y);

#ifdef __cplusplus
}
#endif

#endif
