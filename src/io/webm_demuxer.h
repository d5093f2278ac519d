// WebM (Matroska) demuxing over a standard FILE: the tracks of the file's
// headers, then its blocks one at a time with their lacing undone. A thin
// layer over libwebm's callback parser, which is paused at the end of every
// block.
#ifndef ZV_IO_WEBM_DEMUXER_H
#define ZV_IO_WEBM_DEMUXER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZV_WEBM_TRACK_VIDEO 0
#define ZV_WEBM_TRACK_AUDIO 1
#define ZV_WEBM_TRACK_OTHER 2

// What init and read_packet give when memory ran out, beside their -1 for a
// file they can't read.
#define ZV_WEBM_OUT_OF_MEMORY (-2)

#define ZV_WEBM_CODEC_UNKNOWN (-1)
#define ZV_WEBM_CODEC_VORBIS 1
#define ZV_WEBM_CODEC_OPUS 3

typedef struct zv_webm_demuxer zv_webm_demuxer_t;
typedef struct zv_webm_packet zv_webm_packet_t;

// Parses the headers, from the file's current position (its start) up to the
// first cluster. 0 on success; -1 when the headers can't be parsed or name
// no track; ZV_WEBM_OUT_OF_MEMORY. The file stays the caller's and must
// outlive the demuxer.
int32_t zv_webm_demuxer_init(FILE *file, zv_webm_demuxer_t **demuxer);
void zv_webm_demuxer_destroy(zv_webm_demuxer_t *demuxer);

// Tracks are numbered 0, 1, ... in the order of the headers. Each query
// gives 0, or -1 for a track that doesn't exist or can't answer.
int32_t zv_webm_demuxer_track_count(zv_webm_demuxer_t *demuxer, uint32_t *count);
// ZV_WEBM_TRACK_*, or -1.
int32_t zv_webm_demuxer_track_type(zv_webm_demuxer_t *demuxer, uint32_t track);
// ZV_WEBM_CODEC_*.
int32_t zv_webm_demuxer_track_codec_id(zv_webm_demuxer_t *demuxer, uint32_t track);
// An audio track's rate (8000 when the file gives none) and channel count
// (1 when it gives none). -1 for a track without audio settings or with a
// rate that isn't a number from 0 to 2^31 - 1.
int32_t zv_webm_demuxer_track_audio_params(zv_webm_demuxer_t *demuxer, uint32_t track, double *rate,
                                           uint32_t *channels);
// Items of the codec-private data: 1 for Opus; for Vorbis the Xiph-laced
// count (the headers). -1 for other codecs or Vorbis without private data.
int32_t zv_webm_demuxer_track_codec_data_count(zv_webm_demuxer_t *demuxer, uint32_t track, uint32_t *count);
// One item, pointing into the demuxer (valid until it is destroyed). -1 when
// the lacing doesn't fit the data.
int32_t zv_webm_demuxer_track_codec_data(zv_webm_demuxer_t *demuxer, uint32_t track, uint32_t item,
                                         const uint8_t **data, size_t *length);

// The next block of any track: 1 with *packet set (release it with
// zv_webm_packet_free), 0 at the end of the file, -1 on an error (a cut or
// malformed file, a read error), ZV_WEBM_OUT_OF_MEMORY. *packet is NULL
// unless a block was read. After a result other than 1 every further call
// gives the same.
int32_t zv_webm_demuxer_read_packet(zv_webm_demuxer_t *demuxer, zv_webm_packet_t **packet);

// The block's track index, and its frame count.
uint32_t zv_webm_packet_track(const zv_webm_packet_t *packet);
uint32_t zv_webm_packet_count(const zv_webm_packet_t *packet);
// One frame's bytes; -1 for a frame number beyond the count.
int32_t zv_webm_packet_data(const zv_webm_packet_t *packet, uint32_t frame, const uint8_t **data, size_t *length);
void zv_webm_packet_free(zv_webm_packet_t *packet);

#ifdef __cplusplus
}
#endif

#endif
