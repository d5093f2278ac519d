#include "io/vorbis_reader.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/status.h"
#include "io/packet_samples.h"

namespace {

bool has_signature(const ogg_packet *p) {
    return p->bytes >= 7 && memcmp(p->packet + 1, "vorbis", 6) == 0;
}

zv_status_t set_up_dsp(zv_vorbis_t *v) {
    if (vorbis_synthesis_init(v->dsp, v->info) != 0) {
        return ZV_STATUS_INVALID_STATE;
    }
    v->dsp_ready = 1;
    if (vorbis_block_init(v->dsp, v->block) != 0) {
        return ZV_STATUS_INVALID_STATE;
    }
    return ZV_STATUS_SUCCESS;
}

// Back to records that hold no stream, for a link's own headers to fill.
zv_status_t clear_link(zv_vorbis_t *v) {
    if (v->dsp_ready) {
        vorbis_block_clear(v->block);
        vorbis_dsp_clear(v->dsp);
        v->dsp_ready = 0;
    }
    vorbis_comment_clear(v->comment);
    vorbis_info_clear(v->info);
    vorbis_info_init(v->info);
    vorbis_comment_init(v->comment);
    // vorbis_info_init doesn't check the allocation of its set-up record.
    return v->info->codec_setup != nullptr ? ZV_STATUS_SUCCESS : ZV_STATUS_OUT_OF_MEMORY;
}

// The first link gives the rate and channel count that the reader reports; a
// later link must have that rate, or the links are no one stream.
zv_status_t check_link(zv_vorbis_t *v) {
    const long rate = v->info->rate;
    if (v->links <= 1) {
        v->sample_rate = static_cast<int32_t>(rate);
        v->channels = v->info->channels;
    } else if (rate != v->sample_rate) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (v->info->channels > v->most_channels) {
        v->most_channels = v->info->channels;
    }
    return ZV_STATUS_SUCCESS;
}

// Takes a packet's part in the stream, the same in the counting pass and in
// reads. A beginning-of-stream packet begins a link, whose first three
// packets must be its headers (so a link of another codec is refused); later
// header packets are skipped. *audio asks to decode the packet.
zv_status_t take_packet(zv_vorbis_t *v, ogg_packet *p, bool *audio) {
    *audio = false;
    if (p->b_o_s) {
        // A stream that begins while the link before has neither given audio
        // nor ended is multiplexed with it, and can't join.
        if (v->links > 0 && !v->link_over) {
            return ZV_STATUS_INVALID_ARGUMENT;
        }
        v->links += 1;
        v->link_over = 0;
        if (v->set_up_kept) {
            // Its headers are skipped like any header after the third.
            v->set_up_kept = 0;
            v->link_packets = 3;
        } else {
            ZV_TRY(clear_link(v));
            v->link_packets = 0;
        }
    }
    if (p->e_o_s) {
        v->link_over = 1;
    }
    const int64_t index = v->link_packets++;
    if (index <= 2) {
        if (!has_signature(p) || (index == 0 && !vorbis_synthesis_idheader(p))) {
            return ZV_STATUS_INVALID_ARGUMENT;
        }
        if (vorbis_synthesis_headerin(v->info, v->comment, p) != 0) {
            return ZV_STATUS_INVALID_STATE;
        }
        return index == 0 ? check_link(v) : ZV_STATUS_SUCCESS;
    }
    if (has_signature(p)) {
        return ZV_STATUS_SUCCESS;
    }
    // Set up at the link's first audio packet, wherever it stands, so that a
    // further header before it doesn't leave the decoder without a set-up.
    if (!v->dsp_ready) {
        ZV_TRY(set_up_dsp(v));
    }
    *audio = true;
    v->link_over = 1;
    return ZV_STATUS_SUCCESS;
}

zv_status_t count_samples(zv_vorbis_t *v) {
    for (;;) {
        // A read, sync or stream error ends the count like the end of the
        // file; memory that ran out fails it, or the count would come short.
        const zv_status_t page = zv_ogg_read_ogg_page(v->ogg);
        if (page != ZV_STATUS_SUCCESS) {
            return page == ZV_STATUS_OUT_OF_MEMORY ? page : ZV_STATUS_SUCCESS;
        }
        while (zv_ogg_stream_packetout(v->ogg, v->packet) == 1) {
            ogg_packet *p = v->packet;
            bool audio = false;
            ZV_TRY(take_packet(v, p, &audio));
            if (!audio) {
                continue;
            }
            if (vorbis_synthesis(v->block, p) != 0 || vorbis_synthesis_blockin(v->dsp, v->block) != 0) {
                return ZV_STATUS_INVALID_STATE;
            }
            const int n = vorbis_synthesis_pcmout(v->dsp, nullptr);
            vorbis_synthesis_read(v->dsp, n);
            if (n > INT32_MAX - v->total) {
                return ZV_STATUS_INVALID_ARGUMENT;  // more samples than a count can hold
            }
            v->total += n;
        }
    }
}

}  // namespace

extern "C" {

int16_t zv_vorbis_sample_to_int16(float x) {
    const float y = x * 32767.0f;
    if (!(y > -32768.0f)) {
        return -32768;  // also NaN
    }
    if (y > 32767.0f) {
        return 32767;
    }
    return static_cast<int16_t>(static_cast<int32_t>(roundf(y)));
}

zv_status_t zv_vorbis_read_packet(vorbis_dsp_state *dsp, vorbis_block *block, ogg_packet *packet, int32_t channels,
                                  int16_t *samples, int32_t *num_samples) {
    if (vorbis_synthesis(block, packet) != 0 || vorbis_synthesis_blockin(dsp, block) != 0) {
        return ZV_STATUS_INVALID_STATE;
    }
    float **pcm = nullptr;
    const int n = vorbis_synthesis_pcmout(dsp, &pcm);
    // The stream's own channel count bounds what may be read of pcm.
    const int32_t have = dsp->vi != nullptr ? dsp->vi->channels : 0;
    if (n < 0 || n > ZV_VORBIS_MAX_FRAME || channels < 1 || channels > have || (n > 0 && pcm == nullptr)) {
        return ZV_STATUS_INVALID_STATE;
    }
    vorbis_synthesis_read(dsp, n);
    if (channels == 1) {
        for (int i = 0; i < n; ++i) {
            samples[i] = zv_vorbis_sample_to_int16(pcm[0][i]);
        }
    } else {
        for (int i = 0; i < n; ++i) {
            samples[i] = zv_vorbis_sample_to_int16((pcm[0][i] + pcm[1][i]) * 0.5f);
        }
    }
    *num_samples = n;
    return ZV_STATUS_SUCCESS;
}

zv_status_t zv_vorbis_init(const char *path, zv_vorbis_t **vorbis) {
    if (vorbis == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *vorbis = nullptr;
    zv_vorbis_t *v = static_cast<zv_vorbis_t *>(calloc(1, sizeof(zv_vorbis_t)));
    if (v == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_status_t status = zv_ogg_init(path, &v->ogg);
    if (status != ZV_STATUS_SUCCESS) {
        free(v);
        return status;
    }
    v->packet = static_cast<ogg_packet *>(calloc(1, sizeof(ogg_packet)));
    v->info = static_cast<vorbis_info *>(calloc(1, sizeof(vorbis_info)));
    if (v->info != nullptr) {
        vorbis_info_init(v->info);
    }
    v->comment = static_cast<vorbis_comment *>(calloc(1, sizeof(vorbis_comment)));
    if (v->comment != nullptr) {
        vorbis_comment_init(v->comment);
    }
    v->dsp = static_cast<vorbis_dsp_state *>(calloc(1, sizeof(vorbis_dsp_state)));
    v->block = static_cast<vorbis_block *>(calloc(1, sizeof(vorbis_block)));
    v->samples = static_cast<int16_t *>(calloc(ZV_VORBIS_MAX_FRAME, sizeof(int16_t)));
    // vorbis_info_init doesn't check the allocation of its set-up record.
    if (v->packet == nullptr || v->info == nullptr || v->info->codec_setup == nullptr || v->comment == nullptr ||
        v->dsp == nullptr || v->block == nullptr || v->samples == nullptr) {
        zv_vorbis_delete(v);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    status = count_samples(v);
    if (status == ZV_STATUS_SUCCESS && v->most_channels > 2) {
        status = ZV_STATUS_INVALID_ARGUMENT;
    }
    if (status == ZV_STATUS_SUCCESS) {
        memset(v->packet, 0, sizeof(ogg_packet));
        status = zv_ogg_reset(v->ogg);
    }
    // Without an audio packet the decoder was never set up, and can't be
    // restarted.
    if (status == ZV_STATUS_SUCCESS && (!v->dsp_ready || vorbis_synthesis_restart(v->dsp) != 0)) {
        status = ZV_STATUS_INVALID_STATE;
    }
    if (status == ZV_STATUS_SUCCESS && v->total == 0) {
        status = ZV_STATUS_INVALID_ARGUMENT;
    }
    // A file of one link is read with the set-up restarted above. In a
    // chained file that set-up is the last link's, so reads set the records
    // up afresh from every link's headers, the first link's too.
    v->set_up_kept = v->links == 1;
    v->links = 0;
    v->link_packets = 0;
    v->link_over = 0;
    if (status != ZV_STATUS_SUCCESS) {
        zv_vorbis_delete(v);
        return status;
    }
    *vorbis = v;
    return ZV_STATUS_SUCCESS;
}

void zv_vorbis_delete(zv_vorbis_t *vorbis) {
    if (vorbis == nullptr) {
        return;
    }
    zv_ogg_delete(vorbis->ogg);
    free(vorbis->packet);
    // The block and the dsp state refer to the info: clear them first.
    if (vorbis->block != nullptr) {
        vorbis_block_clear(vorbis->block);
        free(vorbis->block);
    }
    if (vorbis->dsp != nullptr) {
        vorbis_dsp_clear(vorbis->dsp);
        free(vorbis->dsp);
    }
    if (vorbis->comment != nullptr) {
        vorbis_comment_clear(vorbis->comment);
        free(vorbis->comment);
    }
    if (vorbis->info != nullptr) {
        vorbis_info_clear(vorbis->info);
        free(vorbis->info);
    }
    free(vorbis->samples);
    free(vorbis);
}

int32_t zv_vorbis_num_samples(zv_vorbis_t *vorbis) { return vorbis->total; }
int32_t zv_vorbis_num_channels(zv_vorbis_t *vorbis) { return vorbis->channels; }
int32_t zv_vorbis_sample_rate(zv_vorbis_t *vorbis) { return vorbis->sample_rate; }

zv_status_t zv_vorbis_read(zv_vorbis_t *vorbis, int32_t num_samples, int16_t *pcm) {
    return zv_io::deliver_packet_samples(vorbis->samples, vorbis->offset, vorbis->count, vorbis->delivered,
                                         vorbis->total, num_samples, pcm, [vorbis]() -> zv_status_t {
        if (zv_ogg_stream_packetout(vorbis->ogg, vorbis->packet) != 1) {
            return zv_ogg_read_ogg_page(vorbis->ogg);
        }
        bool audio = false;
        ZV_TRY(take_packet(vorbis, vorbis->packet, &audio));
        if (!audio) {
            return ZV_STATUS_SUCCESS;
        }
        // The link's own channel count, which may differ from the first link's.
        int32_t m = 0;
        ZV_TRY(zv_vorbis_read_packet(vorbis->dsp, vorbis->block, vorbis->packet, vorbis->info->channels,
                                     vorbis->samples, &m));
        vorbis->count = m;
        return ZV_STATUS_SUCCESS;
    });
}

}  // extern "C"
