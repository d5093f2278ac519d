#include "io/vorbis_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/audio_fixture.h"
#include "support/ogg_writer.h"
#include "support/reference_decode.h"
#include "support/temp_dir.h"

namespace {

using zv_test::audio_fixture;
using zv_test::OggPackets;

// The file decoded straight with libvorbis: mono, or the mean of the first two channels.
std::vector<int16_t> reference_samples(const OggPackets &packets) {
    return zv_test::vorbis_reference_samples(packets, /*ogg_framing=*/true);
}

struct DecodeCase {
    const char *file;
    int32_t rate;
    int32_t channels;
};

class VorbisDecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(VorbisDecodeTest, CountsAndReadsEverySample) {
    const DecodeCase &c = GetParam();
    const std::string path = audio_fixture(c.file);
    zv_vorbis_t *vorbis = nullptr;
    ASSERT_EQ(zv_vorbis_init(path.c_str(), &vorbis), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_vorbis_sample_rate(vorbis), c.rate);
    EXPECT_EQ(zv_vorbis_num_channels(vorbis), c.channels);
    const std::vector<int16_t> expected = reference_samples(zv_test::ogg_packets(path));
    ASSERT_EQ(zv_vorbis_num_samples(vorbis), static_cast<int32_t>(expected.size()));
    EXPECT_GE(zv_vorbis_num_samples(vorbis), c.rate * 6 / 10 - 1);

    std::vector<int16_t> got(expected.size() + 1, 12345);
    ASSERT_EQ(zv_vorbis_read(vorbis, 100, got.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_vorbis_read(vorbis, 100, got.data() + 100), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_vorbis_read(vorbis, static_cast<int32_t>(expected.size()) - 200, got.data() + 200),
              ZV_STATUS_SUCCESS);
    EXPECT_EQ(got.back(), 12345);
    got.pop_back();
    EXPECT_EQ(got, expected);
    int16_t one = 7;
    EXPECT_EQ(zv_vorbis_read(vorbis, 1, &one), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(one, 7);
    zv_vorbis_delete(vorbis);
}

INSTANTIATE_TEST_SUITE_P(Files, VorbisDecodeTest,
                         testing::Values(DecodeCase{"vorbis_mono_16k.ogg", 16000, 1},
                                         DecodeCase{"vorbis_stereo_44k.ogg", 44100, 2}));

TEST(VorbisReaderTest, SampleConversion) {
    EXPECT_EQ(zv_vorbis_sample_to_int16((0.5f + 0.25f) * 0.5f), 12288);
    EXPECT_EQ(zv_vorbis_sample_to_int16(1.0f), 32767);
    EXPECT_EQ(zv_vorbis_sample_to_int16(-1.0f), -32767);
    EXPECT_EQ(zv_vorbis_sample_to_int16(1.5f), 32767);
    EXPECT_EQ(zv_vorbis_sample_to_int16(-1.5f), -32768);
    EXPECT_EQ(zv_vorbis_sample_to_int16(0.5f / 32767.0f), 1);  // half away from zero
    EXPECT_EQ(zv_vorbis_sample_to_int16(-0.5f / 32767.0f), -1);
    // Far outside the range: limited before the conversion, never wrapped.
    EXPECT_EQ(zv_vorbis_sample_to_int16(1e12f), 32767);
    EXPECT_EQ(zv_vorbis_sample_to_int16(std::numeric_limits<float>::infinity()), 32767);
    EXPECT_EQ(zv_vorbis_sample_to_int16(-1e12f), -32768);
    EXPECT_EQ(zv_vorbis_sample_to_int16(std::numeric_limits<float>::quiet_NaN()), -32768);
}

TEST(VorbisReaderTest, ReadTotalPlusOneWritesNothing) {
    zv_vorbis_t *vorbis = nullptr;
    ASSERT_EQ(zv_vorbis_init(audio_fixture("vorbis_mono_16k.ogg").c_str(), &vorbis), ZV_STATUS_SUCCESS);
    const int32_t total = zv_vorbis_num_samples(vorbis);
    std::vector<int16_t> pcm(total + 1, 99);
    EXPECT_EQ(zv_vorbis_read(vorbis, total + 1, pcm.data()), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(pcm, std::vector<int16_t>(total + 1, 99));
    EXPECT_EQ(zv_vorbis_read(vorbis, total, pcm.data()), ZV_STATUS_SUCCESS);
    zv_vorbis_delete(vorbis);
}

// Links of one rate but other settings (mono at the lowest quality, then
// stereo at a high one), each decoded with its own headers, read as one stream.
TEST(VorbisReaderTest, ChainedLinksReadAsOneStream) {
    const std::string path = audio_fixture("chained_vorbis_16k.ogg");
    const std::vector<OggPackets> links = zv_test::ogg_links(path);
    ASSERT_EQ(links.size(), 2u);
    std::vector<int16_t> expected = reference_samples(links[0]);
    const int32_t first = static_cast<int32_t>(expected.size());
    const std::vector<int16_t> second = reference_samples(links[1]);
    expected.insert(expected.end(), second.begin(), second.end());
    ASSERT_GT(second.size(), 7000u);  // 0.5 s sources

    zv_vorbis_t *vorbis = nullptr;
    ASSERT_EQ(zv_vorbis_init(path.c_str(), &vorbis), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_vorbis_sample_rate(vorbis), 16000);
    EXPECT_EQ(zv_vorbis_num_channels(vorbis), 1);  // the first link's
    const int32_t total = static_cast<int32_t>(expected.size());
    ASSERT_EQ(zv_vorbis_num_samples(vorbis), total);
    // The first read ends inside the second link.
    std::vector<int16_t> got(expected.size());
    ASSERT_EQ(zv_vorbis_read(vorbis, first + 100, got.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_vorbis_read(vorbis, total - first - 100, got.data() + first + 100), ZV_STATUS_SUCCESS);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(zv_vorbis_read(vorbis, 1, got.data()), ZV_STATUS_IO_ERROR);
    zv_vorbis_delete(vorbis);
}

// Links of different rates (16 kHz, then 44.1 kHz), a link of another codec,
// or a second stream multiplexed with the first (whose pages come first) make
// no one stream.
TEST(VorbisReaderTest, StreamsThatDoNotJoinAreRefused) {
    zv_test::TempDir dir;
    const OggPackets mono = zv_test::ogg_packets(audio_fixture("vorbis_mono_16k.ogg"));
    const std::string paths[] = {
        audio_fixture("chained_vorbis_16k_44k.ogg"),
        dir.write("c.ogg", zv_test::joined_bytes({audio_fixture("vorbis_mono_16k.ogg"),
                                                   audio_fixture("opus_from_16k.opus")})),
        dir.write("g.ogg", zv_test::grouped_ogg_bytes(mono, mono)),
    };
    for (const std::string &path : paths) {
        zv_vorbis_t *vorbis = reinterpret_cast<zv_vorbis_t *>(1);
        EXPECT_EQ(zv_vorbis_init(path.c_str(), &vorbis), ZV_STATUS_INVALID_ARGUMENT) << path;
        EXPECT_EQ(vorbis, nullptr);
    }
}

OggPackets mono_packets() { return zv_test::ogg_packets(audio_fixture("vorbis_mono_16k.ogg")); }

// A header packet in the fourth place is skipped, and the audio after it is
// decoded as without it.
TEST(VorbisReaderTest, HeaderInTheFourthPlaceIsSkipped) {
    zv_test::TempDir dir;
    OggPackets plain = mono_packets();
    OggPackets extra = plain;
    extra.insert(extra.begin() + 3, extra[1]);
    zv_vorbis_t *a = nullptr, *b = nullptr;
    ASSERT_EQ(zv_vorbis_init(dir.write("a.ogg", zv_test::ogg_bytes(plain)).c_str(), &a), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_vorbis_init(dir.write("b.ogg", zv_test::ogg_bytes(extra)).c_str(), &b), ZV_STATUS_SUCCESS);
    const int32_t total = zv_vorbis_num_samples(a);
    ASSERT_EQ(zv_vorbis_num_samples(b), total);
    std::vector<int16_t> pa(total), pb(total);
    ASSERT_EQ(zv_vorbis_read(a, total, pa.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_vorbis_read(b, total, pb.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(pa, pb);
    zv_vorbis_delete(a);
    zv_vorbis_delete(b);
}

struct FailureCase {
    const char *name;
    OggPackets (*packets)();
    zv_status_t status;
};

class VorbisInitFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(VorbisInitFailureTest, GivesTheStatusAndNoReader) {
    zv_test::TempDir dir;
    const std::string path = dir.write("f.ogg", zv_test::ogg_bytes(GetParam().packets()));
    zv_vorbis_t *vorbis = reinterpret_cast<zv_vorbis_t *>(1);
    EXPECT_EQ(zv_vorbis_init(path.c_str(), &vorbis), GetParam().status);
    EXPECT_EQ(vorbis, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VorbisInitFailureTest,
    testing::Values(
        FailureCase{"SecondPacketNotAHeader", [] { OggPackets p = mono_packets(); std::swap(p[1], p[4]); return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        FailureCase{"FirstNotTheIdHeader", [] { OggPackets p = mono_packets(); std::swap(p[0], p[1]); return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        FailureCase{"AudioFirst", [] { OggPackets p = mono_packets(); std::swap(p[0], p[3]); return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        // Packets too short for the signature are not headers.
        FailureCase{"ShortFirstPacket", [] { OggPackets p = mono_packets(); p[0].bytes.resize(5); return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        FailureCase{"EmptyFirstPacket", [] { OggPackets p = mono_packets(); p[0].bytes.clear(); return p; },
                    ZV_STATUS_INVALID_ARGUMENT},
        FailureCase{"BrokenSetupHeader", [] { OggPackets p = mono_packets(); p[2].bytes.resize(12); return p; },
                    ZV_STATUS_INVALID_STATE},
        FailureCase{"HeadersOnly", [] { OggPackets p = mono_packets(); p.resize(3); return p; },
                    ZV_STATUS_INVALID_STATE},
        FailureCase{"IdHeaderOnly", [] { OggPackets p = mono_packets(); p.resize(1); return p; },
                    ZV_STATUS_INVALID_STATE}),
    [](const testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.name); });

TEST(VorbisReaderTest, FileFailures) {
    zv_test::TempDir dir;
    zv_vorbis_t *vorbis = reinterpret_cast<zv_vorbis_t *>(1);
    EXPECT_EQ(zv_vorbis_init("/nonexistent.ogg", &vorbis), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(vorbis, nullptr);
    EXPECT_EQ(zv_vorbis_init(dir.write("empty.ogg", std::vector<uint8_t>{}).c_str(), &vorbis),
              ZV_STATUS_INVALID_STATE);
    EXPECT_EQ(zv_vorbis_init(audio_fixture("vorbis_headers_only.ogg").c_str(), &vorbis), ZV_STATUS_INVALID_STATE);
    // Six channels decode in the counting pass, then are refused.
    EXPECT_EQ(zv_vorbis_init(audio_fixture("vorbis_6ch.ogg").c_str(), &vorbis), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(vorbis, nullptr);
    zv_vorbis_delete(nullptr);
}

}  // namespace
