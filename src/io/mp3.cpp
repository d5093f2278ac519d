#include "io/mp3.h"

#include <mpg123.h>
#include <stdio.h>
#include <stdlib.h>

#include "foundation/status.h"
#include "io/mono_mix.h"

struct zv_mp3 {
    mpg123_handle *handle;
    int16_t *scratch;  // stereo only: 1024 interleaved frames
    int64_t frames;    // counted at init
    int32_t channels;
    int32_t sample_rate;
};

namespace {

// Opens the stream with 16-bit signed output at the file's own rate and
// channel count, and nothing printed to the standard streams.
mpg123_handle *new_handle() {
#if MPG123_API_VERSION < 46
    mpg123_init();
#endif
    int error = MPG123_OK;
    // Quiet from the start: creating a handle can print (a failed allocation
    // of its frame index) before any parameter of the handle could be set.
    mpg123_pars *pars = mpg123_new_pars(&error);
    if (pars == nullptr) {
        return nullptr;
    }
    mpg123_handle *h = nullptr;
    if (mpg123_par(pars, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0) == MPG123_OK) {
        h = mpg123_parnew(pars, nullptr, &error);
    }
    mpg123_delete_pars(pars);
    if (h == nullptr) {
        return nullptr;
    }
    if (mpg123_format_none(h) != MPG123_OK) {
        mpg123_delete(h);
        return nullptr;
    }
    const long *rates = nullptr;
    size_t num_rates = 0;
    mpg123_rates(&rates, &num_rates);
    for (size_t i = 0; i < num_rates; ++i) {
        if (mpg123_format(h, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16) != MPG123_OK) {
            mpg123_delete(h);
            return nullptr;
        }
    }
    return h;
}

// True when the handle's last call failed for want of memory (the frame
// buffers are libmpg123's one failure of its own for it).
bool out_of_memory(mpg123_handle *h, int result) {
    const int code = result == MPG123_ERR ? mpg123_errcode(h) : result;
    return code == MPG123_OUT_OF_MEM || code == MPG123_NO_BUFFERS;
}

// Up to `frames` interleaved frames into out; gives the number decoded, or
// -1 when the decoder ran out of memory. A change of rate or channel count
// mid-stream ends the data.
int64_t read_frames(zv_mp3 *m, int32_t frames, int16_t *out) {
    const size_t frame_bytes = sizeof(int16_t) * static_cast<size_t>(m->channels);
    const size_t want = frame_bytes * static_cast<size_t>(frames);
    unsigned char *dst = reinterpret_cast<unsigned char *>(out);
    size_t got = 0;
    while (got < want) {
        size_t done = 0;
        const int ret = mpg123_read(m->handle, dst + got, want - got, &done);
        got += done;
        if (ret == MPG123_NEW_FORMAT) {
            long rate = 0;
            int channels = 0, encoding = 0;
            if (mpg123_getformat(m->handle, &rate, &channels, &encoding) != MPG123_OK || rate != m->sample_rate ||
                channels != m->channels || encoding != MPG123_ENC_SIGNED_16) {
                break;
            }
            continue;
        }
        if (out_of_memory(m->handle, ret)) {
            return -1;
        }
        if (ret != MPG123_OK || done == 0) {
            break;
        }
    }
    return static_cast<int64_t>(got / frame_bytes);
}

// Opens the file and reads the format of its first frame: IO_ERROR when
// either fails, OUT_OF_MEMORY when that was for want of memory.
zv_status_t open_stream(zv_mp3 *m, const char *path, long *rate, int *channels, int *encoding) {
    int result = mpg123_open(m->handle, path);
    if (result == MPG123_OK) {
        result = mpg123_getformat(m->handle, rate, channels, encoding);
    }
    if (result != MPG123_OK) {
        return out_of_memory(m->handle, result) ? ZV_STATUS_OUT_OF_MEMORY : ZV_STATUS_IO_ERROR;
    }
    return ZV_STATUS_SUCCESS;
}

// Decodes the whole stream to count its frames, then opens it afresh: a seek
// back to the start leaves decoder state behind that changes some samples by
// one unit, while a new open decodes exactly as the counting pass did.
zv_status_t count_frames(zv_mp3 *m, const char *path) {
    int64_t total = 0;
    ZV_TRY(zv_io::count_frames([m](int32_t frames, int16_t *out) { return read_frames(m, frames, out); }, &total));
    mpg123_close(m->handle);
    long rate = 0;
    int channels = 0, encoding = 0;
    ZV_TRY(open_stream(m, path, &rate, &channels, &encoding));
    if (rate != m->sample_rate || channels != m->channels || encoding != MPG123_ENC_SIGNED_16) {
        return ZV_STATUS_IO_ERROR;
    }
    m->frames = total;
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" zv_status_t zv_mp3_init(const char *path, zv_mp3_t **out) {
    if (out == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *out = nullptr;
    zv_mp3 *m = static_cast<zv_mp3 *>(calloc(1, sizeof(zv_mp3)));
    if (m == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    m->handle = new_handle();
    if (m->handle == nullptr) {
        free(m);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    long rate = 0;
    int channels = 0, encoding = 0;
    // A NULL path, a failed open, or no decodable first frame.
    const zv_status_t opened = path == nullptr ? ZV_STATUS_IO_ERROR : open_stream(m, path, &rate, &channels, &encoding);
    if (opened != ZV_STATUS_SUCCESS) {
        zv_mp3_delete(m);
        return opened;
    }
    if ((channels != 1 && channels != 2) || encoding != MPG123_ENC_SIGNED_16 || rate <= 0 || rate > INT32_MAX) {
        zv_mp3_delete(m);
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    m->channels = channels;
    m->sample_rate = static_cast<int32_t>(rate);
    if (channels == 2) {
        m->scratch = static_cast<int16_t *>(calloc(2 * zv_io::kStereoChunkFrames, sizeof(int16_t)));
        if (m->scratch == nullptr) {
            zv_mp3_delete(m);
            return ZV_STATUS_OUT_OF_MEMORY;
        }
    }
    const zv_status_t status = count_frames(m, path);
    if (status != ZV_STATUS_SUCCESS) {
        zv_mp3_delete(m);
        return status;
    }
    if (m->frames == 0 || m->frames > INT32_MAX) {
        zv_mp3_delete(m);
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *out = m;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_mp3_delete(zv_mp3_t *m) {
    if (m == nullptr) {
        return;
    }
    free(m->scratch);
    if (m->handle != nullptr) {
        mpg123_close(m->handle);
        mpg123_delete(m->handle);
    }
    free(m);
}

extern "C" int32_t zv_mp3_num_samples(zv_mp3_t *m) { return m ? static_cast<int32_t>(m->frames) : 0; }
extern "C" int32_t zv_mp3_num_channels(zv_mp3_t *m) { return m ? m->channels : 0; }
extern "C" int32_t zv_mp3_sample_rate(zv_mp3_t *m) { return m ? m->sample_rate : 0; }

extern "C" zv_status_t zv_mp3_read(zv_mp3_t *m, int32_t num_samples, int16_t *pcm) {
    if (m == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    return zv_io::read_mono(m->channels, m->scratch, num_samples, pcm,
                            [m](int32_t frames, int16_t *buffer) { return read_frames(m, frames, buffer); });
}
