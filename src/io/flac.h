// Reader of native FLAC streams, delivering mono 16-bit samples at the
// source rate; a stereo source is averaged. Mono and stereo only. A stream
// whose header gives a total of 0 frames (written to a pipe) is counted by
// decoding it at open; one that holds no frames opens with a count of 0.
#ifndef ZV_IO_FLAC_H
#define ZV_IO_FLAC_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_flac zv_flac_t;

zv_status_t zv_flac_init(const char *path, zv_flac_t **flac);
void zv_flac_delete(zv_flac_t *flac);
// Samples per channel in the whole file.
int32_t zv_flac_num_samples(zv_flac_t *flac);
int32_t zv_flac_num_channels(zv_flac_t *flac);
int32_t zv_flac_sample_rate(zv_flac_t *flac);
// Exactly num_samples mono samples, continuing where the last read stopped, or
// IO_ERROR (OUT_OF_MEMORY when the decoder ran out of memory).
zv_status_t zv_flac_read(zv_flac_t *flac, int32_t num_samples, int16_t *pcm);

#ifdef __cplusplus
}
#endif

#endif
