// Ogg packets decoded straight with libopus or libvorbis, the expected
// samples that the Opus, Vorbis and WebM readers are compared with.
#ifndef ZV_TESTS_SUPPORT_REFERENCE_DECODE_H
#define ZV_TESTS_SUPPORT_REFERENCE_DECODE_H

#include <gtest/gtest.h>
#include <opus/opus.h>
#include <vorbis/codec.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "support/ogg_writer.h"

namespace zv_test {

// The audio packets (all but the two header packets) decoded at the given
// rate and channels, stereo averaged with truncation toward zero.
inline std::vector<int16_t> opus_reference_samples(const OggPackets &packets, int rate, int channels) {
    int error = 0;
    OpusDecoder *decoder = opus_decoder_create(rate, channels, &error);
    EXPECT_EQ(error, OPUS_OK);
    std::vector<int16_t> out;
    std::vector<int16_t> frame(2 * 5760);
    for (size_t i = 2; i < packets.size(); ++i) {
        const std::vector<uint8_t> &p = packets[i].bytes;
        const int n = opus_decode(decoder, p.data(), static_cast<opus_int32>(p.size()), frame.data(), 5760, 0);
        EXPECT_GE(n, 0);
        for (int k = 0; k < n; ++k) {
            out.push_back(channels == 1 ? frame[k] : static_cast<int16_t>((frame[2 * k] + frame[2 * k + 1]) / 2));
        }
    }
    opus_decoder_destroy(decoder);
    return out;
}

inline int16_t reference_to_int16(float x) {
    const float y = std::round(x * 32767.0f);
    return static_cast<int16_t>(y > 32767.0f ? 32767.0f : (y < -32768.0f ? -32768.0f : y));
}

// The packets decoded with libvorbis: mono, or the mean of the first two
// channels, rounded. With ogg_framing the packets carry the beginning and end
// of stream, granule positions and numbers an Ogg stream gives them; without
// it none of these, as a WebM reader meets them.
inline std::vector<int16_t> vorbis_reference_samples(const OggPackets &packets, bool ogg_framing) {
    vorbis_info info;
    vorbis_comment comment;
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
    vorbis_dsp_state dsp;
    vorbis_block block;
    std::vector<int16_t> out;
    for (size_t i = 0; i < packets.size(); ++i) {
        ogg_packet p{};
        p.packet = const_cast<unsigned char *>(packets[i].bytes.data());
        p.bytes = static_cast<long>(packets[i].bytes.size());
        if (ogg_framing) {
            p.b_o_s = i == 0;
            p.e_o_s = packets[i].eos;
            p.granulepos = packets[i].granulepos;
            p.packetno = static_cast<ogg_int64_t>(i);
        } else if (i < 3) {
            p.b_o_s = 256;
        }
        if (i < 3) {
            EXPECT_EQ(vorbis_synthesis_headerin(&info, &comment, &p), 0);
            if (i == 2) {
                vorbis_synthesis_init(&dsp, &info);
                vorbis_block_init(&dsp, &block);
            }
            continue;
        }
        EXPECT_EQ(vorbis_synthesis(&block, &p), 0);
        vorbis_synthesis_blockin(&dsp, &block);
        float **pcm;
        const int n = vorbis_synthesis_pcmout(&dsp, &pcm);
        for (int k = 0; k < n; ++k) {
            out.push_back(reference_to_int16(info.channels == 1 ? pcm[0][k] : (pcm[0][k] + pcm[1][k]) * 0.5f));
        }
        vorbis_synthesis_read(&dsp, n);
    }
    vorbis_block_clear(&block);
    vorbis_dsp_clear(&dsp);
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    return out;
}

}  // namespace zv_test

#endif
