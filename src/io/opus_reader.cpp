#include "io/opus_reader.h"

#include "foundation/status.h"
#include "io/packet_samples.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr int32_t kIdHeaderBytes = 19;

bool begins_with_opus(const ogg_packet *p) {
    return p->bytes >= 4 && memcmp(p->packet, "Opus", 4) == 0;
}

bool is_id_header(const ogg_packet *p) {
    return begins_with_opus(p) && p->bytes >= 5 && p->packet[4] == 'H';
}

zv_status_t make_decoder(zv_opus_t *o) { return zv_opus_make_decoder(o->sample_rate, o->link_channels, &o->decoder); }

// A link's identification header: a fresh decoder for the link's channels.
// The first link sets the rate and channel count that the reader reports; a
// later link must decode at that rate, or the links are no one stream.
zv_status_t begin_link(zv_opus_t *o, const ogg_packet *p) {
    if (p->bytes < kIdHeaderBytes) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const uint8_t *h = p->packet;
    const int32_t channels = h[9];
    if (channels > 2) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const uint32_t input_rate = static_cast<uint32_t>(h[12]) | static_cast<uint32_t>(h[13]) << 8 |
                                static_cast<uint32_t>(h[14]) << 16 | static_cast<uint32_t>(h[15]) << 24;
    const int32_t rate = zv_opus_decoder_rate(input_rate);
    if (o->links == 0) {
        o->sample_rate = rate;
        o->channels = channels;
    } else if (rate != o->sample_rate) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    o->links += 1;
    o->link_channels = channels;
    // Reads keep the decoder that init made for the first link.
    if (o->links == 1 && o->decoder != nullptr) {
        return ZV_STATUS_SUCCESS;
    }
    return make_decoder(o);
}

// Takes a packet's part in the stream, the same in the counting pass and in
// reads: an identification header begins a link, the comment header is
// skipped, and anything else is audio, which *audio asks to decode.
zv_status_t take_packet(zv_opus_t *o, const ogg_packet *p, bool *audio) {
    *audio = false;
    // A stream that begins while the link before has neither given audio nor
    // ended is multiplexed with it; one that doesn't open with an
    // identification header is of another codec. Neither can join.
    if (p->b_o_s && o->links > 0 && (!o->link_over || !is_id_header(p))) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (is_id_header(p)) {
        o->link_over = 0;
        ZV_TRY(begin_link(o, p));
    } else {
        *audio = !begins_with_opus(p);
    }
    if (*audio || p->e_o_s) {
        o->link_over = 1;
    }
    return ZV_STATUS_SUCCESS;
}

zv_status_t count_samples(zv_opus_t *o) {
    for (;;) {
        // A read, sync or stream error ends the count like the end of the
        // file; memory that ran out fails it, or the count would come short.
        const zv_status_t page = zv_ogg_read_ogg_page(o->ogg);
        if (page != ZV_STATUS_SUCCESS) {
            return page == ZV_STATUS_OUT_OF_MEMORY ? page : ZV_STATUS_SUCCESS;
        }
        while (zv_ogg_stream_packetout(o->ogg, o->packet) == 1) {
            const ogg_packet *p = o->packet;
            bool audio = false;
            ZV_TRY(take_packet(o, p, &audio));
            if (!audio) {
                continue;
            }
            // Audio before any identification header can't be decoded.
            if (o->decoder == nullptr || p->bytes > INT32_MAX) {
                return ZV_STATUS_INVALID_STATE;
            }
            const int n =
                opus_decode(o->decoder, p->packet, static_cast<opus_int32>(p->bytes), o->decode, ZV_OPUS_MAX_FRAME, 0);
            if (n < 0) {
                return zv_opus_error_status(n, ZV_STATUS_INVALID_STATE);
            }
            if (n > INT32_MAX - o->total) {
                return ZV_STATUS_INVALID_ARGUMENT;  // more samples than a count can hold
            }
            o->total += n;
        }
    }
}

}  // namespace

extern "C" {

int32_t zv_opus_decoder_rate(uint32_t input_rate) {
    switch (input_rate) {
        case 8000: case 12000: case 16000: case 24000: case 48000:
            return static_cast<int32_t>(input_rate);
        default:
            return 48000;
    }
}

zv_status_t zv_opus_error_status(int error, zv_status_t otherwise) {
    return error == OPUS_ALLOC_FAIL ? ZV_STATUS_OUT_OF_MEMORY : otherwise;
}

zv_status_t zv_opus_make_decoder(int32_t rate, int32_t channels, OpusDecoder **decoder) {
    if (*decoder != nullptr) {
        opus_decoder_destroy(*decoder);
        *decoder = nullptr;
    }
    int error = OPUS_OK;
    *decoder = opus_decoder_create(rate, channels, &error);
    if (error < 0 || *decoder == nullptr) {
        if (*decoder != nullptr) {
            opus_decoder_destroy(*decoder);
            *decoder = nullptr;
        }
        return zv_opus_error_status(error, ZV_STATUS_INVALID_STATE);
    }
    return ZV_STATUS_SUCCESS;
}

zv_status_t zv_opus_read_packet(OpusDecoder *decoder, ogg_packet *packet, int32_t channels, int16_t *mono,
                                int16_t *decode, int32_t *num_samples) {
    if (decoder == nullptr || packet->bytes < 0 || packet->bytes > INT32_MAX) {
        return ZV_STATUS_IO_ERROR;
    }
    const int n = opus_decode(decoder, packet->packet, static_cast<opus_int32>(packet->bytes), decode,
                              ZV_OPUS_MAX_FRAME, 0);
    if (n < 0) {
        return zv_opus_error_status(n, ZV_STATUS_IO_ERROR);
    }
    if (channels == 1) {
        memcpy(mono, decode, static_cast<size_t>(n) * sizeof(int16_t));
    } else {
        for (int i = 0; i < n; ++i) {
            mono[i] = static_cast<int16_t>((static_cast<int32_t>(decode[2 * i]) + decode[2 * i + 1]) / 2);
        }
    }
    *num_samples = n;
    return ZV_STATUS_SUCCESS;
}

zv_status_t zv_opus_init(const char *path, zv_opus_t **opus) {
    if (opus == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *opus = nullptr;
    zv_opus_t *o = static_cast<zv_opus_t *>(calloc(1, sizeof(zv_opus_t)));
    if (o == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_status_t status = zv_ogg_init(path, &o->ogg);
    if (status != ZV_STATUS_SUCCESS) {
        free(o);
        return status;
    }
    o->packet = static_cast<ogg_packet *>(calloc(1, sizeof(ogg_packet)));
    o->mono = static_cast<int16_t *>(calloc(ZV_OPUS_MAX_FRAME, sizeof(int16_t)));
    o->decode = static_cast<int16_t *>(calloc(2 * ZV_OPUS_MAX_FRAME, sizeof(int16_t)));
    if (o->packet == nullptr || o->mono == nullptr || o->decode == nullptr) {
        zv_opus_delete(o);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    status = count_samples(o);
    if (status == ZV_STATUS_SUCCESS) {
        memset(o->packet, 0, sizeof(ogg_packet));
        status = zv_ogg_reset(o->ogg);
    }
    if (status == ZV_STATUS_SUCCESS) {
        // Without an identification header there is no rate or channel
        // count, and this fails. Reads meet every link's header again and
        // make the later links' decoders.
        o->link_channels = o->channels;
        o->links = 0;
        o->link_over = 0;
        status = make_decoder(o);
    }
    if (status == ZV_STATUS_SUCCESS && o->total == 0) {
        status = ZV_STATUS_INVALID_ARGUMENT;
    }
    if (status != ZV_STATUS_SUCCESS) {
        zv_opus_delete(o);
        return status;
    }
    *opus = o;
    return ZV_STATUS_SUCCESS;
}

void zv_opus_delete(zv_opus_t *opus) {
    if (opus == nullptr) {
        return;
    }
    zv_ogg_delete(opus->ogg);
    free(opus->packet);
    if (opus->decoder != nullptr) {
        opus_decoder_destroy(opus->decoder);
    }
    free(opus->mono);
    free(opus->decode);
    free(opus);
}

int32_t zv_opus_num_samples(zv_opus_t *opus) { return opus->total; }
int32_t zv_opus_num_channels(zv_opus_t *opus) { return opus->channels; }
int32_t zv_opus_sample_rate(zv_opus_t *opus) { return opus->sample_rate; }

zv_status_t zv_opus_read(zv_opus_t *opus, int32_t num_samples, int16_t *pcm) {
    return zv_io::deliver_packet_samples(opus->mono, opus->offset, opus->count, opus->delivered, opus->total,
                                         num_samples, pcm, [opus]() -> zv_status_t {
        if (zv_ogg_stream_packetout(opus->ogg, opus->packet) != 1) {
            return zv_ogg_read_ogg_page(opus->ogg);
        }
        bool audio = false;
        ZV_TRY(take_packet(opus, opus->packet, &audio));
        if (!audio) {
            return ZV_STATUS_SUCCESS;
        }
        int32_t m = 0;
        ZV_TRY(zv_opus_read_packet(opus->decoder, opus->packet, opus->link_channels, opus->mono, opus->decode, &m));
        opus->count = m;
        return ZV_STATUS_SUCCESS;
    });
}

}  // extern "C"
