#include "io/webm_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/audio_fixture.h"
#include "support/ogg_writer.h"
#include "support/reference_decode.h"
#include "support/temp_dir.h"

namespace {

using zv_test::audio_fixture;

// The audio packets of an Ogg file decoded straight with libopus or
// libvorbis, as the WebM reader meets them: no granule positions, no end of
// stream, stereo averaged (Opus toward zero, Vorbis rounded).
std::vector<int16_t> reference_samples(const std::string &ogg_path, int32_t codec, int rate, int channels) {
    const zv_test::OggPackets packets = zv_test::ogg_packets(ogg_path);
    if (codec == ZV_WEBM_CODEC_OPUS) {
        return zv_test::opus_reference_samples(packets, rate, channels);
    }
    return zv_test::vorbis_reference_samples(packets, /*ogg_framing=*/false);
}

struct DecodeCase {
    const char *file;
    const char *source;  // the Ogg file whose packets it holds
    int32_t codec;
    uint32_t track;
    int32_t rate;
    int32_t channels;
};

class WebmDecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(WebmDecodeTest, CountsAndReadsTheTracksSamples) {
    const DecodeCase &c = GetParam();
    zv_webm_t *webm = nullptr;
    ASSERT_EQ(zv_webm_init(audio_fixture(c.file).c_str(), &webm), ZV_STATUS_SUCCESS);
    EXPECT_EQ(webm->codec, c.codec);
    EXPECT_EQ(webm->track, c.track);
    EXPECT_EQ(zv_webm_sample_rate(webm), c.rate);
    EXPECT_EQ(zv_webm_num_channels(webm), c.channels);
    const std::vector<int16_t> expected =
        reference_samples(audio_fixture(c.source), c.codec, c.rate, c.channels > 2 ? 2 : c.channels);
    ASSERT_EQ(zv_webm_num_samples(webm), static_cast<int32_t>(expected.size()));
    ASSERT_GT(expected.size(), 1000u);

    std::vector<int16_t> got(expected.size() + 1, 12345);
    ASSERT_EQ(zv_webm_read(webm, 100, got.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_webm_read(webm, 100, got.data() + 100), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_webm_read(webm, static_cast<int32_t>(expected.size()) - 200, got.data() + 200), ZV_STATUS_SUCCESS);
    EXPECT_EQ(got.back(), 12345);
    got.pop_back();
    EXPECT_EQ(got, expected);
    int16_t one = 7;
    EXPECT_EQ(zv_webm_read(webm, 1, &one), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(one, 7);
    zv_webm_delete(webm);
}

// Laced blocks (8 frames each) come out one frame at a time; a video track
// before the audio, or an audio track in another codec, is passed over; a
// six-channel Vorbis track gives the mean of its first two channels; an Opus
// track that a muxer gave the 44.1 kHz input rate of its source decodes at
// 48 kHz.
INSTANTIATE_TEST_SUITE_P(
    Files, WebmDecodeTest,
    testing::Values(DecodeCase{"webm_opus.webm", "opus_stereo_48k.opus", ZV_WEBM_CODEC_OPUS, 0, 48000, 2},
                    DecodeCase{"webm_vorbis.webm", "vorbis_mono_16k.ogg", ZV_WEBM_CODEC_VORBIS, 0, 16000, 1},
                    DecodeCase{"webm_laced.webm", "vorbis_stereo_44k.ogg", ZV_WEBM_CODEC_VORBIS, 0, 44100, 2},
                    DecodeCase{"webm_video_first.webm", "opus_mono_48k.opus", ZV_WEBM_CODEC_OPUS, 1, 48000, 1},
                    DecodeCase{"pcm_then_vorbis.mka", "vorbis_mono_16k.ogg", ZV_WEBM_CODEC_VORBIS, 1, 16000, 1},
                    DecodeCase{"webm_vorbis_6ch.webm", "vorbis_6ch.ogg", ZV_WEBM_CODEC_VORBIS, 0, 48000, 6},
                    DecodeCase{"webm_opus_44k.webm", "opus_from_44k.opus", ZV_WEBM_CODEC_OPUS, 0, 48000, 1}));

TEST(WebmReaderTest, CutFileCountsTheBlocksBeforeTheCut) {
    zv_webm_t *whole = nullptr, *cut = nullptr;
    ASSERT_EQ(zv_webm_init(audio_fixture("webm_opus.webm").c_str(), &whole), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_webm_init(audio_fixture("webm_truncated.webm").c_str(), &cut), ZV_STATUS_SUCCESS);
    const int32_t total = zv_webm_num_samples(cut);
    EXPECT_GT(total, 0);
    EXPECT_LT(total, zv_webm_num_samples(whole));
    std::vector<int16_t> a(total), b(total);
    ASSERT_EQ(zv_webm_read(cut, total, a.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_webm_read(whole, total, b.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(a, b);
    EXPECT_EQ(zv_webm_read(cut, 1, a.data()), ZV_STATUS_IO_ERROR);
    zv_webm_delete(cut);
    zv_webm_delete(whole);
}

// A file cut after it was counted: the demuxer ends while samples are still
// owed, and the read fails instead of waiting for blocks that never come.
TEST(WebmReaderTest, DemuxerEndingEarlyGivesIoError) {
    zv_test::TempDir dir;
    const std::vector<uint8_t> bytes = zv_test::read_bytes(audio_fixture("webm_opus.webm"));
    const std::string path = dir.write("cut.webm", bytes);
    zv_webm_t *webm = nullptr;
    ASSERT_EQ(zv_webm_init(path.c_str(), &webm), ZV_STATUS_SUCCESS);
    // Well before the end, and more than a read buffer before it.
    ASSERT_GT(bytes.size(), 9000u);
    std::filesystem::resize_file(path, bytes.size() / 2);
    const int32_t total = zv_webm_num_samples(webm);
    std::vector<int16_t> pcm(total);
    EXPECT_EQ(zv_webm_read(webm, total, pcm.data()), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(zv_webm_read(webm, 1, pcm.data()), ZV_STATUS_IO_ERROR);
    zv_webm_delete(webm);
}

// Patches the first run of `from` in bytes to `to`.
std::vector<uint8_t> patched(const char *file, const std::vector<uint8_t> &from, const std::vector<uint8_t> &to) {
    std::vector<uint8_t> bytes = zv_test::read_bytes(audio_fixture(file));
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    EXPECT_NE(at, bytes.end());
    for (size_t i = 0; at != bytes.end() && i < to.size(); ++i) at[static_cast<std::ptrdiff_t>(i)] = to[i];
    return bytes;
}

// SamplingFrequency (0xB5) as a 4-byte big-endian float, as the fixtures
// store it.
std::vector<uint8_t> rate_element(float rate) {
    uint32_t bits;
    std::memcpy(&bits, &rate, 4);
    std::vector<uint8_t> e = {0xB5, 0x84};
    for (int i = 3; i >= 0; --i) e.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return e;
}

TEST(WebmReaderTest, RateFromTheTrack) {
    zv_test::TempDir dir;
    zv_webm_t *webm = nullptr;
    // 44100.7 is rounded down.
    std::string path = dir.write("a.webm", patched("webm_vorbis.webm", rate_element(16000), rate_element(44100.7)));
    ASSERT_EQ(zv_webm_init(path.c_str(), &webm), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_webm_sample_rate(webm), 44100);
    zv_webm_delete(webm);
    // Without a sampling frequency (the element made void) the rate is 8000.
    std::vector<uint8_t> voided = rate_element(16000);
    voided[0] = 0xEC;
    path = dir.write("b.webm", patched("webm_vorbis.webm", rate_element(16000), voided));
    ASSERT_EQ(zv_webm_init(path.c_str(), &webm), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_webm_sample_rate(webm), 8000);
    zv_webm_delete(webm);
    // An Opus track decodes at its own rate where libopus decodes at it,
    // else at 48000.
    for (const auto &[track_rate, rate] : {std::pair{44100.0f, 48000}, {22050.0f, 48000}, {24000.0f, 24000}}) {
        path = dir.write("c.webm", patched("webm_opus.webm", rate_element(48000), rate_element(track_rate)));
        ASSERT_EQ(zv_webm_init(path.c_str(), &webm), ZV_STATUS_SUCCESS) << track_rate;
        EXPECT_EQ(zv_webm_sample_rate(webm), rate);
        const std::vector<int16_t> expected =
            reference_samples(audio_fixture("opus_stereo_48k.opus"), ZV_WEBM_CODEC_OPUS, rate, 2);
        EXPECT_EQ(zv_webm_num_samples(webm), static_cast<int32_t>(expected.size()));
        zv_webm_delete(webm);
    }
    // The first Vorbis or Opus track has no audio settings (its Audio
    // element made void): refused, though nothing else would do either.
    path = dir.write("e.webm", patched("webm_vorbis.webm", {0xE1, 0x86, 0xB5, 0x84}, {0xEC, 0x86, 0xB5, 0x84}));
    EXPECT_EQ(zv_webm_init(path.c_str(), &webm), ZV_STATUS_INVALID_STATE);
    // Rates no int32 holds are refused before any conversion.
    for (float bad : {-1.0f, 3e9f, std::nanf("")}) {
        path = dir.write("d.webm", patched("webm_vorbis.webm", rate_element(16000), rate_element(bad)));
        EXPECT_EQ(zv_webm_init(path.c_str(), &webm), ZV_STATUS_INVALID_STATE) << bad;
    }
}

// A track that claims two channels over a mono Vorbis stream: the stream's
// own count decides what is read of the decoder's output.
TEST(WebmReaderTest, VorbisChannelsComeFromTheStream) {
    zv_test::TempDir dir;
    // The rate element (6 bytes) becomes Channels 2 and a 2-byte Void.
    const std::string path =
        dir.write("a.webm", patched("webm_vorbis.webm", rate_element(16000), {0x9F, 0x82, 0x00, 0x02, 0xEC, 0x80}));
    zv_webm_t *webm = nullptr;
    ASSERT_EQ(zv_webm_init(path.c_str(), &webm), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_webm_num_channels(webm), 2);
    const std::vector<int16_t> expected =
        reference_samples(audio_fixture("vorbis_mono_16k.ogg"), ZV_WEBM_CODEC_VORBIS, 16000, 1);
    ASSERT_EQ(zv_webm_num_samples(webm), static_cast<int32_t>(expected.size()));
    std::vector<int16_t> got(expected.size());
    ASSERT_EQ(zv_webm_read(webm, static_cast<int32_t>(got.size()), got.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(got, expected);
    zv_webm_delete(webm);
}

// Sizes far beyond the file, as a malformed file may declare them: refused,
// and nothing of that size is allocated (the sanitizer build would stop).
TEST(WebmReaderTest, ElementLargerThanTheFileIsRefused) {
    const uint8_t huge[] = {0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x20};  // 2^40 + 32
    std::vector<uint8_t> b = {0x1A, 0x45, 0xDF, 0xA3, 0x87, 0x42, 0x82, 0x84, 'w', 'e', 'b', 'm',
                              0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0x16, 0x54, 0xAE, 0x6B};
    b.insert(b.end(), huge, huge + 8);
    b.push_back(0xAE);
    b.insert(b.end(), huge, huge + 8);
    const uint8_t entry[] = {0xD7, 0x81, 0x01, 0x83, 0x81, 0x02, 0x86, 0x88, 'A', '_', 'V', 'O', 'R', 'B', 'I', 'S',
                             0x63, 0xA2, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x01};
    b.insert(b.end(), entry, entry + sizeof(entry));
    zv_test::TempDir dir;
    zv_webm_t *webm = reinterpret_cast<zv_webm_t *>(1);
    EXPECT_EQ(zv_webm_init(dir.write("huge.webm", b).c_str(), &webm), ZV_STATUS_INVALID_STATE);
    EXPECT_EQ(webm, nullptr);
}

TEST(WebmReaderTest, InitFailures) {
    zv_test::TempDir dir;
    zv_webm_t *webm = reinterpret_cast<zv_webm_t *>(1);
    EXPECT_EQ(zv_webm_init("/nonexistent.webm", &webm), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(webm, nullptr);
    EXPECT_EQ(zv_webm_init(dir.write("empty.webm", std::vector<uint8_t>{}).c_str(), &webm), ZV_STATUS_INVALID_STATE);
    // The right first bytes, then nothing that parses.
    std::vector<uint8_t> junk = {0x1A, 0x45, 0xDF, 0xA3};
    junk.resize(64, 0xFF);
    std::memcpy(junk.data() + 24, "webm", 4);
    EXPECT_EQ(zv_webm_init(dir.write("junk.webm", junk).c_str(), &webm), ZV_STATUS_INVALID_STATE);
    EXPECT_EQ(zv_webm_init(audio_fixture("webm_video_only.webm").c_str(), &webm), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_webm_init(audio_fixture("webm_headers_only.webm").c_str(), &webm), ZV_STATUS_INVALID_ARGUMENT);
    // A Vorbis track whose private data counts two headers, not three; and
    // one whose lacing sizes do not match its headers.
    std::vector<uint8_t> bytes = zv_test::read_bytes(audio_fixture("webm_vorbis.webm"));
    const uint8_t id[] = {0x63, 0xA2};
    const size_t at = std::search(bytes.begin(), bytes.end(), id, id + 2) - bytes.begin();
    ASSERT_LT(at, bytes.size());
    size_t size_bytes = 1;
    while (!(bytes[at + 2] & (0x80 >> (size_bytes - 1)))) ++size_bytes;
    const size_t data = at + 2 + size_bytes;
    ASSERT_EQ(bytes[data], 2);
    bytes[data] = 1;
    EXPECT_EQ(zv_webm_init(dir.write("two.webm", bytes).c_str(), &webm), ZV_STATUS_INVALID_ARGUMENT);
    bytes[data] = 2;
    bytes[data + 1] = 255;
    bytes[data + 2] = 255;
    bytes[data + 3] = 255;
    EXPECT_EQ(zv_webm_init(dir.write("lacing.webm", bytes).c_str(), &webm), ZV_STATUS_INVALID_STATE);
    EXPECT_EQ(webm, nullptr);
    zv_webm_delete(nullptr);
}

}  // namespace
