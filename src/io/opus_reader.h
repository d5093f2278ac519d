// Ogg Opus reader: mono int16 samples (stereo averaged) from an Ogg Opus
// file. Init decodes the whole file once to count the samples, then starts
// again from the first page with a fresh decoder. A chained file (links one
// after another, each with its own headers) reads as one stream when every
// link decodes at the first link's rate; each link gets a decoder of its own.
#ifndef ZV_IO_OPUS_READER_H
#define ZV_IO_OPUS_READER_H

#include <ogg/ogg.h>
#include <opus/opus.h>
#include <stdint.h>

#include "io/ogg.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// The most samples per channel that one packet holds (120 ms at 48 kHz), and
// the frame-size limit of every decode.
#define ZV_OPUS_MAX_FRAME 5760

typedef struct zv_opus {
    zv_ogg_t *ogg;
    ogg_packet *packet;
    OpusDecoder *decoder;
    int16_t *mono;    // ZV_OPUS_MAX_FRAME samples of the last packet
    int16_t *decode;  // 2 * ZV_OPUS_MAX_FRAME interleaved samples
    int32_t sample_rate;  // the decoders' rate, the first link's
    int32_t channels;     // the first link's
    int32_t offset;
    int32_t count;
    int32_t total;
    int32_t delivered;
    int32_t link_channels;  // channels of the link being decoded
    int32_t links;          // identification headers met in this pass
    int32_t link_over;      // the link gave audio or ended: another may follow it
} zv_opus_t;

zv_status_t zv_opus_init(const char *path, zv_opus_t **opus);
void zv_opus_delete(zv_opus_t *opus);
int32_t zv_opus_num_samples(zv_opus_t *opus);
int32_t zv_opus_num_channels(zv_opus_t *opus);
int32_t zv_opus_sample_rate(zv_opus_t *opus);
// Exactly num_samples mono samples, or a failure (IO_ERROR past the end).
zv_status_t zv_opus_read(zv_opus_t *opus, int32_t num_samples, int16_t *pcm);

// The rate at which a stream whose identification header records
// `input_rate` is decoded: that rate where libopus decodes at it, else 48000,
// Opus' own rate (the header's rate only says what the encoder was fed).
int32_t zv_opus_decoder_rate(uint32_t input_rate);

// Decodes one packet into mono (at least ZV_OPUS_MAX_FRAME samples) through
// decode (2 * ZV_OPUS_MAX_FRAME); IO_ERROR when the packet can't be decoded,
// OUT_OF_MEMORY when libopus ran out of memory.
zv_status_t zv_opus_read_packet(OpusDecoder *decoder, ogg_packet *packet, int32_t channels, int16_t *mono,
                                int16_t *decode, int32_t *num_samples);

// The status of a libopus error code: OUT_OF_MEMORY for OPUS_ALLOC_FAIL,
// `otherwise` for any other.
zv_status_t zv_opus_error_status(int error, zv_status_t otherwise);

// A new decoder at *decoder for that rate and channel count, in place of the
// one there (if any); on failure *decoder is NULL, with INVALID_STATE or
// OUT_OF_MEMORY.
zv_status_t zv_opus_make_decoder(int32_t rate, int32_t channels, OpusDecoder **decoder);

#ifdef __cplusplus
}
#endif

#endif
