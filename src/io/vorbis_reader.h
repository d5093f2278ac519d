// Ogg Vorbis reader: mono int16 samples (the first two channels averaged)
// from an Ogg Vorbis file. Init decodes the whole file once to count the
// samples, then starts again from the first page with the decoder restarted.
// A chained file (links one after another) reads as one stream when every
// link has the first link's rate; each link is decoded with its own headers.
#ifndef ZV_IO_VORBIS_READER_H
#define ZV_IO_VORBIS_READER_H

#include <ogg/ogg.h>
#include <stdint.h>
#include <vorbis/codec.h>

#include "io/ogg.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// Room for the samples of one packet (at most half the largest block).
#define ZV_VORBIS_MAX_FRAME 8192

typedef struct zv_vorbis {
    zv_ogg_t *ogg;
    ogg_packet *packet;
    vorbis_info *info;
    vorbis_comment *comment;
    vorbis_dsp_state *dsp;
    vorbis_block *block;
    int16_t *samples;  // ZV_VORBIS_MAX_FRAME samples of the last packet
    int32_t sample_rate;  // the first link's
    int32_t channels;     // the first link's
    int32_t offset;
    int32_t count;
    int32_t total;
    int32_t delivered;
    int32_t dsp_ready;  // dsp and block set up by the link's first audio packet
    int32_t links;      // links begun in this pass
    int32_t most_channels;  // of any link, found by the counting pass
    int64_t link_packets;   // packets taken from the link being decoded
    int32_t link_over;      // the link gave audio or ended: another may follow it
    int32_t set_up_kept;    // reads keep init's set-up for the first (only) link
} zv_vorbis_t;

zv_status_t zv_vorbis_init(const char *path, zv_vorbis_t **vorbis);
void zv_vorbis_delete(zv_vorbis_t *vorbis);
int32_t zv_vorbis_num_samples(zv_vorbis_t *vorbis);
int32_t zv_vorbis_num_channels(zv_vorbis_t *vorbis);
int32_t zv_vorbis_sample_rate(zv_vorbis_t *vorbis);
// Exactly num_samples mono samples, or a failure (IO_ERROR past the end).
zv_status_t zv_vorbis_read(zv_vorbis_t *vorbis, int32_t num_samples, int16_t *pcm);

// Decodes one audio packet into samples (ZV_VORBIS_MAX_FRAME) as mono: one
// channel as it is, else the mean of the first two. INVALID_STATE when
// libvorbis refuses the packet.
zv_status_t zv_vorbis_read_packet(vorbis_dsp_state *dsp, vorbis_block *block, ogg_packet *packet, int32_t channels,
                                  int16_t *samples, int32_t *num_samples);

// One decoded value (1.0 full scale) as int16: x * 32767 rounded half away
// from zero, limited to -32768..32767 before the conversion; NaN gives -32768.
int16_t zv_vorbis_sample_to_int16(float x);

#ifdef __cplusplus
}
#endif

#endif
