#include "io/wav.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/wav_file.h"

namespace {

std::string data_path(const char *name) { return std::string(ZV_TEST_DATA_DIR) + "/" + name; }

struct Wav {
    zv_wav_t *w = nullptr;
    ~Wav() { zv_wav_delete(w); }
};

}  // namespace

struct WavFixture {
    const char *file;
    int32_t channels, rate, frames;
    const char *source;  // 16-bit file holding the same samples
};

class WavFixtures : public testing::TestWithParam<WavFixture> {};

// Counts, values, and the exact end of the data.
TEST_P(WavFixtures, ReadsEverySampleAndNoMore) {
    const WavFixture &p = GetParam();
    const std::vector<int16_t> expected = zv_test::mono_of(zv_test::read_wav_pcm16(data_path(p.source)));
    ASSERT_EQ(expected.size(), static_cast<size_t>(p.frames));

    Wav a;
    ASSERT_EQ(zv_wav_init(data_path(p.file).c_str(), &a.w), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_wav_num_samples(a.w), p.frames);
    EXPECT_EQ(zv_wav_num_channels(a.w), p.channels);
    EXPECT_EQ(zv_wav_sample_rate(a.w), p.rate);
    std::vector<int16_t> all(p.frames);
    ASSERT_EQ(zv_wav_read(a.w, p.frames, all.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(all, expected);
    int16_t one = 0;
    EXPECT_EQ(zv_wav_read(a.w, 0, &one), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_wav_read(a.w, 1, &one), ZV_STATUS_IO_ERROR);

    // In pieces of random sizes, then one more sample than is left.
    Wav b;
    ASSERT_EQ(zv_wav_init(data_path(p.file).c_str(), &b.w), ZV_STATUS_SUCCESS);
    std::mt19937 rng(p.frames);
    std::vector<int16_t> pieces(p.frames + 1, 0x7171);
    int32_t pos = 0;
    while (p.frames - pos > 300) {
        const int32_t k = std::uniform_int_distribution<int32_t>(0, 1100)(rng) % (p.frames - pos - 200);
        ASSERT_EQ(zv_wav_read(b.w, k, pieces.data() + pos), ZV_STATUS_SUCCESS);
        pos += k;
    }
    EXPECT_EQ(zv_wav_read(b.w, p.frames - pos + 1, pieces.data() + pos), ZV_STATUS_IO_ERROR);
    // What came before the failing read, and for a mono file the failing read's
    // own samples too, is in place.
    const int32_t good = p.channels == 1 ? p.frames : pos + (p.frames - pos) / 1024 * 1024;
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + good, pieces.begin()));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, WavFixtures,
                         testing::Values(WavFixture{"wav_mono_16k.wav", 1, 16000, 1600, "wav_mono_16k.wav"},
                                         WavFixture{"wav_stereo_44k.wav", 2, 44100, 2600, "wav_stereo_44k.wav"},
                                         WavFixture{"wav_mono_8k.wav", 1, 8000, 800, "wav_mono_8k.wav"},
                                         // Floats scaled to full 16-bit range, not read as -1, 0, 1.
                                         WavFixture{"wav_float_16k.wav", 1, 16000, 1600, "wav_mono_16k.wav"}),
                         [](const testing::TestParamInfo<WavFixture> &info) {
                             std::string name = info.param.file;
                             return name.substr(0, name.find('.'));
                         });

TEST(Wav, InitRefusals) {
    zv_test::TempDir dir;
    const std::vector<int16_t> some(64, 100);
    std::vector<uint8_t> bad_riff = zv_test::wav_pcm16(1, 16000, some);
    std::memcpy(bad_riff.data() + 8, "WAVX", 4);
    const std::string cases[] = {
        data_path("wav_3ch.wav"),                          // three channels
        data_path("wav_empty.wav"),                        // a data chunk with no frames
        data_path("riff_not_wav.avi"),                     // RIFF, but AVI
        data_path("flac_mono_16k.flac"),                   // libsndfile opens it, but it isn't WAV
        data_path("no_such_file.wav"),                     // missing
        dir.write("junk.wav", std::string("RIFF\x10\0\0\0WAVEjunkjunk", 20)),
        dir.write("not_wave.wav", bad_riff),
        dir.write("six_channels.wav", zv_test::wav_pcm16(6, 16000, std::vector<int16_t>(60, 1))),
        dir.write("empty.wav", std::string()),
    };
    // libsndfile prints nothing, whatever it is given.
    testing::internal::CaptureStderr();
    for (const std::string &path : cases) {
        zv_wav_t *w = reinterpret_cast<zv_wav_t *>(0x1);
        EXPECT_EQ(zv_wav_init(path.c_str(), &w), ZV_STATUS_INVALID_ARGUMENT) << path;
        EXPECT_EQ(w, nullptr);
    }
    zv_wav_t *w = reinterpret_cast<zv_wav_t *>(0x1);
    EXPECT_EQ(zv_wav_init(nullptr, &w), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(w, nullptr);
    zv_wav_delete(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The pair average truncates toward zero, and the three chunks of 1024, 1024
// and 452 frames land where they belong.
TEST(Wav, StereoAverageAndChunks) {
    std::vector<int16_t> frames = {-3, 0, 3, 0, -1, 0, 32767, 32767, -32768, -32768, 32767, -32768, 1, 2};
    const std::vector<int16_t> head = {-1, 1, 0, 32767, -32768, 0, 1};
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> v(-32768, 32767);
    while (frames.size() < 2 * 2500) frames.push_back(static_cast<int16_t>(v(rng)));
    zv_test::TempDir dir;
    const std::string path = dir.write("stereo.wav", zv_test::wav_pcm16(2, 22050, frames));
    Wav a;
    ASSERT_EQ(zv_wav_init(path.c_str(), &a.w), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_wav_num_samples(a.w), 2500);
    std::vector<int16_t> out(2501, 0x5555);
    ASSERT_EQ(zv_wav_read(a.w, 2500, out.data()), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), out.begin()));
    for (int i = 0; i < 2500; ++i) {
        ASSERT_EQ(out[i], (frames[2 * i] + frames[2 * i + 1]) / 2) << i;
    }
    EXPECT_EQ(out[2500], 0x5555);
}

TEST(Wav, FloatingPointFullScale) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 1.5f, -3.0f, 1.0f / 32768, -1.0f / 32768,
                                       0.25f, nan, inf, -inf, 32767.0f / 32768};
    const std::vector<int16_t> expected = {0, 16384, -16384, 32767, -32768, 32767, -32768, 1, -1,
                                           8192, 0, 32767, -32768, 32767};
    zv_test::TempDir dir;
    std::vector<double> doubles(values.begin(), values.end());
    std::vector<float> stereo;
    for (float x : values) {
        stereo.push_back(x);
        stereo.push_back(x);
    }
    const std::string paths[] = {dir.write("f32.wav", zv_test::wav_float32(1, 16000, values)),
                                 dir.write("f64.wav", zv_test::wav_float64(1, 16000, doubles)),
                                 dir.write("f32s.wav", zv_test::wav_float32(2, 16000, stereo))};
    for (const std::string &path : paths) {
        Wav a;
        ASSERT_EQ(zv_wav_init(path.c_str(), &a.w), ZV_STATUS_SUCCESS) << path;
        ASSERT_EQ(zv_wav_num_samples(a.w), static_cast<int32_t>(values.size()));
        std::vector<int16_t> out(values.size());
        ASSERT_EQ(zv_wav_read(a.w, static_cast<int32_t>(out.size()), out.data()), ZV_STATUS_SUCCESS);
        EXPECT_EQ(out, expected) << path;
    }
}

// Integer PCM of other widths keeps its top 16 bits, the rest dropped
// (rounding down, so -1 stays -1); 8-bit samples are unsigned.
TEST(Wav, IntegerPcmKeepsItsTop16Bits) {
    const struct {
        uint16_t bits;
        std::vector<int32_t> values;  // as stored, little-endian in bits / 8 bytes
        std::vector<int16_t> expected;
    } cases[] = {
        {8, {0, 1, 127, 128, 129, 255}, {-32768, -32512, -256, 0, 256, 32512}},
        {24, {0, 255, 256, -1, -256, -257, 0x7FFFFF, -0x800000}, {0, 0, 1, -1, -1, -2, 32767, -32768}},
        {32, {65535, 65536, -1, -65537, INT32_MAX, INT32_MIN}, {0, 1, -1, -2, 32767, -32768}},
    };
    zv_test::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bits);
        std::vector<uint8_t> data;
        for (int32_t v : c.values) {
            for (int b = 0; b < c.bits / 8; ++b) data.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b)));
        }
        const std::string path =
            dir.write("pcm" + std::to_string(c.bits) + ".wav", zv_test::wav_bytes(1, 1, 16000, c.bits, data));
        Wav a;
        ASSERT_EQ(zv_wav_init(path.c_str(), &a.w), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_wav_num_samples(a.w), static_cast<int32_t>(c.values.size()));
        std::vector<int16_t> out(c.values.size());
        ASSERT_EQ(zv_wav_read(a.w, static_cast<int32_t>(out.size()), out.data()), ZV_STATUS_SUCCESS);
        EXPECT_EQ(out, c.expected);
    }
}

// A header that claims more data than the file holds: the count is what is there.
TEST(Wav, TruncatedDataChunk) {
    std::vector<uint8_t> bytes = zv_test::wav_pcm16(1, 16000, std::vector<int16_t>(1000, 7));
    bytes.resize(bytes.size() - 1001);  // 499.5 samples remain
    zv_test::TempDir dir;
    const std::string path = dir.write("cut.wav", bytes);
    Wav a;
    ASSERT_EQ(zv_wav_init(path.c_str(), &a.w), ZV_STATUS_SUCCESS);
    // Only whole samples present count.
    ASSERT_EQ(zv_wav_num_samples(a.w), 499);
    std::vector<int16_t> out(500);
    EXPECT_EQ(zv_wav_read(a.w, 499, out.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(out[498], 7);
    EXPECT_EQ(zv_wav_read(a.w, 1, out.data()), ZV_STATUS_IO_ERROR);
}
