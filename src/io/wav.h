// Reader of WAV files (PCM of any sample format libsndfile reads, floating point included), delivering mono 16-bit samples at the
// source rate; a stereo source is averaged. Mono and stereo only.
#ifndef ZV_IO_WAV_H
#define ZV_IO_WAV_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_wav zv_wav_t;

zv_status_t zv_wav_init(const char *path, zv_wav_t **wav);
void zv_wav_delete(zv_wav_t *wav);
// Samples per channel in the whole file.
int32_t zv_wav_num_samples(zv_wav_t *wav);
int32_t zv_wav_num_channels(zv_wav_t *wav);
int32_t zv_wav_sample_rate(zv_wav_t *wav);
// Exactly num_samples mono samples, continuing where the last read stopped, or
// IO_ERROR (OUT_OF_MEMORY when the decoder ran out of memory).
zv_status_t zv_wav_read(zv_wav_t *wav, int32_t num_samples, int16_t *pcm);

#ifdef __cplusplus
}
#endif

#endif
