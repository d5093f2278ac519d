#include "io/audio_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/mp3.h"
#include "io/opus_reader.h"
#include "io/vorbis_reader.h"
#include "io/webm_reader.h"
#include "support/audio_fixture.h"
#include "support/ogg_writer.h"
#include "support/temp_dir.h"

namespace {

using zv_test::audio_fixture;

// 35 header bytes: `prefix` at 0, `text` at `offset`, zeros elsewhere.
std::vector<uint8_t> header(const std::vector<uint8_t> &prefix, size_t offset = 0, const char *text = "") {
    std::vector<uint8_t> h(35, 0);
    for (size_t i = 0; i < prefix.size(); ++i) h[i] = prefix[i];
    std::memcpy(h.data() + offset, text, std::strlen(text));
    return h;
}

std::vector<uint8_t> ascii(const char *s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

TEST(AudioFileTest, FormatFromTheFirst35Bytes) {
    const std::vector<uint8_t> ebml = {0x1A, 0x45, 0xDF, 0xA3};
    const struct {
        std::vector<uint8_t> bytes;
        zv_audio_format_t format;
    } cases[] = {
        {header(ascii("ID3")), ZV_AUDIO_FORMAT_MP3},
        {header({0xFF, 0xFB}), ZV_AUDIO_FORMAT_MP3},
        {header({0xFF, 0xF3}), ZV_AUDIO_FORMAT_MP3},  // compared as unsigned bytes
        {header({0xFF, 0xFF}), ZV_AUDIO_FORMAT_MP3},
        {header({0xFF, 0xF2}), ZV_AUDIO_FORMAT_UNKNOWN},
        {header({0xFF, 0xE3}), ZV_AUDIO_FORMAT_UNKNOWN},
        {header({0xFF, 0x73}), ZV_AUDIO_FORMAT_UNKNOWN},
        {header(ascii("ID4")), ZV_AUDIO_FORMAT_UNKNOWN},
        // "ID3" is tested first, and wins over what follows.
        {header(ascii("ID3fLaC")), ZV_AUDIO_FORMAT_MP3},
        {header(ascii("fLaC")), ZV_AUDIO_FORMAT_FLAC},
        {header(ascii("RIFF")), ZV_AUDIO_FORMAT_WAV},
        {header(ascii("OggS"), 28, "Opus"), ZV_AUDIO_FORMAT_OPUS},
        {header(ascii("OggS"), 29, "vorbis"), ZV_AUDIO_FORMAT_VORBIS},
        {header(ascii("OggS"), 28, "Xvorbis"), ZV_AUDIO_FORMAT_VORBIS},
        {header(ascii("OggS"), 29, "Opus"), ZV_AUDIO_FORMAT_UNKNOWN},
        {header(ascii("OggS"), 28, "\x7f" "FLAC"), ZV_AUDIO_FORMAT_UNKNOWN},
        {header(ebml, 24, "webm"), ZV_AUDIO_FORMAT_WEBM},
        {header(ebml, 24, "matroska"), ZV_AUDIO_FORMAT_UNKNOWN},
        {header(ascii("\x1a" "E"), 24, "webm"), ZV_AUDIO_FORMAT_UNKNOWN},
        {header({}), ZV_AUDIO_FORMAT_UNKNOWN},
    };
    zv_test::TempDir dir;
    for (const auto &c : cases) {
        zv_audio_format_t format = -1;
        EXPECT_EQ(zv_audio_file_get_format(dir.write("h", c.bytes).c_str(), &format), ZV_STATUS_SUCCESS);
        EXPECT_EQ(format, c.format) << std::string(c.bytes.begin(), c.bytes.begin() + 8);
    }
    // Fewer than 35 bytes, whatever they hold, and no file at all.
    zv_audio_format_t format = -1;
    std::vector<uint8_t> short_header = header(ascii("RIFF"));
    short_header.pop_back();
    EXPECT_EQ(zv_audio_file_get_format(dir.write("s", short_header).c_str(), &format), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(format, ZV_AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(zv_audio_file_get_format("/nonexistent.wav", &format), ZV_STATUS_IO_ERROR);
}

TEST(AudioFileTest, FixturesAreRecognised) {
    const std::pair<const char *, zv_audio_format_t> cases[] = {
        {"opus_mono_48k.opus", ZV_AUDIO_FORMAT_OPUS},   {"vorbis_mono_16k.ogg", ZV_AUDIO_FORMAT_VORBIS},
        {"webm_opus.webm", ZV_AUDIO_FORMAT_WEBM},       {"webm_vorbis.webm", ZV_AUDIO_FORMAT_WEBM},
        {"flac_mono_16k.flac", ZV_AUDIO_FORMAT_FLAC},   {"mp3_mono_44k.mp3", ZV_AUDIO_FORMAT_MP3},
        {"two_streams.ogg", ZV_AUDIO_FORMAT_OPUS},      {"pcm_then_vorbis.mka", ZV_AUDIO_FORMAT_UNKNOWN},
    };
    for (const auto &[file, expected] : cases) {
        zv_audio_format_t format = -1;
        EXPECT_EQ(zv_audio_file_get_format(audio_fixture(file).c_str(), &format), ZV_STATUS_SUCCESS);
        EXPECT_EQ(format, expected) << file;
    }
}

TEST(AudioFileTest, FormatNames) {
    const char *names[] = {"UNKNOWN", "FLAC", "MP3", "OPUS (Ogg)", "VORBIS (Ogg)", "WAV", "WEBM"};
    for (int i = 0; i < 7; ++i) EXPECT_STREQ(zv_audio_format_to_string(i), names[i]);
    EXPECT_EQ(zv_audio_format_to_string(7), nullptr);
    EXPECT_EQ(zv_audio_format_to_string(-1), nullptr);
    EXPECT_EQ(zv_audio_format_to_string(INT32_MIN), nullptr);
}

TEST(AudioFileTest, InitFailuresPassTheStatusOn) {
    zv_test::TempDir dir;
    const struct {
        std::string path;
        zv_status_t status;
    } cases[] = {
        {"/nonexistent.wav", ZV_STATUS_IO_ERROR},
        {dir.write("short", std::string(34, 'x')), ZV_STATUS_IO_ERROR},
        {dir.write("unknown", std::string(100, 'x')), ZV_STATUS_INVALID_ARGUMENT},
        {audio_fixture("pcm_then_vorbis.mka"), ZV_STATUS_INVALID_ARGUMENT},
        {dir.write("8k.wav", zv_test::wav_bytes(std::vector<int16_t>(800, 5), 8000)), ZV_STATUS_INVALID_ARGUMENT},
        {audio_fixture("opus_3ch.opus"), ZV_STATUS_INVALID_ARGUMENT},
        {audio_fixture("vorbis_headers_only.ogg"), ZV_STATUS_INVALID_STATE},
        {audio_fixture("vorbis_6ch.ogg"), ZV_STATUS_INVALID_ARGUMENT},
        {audio_fixture("webm_video_only.webm"), ZV_STATUS_INVALID_ARGUMENT},
    };
    for (const auto &c : cases) {
        zv_audio_file_t *file = reinterpret_cast<zv_audio_file_t *>(1);
        EXPECT_EQ(zv_audio_file_init(c.path.c_str(), &file), c.status) << c.path;
        EXPECT_EQ(file, nullptr);
    }
    zv_audio_file_delete(nullptr);
}

TEST(AudioFileTest, At16kHzTheFormatReaderIsUsedAsItIs) {
    const std::string path = audio_fixture("opus_from_16k.opus");
    zv_audio_file_t *file = nullptr;
    ASSERT_EQ(zv_audio_file_init(path.c_str(), &file), ZV_STATUS_SUCCESS);
    EXPECT_EQ(file->format, ZV_AUDIO_FORMAT_OPUS);
    EXPECT_EQ(file->downsampler, nullptr);
    EXPECT_EQ(file->buffer, nullptr);
    EXPECT_EQ(zv_audio_file_sample_rate(file), 16000);
    EXPECT_EQ(zv_audio_file_num_channels(file), 1);
    zv_opus_t *opus = nullptr;
    ASSERT_EQ(zv_opus_init(path.c_str(), &opus), ZV_STATUS_SUCCESS);
    const int32_t n = zv_opus_num_samples(opus);
    EXPECT_EQ(zv_audio_file_num_samples(file), n);
    std::vector<int16_t> expected(n), got(n);
    ASSERT_EQ(zv_opus_read(opus, n, expected.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_audio_file_read(file, 0, got.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_audio_file_read(file, n, got.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(got, expected);
    // One more: the reader's own status.
    EXPECT_EQ(zv_audio_file_read(file, 1, got.data()), ZV_STATUS_IO_ERROR);
    zv_opus_delete(opus);
    zv_audio_file_delete(file);
}

// 48000 samples at 48 kHz give (int)(48000 / 3) - 2 = 15998 samples, and
// every one is the downsampled signal's (r = 3: whole filtered samples).
TEST(AudioFileTest, At48kHzTheCountAndSamplesComeThroughTheDownsampler) {
    std::vector<int16_t> source(48000);
    for (size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<int16_t>(8000.0 * std::sin(0.01 * i * (1.0 + i / 48000.0)));
    }
    zv_test::TempDir dir;
    const std::string path = dir.write("48k.wav", zv_test::wav_bytes(source, 48000));
    zv_audio_file_t *file = nullptr;
    ASSERT_EQ(zv_audio_file_init(path.c_str(), &file), ZV_STATUS_SUCCESS);
    ASSERT_NE(file->downsampler, nullptr);
    EXPECT_EQ(zv_audio_file_num_samples(file), 15998);
    EXPECT_EQ(zv_audio_file_read(file, 0, nullptr), ZV_STATUS_SUCCESS);
    std::vector<int16_t> got(15998 + 1, 777);
    ASSERT_EQ(zv_audio_file_read(file, 15998, got.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(got.back(), 777);
    got.pop_back();
    zv_audio_file_delete(file);

    zv_downsampler_t *ds = nullptr;
    ASSERT_EQ(zv_downsampler_init(48000, 16000, 50, &ds), ZV_STATUS_SUCCESS);
    std::vector<int16_t> whole(16001);
    const int32_t m = zv_downsampler_process(ds, source.data(), 48000, whole.data());
    ASSERT_GE(m, 15998);
    whole.resize(15998);
    EXPECT_EQ(got, whole);
    zv_downsampler_delete(ds);
}

// A source of `left` silent samples at `rate`, failing a read past its end
// as the format readers do, in a record made by hand: long recordings cost
// no file and no decoding.
struct Silence {
    int64_t left;
    int32_t rate;
};

zv_audio_file_t *silent_file(Silence *source, int32_t order) {
    zv_audio_file_t *file = static_cast<zv_audio_file_t *>(calloc(1, sizeof(zv_audio_file_t)));
    file->format = ZV_AUDIO_FORMAT_WAV;
    file->state = source;
    file->delete_state = [](void *) {};
    file->num_samples = [](void *s) { return static_cast<int32_t>(static_cast<Silence *>(s)->left); };
    file->num_channels = [](void *) { return 1; };
    file->sample_rate = [](void *s) { return static_cast<Silence *>(s)->rate; };
    file->read = [](void *s, int32_t n, int16_t *pcm) -> zv_status_t {
        Silence *source = static_cast<Silence *>(s);
        if (n > source->left) return ZV_STATUS_IO_ERROR;
        std::memset(pcm, 0, sizeof(int16_t) * static_cast<size_t>(n));
        source->left -= n;
        return ZV_STATUS_SUCCESS;
    };
    file->buffer = static_cast<int16_t *>(malloc(ZV_AUDIO_FILE_BUFFER * sizeof(int16_t)));
    EXPECT_EQ(zv_downsampler_init(source->rate, 16000, order, &file->downsampler), ZV_STATUS_SUCCESS);
    return file;
}

// Largest K with ceil(K r) <= S - 1: the samples at 16 kHz that S source
// samples can give.
int64_t deliverable(double r, int64_t s) {
    int64_t k = static_cast<int64_t>(std::floor(static_cast<double>(s - 1) / r)) + 2;
    while (k > 0 && static_cast<int64_t>(std::ceil(static_cast<double>(k) * r)) > s - 1) --k;
    return k;
}

// Past 2^24 source samples the single-precision count can exceed what the
// source gives by a sample or more; reading that many then fails at the end.
TEST(AudioFileTest, LongRecordingsCountNoMoreThanTheyHold) {
    // 17.5 minutes at 22050 Hz, a length where the count ran one over.
    Silence source{23121123, 22050};
    zv_audio_file_t *file = silent_file(&source, 1);  // the counts don't depend on the order
    const int32_t n = zv_audio_file_num_samples(file);
    EXPECT_GT(n, 16777000);
    std::vector<int16_t> pcm(static_cast<size_t>(n));
    EXPECT_EQ(zv_audio_file_read(file, n, pcm.data()), ZV_STATUS_SUCCESS);
    zv_audio_file_delete(file);

    std::mt19937 rng(3);
    for (int32_t rate : {17000, 22050, 24000, 32000, 44100, 48000, 96000}) {
        SCOPED_TRACE(rate);
        Silence counted{0, rate};
        zv_audio_file_t *f = silent_file(&counted, 50);
        const double r = static_cast<double>(static_cast<float>(rate) / 16000.0f);
        std::uniform_int_distribution<int32_t> length(1 << 24, INT32_MAX);
        for (int i = 0; i < 20000; ++i) {
            counted.left = length(rng);
            ASSERT_LE(zv_audio_file_num_samples(f), deliverable(r, counted.left)) << counted.left;
        }
        zv_audio_file_delete(f);
    }
}

// The formats decoded twice (at init to count, then to read) and those that
// take their count from a header: the count at 16 kHz is the conversion of
// the source count, and reading exactly that many succeeds.
TEST(AudioFileTest, CountsOfEveryFormatAtItsRate) {
    const struct {
        const char *file;
        int32_t rate;
        int32_t source_count;
    } cases[] = {
        {"opus_mono_48k.opus", 48000, [] { zv_opus_t *o; zv_opus_init(audio_fixture("opus_mono_48k.opus").c_str(), &o);
                                          int32_t n = zv_opus_num_samples(o); zv_opus_delete(o); return n; }()},
        {"vorbis_stereo_44k.ogg", 44100, [] { zv_vorbis_t *v; zv_vorbis_init(audio_fixture("vorbis_stereo_44k.ogg").c_str(), &v);
                                             int32_t n = zv_vorbis_num_samples(v); zv_vorbis_delete(v); return n; }()},
        {"webm_laced.webm", 44100, [] { zv_webm_t *w; zv_webm_init(audio_fixture("webm_laced.webm").c_str(), &w);
                                       int32_t n = zv_webm_num_samples(w); zv_webm_delete(w); return n; }()},
        {"mp3_mono_44k.mp3", 44100, [] { zv_mp3_t *m; zv_mp3_init(audio_fixture("mp3_mono_44k.mp3").c_str(), &m);
                                        int32_t n = zv_mp3_num_samples(m); zv_mp3_delete(m); return n; }()},
    };
    for (const auto &c : cases) {
        zv_audio_file_t *file = nullptr;
        ASSERT_EQ(zv_audio_file_init(audio_fixture(c.file).c_str(), &file), ZV_STATUS_SUCCESS) << c.file;
        EXPECT_EQ(zv_audio_file_sample_rate(file), c.rate);
        const float r = static_cast<float>(c.rate) / 16000.0f;
        const int32_t n = zv_audio_file_num_samples(file);
        EXPECT_EQ(n, static_cast<int32_t>(static_cast<float>(c.source_count) / r) - 2) << c.file;
        std::vector<int16_t> pcm(n);
        EXPECT_EQ(zv_audio_file_read(file, n, pcm.data()), ZV_STATUS_SUCCESS) << c.file;
        zv_audio_file_delete(file);
    }
}

}  // namespace

namespace {

// A damaged file either fails to open, handing nothing out, or opens and is
// read to its end; either way the reader stays within its buffers.
void open_and_read_all(const std::string &path) {
    zv_audio_file_t *file = nullptr;
    if (zv_audio_file_init(path.c_str(), &file) != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(file, nullptr);
        return;
    }
    const int32_t n = zv_audio_file_num_samples(file);
    std::vector<int16_t> pcm(n > 0 ? static_cast<size_t>(n) : 0);
    (void)zv_audio_file_read(file, n, pcm.data());
    zv_audio_file_delete(file);
}

// Fixtures with bytes overwritten at random (fixed seed): every reader must
// give a status, never read out of bounds or run away; a file that opens
// reads its whole count or fails.
TEST(AudioFileTest, DamagedFilesGiveAStatus) {
    const char *files[] = {"opus_stereo_48k.opus", "vorbis_stereo_44k.ogg", "webm_opus.webm", "webm_laced.webm",
                           "webm_video_first.webm", "flac_mono_16k.flac", "mp3_mono_44k.mp3",
                           "chained_opus_48k.opus", "chained_vorbis_16k.ogg"};
    zv_test::TempDir dir;
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (const char *name : files) {
        const std::vector<uint8_t> original = zv_test::read_bytes(audio_fixture(name));
        for (int round = 0; round < 24; ++round) {
            std::vector<uint8_t> bytes = original;
            const int changes = 1 + static_cast<int>(next() % 8);
            for (int c = 0; c < changes; ++c) {
                // Keep the first 35 bytes so that the format reader is reached.
                const size_t at = 35 + next() % (bytes.size() - 35);
                bytes[at] = static_cast<uint8_t>(next() >> 24);
            }
            if (round % 6 == 5) bytes.resize(35 + next() % (bytes.size() - 35));
            const std::string path = dir.write("damaged", bytes);
            open_and_read_all(path);
        }
    }
}

// The packets of Ogg fixtures damaged and written back with sound page
// checksums, so that the damage reaches the header parsing and the decoders.
TEST(AudioFileTest, DamagedOggPacketsGiveAStatus) {
    zv_test::TempDir dir;
    uint32_t seed = 777;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (const char *name : {"opus_stereo_48k.opus", "vorbis_stereo_44k.ogg", "opus_from_16k.opus"}) {
        const zv_test::OggPackets original = zv_test::ogg_packets(audio_fixture(name));
        for (int round = 0; round < 30; ++round) {
            zv_test::OggPackets packets = original;
            const int changes = 1 + static_cast<int>(next() % 4);
            for (int c = 0; c < changes; ++c) {
                auto &p = packets[next() % packets.size()].bytes;
                if (p.empty()) continue;
                if (next() % 4 == 0) {
                    p.resize(next() % p.size());
                } else {
                    p[next() % p.size()] = static_cast<uint8_t>(next() >> 24);
                }
            }
            // The first page must still name the codec for the reader to be chosen.
            std::vector<uint8_t> bytes = zv_test::ogg_bytes(packets);
            const std::string path = dir.write("damaged", bytes);
            open_and_read_all(path);
        }
    }
}

}  // namespace
