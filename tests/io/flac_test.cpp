#include "io/flac.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/wav_file.h"

namespace {

std::string data_path(const char *name) { return std::string(ZV_TEST_DATA_DIR) + "/" + name; }

struct Flac {
    zv_flac_t *f = nullptr;
    ~Flac() { zv_flac_delete(f); }
};

}  // namespace

// Lossless: the samples are those of the WAV the stream was made from. The
// last two were encoded to a pipe, so their stream headers give a total of 0
// and the reader counts them by decoding.
TEST(Flac, DecodesLikeItsSource) {
    struct Case {
        const char *file, *source;
        int32_t channels, rate;
    } cases[] = {{"flac_mono_16k.flac", "wav_mono_16k.wav", 1, 16000},
                 {"flac_stereo_44k.flac", "wav_stereo_44k.wav", 2, 44100},
                 {"flac_zero_total.flac", "wav_mono_16k.wav", 1, 16000},
                 {"flac_streamed_44k.flac", "wav_stereo_44k.wav", 2, 44100}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const std::vector<int16_t> expected = zv_test::mono_of(zv_test::read_wav_pcm16(data_path(c.source)));
        const int32_t n = static_cast<int32_t>(expected.size());
        Flac a;
        ASSERT_EQ(zv_flac_init(data_path(c.file).c_str(), &a.f), ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_flac_num_samples(a.f), n);
        EXPECT_EQ(zv_flac_num_channels(a.f), c.channels);
        EXPECT_EQ(zv_flac_sample_rate(a.f), c.rate);
        std::vector<int16_t> out(n);
        ASSERT_EQ(zv_flac_read(a.f, 0, nullptr), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_flac_read(a.f, 1000, out.data()), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_flac_read(a.f, n - 1000, out.data() + 1000), ZV_STATUS_SUCCESS);
        EXPECT_EQ(out, expected);
        int16_t one = 0;
        EXPECT_EQ(zv_flac_read(a.f, 1, &one), ZV_STATUS_IO_ERROR);
    }
}

// A stream header giving a total of 0 over no frames at all opens, with a count of 0.
TEST(Flac, ZeroTotalWithoutFramesOpensWithCountZero) {
    Flac a;
    ASSERT_EQ(zv_flac_init(data_path("audio/flac_empty.flac").c_str(), &a.f), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_flac_num_samples(a.f), 0);
    EXPECT_EQ(zv_flac_num_channels(a.f), 1);
    EXPECT_EQ(zv_flac_sample_rate(a.f), 16000);
}

TEST(Flac, InitRefusals) {
    zv_test::TempDir dir;
    std::vector<uint8_t> cut = zv_test::file_bytes(data_path("flac_mono_16k.flac"));
    cut.resize(30);  // inside the stream header
    const std::string cases[] = {
        data_path("flac_3ch.flac"),        // three channels
        data_path("wav_mono_16k.wav"),     // libsndfile opens it, but it isn't FLAC
        data_path("no_such_file.flac"),
        dir.write("junk.flac", std::string("fLaC\x80\0\0\x22junk", 12)),
        dir.write("cut.flac", cut),
    };
    // libsndfile prints nothing, whatever it is given.
    testing::internal::CaptureStderr();
    for (const std::string &path : cases) {
        zv_flac_t *f = reinterpret_cast<zv_flac_t *>(0x1);
        EXPECT_EQ(zv_flac_init(path.c_str(), &f), ZV_STATUS_INVALID_ARGUMENT) << path;
        EXPECT_EQ(f, nullptr);
    }
    zv_flac_t *f = reinterpret_cast<zv_flac_t *>(0x1);
    EXPECT_EQ(zv_flac_init(nullptr, &f), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(f, nullptr);
    zv_flac_delete(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Frames cut off at the end: the reads stop with IO_ERROR, the chunks before stay.
TEST(Flac, TruncatedStream) {
    std::vector<uint8_t> bytes = zv_test::file_bytes(data_path("flac_stereo_44k.flac"));
    bytes.resize(bytes.size() * 2 / 3);
    zv_test::TempDir dir;
    const std::string path = dir.write("cut.flac", bytes);
    const std::vector<int16_t> expected = zv_test::mono_of(zv_test::read_wav_pcm16(data_path("wav_stereo_44k.wav")));
    Flac a;
    ASSERT_EQ(zv_flac_init(path.c_str(), &a.f), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_flac_num_samples(a.f), 2600);  // as the header says
    std::vector<int16_t> out(2600);
    EXPECT_EQ(zv_flac_read(a.f, 2600, out.data()), ZV_STATUS_IO_ERROR);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 1024, out.begin()));
}

// A stream without a total, cut inside its last frames: the count is what
// decodes, and that many samples read back as the source's first ones.
TEST(Flac, TruncatedStreamWithoutTotalCountsWhatDecodes) {
    std::vector<uint8_t> bytes = zv_test::file_bytes(data_path("flac_streamed_44k.flac"));
    bytes.resize(bytes.size() - 500);
    zv_test::TempDir dir;
    const std::string path = dir.write("cut.flac", bytes);
    const std::vector<int16_t> expected = zv_test::mono_of(zv_test::read_wav_pcm16(data_path("wav_stereo_44k.wav")));
    Flac a;
    ASSERT_EQ(zv_flac_init(path.c_str(), &a.f), ZV_STATUS_SUCCESS);
    const int32_t n = zv_flac_num_samples(a.f);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, 2600);
    std::vector<int16_t> out(n);
    ASSERT_EQ(zv_flac_read(a.f, n, out.data()), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), expected.begin()));
    int16_t one = 0;
    EXPECT_EQ(zv_flac_read(a.f, 1, &one), ZV_STATUS_IO_ERROR);
}
