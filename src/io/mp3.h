// Reader of MPEG audio (layers 1 to 3) through libmpg123, delivering mono 16-bit
// samples at the source rate; a stereo source is averaged. The sample count is
// exact: init decodes the whole stream once to count it, then goes back to the start.
#ifndef ZV_IO_MP3_H
#define ZV_IO_MP3_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_mp3 zv_mp3_t;

zv_status_t zv_mp3_init(const char *path, zv_mp3_t **mp3);
void zv_mp3_delete(zv_mp3_t *mp3);
// Samples per channel in the whole file.
int32_t zv_mp3_num_samples(zv_mp3_t *mp3);
int32_t zv_mp3_num_channels(zv_mp3_t *mp3);
int32_t zv_mp3_sample_rate(zv_mp3_t *mp3);
// Exactly num_samples mono samples, continuing where the last read stopped, or
// IO_ERROR (OUT_OF_MEMORY when the decoder ran out of memory).
zv_status_t zv_mp3_read(zv_mp3_t *mp3, int32_t num_samples, int16_t *pcm);

#ifdef __cplusplus
}
#endif

#endif
