// The Linux side of the Windows check: reads the sample recording with the
// library's own audio reader, writes its samples as raw PCM for the Windows
// program, and the index and matches of the Linux build that the Windows
// build must reproduce byte for byte.
//
//   windows_reference MODEL WAV OUTPUT_DIR
//   (writes OUTPUT_DIR/sample.pcm, linux.index and linux.matches)
#include <stdio.h>

#include <string>
#include <vector>

#include "io/audio_file.h"
#include "sample_run.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s MODEL WAV OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[3];
    zv_audio_file_t *audio = nullptr;
    zv_status_t status = zv_audio_file_init(argv[2], &audio);
    if (status != ZV_STATUS_SUCCESS) {
        fprintf(stderr, "cannot open '%s': %s\n", argv[2], zv_status_to_string(status));
        return 1;
    }
    std::vector<int16_t> pcm(static_cast<size_t>(zv_audio_file_num_samples(audio)));
    status = pcm.empty() ? ZV_STATUS_INVALID_ARGUMENT
                         : zv_audio_file_read(audio, static_cast<int32_t>(pcm.size()), pcm.data());
    zv_audio_file_delete(audio);
    if (status != ZV_STATUS_SUCCESS) {
        fprintf(stderr, "cannot read '%s': %s\n", argv[2], zv_status_to_string(status));
        return 1;
    }
    const std::string pcm_path = dir + "/sample.pcm";
    FILE *file = fopen(pcm_path.c_str(), "wb");
    if (file == nullptr || fwrite(pcm.data(), 2, pcm.size(), file) != pcm.size() || fclose(file) != 0) {
        fprintf(stderr, "cannot write '%s'\n", pcm_path.c_str());
        return 1;
    }
    return zv_sample_run(argv[1], pcm_path.c_str(), (dir + "/linux.index").c_str(),
                         (dir + "/linux.matches").c_str());
}
