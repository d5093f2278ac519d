#include "io/audio_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/file.h"
#include "io/downsampler.h"
#include "io/flac.h"
#include "io/mp3.h"
#include "io/opus_reader.h"
#include "io/vorbis_reader.h"
#include "io/wav.h"
#include "io/webm_reader.h"

namespace {

constexpr size_t kHeaderBytes = 35;
constexpr int32_t kOrder = 50;

// The format readers' functions, called through untyped slots.
template <typename T, zv_status_t (*F)(const char *, T **)>
zv_status_t init_thunk(const char *path, void **state) {
    T *s = nullptr;
    const zv_status_t status = F(path, &s);
    *state = s;
    return status;
}
template <typename T, void (*F)(T *)>
void delete_thunk(void *state) { F(static_cast<T *>(state)); }
template <typename T, int32_t (*F)(T *)>
int32_t count_thunk(void *state) { return F(static_cast<T *>(state)); }
template <typename T, zv_status_t (*F)(T *, int32_t, int16_t *)>
zv_status_t read_thunk(void *state, int32_t n, int16_t *pcm) { return F(static_cast<T *>(state), n, pcm); }

struct FormatReader {
    zv_status_t (*init)(const char *path, void **state);
    void (*delete_state)(void *state);
    int32_t (*num_samples)(void *state);
    int32_t (*num_channels)(void *state);
    int32_t (*sample_rate)(void *state);
    zv_status_t (*read)(void *state, int32_t num_samples, int16_t *pcm);
};

#define ZV_FORMAT_READER(T, prefix)                                                                  \
    FormatReader {                                                                                   \
        init_thunk<T, prefix##_init>, delete_thunk<T, prefix##_delete>,                              \
            count_thunk<T, prefix##_num_samples>, count_thunk<T, prefix##_num_channels>,             \
            count_thunk<T, prefix##_sample_rate>, read_thunk<T, prefix##_read>                       \
    }

// Indexed by format; UNKNOWN has none.
constexpr FormatReader kReaders[] = {
    FormatReader{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    ZV_FORMAT_READER(zv_flac_t, zv_flac),
    ZV_FORMAT_READER(zv_mp3_t, zv_mp3),
    ZV_FORMAT_READER(zv_opus_t, zv_opus),
    ZV_FORMAT_READER(zv_vorbis_t, zv_vorbis),
    ZV_FORMAT_READER(zv_wav_t, zv_wav),
    ZV_FORMAT_READER(zv_webm_t, zv_webm),
};

constexpr const char *kNames[] = {"UNKNOWN", "FLAC", "MP3", "OPUS (Ogg)", "VORBIS (Ogg)", "WAV", "WEBM"};

bool at(const uint8_t *header, size_t offset, const char *text) {
    return memcmp(header + offset, text, strlen(text)) == 0;
}

}  // namespace

extern "C" {

const char *zv_audio_format_to_string(zv_audio_format_t format) {
    const uint32_t f = static_cast<uint32_t>(format);
    return f <= ZV_AUDIO_FORMAT_WEBM ? kNames[f] : nullptr;
}

zv_status_t zv_audio_file_get_format(const char *path, zv_audio_format_t *format) {
    if (format == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *format = ZV_AUDIO_FORMAT_UNKNOWN;
    if (path == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    FILE *f = zv_fopen(path, "rb");
    if (f == nullptr) {
        return zv_fopen_failure();
    }
    uint8_t h[kHeaderBytes];
    const size_t got = fread(h, 1, kHeaderBytes, f);
    fclose(f);
    if (got < kHeaderBytes) {
        return ZV_STATUS_IO_ERROR;
    }
    if (at(h, 0, "ID3") || (h[0] == 0xFF && h[1] > 0xF2)) {
        *format = ZV_AUDIO_FORMAT_MP3;
    } else if (at(h, 0, "fLaC")) {
        *format = ZV_AUDIO_FORMAT_FLAC;
    } else if (at(h, 0, "RIFF")) {
        *format = ZV_AUDIO_FORMAT_WAV;
    } else if (at(h, 0, "OggS")) {
        // Where the first packet of a one-segment first page begins.
        if (at(h, 28, "Opus")) {
            *format = ZV_AUDIO_FORMAT_OPUS;
        } else if (at(h, 29, "vorbis")) {
            *format = ZV_AUDIO_FORMAT_VORBIS;
        }
    } else if (h[0] == 0x1A && h[1] == 0x45 && h[2] == 0xDF && h[3] == 0xA3 && at(h, 24, "webm")) {
        *format = ZV_AUDIO_FORMAT_WEBM;
    }
    return ZV_STATUS_SUCCESS;
}

zv_status_t zv_audio_file_init(const char *path, zv_audio_file_t **file) {
    if (file == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *file = nullptr;
    zv_audio_file_t *a = static_cast<zv_audio_file_t *>(calloc(1, sizeof(zv_audio_file_t)));
    if (a == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_status_t status = zv_audio_file_get_format(path, &a->format);
    if (status != ZV_STATUS_SUCCESS) {
        free(a);
        return status;
    }
    const uint32_t format = static_cast<uint32_t>(a->format);
    if (format == ZV_AUDIO_FORMAT_UNKNOWN || format > ZV_AUDIO_FORMAT_WEBM) {
        free(a);
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const FormatReader &r = kReaders[format];
    a->delete_state = r.delete_state;
    a->num_samples = r.num_samples;
    a->num_channels = r.num_channels;
    a->sample_rate = r.sample_rate;
    a->read = r.read;
    status = r.init(path, &a->state);
    if (status != ZV_STATUS_SUCCESS) {
        if (a->state != nullptr) {
            a->delete_state(a->state);
        }
        free(a);
        return status;
    }
    const int32_t rate = a->sample_rate(a->state);
    if (rate == zv_sample_rate()) {
        *file = a;
        return ZV_STATUS_SUCCESS;
    }
    // A rate below 16000 Hz is refused here with INVALID_ARGUMENT.
    status = zv_downsampler_init(rate, zv_sample_rate(), kOrder, &a->downsampler);
    if (status != ZV_STATUS_SUCCESS) {
        a->delete_state(a->state);
        free(a);
        return status;
    }
    a->buffer = static_cast<int16_t *>(malloc(ZV_AUDIO_FILE_BUFFER * sizeof(int16_t)));
    if (a->buffer == nullptr) {
        zv_audio_file_delete(a);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    *file = a;
    return ZV_STATUS_SUCCESS;
}

void zv_audio_file_delete(zv_audio_file_t *file) {
    if (file == nullptr) {
        return;
    }
    if (file->state != nullptr) {
        file->delete_state(file->state);
    }
    zv_downsampler_delete(file->downsampler);
    free(file->buffer);
    free(file);
}

int32_t zv_audio_file_num_samples(zv_audio_file_t *file) {
    const int32_t count = file->num_samples(file->state);
    if (file->downsampler == nullptr) {
        return count;
    }
    // The estimate, but never more than reads can deliver: past 2^24 source
    // samples the single-precision estimate can exceed it, and reading that
    // many would run past the end of the source.
    const int32_t estimate = zv_downsampler_convert_num_samples_to_output_sample_rate(file->downsampler, count) - 1;
    const int32_t deliverable = zv_downsampler_num_outputs(file->downsampler, count);
    return estimate < deliverable ? estimate : deliverable;
}

int32_t zv_audio_file_num_channels(zv_audio_file_t *file) { return file->num_channels(file->state); }

int32_t zv_audio_file_sample_rate(zv_audio_file_t *file) { return file->sample_rate(file->state); }

zv_status_t zv_audio_file_read(zv_audio_file_t *file, int32_t num_samples, int16_t *pcm) {
    if (file->sample_rate(file->state) == zv_sample_rate() || file->downsampler == nullptr) {
        return file->read(file->state, num_samples, pcm);
    }
    int32_t n = num_samples;
    while (n > 0) {
        // k source samples never yield more than the n still wanted.
        int32_t k = zv_downsampler_convert_num_samples_to_input_sample_rate(file->downsampler, n);
        if (k < 1) {
            k = 1;
        } else if (k > ZV_AUDIO_FILE_BUFFER) {
            k = ZV_AUDIO_FILE_BUFFER;
        }
        const zv_status_t status = file->read(file->state, k, file->buffer);
        if (status != ZV_STATUS_SUCCESS) {
            return status;
        }
        const int32_t m = zv_downsampler_process(file->downsampler, file->buffer, k, pcm);
        pcm += m;
        n -= m;
    }
    return ZV_STATUS_SUCCESS;
}

}  // extern "C"
