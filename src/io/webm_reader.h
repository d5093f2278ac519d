// WebM reader: mono int16 samples from the first Opus or Vorbis audio track
// of a WebM file. Init decodes the whole track once to count the samples,
// then starts the demuxer again from the beginning of the file.
#ifndef ZV_IO_WEBM_READER_H
#define ZV_IO_WEBM_READER_H

#include <ogg/ogg.h>
#include <opus/opus.h>
#include <stdint.h>
#include <stdio.h>
#include <vorbis/codec.h>

#include "io/webm_demuxer.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// Samples per channel that the buffers hold for one frame.
#define ZV_WEBM_MAX_FRAME 8192

typedef struct zv_webm {
    FILE *file;
    zv_webm_demuxer_t *demuxer;
    zv_webm_packet_t *packet;  // the block being read, or NULL
    uint32_t track;
    int32_t codec;  // ZV_WEBM_CODEC_VORBIS or ZV_WEBM_CODEC_OPUS
    OpusDecoder *opus_decoder;
    vorbis_info *info;
    vorbis_comment *comment;
    vorbis_dsp_state *dsp;
    vorbis_block *block;
    ogg_packet *ogg_packet;  // hands each frame to the packet decoders
    int16_t *mono;    // ZV_WEBM_MAX_FRAME samples of the last frame
    int16_t *decode;  // 2 * ZV_WEBM_MAX_FRAME interleaved samples
    int32_t total;
    int32_t channels;  // from the track
    int32_t rate;      // from the track, rounded down; Opus at 48000 where libopus can't decode at it
    uint32_t frame_index;
    int32_t offset;
    int32_t count;
    int32_t delivered;
} zv_webm_t;

zv_status_t zv_webm_init(const char *path, zv_webm_t **webm);
void zv_webm_delete(zv_webm_t *webm);
int32_t zv_webm_num_samples(zv_webm_t *webm);
int32_t zv_webm_num_channels(zv_webm_t *webm);
int32_t zv_webm_sample_rate(zv_webm_t *webm);
// Exactly num_samples mono samples, or a failure (IO_ERROR past the end).
zv_status_t zv_webm_read(zv_webm_t *webm, int32_t num_samples, int16_t *pcm);

#ifdef __cplusplus
}
#endif

#endif
