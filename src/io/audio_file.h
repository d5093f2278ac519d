// Audio file reader: recognises a file's format from its first 35 bytes,
// decodes it with that format's reader and delivers mono int16 samples at
// the library's rate of 16000 Hz, through a downsampler of order 50 for
// files at another rate. Files below 16000 Hz are refused.
#ifndef ZV_IO_AUDIO_FILE_H
#define ZV_IO_AUDIO_FILE_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t zv_audio_format_t;

#define ZV_AUDIO_FORMAT_UNKNOWN 0
#define ZV_AUDIO_FORMAT_FLAC 1
#define ZV_AUDIO_FORMAT_MP3 2
#define ZV_AUDIO_FORMAT_OPUS 3
#define ZV_AUDIO_FORMAT_VORBIS 4
#define ZV_AUDIO_FORMAT_WAV 5
#define ZV_AUDIO_FORMAT_WEBM 6

// Size of the resample buffer, in source samples: the most one read decodes.
#define ZV_AUDIO_FILE_BUFFER 1024

typedef struct zv_audio_file {
    zv_audio_format_t format;
    void *state;  // the format reader's record
    void (*delete_state)(void *state);
    int32_t (*num_samples)(void *state);
    int32_t (*num_channels)(void *state);
    int32_t (*sample_rate)(void *state);
    zv_status_t (*read)(void *state, int32_t num_samples, int16_t *pcm);
    int16_t *buffer;                // ZV_AUDIO_FILE_BUFFER samples; only with a downsampler
    zv_downsampler_t *downsampler;  // only for a rate other than 16000
} zv_audio_file_t;

zv_status_t zv_audio_file_init(const char *path, zv_audio_file_t **file);
void zv_audio_file_delete(zv_audio_file_t *file);
// The format from the first 35 bytes: UNKNOWN (with SUCCESS) when none fits;
// IO_ERROR for a file that can't be opened or is shorter, OUT_OF_MEMORY when
// opening it ran out of memory.
zv_status_t zv_audio_file_get_format(const char *path, zv_audio_format_t *format);
// "UNKNOWN", "FLAC", ...; NULL outside 0..6.
const char *zv_audio_format_to_string(zv_audio_format_t format);
// Samples that reads at 16000 Hz can deliver; meant to be asked before the
// first read.
int32_t zv_audio_file_num_samples(zv_audio_file_t *file);
int32_t zv_audio_file_num_channels(zv_audio_file_t *file);
int32_t zv_audio_file_sample_rate(zv_audio_file_t *file);
// Exactly num_samples mono samples at 16000 Hz, or the format reader's
// failure.
zv_status_t zv_audio_file_read(zv_audio_file_t *file, int32_t num_samples, int16_t *pcm);

#ifdef __cplusplus
}
#endif

#endif
