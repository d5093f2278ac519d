// Indexing an audio file: the audio file reader decodes it to 16 kHz mono
// samples, which are then indexed as PCM.
#include <stdlib.h>

#include "io/audio_file.h"
#include "zv_lumarin.h"

extern "C" {

zv_status_t zv_lumarin_index_file(zv_lumarin_t *engine, const char *path, int32_t **index, int32_t *index_size) {
    if (engine == nullptr || path == nullptr || index == nullptr || index_size == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *index = nullptr;
    zv_audio_file_t *file = nullptr;
    const zv_status_t opened = zv_audio_file_init(path, &file);
    if (opened != ZV_STATUS_SUCCESS) {
        return opened;
    }
    const int32_t n = zv_audio_file_num_samples(file);
    // No samples at 16 kHz (a FLAC stream of no frames, a few samples at a
    // higher rate) is refused as indexing no PCM is, before any allocation.
    if (n <= 0) {
        zv_audio_file_delete(file);
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    int16_t *samples = static_cast<int16_t *>(calloc(static_cast<size_t>(n), sizeof(int16_t)));
    if (samples == nullptr) {
        zv_audio_file_delete(file);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_status_t read = zv_audio_file_read(file, n, samples);
    zv_audio_file_delete(file);
    // Any failure to read the audio to the end is an I/O error, whatever the
    // reader blamed, unless memory ran out.
    if (read != ZV_STATUS_SUCCESS) {
        free(samples);
        return read == ZV_STATUS_OUT_OF_MEMORY ? read : ZV_STATUS_IO_ERROR;
    }
    const zv_status_t status = zv_lumarin_index(engine, samples, n, index, index_size);
    free(samples);
    return status;
}

}  // extern "C"
