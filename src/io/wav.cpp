#include "io/wav.h"

#include <stdlib.h>

#include "io/sndfile_source.h"

struct zv_wav {
    zv_sndfile_source_t *source;
};

extern "C" zv_status_t zv_wav_init(const char *path, zv_wav_t **out) {
    if (out == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *out = nullptr;
    zv_wav_t *record = static_cast<zv_wav_t *>(calloc(1, sizeof(zv_wav_t)));
    if (record == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_status_t status = zv_sndfile_source_init(path, ZV_SNDFILE_CONTAINER_WAV, &record->source);
    if (status != ZV_STATUS_SUCCESS) {
        free(record);
        return status;
    }
    *out = record;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_wav_delete(zv_wav_t *wav) {
    if (wav == nullptr) {
        return;
    }
    zv_sndfile_source_delete(wav->source);
    free(wav);
}

extern "C" int32_t zv_wav_num_samples(zv_wav_t *wav) {
    return wav ? static_cast<int32_t>(zv_sndfile_source_num_frames(wav->source)) : 0;
}

extern "C" int32_t zv_wav_num_channels(zv_wav_t *wav) {
    return wav ? zv_sndfile_source_num_channels(wav->source) : 0;
}

extern "C" int32_t zv_wav_sample_rate(zv_wav_t *wav) {
    return wav ? zv_sndfile_source_sample_rate(wav->source) : 0;
}

extern "C" zv_status_t zv_wav_read(zv_wav_t *wav, int32_t num_samples, int16_t *pcm) {
    if (wav == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    return zv_sndfile_source_read(wav->source, num_samples, pcm);
}
