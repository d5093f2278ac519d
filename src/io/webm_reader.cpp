#include "io/webm_reader.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/file.h"
#include "foundation/status.h"
#include "io/opus_reader.h"
#include "io/packet_samples.h"
#include "io/vorbis_reader.h"

namespace {

// The status of a demuxer that failed to start.
zv_status_t demuxer_failure(int32_t result) {
    return result == ZV_WEBM_OUT_OF_MEMORY ? ZV_STATUS_OUT_OF_MEMORY : ZV_STATUS_INVALID_STATE;
}

void release_packet(zv_webm_t *w) {
    if (w->packet != nullptr) {
        zv_webm_packet_free(w->packet);
        w->packet = nullptr;
    }
}

zv_status_t make_opus_decoder(zv_webm_t *w) { return zv_opus_make_decoder(w->rate, w->channels, &w->opus_decoder); }

zv_status_t choose_track(zv_webm_t *w) {
    uint32_t tracks = 0;
    if (zv_webm_demuxer_track_count(w->demuxer, &tracks) != 0) {
        return ZV_STATUS_INVALID_STATE;
    }
    for (uint32_t i = 0; i < tracks; ++i) {
        const int32_t codec = zv_webm_demuxer_track_codec_id(w->demuxer, i);
        if (zv_webm_demuxer_track_type(w->demuxer, i) == ZV_WEBM_TRACK_AUDIO &&
            (codec == ZV_WEBM_CODEC_VORBIS || codec == ZV_WEBM_CODEC_OPUS)) {
            w->track = i;
            w->codec = codec;
            double rate = 0.0;
            uint32_t channels = 0;
            if (zv_webm_demuxer_track_audio_params(w->demuxer, i, &rate, &channels) != 0) {
                return ZV_STATUS_INVALID_STATE;
            }
            w->rate = static_cast<int32_t>(floor(rate));
            // Muxers copy the Opus header's input rate into the track; Opus
            // itself codes at 48 kHz, and is decoded there when libopus can't
            // decode at the track's rate.
            if (codec == ZV_WEBM_CODEC_OPUS) {
                w->rate = zv_opus_decoder_rate(static_cast<uint32_t>(w->rate));
            }
            w->channels = static_cast<int32_t>(channels);
            return ZV_STATUS_SUCCESS;
        }
    }
    return ZV_STATUS_INVALID_ARGUMENT;
}

zv_status_t set_up_vorbis(zv_webm_t *w) {
    uint32_t items = 0;
    if (zv_webm_demuxer_track_codec_data_count(w->demuxer, w->track, &items) != 0) {
        return ZV_STATUS_INVALID_STATE;
    }
    if (items != 3) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    for (uint32_t j = 0; j < 3; ++j) {
        const uint8_t *data = nullptr;
        size_t length = 0;
        if (zv_webm_demuxer_track_codec_data(w->demuxer, w->track, j, &data, &length) != 0) {
            return ZV_STATUS_INVALID_STATE;
        }
        w->ogg_packet->packet = const_cast<unsigned char *>(data);
        w->ogg_packet->bytes = static_cast<long>(length);
        if (j == 0) {
            w->ogg_packet->b_o_s = 256;  // libvorbis takes the first header only at a stream's beginning
        }
        if (vorbis_synthesis_headerin(w->info, w->comment, w->ogg_packet) != 0) {
            return ZV_STATUS_INVALID_STATE;
        }
    }
    if (vorbis_synthesis_init(w->dsp, w->info) != 0) {
        return ZV_STATUS_INVALID_STATE;
    }
    vorbis_block_init(w->dsp, w->block);
    return ZV_STATUS_SUCCESS;
}

zv_status_t count_samples(zv_webm_t *w) {
    for (;;) {
        release_packet(w);
        const int32_t r = zv_webm_demuxer_read_packet(w->demuxer, &w->packet);
        if (r == ZV_WEBM_OUT_OF_MEMORY) {
            return ZV_STATUS_OUT_OF_MEMORY;  // not the end: the count would come short
        }
        if (r <= 0) {
            return ZV_STATUS_SUCCESS;  // the end, or an error, ends the count
        }
        if (zv_webm_packet_track(w->packet) != w->track) {
            continue;
        }
        const uint32_t frames = zv_webm_packet_count(w->packet);
        for (uint32_t j = 0; j < frames; ++j) {
            const uint8_t *data = nullptr;
            size_t length = 0;
            zv_webm_packet_data(w->packet, j, &data, &length);
            int n = 0;
            if (w->codec == ZV_WEBM_CODEC_OPUS) {
                if (length > INT32_MAX) {
                    return ZV_STATUS_INVALID_STATE;
                }
                n = opus_decode(w->opus_decoder, data, static_cast<opus_int32>(length), w->decode,
                                ZV_WEBM_MAX_FRAME, 0);
                if (n < 0) {
                    return zv_opus_error_status(n, ZV_STATUS_INVALID_STATE);
                }
            } else {
                memset(w->ogg_packet, 0, sizeof(ogg_packet));
                w->ogg_packet->packet = const_cast<unsigned char *>(data);
                w->ogg_packet->bytes = static_cast<long>(length);
                if (vorbis_synthesis(w->block, w->ogg_packet) != 0 || vorbis_synthesis_blockin(w->dsp, w->block) != 0) {
                    return ZV_STATUS_INVALID_STATE;
                }
                n = vorbis_synthesis_pcmout(w->dsp, nullptr);
                vorbis_synthesis_read(w->dsp, n);
            }
            if (n > INT32_MAX - w->total) {
                return ZV_STATUS_INVALID_ARGUMENT;  // more samples than a count can hold
            }
            w->total += n;
        }
    }
}

zv_status_t start_again(zv_webm_t *w) {
    rewind(w->file);
    release_packet(w);
    zv_webm_demuxer_destroy(w->demuxer);
    w->demuxer = nullptr;
    const int32_t started = zv_webm_demuxer_init(w->file, &w->demuxer);
    if (started != 0) {
        return demuxer_failure(started);
    }
    if (w->codec == ZV_WEBM_CODEC_OPUS) {
        ZV_TRY(make_opus_decoder(w));
    } else if (vorbis_synthesis_restart(w->dsp) != 0) {
        return ZV_STATUS_INVALID_STATE;
    }
    free(w->ogg_packet);
    w->ogg_packet = static_cast<ogg_packet *>(calloc(1, sizeof(ogg_packet)));
    return w->ogg_packet != nullptr ? ZV_STATUS_SUCCESS : ZV_STATUS_OUT_OF_MEMORY;
}

zv_status_t open_and_count(zv_webm_t *w, const char *path) {
    w->file = zv_fopen(path, "rb");
    if (w->file == nullptr) {
        return zv_fopen_failure();
    }
    const int32_t started = zv_webm_demuxer_init(w->file, &w->demuxer);
    if (started != 0) {
        return demuxer_failure(started);
    }
    ZV_TRY(choose_track(w));
    if (w->codec == ZV_WEBM_CODEC_OPUS) {
        ZV_TRY(make_opus_decoder(w));
    } else {
        ZV_TRY(set_up_vorbis(w));
    }
    ZV_TRY(count_samples(w));
    ZV_TRY(start_again(w));
    return w->total == 0 ? ZV_STATUS_INVALID_ARGUMENT : ZV_STATUS_SUCCESS;
}

// Decodes the held packet's next frame into mono.
zv_status_t decode_frame(zv_webm_t *w) {
    const uint8_t *data = nullptr;
    size_t length = 0;
    zv_webm_packet_data(w->packet, w->frame_index, &data, &length);
    w->ogg_packet->packet = const_cast<unsigned char *>(data);
    w->ogg_packet->bytes = static_cast<long>(length);
    int32_t m = 0;
    if (w->codec == ZV_WEBM_CODEC_OPUS) {
        ZV_TRY(zv_opus_read_packet(w->opus_decoder, w->ogg_packet, w->channels, w->mono, w->decode, &m));
    } else {
        // The stream's own channel count, which the track's may contradict,
        // says how many channels the decoder delivers.
        ZV_TRY(zv_vorbis_read_packet(w->dsp, w->block, w->ogg_packet, w->info->channels, w->mono, &m));
    }
    w->frame_index += 1;
    w->count = m;
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" {

zv_status_t zv_webm_init(const char *path, zv_webm_t **webm) {
    if (webm == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *webm = nullptr;
    if (path == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    zv_webm_t *w = static_cast<zv_webm_t *>(calloc(1, sizeof(zv_webm_t)));
    if (w == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    w->info = static_cast<vorbis_info *>(calloc(1, sizeof(vorbis_info)));
    if (w->info != nullptr) {
        vorbis_info_init(w->info);
    }
    w->comment = static_cast<vorbis_comment *>(calloc(1, sizeof(vorbis_comment)));
    if (w->comment != nullptr) {
        vorbis_comment_init(w->comment);
    }
    w->dsp = static_cast<vorbis_dsp_state *>(calloc(1, sizeof(vorbis_dsp_state)));
    w->block = static_cast<vorbis_block *>(calloc(1, sizeof(vorbis_block)));
    w->ogg_packet = static_cast<ogg_packet *>(calloc(1, sizeof(ogg_packet)));
    w->mono = static_cast<int16_t *>(calloc(ZV_WEBM_MAX_FRAME, sizeof(int16_t)));
    w->decode = static_cast<int16_t *>(calloc(2 * ZV_WEBM_MAX_FRAME, sizeof(int16_t)));
    // vorbis_info_init doesn't check the allocation of its set-up record.
    if (w->info == nullptr || w->info->codec_setup == nullptr || w->comment == nullptr || w->dsp == nullptr ||
        w->block == nullptr || w->ogg_packet == nullptr || w->mono == nullptr || w->decode == nullptr) {
        zv_webm_delete(w);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_status_t status = open_and_count(w, path);
    if (status != ZV_STATUS_SUCCESS) {
        zv_webm_delete(w);
        return status;
    }
    *webm = w;
    return ZV_STATUS_SUCCESS;
}

void zv_webm_delete(zv_webm_t *webm) {
    if (webm == nullptr) {
        return;
    }
    release_packet(webm);
    zv_webm_demuxer_destroy(webm->demuxer);
    if (webm->opus_decoder != nullptr) {
        opus_decoder_destroy(webm->opus_decoder);
    }
    if (webm->block != nullptr) {
        vorbis_block_clear(webm->block);
        free(webm->block);
    }
    if (webm->dsp != nullptr) {
        vorbis_dsp_clear(webm->dsp);
        free(webm->dsp);
    }
    if (webm->comment != nullptr) {
        vorbis_comment_clear(webm->comment);
        free(webm->comment);
    }
    if (webm->info != nullptr) {
        vorbis_info_clear(webm->info);
        free(webm->info);
    }
    free(webm->ogg_packet);
    free(webm->mono);
    free(webm->decode);
    if (webm->file != nullptr) {
        fclose(webm->file);
    }
    free(webm);
}

int32_t zv_webm_num_samples(zv_webm_t *webm) { return webm->total; }
int32_t zv_webm_num_channels(zv_webm_t *webm) { return webm->channels; }
int32_t zv_webm_sample_rate(zv_webm_t *webm) { return webm->rate; }

zv_status_t zv_webm_read(zv_webm_t *webm, int32_t num_samples, int16_t *pcm) {
    return zv_io::deliver_packet_samples(webm->mono, webm->offset, webm->count, webm->delivered, webm->total,
                                         num_samples, pcm, [webm]() -> zv_status_t {
        if (webm->packet != nullptr && webm->frame_index < zv_webm_packet_count(webm->packet)) {
            return decode_frame(webm);
        }
        int32_t r = 0;
        do {
            release_packet(webm);
            r = zv_webm_demuxer_read_packet(webm->demuxer, &webm->packet);
        } while (r > 0 && zv_webm_packet_track(webm->packet) != webm->track);
        webm->frame_index = 0;
        if (r == ZV_WEBM_OUT_OF_MEMORY) {
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        // The demuxer ended while samples are still owed (the file changed
        // since it was counted): nothing more will come.
        return r <= 0 ? ZV_STATUS_IO_ERROR : ZV_STATUS_SUCCESS;
    });
}

}  // extern "C"
