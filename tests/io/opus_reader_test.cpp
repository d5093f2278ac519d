#include "io/opus_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/audio_fixture.h"
#include "support/ogg_writer.h"
#include "support/reference_decode.h"
#include "support/temp_dir.h"

namespace {

using zv_test::audio_fixture;
using zv_test::OggPackets;

// The file's audio decoded straight with libopus at the given rate and channels.
std::vector<int16_t> reference_samples(const std::string &path, int rate, int channels) {
    return zv_test::opus_reference_samples(zv_test::ogg_packets(path), rate, channels);
}

struct DecodeCase {
    const char *file;
    int32_t rate;
    int32_t channels;
};

class OpusDecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(OpusDecodeTest, CountsAndReadsEverySampleOfThePackets) {
    const DecodeCase &c = GetParam();
    const std::string path = audio_fixture(c.file);
    zv_opus_t *opus = nullptr;
    ASSERT_EQ(zv_opus_init(path.c_str(), &opus), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_opus_sample_rate(opus), c.rate);
    EXPECT_EQ(zv_opus_num_channels(opus), c.channels);
    const std::vector<int16_t> expected = reference_samples(path, c.rate, c.channels);
    // The pre-skip is not applied: every decoded sample counts (0.6 s sources).
    ASSERT_EQ(zv_opus_num_samples(opus), static_cast<int32_t>(expected.size()));
    EXPECT_GT(zv_opus_num_samples(opus), c.rate * 6 / 10);

    // In pieces of 100, then the rest in one read, which is exactly the total.
    std::vector<int16_t> got(expected.size() + 1, 12345);
    ASSERT_EQ(zv_opus_read(opus, 100, got.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_opus_read(opus, 100, got.data() + 100), ZV_STATUS_SUCCESS);
    const int32_t rest = static_cast<int32_t>(expected.size()) - 200;
    ASSERT_EQ(zv_opus_read(opus, rest, got.data() + 200), ZV_STATUS_SUCCESS);
    EXPECT_EQ(got[expected.size()], 12345);
    got.pop_back();
    EXPECT_EQ(got, expected);
    // Past the end: IO_ERROR, nothing written.
    int16_t one = 7;
    EXPECT_EQ(zv_opus_read(opus, 1, &one), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(one, 7);
    EXPECT_EQ(zv_opus_read(opus, 0, &one), ZV_STATUS_SUCCESS);
    zv_opus_delete(opus);
}

// The 44.1 kHz source records that rate in its header; libopus can't decode
// at it, so the reader decodes (and counts) at 48 kHz.
INSTANTIATE_TEST_SUITE_P(Files, OpusDecodeTest,
                         testing::Values(DecodeCase{"opus_mono_48k.opus", 48000, 1},
                                         DecodeCase{"opus_stereo_48k.opus", 48000, 2},
                                         DecodeCase{"opus_from_16k.opus", 16000, 1},
                                         DecodeCase{"opus_from_44k.opus", 48000, 1}));

OggPackets mono_packets();

// Links of two input rates, 44.1 kHz mono then 48 kHz stereo: both decode at
// 48 kHz, each with a decoder for its own channels, and read as one stream.
TEST(OpusReaderTest, ChainedLinksReadAsOneStream) {
    const std::string path = audio_fixture("chained_opus_48k.opus");
    const std::vector<OggPackets> links = zv_test::ogg_links(path);
    ASSERT_EQ(links.size(), 2u);
    ASSERT_EQ(links[0][0].bytes[9], 1);
    ASSERT_EQ(links[1][0].bytes[9], 2);
    std::vector<int16_t> expected = zv_test::opus_reference_samples(links[0], 48000, 1);
    const int32_t first = static_cast<int32_t>(expected.size());
    const std::vector<int16_t> second = zv_test::opus_reference_samples(links[1], 48000, 2);
    expected.insert(expected.end(), second.begin(), second.end());

    zv_opus_t *opus = nullptr;
    ASSERT_EQ(zv_opus_init(path.c_str(), &opus), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_opus_sample_rate(opus), 48000);
    EXPECT_EQ(zv_opus_num_channels(opus), 1);  // the first link's
    const int32_t total = static_cast<int32_t>(expected.size());
    ASSERT_EQ(zv_opus_num_samples(opus), total);
    // The first read ends inside the second link.
    std::vector<int16_t> got(expected.size());
    ASSERT_EQ(zv_opus_read(opus, first + 100, got.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_opus_read(opus, total - first - 100, got.data() + first + 100), ZV_STATUS_SUCCESS);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(zv_opus_read(opus, 1, got.data()), ZV_STATUS_IO_ERROR);
    zv_opus_delete(opus);
}

// Links that decode at different rates (16 kHz, then 48 kHz), a link of
// another codec, or a second stream multiplexed with the first (whose pages
// come first) make no one stream.
TEST(OpusReaderTest, StreamsThatDoNotJoinAreRefused) {
    const std::vector<uint8_t> files[] = {
        zv_test::joined_bytes({audio_fixture("opus_from_16k.opus"), audio_fixture("opus_mono_48k.opus")}),
        zv_test::joined_bytes({audio_fixture("opus_from_16k.opus"), audio_fixture("vorbis_mono_16k.ogg")}),
        zv_test::grouped_ogg_bytes(mono_packets(), mono_packets()),
    };
    zv_test::TempDir dir;
    for (const std::vector<uint8_t> &bytes : files) {
        zv_opus_t *opus = reinterpret_cast<zv_opus_t *>(1);
        EXPECT_EQ(zv_opus_init(dir.write("c.opus", bytes).c_str(), &opus), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(opus, nullptr);
    }
}

TEST(OpusReaderTest, ReadTotalPlusOneWritesNothing) {
    zv_opus_t *opus = nullptr;
    ASSERT_EQ(zv_opus_init(audio_fixture("opus_mono_48k.opus").c_str(), &opus), ZV_STATUS_SUCCESS);
    const int32_t total = zv_opus_num_samples(opus);
    std::vector<int16_t> pcm(total + 1, 99);
    EXPECT_EQ(zv_opus_read(opus, total + 1, pcm.data()), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(pcm, std::vector<int16_t>(total + 1, 99));
    EXPECT_EQ(zv_opus_read(opus, total, pcm.data()), ZV_STATUS_SUCCESS);
    zv_opus_delete(opus);
}

TEST(OpusReaderTest, CutFileCountsThePagesBeforeTheCut) {
    zv_opus_t *whole = nullptr;
    ASSERT_EQ(zv_opus_init(audio_fixture("opus_mono_48k.opus").c_str(), &whole), ZV_STATUS_SUCCESS);
    std::vector<uint8_t> bytes = zv_test::read_bytes(audio_fixture("opus_mono_48k.opus"));
    bytes.resize(bytes.size() - 10);
    zv_test::TempDir dir;
    zv_opus_t *opus = nullptr;
    ASSERT_EQ(zv_opus_init(dir.write("cut.opus", bytes).c_str(), &opus), ZV_STATUS_SUCCESS);
    const int32_t total = zv_opus_num_samples(opus);
    EXPECT_GT(total, 0);
    EXPECT_LT(total, zv_opus_num_samples(whole));
    std::vector<int16_t> pcm(total);
    EXPECT_EQ(zv_opus_read(opus, total, pcm.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_opus_read(opus, 1, pcm.data()), ZV_STATUS_IO_ERROR);
    zv_opus_delete(opus);
    zv_opus_delete(whole);
}

// Packets of the mono fixture, altered.
OggPackets mono_packets() { return zv_test::ogg_packets(audio_fixture("opus_mono_48k.opus")); }

void set_rate(OggPackets *packets, uint32_t rate) {
    for (int i = 0; i < 4; ++i) (*packets)[0].bytes[12 + i] = static_cast<uint8_t>(rate >> (8 * i));
}

struct FailureCase {
    const char *name;
    OggPackets (*packets)();
    zv_status_t status;
};

class OpusInitFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(OpusInitFailureTest, GivesTheStatusAndNoReader) {
    zv_test::TempDir dir;
    const std::string path = dir.write("f.opus", zv_test::ogg_bytes(GetParam().packets()));
    zv_opus_t *opus = reinterpret_cast<zv_opus_t *>(1);
    EXPECT_EQ(zv_opus_init(path.c_str(), &opus), GetParam().status);
    EXPECT_EQ(opus, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpusInitFailureTest,
    testing::Values(
        FailureCase{"HeadersOnly", [] { OggPackets p = mono_packets(); p.resize(2); return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        FailureCase{"ThreeChannels", [] { OggPackets p = mono_packets(); p[0].bytes[9] = 3; return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        FailureCase{"NoChannels", [] { OggPackets p = mono_packets(); p[0].bytes[9] = 0; return p; },
                    ZV_STATUS_INVALID_STATE},
        // An identification header too short for its fields.
        FailureCase{"ShortIdHeader", [] { OggPackets p = mono_packets(); p[0].bytes.resize(18); return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        FailureCase{"JustTheSignature", [] { OggPackets p = mono_packets(); p[0].bytes.resize(5); return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        // Audio before any identification header: there is no decoder for it.
        FailureCase{"AudioFirst", [] { OggPackets p = mono_packets(); std::swap(p[0], p[2]); return p; },
                    ZV_STATUS_INVALID_STATE},
        FailureCase{"NoIdHeader", [] { OggPackets p = mono_packets(); p.erase(p.begin()); return p; },
                    ZV_STATUS_INVALID_STATE},
        // Packets shorter than the signature are audio; these can't be decoded.
        FailureCase{"TwoBytePacket", [] { OggPackets p = mono_packets(); p.insert(p.begin() + 2, {{'O', 'p'}}); return p; },
                    ZV_STATUS_INVALID_STATE},
        FailureCase{"BadAudioPacket", [] { OggPackets p = mono_packets(); p.insert(p.begin() + 3, {{0x03}}); return p; },
                    ZV_STATUS_INVALID_STATE}),
    [](const testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.name); });

TEST(OpusReaderTest, FileFailures) {
    zv_test::TempDir dir;
    zv_opus_t *opus = reinterpret_cast<zv_opus_t *>(1);
    EXPECT_EQ(zv_opus_init("/nonexistent.opus", &opus), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(opus, nullptr);
    // No page at all: the rewind finds no stream state.
    EXPECT_EQ(zv_opus_init(dir.write("empty.opus", std::vector<uint8_t>{}).c_str(), &opus), ZV_STATUS_INVALID_STATE);
    EXPECT_EQ(zv_opus_init(audio_fixture("opus_headers_only.opus").c_str(), &opus), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_opus_init(audio_fixture("opus_3ch.opus").c_str(), &opus), ZV_STATUS_INVALID_ARGUMENT);
    // Two interleaved streams: the second takes the stream state over, the
    // first one's next page ends the count before any audio.
    EXPECT_EQ(zv_opus_init(audio_fixture("two_streams.ogg").c_str(), &opus), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(opus, nullptr);
    zv_opus_delete(nullptr);
}

// The header's input rate is informational: rates libopus can't decode at
// (0, 44100, absurd values) decode at 48 kHz, the others at their own rate.
TEST(OpusReaderTest, DecoderRateFromTheHeader) {
    const std::pair<uint32_t, int32_t> cases[] = {{0, 48000},     {44100, 48000}, {96000, 48000},
                                                  {0xFFFFFFFFu, 48000}, {8000, 8000},  {24000, 24000}};
    zv_test::TempDir dir;
    for (const auto &[header_rate, rate] : cases) {
        OggPackets p = mono_packets();
        set_rate(&p, header_rate);
        const std::string path = dir.write("r.opus", zv_test::ogg_bytes(p));
        zv_opus_t *opus = nullptr;
        ASSERT_EQ(zv_opus_init(path.c_str(), &opus), ZV_STATUS_SUCCESS) << header_rate;
        EXPECT_EQ(zv_opus_sample_rate(opus), rate);
        const std::vector<int16_t> expected = reference_samples(path, rate, 1);
        ASSERT_EQ(zv_opus_num_samples(opus), static_cast<int32_t>(expected.size()));
        std::vector<int16_t> got(expected.size());
        ASSERT_EQ(zv_opus_read(opus, static_cast<int32_t>(got.size()), got.data()), ZV_STATUS_SUCCESS);
        EXPECT_EQ(got, expected);
        zv_opus_delete(opus);
    }
}

TEST(OpusReaderTest, PacketDecoderAveragesStereoTowardZero) {
    int error = 0;
    OpusDecoder *decoder = opus_decoder_create(48000, 2, &error);
    ASSERT_EQ(error, OPUS_OK);
    const OggPackets packets = zv_test::ogg_packets(audio_fixture("opus_stereo_48k.opus"));
    std::vector<int16_t> mono(5760), decode(2 * 5760);
    int odd_sums = 0;
    for (size_t i = 2; i < packets.size(); ++i) {
        ogg_packet p{};
        p.packet = const_cast<unsigned char *>(packets[i].bytes.data());
        p.bytes = static_cast<long>(packets[i].bytes.size());
        int32_t n = -1;
        ASSERT_EQ(zv_opus_read_packet(decoder, &p, 2, mono.data(), decode.data(), &n), ZV_STATUS_SUCCESS);
        for (int32_t k = 0; k < n; ++k) {
            const int32_t sum = decode[2 * k] + decode[2 * k + 1];
            if (sum % 2 != 0 && sum < 0) ++odd_sums;
            EXPECT_EQ(mono[k], sum / 2);  // -3 gives -1, not -2
        }
    }
    EXPECT_GT(odd_sums, 0);
    ogg_packet bad{};
    unsigned char byte = 0x03;
    bad.packet = &byte;
    bad.bytes = 1;
    int32_t n = 0;
    EXPECT_EQ(zv_opus_read_packet(decoder, &bad, 2, mono.data(), decode.data(), &n), ZV_STATUS_IO_ERROR);
    opus_decoder_destroy(decoder);
}

}  // namespace
