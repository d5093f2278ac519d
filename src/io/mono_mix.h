// The read loop that the WAV, FLAC and MP3 readers share: mono sources are
// decoded straight into the caller's buffer, stereo ones through a scratch of
// 1024 interleaved frames and averaged. Also their count of a stream's frames
// by decoding it.
#ifndef ZV_IO_MONO_MIX_H
#define ZV_IO_MONO_MIX_H

#include <stdint.h>
#include <stdlib.h>

#include "zv_lumarin.h"

namespace zv_io {

// Frames of interleaved stereo that the scratch holds.
constexpr int32_t kStereoChunkFrames = 1024;
// Frames decoded per call when a stream is counted.
constexpr int32_t kCountChunkFrames = 4096;

// `read_frames(count, buffer)` decodes up to count interleaved frames into
// buffer and gives the number decoded (fewer at the end of data or on an
// error), or -1 when the decoder ran out of memory. A read that can't deliver
// every sample fails with IO_ERROR, or OUT_OF_MEMORY; the chunks averaged
// before the failing one stay in pcm.
template <typename ReadFrames>
zv_status_t read_mono(int32_t channels, int16_t *scratch, int32_t num_samples, int16_t *pcm,
                      ReadFrames &&read_frames) {
    if (num_samples <= 0) {
        return ZV_STATUS_SUCCESS;
    }
    if (pcm == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (channels == 1) {
        const int64_t frames = read_frames(num_samples, pcm);
        if (frames < 0) {
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        return frames == num_samples ? ZV_STATUS_SUCCESS : ZV_STATUS_IO_ERROR;
    }
    int32_t n = num_samples;
    while (n > 0) {
        const int32_t k = n < kStereoChunkFrames ? n : kStereoChunkFrames;
        const int64_t frames = read_frames(k, scratch);
        if (frames < 0) {
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        if (frames != k) {
            return ZV_STATUS_IO_ERROR;
        }
        for (int32_t i = 0; i < k; ++i) {
            pcm[i] = static_cast<int16_t>((static_cast<int32_t>(scratch[2 * i]) + scratch[2 * i + 1]) / 2);
        }
        pcm += k;
        n -= k;
    }
    return ZV_STATUS_SUCCESS;
}

// Decodes the rest of the stream through `read_frames` (as above) into a
// buffer of its own and gives the frames it delivered in *frames. A decoding
// error ends the count like the end of the data, while a decoder out of
// memory fails it (OUT_OF_MEMORY) rather than cut it short; the count stops
// once it passes INT32_MAX, more frames than a reader can hold.
template <typename ReadFrames>
zv_status_t count_frames(ReadFrames &&read_frames, int64_t *frames) {
    int16_t *buffer = static_cast<int16_t *>(malloc(sizeof(int16_t) * 2 * kCountChunkFrames));
    if (buffer == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    int64_t total = 0;
    for (;;) {
        const int64_t got = read_frames(kCountChunkFrames, buffer);
        if (got < 0) {
            free(buffer);
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        total += got;
        if (got < kCountChunkFrames || total > INT32_MAX) break;
    }
    free(buffer);
    *frames = total;
    return ZV_STATUS_SUCCESS;
}

}  // namespace zv_io

#endif
