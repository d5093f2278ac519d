#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "io/audio_file.h"
#include "support/audio_fixture.h"
#include "support/model_writer.h"
#include "support/temp_dir.h"
#include "zv_lumarin.h"

namespace {

using zv_test::audio_fixture;

class IndexFileTest : public testing::Test {
protected:
    void SetUp() override {
        // A classifier of random weights, so that the index follows the audio.
        zv_test::ModelWriter model = zv_test::SmallModel();
        model.classifier = zv_test::EncodeBlock(zv_test::RandomBlock("lumarin", "1.1.0", 6865, 80, {8}, 40, 5, 40));
        ASSERT_EQ(zv_lumarin_init(model.write(dir_.path("model.bin")).c_str(), &engine_), ZV_STATUS_SUCCESS);
    }
    void TearDown() override { zv_lumarin_delete(engine_); }

    // The index of the file's samples, decoded to 16 kHz apart and indexed as PCM.
    std::vector<int32_t> index_of_samples(const std::string &path) {
        zv_audio_file_t *file = nullptr;
        EXPECT_EQ(zv_audio_file_init(path.c_str(), &file), ZV_STATUS_SUCCESS);
        if (file == nullptr) return {};
        std::vector<int16_t> pcm(static_cast<size_t>(zv_audio_file_num_samples(file)));
        EXPECT_EQ(zv_audio_file_read(file, static_cast<int32_t>(pcm.size()), pcm.data()), ZV_STATUS_SUCCESS);
        zv_audio_file_delete(file);
        return index_of(pcm);
    }

    // The index of 16 kHz PCM.
    std::vector<int32_t> index_of(const std::vector<int16_t> &pcm) {
        int32_t *index = nullptr;
        int32_t size = 0;
        EXPECT_EQ(zv_lumarin_index(engine_, pcm.data(), static_cast<int32_t>(pcm.size()), &index, &size),
                  ZV_STATUS_SUCCESS);
        std::vector<int32_t> out(index, index + size / 4);
        free(index);
        return out;
    }

    zv_status_t index_file(const std::string &path, std::vector<int32_t> *out) {
        int32_t *index = reinterpret_cast<int32_t *>(1);
        int32_t size = -1;
        const zv_status_t status = zv_lumarin_index_file(engine_, path.c_str(), &index, &size);
        if (status == ZV_STATUS_SUCCESS) {
            out->assign(index, index + size / 4);
            EXPECT_EQ(size % (40 * 4), 0);
            free(index);
        } else {
            EXPECT_EQ(index, nullptr);
            EXPECT_EQ(size, -1);  // left as it was
        }
        return status;
    }

    zv_test::TempDir dir_;
    zv_lumarin_t *engine_ = nullptr;
};

std::vector<int16_t> tone(size_t n) {
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>((i * 7919) % 20000) - 10000;
    return s;
}

TEST_F(IndexFileTest, EveryFormatIndexesAsItsDecodedSamples) {
    const std::string files[] = {
        dir_.write("16k.wav", zv_test::wav_bytes(tone(16000), 16000)),
        dir_.write("48k.wav", zv_test::wav_bytes(tone(24000), 48000)),
        audio_fixture("flac_mono_16k.flac"),
        audio_fixture("mp3_mono_44k.mp3"),
        audio_fixture("opus_stereo_48k.opus"),
        audio_fixture("opus_from_16k.opus"),
        audio_fixture("vorbis_stereo_44k.ogg"),
        audio_fixture("webm_opus.webm"),
        audio_fixture("webm_vorbis.webm"),
    };
    for (const std::string &path : files) {
        std::vector<int32_t> index;
        ASSERT_EQ(index_file(path, &index), ZV_STATUS_SUCCESS) << path;
        EXPECT_GT(index.size(), 10u * 40) << path;
        EXPECT_EQ(index, index_of_samples(path)) << path;
    }
}

TEST_F(IndexFileTest, A16kHzWavIndexesAsItsSamples) {
    const std::vector<int16_t> pcm = tone(5120);
    std::vector<int32_t> index;
    ASSERT_EQ(index_file(dir_.write("a.wav", zv_test::wav_bytes(pcm, 16000)), &index), ZV_STATUS_SUCCESS);
    int32_t *direct = nullptr;
    int32_t size = 0;
    ASSERT_EQ(zv_lumarin_index(engine_, pcm.data(), 5120, &direct, &size), ZV_STATUS_SUCCESS);
    EXPECT_EQ(size, 10 * 40 * 4);
    EXPECT_EQ(index, std::vector<int32_t>(direct, direct + size / 4));
    free(direct);
    // The index follows the audio: silence gives another.
    std::vector<int32_t> silent;
    ASSERT_EQ(index_file(dir_.write("b.wav", zv_test::wav_bytes(std::vector<int16_t>(5120, 0), 16000)), &silent),
              ZV_STATUS_SUCCESS);
    EXPECT_NE(index, silent);
}

TEST_F(IndexFileTest, FewerThan512SamplesGiveNoRows) {
    std::vector<int32_t> index = {1};
    ASSERT_EQ(index_file(dir_.write("a.wav", zv_test::wav_bytes(tone(300), 16000)), &index), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(index.empty());
}

// A stereo pair is mixed to (L + R) / 2 truncated toward zero, not rounded
// down: odd negative sums tell the two apart.
TEST_F(IndexFileTest, StereoIsMixedToTheTruncatedMean) {
    std::vector<int16_t> stereo = tone(2 * 5120);
    for (size_t i = 0; i < stereo.size(); i += 2) stereo[i + 1] = static_cast<int16_t>(-stereo[i] / 3 - 1);
    std::vector<int16_t> truncated(5120), floored(5120);
    for (size_t i = 0; i < truncated.size(); ++i) {
        const int32_t sum = stereo[2 * i] + stereo[2 * i + 1];
        truncated[i] = static_cast<int16_t>(sum / 2);
        floored[i] = static_cast<int16_t>(sum >> 1);
    }
    ASSERT_NE(truncated, floored);
    std::vector<int32_t> index;
    ASSERT_EQ(index_file(dir_.write("stereo.wav", zv_test::wav_bytes(stereo, 16000, 2)), &index), ZV_STATUS_SUCCESS);
    EXPECT_EQ(index, index_of(truncated));
    EXPECT_NE(index, index_of(floored));
}

// At another rate the file's S samples give (int)(S / r) - 2 at 16 kHz, from
// the public downsampler fed as the header says: pieces of the input
// conversion of what is still wanted, 1 to 1024 samples. A caller doing the
// same gets the same index; the whole stream in one call gives other values.
TEST_F(IndexFileTest, ACallerReproducesTheResampledIndex) {
    const std::vector<int16_t> source = tone(44100);
    std::vector<int32_t> index;
    ASSERT_EQ(index_file(dir_.write("44k.wav", zv_test::wav_bytes(source, 44100)), &index), ZV_STATUS_SUCCESS);

    zv_downsampler_t *ds = nullptr;
    ASSERT_EQ(zv_downsampler_init(44100, 16000, 50, &ds), ZV_STATUS_SUCCESS);
    const int32_t n = static_cast<int32_t>(static_cast<float>(source.size()) / (44100.0f / 16000.0f)) - 2;
    EXPECT_EQ(n, 15998);
    std::vector<int16_t> pieces(static_cast<size_t>(n));
    int32_t pos = 0, made = 0;
    while (made < n) {
        int32_t k = zv_downsampler_convert_num_samples_to_input_sample_rate(ds, n - made);
        k = k < 1 ? 1 : (k > 1024 ? 1024 : k);
        ASSERT_LE(pos + k, static_cast<int32_t>(source.size()));
        made += zv_downsampler_process(ds, source.data() + pos, k, pieces.data() + made);
        pos += k;
    }
    ASSERT_EQ(made, n);
    zv_downsampler_reset(ds);
    std::vector<int16_t> whole(source.size());
    whole.resize(static_cast<size_t>(
        zv_downsampler_process(ds, source.data(), static_cast<int32_t>(source.size()), whole.data())));
    zv_downsampler_delete(ds);
    ASSERT_GE(whole.size(), pieces.size());
    whole.resize(pieces.size());

    int32_t *block = nullptr;
    int32_t size = 0;
    ASSERT_EQ(zv_lumarin_index(engine_, pieces.data(), n, &block, &size), ZV_STATUS_SUCCESS);
    EXPECT_EQ(index, std::vector<int32_t>(block, block + size / 4));
    free(block);
    EXPECT_NE(whole, pieces);  // the split changes values, by a few units at most
    for (size_t i = 0; i < pieces.size(); ++i) ASSERT_LE(std::abs(whole[i] - pieces[i]), 8) << i;
}

// The ratio to 16000 is single precision: 31,152,001 Hz rounds to 1947, the
// most a downsampler of order 50 takes, and is read; the next rate is not.
TEST_F(IndexFileTest, RateLimitIsTheSinglePrecisionRatio) {
    const struct {
        int32_t rate;
        zv_status_t status;
    } cases[] = {
        {31152000, ZV_STATUS_SUCCESS},
        {31152001, ZV_STATUS_SUCCESS},
        {31152002, ZV_STATUS_INVALID_ARGUMENT},
    };
    for (const auto &c : cases) {
        std::vector<int32_t> index;
        const std::string path = dir_.write(std::to_string(c.rate) + ".wav", zv_test::wav_bytes(tone(8000), c.rate));
        EXPECT_EQ(index_file(path, &index), c.status) << c.rate;
    }
}

// A file that holds no audio is refused with its reader's status.
TEST_F(IndexFileTest, FilesWithoutAudio) {
    const struct {
        std::string path;
        zv_status_t status;
    } cases[] = {
        {std::string(ZV_TEST_DATA_DIR) + "/wav_empty.wav", ZV_STATUS_INVALID_ARGUMENT},  // empty data chunk
        {audio_fixture("flac_empty.flac"), ZV_STATUS_INVALID_ARGUMENT},                   // no frames
        {std::string(ZV_TEST_DATA_DIR) + "/mp3_id3_only.mp3", ZV_STATUS_IO_ERROR},       // an ID3 tag, no frame
        {audio_fixture("opus_headers_only.opus"), ZV_STATUS_INVALID_ARGUMENT},
        {audio_fixture("vorbis_headers_only.ogg"), ZV_STATUS_INVALID_STATE},              // decoder never set up
        {audio_fixture("webm_headers_only.webm"), ZV_STATUS_INVALID_ARGUMENT},
        {audio_fixture("webm_video_only.webm"), ZV_STATUS_INVALID_ARGUMENT},              // no audio track
        {dir_.write("empty.wav", std::string()), ZV_STATUS_IO_ERROR},                     // under 35 bytes
    };
    for (const auto &c : cases) {
        std::vector<int32_t> index;
        EXPECT_EQ(index_file(c.path, &index), c.status) << c.path;
    }
}

TEST_F(IndexFileTest, Failures) {
    // Header total beyond the frames the file holds: it opens, then can't be
    // read to the end.
    std::vector<uint8_t> flac = zv_test::read_bytes(audio_fixture("flac_mono_16k.flac"));
    flac[22] = 0;
    flac[23] = 1;  // 65536 + what the low bytes held: far more than the 9600 frames
    std::vector<uint8_t> huge = zv_test::read_bytes(audio_fixture("flac_mono_16k.flac"));
    huge[21] |= 0x01;  // bit 32 of the 36-bit total: more samples than an int32 counts
    const struct {
        std::string path;
        zv_status_t status;
    } cases[] = {
        {"/nonexistent.wav", ZV_STATUS_IO_ERROR},
        {dir_.write("unknown.bin", std::string(100, 'x')), ZV_STATUS_INVALID_ARGUMENT},
        {dir_.write("8k.wav", zv_test::wav_bytes(tone(8000), 8000)), ZV_STATUS_INVALID_ARGUMENT},
        {dir_.write("fast.wav", zv_test::wav_bytes(tone(8000), 1948 * 16000)), ZV_STATUS_INVALID_ARGUMENT},
        {dir_.write("huge.flac", huge), ZV_STATUS_INVALID_ARGUMENT},
        {audio_fixture("opus_3ch.opus"), ZV_STATUS_INVALID_ARGUMENT},
        {dir_.write("long.flac", flac), ZV_STATUS_IO_ERROR},
        // No samples at 16 kHz: refused as indexing no PCM is.
        {audio_fixture("flac_empty.flac"), ZV_STATUS_INVALID_ARGUMENT},
        {dir_.write("3.wav", zv_test::wav_bytes({1, 2, 3}, 48000)), ZV_STATUS_INVALID_ARGUMENT},
        {dir_.write("6.wav", zv_test::wav_bytes({1, 2, 3, 4, 5, 6}, 48000)), ZV_STATUS_INVALID_ARGUMENT},
    };
    for (const auto &c : cases) {
        std::vector<int32_t> index;
        EXPECT_EQ(index_file(c.path, &index), c.status) << c.path;
    }
    int32_t *index = reinterpret_cast<int32_t *>(8);
    int32_t size = -1;
    const std::string wav = dir_.write("ok.wav", zv_test::wav_bytes(tone(1024), 16000));
    EXPECT_EQ(zv_lumarin_index_file(nullptr, wav.c_str(), &index, &size), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_index_file(engine_, nullptr, &index, &size), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_index_file(engine_, wav.c_str(), nullptr, &size), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_index_file(engine_, wav.c_str(), &index, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(index, reinterpret_cast<int32_t *>(8));  // nothing written
    EXPECT_EQ(size, -1);
}

}  // namespace
