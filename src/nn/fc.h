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

typedef struct zv_fc zv_fc_t;

// A layer over parameters that must outlive it. With accumulate nonzero the
// layer adds its result to what the output array already holds.
zv_status_t zv_fc_init(zv_memory_t memory, const zv_fc_param_t *param, int32_t accumulate, zv_fc_t **fc);
void zv_fc_delete(zv_fc_t *fc);
// x: in int16 Q10 inputs; y: out int16 Q10 outputs (read first when
// accumulating). x and y must not overlap.
void zv_fc_process(const zv_fc_t *fc, const int16_t *x, int16_t *y);
const zv_fc_param_t *zv_fc_param(const zv_fc_t *fc);

// Kernels, one body per instruction set, all giving the same results. Each
// computes, for every output i, the wrapping 32-bit sum of weights * x, then
// (sum + bias * 1024 + 64) >> 7, plus y[i] when accumulating, saturated.
typedef void (*zv_fc_kernel_t)(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias,
                               int32_t accumulate, const int16_t *x, int16_t *y);
void zv_fc_kernel_scalar(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias,
                         int32_t accumulate, const int16_t *x, int16_t *y);
// Null when the processor lacks the instructions.
zv_fc_kernel_t zv_fc_kernel_avx2(void);
// The best kernel this processor runs.
zv_fc_kernel_t zv_fc_kernel_best(void);

// Several frames at once: rows x[t * x_stride ...] to y[t * y_stride ...] for
// t = 0..frames-1, exactly as that many calls of the kernel, but with each
// weight row read once per group of frames.
typedef void (*zv_fc_batch_kernel_t)(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias,
                                     size_t frames, const int16_t *x, size_t x_stride, int16_t *y,
                                     size_t y_stride);
void zv_fc_batch_kernel_scalar(int32_t in, int32_t out, const int8_t *weights, const int8_t *bias,
                               size_t frames, const int16_t *x, size_t x_stride, int16_t *y, size_t y_stride);
zv_fc_batch_kernel_t zv_fc_batch_kernel_avx2(void);
zv_fc_batch_kernel_t zv_fc_batch_kernel_best(void);

#ifdef __cplusplus
}
#endif

#endif
