// An audio file through the audio file reader (format found from its first
// bytes, decoded, mixed to mono and brought to 16 kHz), read to its end in
// chunks. Built once per format, each with its own seeds.
#include <stdlib.h>

#include "fuzz_input.h"
#include "io/audio_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = zv_fuzz::scratch_file("audio", data, size);
    zv_audio_file_t *file = nullptr;
    if (zv_audio_file_init(path.c_str(), &file) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(file == nullptr);
        return 0;
    }
    // Below 1 when a higher rate holds too few samples for one at 16 kHz
    // (the engine refuses such a file).
    const int32_t total = zv_audio_file_num_samples(file);
    // Hostile headers may promise far more than the bytes hold: read at most
    // a minute, the reader failing or padding as it must.
    const int32_t limit = total < 16000 * 60 ? total : 16000 * 60;
    int16_t pcm[4096];
    for (int32_t done = 0; done < limit;) {
        const int32_t n = limit - done < 4096 ? limit - done : 4096;
        if (zv_audio_file_read(file, n, pcm) != ZV_STATUS_SUCCESS) break;
        done += n;
    }
    zv_audio_file_delete(file);
    return 0;
}
