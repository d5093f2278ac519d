// Opening and decoding an audio file to 16 kHz through the audio file reader,
// per format: init (which decodes Ogg, WebM and MP3 once to count), then one
// read of every sample. x_realtime: seconds of audio decoded per second.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "io/audio_file.h"

namespace {

std::string fixture(const char *name) {
    const std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../tests/data/audio/" + name;
}

void BM_DecodeFile(benchmark::State &state, const char *name) {
    const std::string path = fixture(name);
    std::vector<int16_t> pcm;
    int64_t samples = 0;
    for (auto _ : state) {
        zv_audio_file_t *file = nullptr;
        if (zv_audio_file_init(path.c_str(), &file) != ZV_STATUS_SUCCESS) {
            state.SkipWithError("init failed");
            return;
        }
        const int32_t n = zv_audio_file_num_samples(file);
        pcm.resize(static_cast<size_t>(n));
        if (zv_audio_file_read(file, n, pcm.data()) != ZV_STATUS_SUCCESS) {
            state.SkipWithError("read failed");
        }
        zv_audio_file_delete(file);
        samples += n;
        benchmark::DoNotOptimize(pcm.data());
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(samples) / 16000.0, benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_DecodeFile, opus_48k_stereo, "opus_stereo_48k.opus");
BENCHMARK_CAPTURE(BM_DecodeFile, opus_16k, "opus_from_16k.opus");
BENCHMARK_CAPTURE(BM_DecodeFile, vorbis_44k_stereo, "vorbis_stereo_44k.ogg");
BENCHMARK_CAPTURE(BM_DecodeFile, vorbis_16k, "vorbis_mono_16k.ogg");
BENCHMARK_CAPTURE(BM_DecodeFile, webm_opus_48k, "webm_opus.webm");
BENCHMARK_CAPTURE(BM_DecodeFile, webm_vorbis_44k_laced, "webm_laced.webm");
BENCHMARK_CAPTURE(BM_DecodeFile, mp3_44k, "mp3_mono_44k.mp3");
BENCHMARK_CAPTURE(BM_DecodeFile, flac_16k, "flac_mono_16k.flac");

}  // namespace
