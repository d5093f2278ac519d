// An audio file opened through libsndfile for the WAV and FLAC readers:
// container check, counts, and interleaved 16-bit reads whatever the encoding.
#ifndef ZV_IO_SNDFILE_SOURCE_H
#define ZV_IO_SNDFILE_SOURCE_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_sndfile_source zv_sndfile_source_t;

// Containers that a source may be.
typedef enum {
    ZV_SNDFILE_CONTAINER_WAV = 0,
    ZV_SNDFILE_CONTAINER_FLAC = 1,
} zv_sndfile_container_t;

// INVALID_ARGUMENT for a NULL path, a file libsndfile can't open, another
// container, a channel count other than 1 and 2, or 2^31 frames or more;
// OUT_OF_MEMORY when libsndfile ran out of memory. A stream whose length is
// unknown (a FLAC header giving 0) is counted by decoding it.
zv_status_t zv_sndfile_source_init(const char *path, zv_sndfile_container_t container,
                                   zv_sndfile_source_t **source);
void zv_sndfile_source_delete(zv_sndfile_source_t *source);
int64_t zv_sndfile_source_num_frames(const zv_sndfile_source_t *source);
int32_t zv_sndfile_source_num_channels(const zv_sndfile_source_t *source);
int32_t zv_sndfile_source_sample_rate(const zv_sndfile_source_t *source);
// Exactly num_samples mono samples (stereo averaged), or IO_ERROR, or
// OUT_OF_MEMORY when the decoder ran out of memory.
zv_status_t zv_sndfile_source_read(zv_sndfile_source_t *source, int32_t num_samples, int16_t *pcm);

#ifdef __cplusplus
}
#endif

#endif
