// Streaming short-time power spectrum: each call takes the next hop of
// samples, windows the 512 most recent ones with a symmetric Hann window
// (period 511) and returns their 257-bin power spectrum, scaled as the FFT's
// bins squared.
#ifndef ZV_NN_STFT_H
#define ZV_NN_STFT_H

#include "foundation/status.h"

#ifdef __cplusplus
extern "C" {
#endif

// NULL pointer arguments give INVALID_ARGUMENT.
typedef struct zv_stft zv_stft_t;

// Sets *stft to NULL. hop must be 1..512 (INVALID_ARGUMENT otherwise); the
// history of 512 - hop samples starts at zero.
zv_status_t zv_stft_init(zv_memory_t memory, int32_t hop, zv_stft_t **stft);

// in: hop new samples (not changed); power: 257 floats. On a failed work
// allocation the history is left as it was.
zv_status_t zv_stft_compute(zv_stft_t *stft, const float *in, float *power);

// Zeroes the sample history.
void zv_stft_reset(zv_stft_t *stft);

// NULL is accepted.
void zv_stft_delete(zv_stft_t *stft);

#ifdef __cplusplus
}
#endif

#endif
