// Log-mel filterbank: the acoustic front end. Each call pre-emphasises one
// frame of 16 kHz PCM, slides it into a 512-sample window, takes the power
// spectrum and returns 40 triangular mel bands as Q10 decimal logarithms.
// The filterbank keeps the last sample and the spectrum's history between
// calls, so frames go in order and the owner resets it between signals.
#ifndef ZV_NN_FILTERBANK_H
#define ZV_NN_FILTERBANK_H

#include "foundation/status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { ZV_FILTERBANK_BANDS = 40 };

// NULL pointer arguments give INVALID_ARGUMENT.
typedef struct zv_filterbank zv_filterbank_t;

// Sets *filterbank to NULL. frame_length is the samples per call and must be
// 1..512 (INVALID_ARGUMENT otherwise); the engine uses 256.
zv_status_t zv_filterbank_init(zv_memory_t memory, int32_t frame_length, zv_filterbank_t **filterbank);

// pcm: frame_length samples (not changed); features: 40 Q10 log10 values,
// -32768 for a band without energy, 0 for the loudest representable band.
zv_status_t zv_filterbank_compute(zv_filterbank_t *filterbank, const int16_t *pcm, int16_t *features);

// Back to the state after init: no previous sample, silent history.
void zv_filterbank_reset(zv_filterbank_t *filterbank);

// features[b] = clamp(((features[b] - mean[b]) * scale[b]) >> 10) in place;
// mean and scale (Q10) are 40 entries each, or NULL for the built-in tables.
void zv_filterbank_normalize(int16_t *features, const int16_t *mean, const int16_t *scale);

// NULL is accepted.
void zv_filterbank_delete(zv_filterbank_t *filterbank);

#ifdef __cplusplus
}
#endif

#endif
