#include "io/mp3.h"

#include <gtest/gtest.h>
#include <mpg123.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/wav_file.h"

namespace {

std::string data_path(const char *name) { return std::string(ZV_TEST_DATA_DIR) + "/" + name; }

struct Mp3 {
    zv_mp3_t *m = nullptr;
    ~Mp3() { zv_mp3_delete(m); }
};

// Decodes a whole file with a fresh decoder, no counting pass and no seek:
// the mono samples a reader must deliver.
std::vector<int16_t> decode_directly(const std::string &path, int *channels_out, long *rate_out) {
    std::vector<int16_t> mono;
    mpg123_handle *h = mpg123_new(nullptr, nullptr);
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
    mpg123_format_none(h);
    const long *rates;
    size_t n;
    mpg123_rates(&rates, &n);
    for (size_t i = 0; i < n; ++i) mpg123_format(h, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_open(h, path.c_str()) == MPG123_OK && mpg123_getformat(h, &rate, &channels, &encoding) == MPG123_OK) {
        std::vector<int16_t> buf(8192);
        for (;;) {
            size_t done = 0;
            const int ret = mpg123_read(h, reinterpret_cast<unsigned char *>(buf.data()), buf.size() * 2, &done);
            const size_t values = done / 2;
            for (size_t i = 0; i + channels <= values; i += channels) {
                mono.push_back(channels == 1 ? buf[i] : static_cast<int16_t>((buf[i] + buf[i + 1]) / 2));
            }
            if (ret != MPG123_OK && ret != MPG123_NEW_FORMAT) break;
        }
    }
    mpg123_close(h);
    mpg123_delete(h);
    *channels_out = channels;
    *rate_out = rate;
    return mono;
}

double rms(const std::vector<int16_t> &x) {
    double s = 0;
    for (int16_t v : x) s += double(v) * v;
    return std::sqrt(s / std::max<size_t>(1, x.size()));
}

}  // namespace

// The count found at init is exact, the stream is back at its start, and
// reads deliver what a fresh decoder gives, to the last sample.
TEST(Mp3, CountsAndReadsMatchAFreshDecode) {
    struct Case {
        const char *file;
        int32_t channels, rate;
        const char *source;  // WAV it was encoded from, or NULL
        int32_t source_frames;
    } cases[] = {{"mp3_stereo_44k.mp3", 2, 44100, nullptr, 11025},
                 {"mp3_mono_16k.mp3", 1, 16000, "wav_mono_16k.wav", 1600},
                 // Variable bit rate without the header tag that would give the length.
                 {"mp3_vbr_notag.mp3", 1, 44100, nullptr, 17640}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        int channels = 0;
        long rate = 0;
        const std::vector<int16_t> expected = decode_directly(data_path(c.file), &channels, &rate);
        ASSERT_EQ(channels, c.channels);
        const int32_t n = static_cast<int32_t>(expected.size());
        ASSERT_GE(n, c.source_frames);
        Mp3 a;
        ASSERT_EQ(zv_mp3_init(data_path(c.file).c_str(), &a.m), ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_mp3_num_samples(a.m), n);
        EXPECT_EQ(zv_mp3_num_channels(a.m), c.channels);
        EXPECT_EQ(zv_mp3_sample_rate(a.m), c.rate);
        std::vector<int16_t> out(n + 1, 0x3333);
        ASSERT_EQ(zv_mp3_read(a.m, 0, out.data()), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_mp3_read(a.m, 777, out.data()), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_mp3_read(a.m, n - 777, out.data() + 777), ZV_STATUS_SUCCESS);
        for (int32_t i = 0; i < n; ++i) ASSERT_EQ(out[i], expected[i]) << i;
        EXPECT_EQ(out[n], 0x3333);
        EXPECT_EQ(zv_mp3_read(a.m, 1, out.data()), ZV_STATUS_IO_ERROR);
        // The decoded signal is the source's, at its level: not silence, not
        // samples of another encoding.
        EXPECT_GT(rms(expected), 3000);
        if (c.source != nullptr) {
            const double src = rms(zv_test::mono_of(zv_test::read_wav_pcm16(data_path(c.source))));
            EXPECT_GT(rms(expected) / src, 0.5);
            EXPECT_LT(rms(expected) / src, 1.5);
        }
    }
}

// The stream ends inside a frame: the count is what can be decoded.
TEST(Mp3, TruncatedStream) {
    std::vector<uint8_t> bytes = zv_test::file_bytes(data_path("mp3_stereo_44k.mp3"));
    bytes.resize(bytes.size() / 2 + 37);
    zv_test::TempDir dir;
    const std::string path = dir.write("cut.mp3", bytes);
    int channels = 0;
    long rate = 0;
    const std::vector<int16_t> expected = decode_directly(path, &channels, &rate);
    ASSERT_GT(expected.size(), 0u);
    Mp3 a;
    ASSERT_EQ(zv_mp3_init(path.c_str(), &a.m), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_mp3_num_samples(a.m), static_cast<int32_t>(expected.size()));
    std::vector<int16_t> out(expected.size());
    ASSERT_EQ(zv_mp3_read(a.m, static_cast<int32_t>(out.size()), out.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(out, expected);
}

// Failures, with nothing written to standard error by the decoder.
TEST(Mp3, InitRefusalsAreSilent) {
    zv_test::TempDir dir;
    std::vector<uint8_t> sync_junk = {0xFF, 0xFB, 0x90, 0x64};
    sync_junk.resize(600, 0xA5);
    const std::string io_error_cases[] = {
        data_path("mp3_id3_only.mp3"),  // an "ID3" tag and no frame
        data_path("no_such_file.mp3"),
        dir.write("sync_junk.mp3", sync_junk),
        dir.write("text.mp3", std::string("ID3 is not a tag here, just text that goes on for a while.")),
        dir.write("empty.mp3", std::string()),
        data_path("wav_mono_16k.wav"),
    };
    testing::internal::CaptureStderr();
    for (const std::string &path : io_error_cases) {
        zv_mp3_t *m = reinterpret_cast<zv_mp3_t *>(0x1);
        EXPECT_EQ(zv_mp3_init(path.c_str(), &m), ZV_STATUS_IO_ERROR) << path;
        EXPECT_EQ(m, nullptr);
        zv_mp3_delete(m);
    }
    zv_mp3_t *m = reinterpret_cast<zv_mp3_t *>(0x1);
    EXPECT_EQ(zv_mp3_init(nullptr, &m), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(m, nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    zv_mp3_delete(nullptr);
}
