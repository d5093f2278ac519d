#include "io/sndfile_source.h"

#include <errno.h>
#include <math.h>
#include <sndfile.h>
#include <stdlib.h>

#include "foundation/status.h"
#include "io/mono_mix.h"

namespace {

// Floats decoded per call when the file holds floating-point samples.
constexpr int32_t kFloatChunkValues = 2048;

}  // namespace

struct zv_sndfile_source {
    SNDFILE *file;
    int64_t frames;
    int32_t channels;
    int32_t sample_rate;
    int16_t *scratch;      // stereo only: 1024 interleaved frames
    float *float_scratch;  // floating-point files only
};

namespace {

// Full scale: 1.0 is 32768 before the clamp, so 16-bit data stored as x / 32768
// comes back exactly. NaN gives 0.
inline int16_t float_to_s16(float x) {
    if (!(x == x)) return 0;
    const float v = x * 32768.0f;
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    return static_cast<int16_t>(lrintf(v));
}

bool is_container(int format, zv_sndfile_container_t container) {
    const int type = format & SF_FORMAT_TYPEMASK;
    if (container == ZV_SNDFILE_CONTAINER_WAV) {
        return type == SF_FORMAT_WAV || type == SF_FORMAT_WAVEX;
    }
    return type == SF_FORMAT_FLAC;
}

// libsndfile reports neither a failed allocation of its own nor one of its
// decoders: errno, cleared before the call, tells it.
bool ran_out_of_memory() { return errno == ENOMEM; }

// libsndfile's open, OUT_OF_MEMORY when it failed for want of memory and
// INVALID_ARGUMENT for any other failure.
zv_status_t open_file(const char *path, SF_INFO *info, SNDFILE **file) {
    errno = 0;
    *file = sf_open(path, SFM_READ, info);
    if (*file == nullptr) {
        return ran_out_of_memory() ? ZV_STATUS_OUT_OF_MEMORY : ZV_STATUS_INVALID_ARGUMENT;
    }
    return ZV_STATUS_SUCCESS;
}

int64_t read_frames_of(zv_sndfile_source *s, int32_t frames, int16_t *out) {
    if (s->float_scratch == nullptr) {
        return sf_readf_short(s->file, out, frames);
    }
    // libsndfile would hand floats to a short read unscaled (as -1, 0 or 1),
    // so the conversion to full scale is done here.
    const int32_t per_chunk = kFloatChunkValues / s->channels;
    int64_t total = 0;
    while (total < frames) {
        const int32_t want = static_cast<int32_t>(frames - total < per_chunk ? frames - total : per_chunk);
        const sf_count_t got = sf_readf_float(s->file, s->float_scratch, want);
        if (got <= 0) break;
        const int64_t values = got * s->channels;
        int16_t *dst = out + total * s->channels;
        for (int64_t i = 0; i < values; ++i) dst[i] = float_to_s16(s->float_scratch[i]);
        total += got;
        if (got < want) break;
    }
    return total;
}

// Up to `frames` interleaved 16-bit frames into out; gives the number
// decoded, or -1 when the decoder ran out of memory before the end.
int64_t read_frames(zv_sndfile_source *s, int32_t frames, int16_t *out) {
    errno = 0;
    const int64_t got = read_frames_of(s, frames, out);
    return got < frames && ran_out_of_memory() ? -1 : got;
}

// Decodes the whole stream to count its frames, then opens it afresh at its
// start: the frames a read can deliver are the frames that decode. A decoding
// error ends the count like the end of the data.
zv_status_t count_frames(zv_sndfile_source *s, const char *path, int format) {
    int64_t total = 0;
    ZV_TRY(zv_io::count_frames([s](int32_t frames, int16_t *out) { return read_frames(s, frames, out); }, &total));
    if (total > INT32_MAX) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    sf_close(s->file);
    SF_INFO info = {};
    ZV_TRY(open_file(path, &info, &s->file));
    if (info.format != format || info.channels != s->channels || info.samplerate != s->sample_rate) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    s->frames = total;
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" zv_status_t zv_sndfile_source_init(const char *path, zv_sndfile_container_t container,
                                              zv_sndfile_source_t **source) {
    *source = nullptr;
    zv_sndfile_source *s = static_cast<zv_sndfile_source *>(calloc(1, sizeof(zv_sndfile_source)));
    if (s == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    // libsndfile dereferences a NULL path.
    if (path == nullptr) {
        free(s);
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    SF_INFO info = {};
    const zv_status_t opened = open_file(path, &info, &s->file);
    if (opened != ZV_STATUS_SUCCESS) {
        free(s);
        return opened;
    }
    // libsndfile gives SF_COUNT_MAX for a stream of unknown length.
    const int64_t frames = info.frames == SF_COUNT_MAX ? 0 : info.frames;
    if (!is_container(info.format, container) || (info.channels != 1 && info.channels != 2) || frames < 0 ||
        frames > INT32_MAX || info.samplerate <= 0) {
        zv_sndfile_source_delete(s);
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    s->frames = frames;
    s->channels = info.channels;
    s->sample_rate = info.samplerate;
    if (container == ZV_SNDFILE_CONTAINER_WAV && frames == 0) {
        zv_sndfile_source_delete(s);
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    if (subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE) {
        s->float_scratch = static_cast<float *>(malloc(sizeof(float) * kFloatChunkValues));
        if (s->float_scratch == nullptr) {
            zv_sndfile_source_delete(s);
            return ZV_STATUS_OUT_OF_MEMORY;
        }
    }
    if (s->channels == 2) {
        s->scratch = static_cast<int16_t *>(calloc(2 * zv_io::kStereoChunkFrames, sizeof(int16_t)));
        if (s->scratch == nullptr) {
            zv_sndfile_source_delete(s);
            return ZV_STATUS_OUT_OF_MEMORY;
        }
    }
    // An encoder writing to a pipe can't go back to put the total into a FLAC
    // stream header, which then gives 0: count such a stream by decoding it.
    if (frames == 0) {
        const zv_status_t status = count_frames(s, path, info.format);
        if (status != ZV_STATUS_SUCCESS) {
            zv_sndfile_source_delete(s);
            return status;
        }
    }
    *source = s;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_sndfile_source_delete(zv_sndfile_source_t *s) {
    if (s == nullptr) {
        return;
    }
    free(s->scratch);
    free(s->float_scratch);
    if (s->file != nullptr) {
        sf_close(s->file);
    }
    free(s);
}

extern "C" int64_t zv_sndfile_source_num_frames(const zv_sndfile_source_t *s) { return s ? s->frames : 0; }
extern "C" int32_t zv_sndfile_source_num_channels(const zv_sndfile_source_t *s) { return s ? s->channels : 0; }
extern "C" int32_t zv_sndfile_source_sample_rate(const zv_sndfile_source_t *s) { return s ? s->sample_rate : 0; }

extern "C" zv_status_t zv_sndfile_source_read(zv_sndfile_source_t *s, int32_t num_samples, int16_t *pcm) {
    if (s == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    return zv_io::read_mono(s->channels, s->scratch, num_samples, pcm,
                            [s](int32_t frames, int16_t *out) { return read_frames(s, frames, out); });
}
