#include "io/flac.h"

#include <stdlib.h>

#include "io/sndfile_source.h"

struct zv_flac {
    zv_sndfile_source_t *source;
};

extern "C" zv_status_t zv_flac_init(const char *path, zv_flac_t **out) {
    if (out == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *out = nullptr;
    zv_flac_t *record = static_cast<zv_flac_t *>(calloc(1, sizeof(zv_flac_t)));
    if (record == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_status_t status = zv_sndfile_source_init(path, ZV_SNDFILE_CONTAINER_FLAC, &record->source);
    if (status != ZV_STATUS_SUCCESS) {
        free(record);
        return status;
    }
    *out = record;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_flac_delete(zv_flac_t *flac) {
    if (flac == nullptr) {
        return;
    }
    zv_sndfile_source_delete(flac->source);
    free(flac);
}

extern "C" int32_t zv_flac_num_samples(zv_flac_t *flac) {
    return flac ? static_cast<int32_t>(zv_sndfile_source_num_frames(flac->source)) : 0;
}

extern "C" int32_t zv_flac_num_channels(zv_flac_t *flac) {
    return flac ? zv_sndfile_source_num_channels(flac->source) : 0;
}

extern "C" int32_t zv_flac_sample_rate(zv_flac_t *flac) {
    return flac ? zv_sndfile_source_sample_rate(flac->source) : 0;
}

extern "C" zv_status_t zv_flac_read(zv_flac_t *flac, int32_t num_samples, int16_t *pcm) {
    if (flac == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    return zv_sndfile_source_read(flac->source, num_samples, pcm);
}
