// No codec library is built for Windows here, so the DLL of the check is made
// of the sources that need none, and the format readers those sources call
// are stood in for by these: every open fails with INVALID_STATE, as when a
// decoding library refuses, and nothing else is reached. Only the check links
// them; the library's own readers are compiled for Windows all the same.
#include <stddef.h>

#include "io/mp3.h"
#include "io/opus_reader.h"
#include "io/sndfile_source.h"
#include "io/vorbis_reader.h"
#include "io/webm_reader.h"

// The five functions after init are never called on a reader that didn't
// open, and init never succeeds.
#define ZV_STAND_IN_READER(T, prefix)                                                        \
    extern "C" zv_status_t prefix##_init(const char *, T **out) {                            \
        if (out != NULL) *out = NULL;                                                        \
        return ZV_STATUS_INVALID_STATE;                                                      \
    }                                                                                        \
    extern "C" void prefix##_delete(T *) {}                                                  \
    extern "C" int32_t prefix##_num_samples(T *) { return 0; }                               \
    extern "C" int32_t prefix##_num_channels(T *) { return 0; }                              \
    extern "C" int32_t prefix##_sample_rate(T *) { return 0; }                               \
    extern "C" zv_status_t prefix##_read(T *, int32_t, int16_t *) { return ZV_STATUS_IO_ERROR; }

ZV_STAND_IN_READER(zv_mp3_t, zv_mp3)
ZV_STAND_IN_READER(zv_opus_t, zv_opus)
ZV_STAND_IN_READER(zv_vorbis_t, zv_vorbis)
ZV_STAND_IN_READER(zv_webm_t, zv_webm)

// WAV and FLAC go through one libsndfile source.
extern "C" zv_status_t zv_sndfile_source_init(const char *, zv_sndfile_container_t, zv_sndfile_source_t **out) {
    if (out != NULL) *out = NULL;
    return ZV_STATUS_INVALID_STATE;
}
extern "C" void zv_sndfile_source_delete(zv_sndfile_source_t *) {}
extern "C" int64_t zv_sndfile_source_num_frames(const zv_sndfile_source_t *) { return 0; }
extern "C" int32_t zv_sndfile_source_num_channels(const zv_sndfile_source_t *) { return 0; }
extern "C" int32_t zv_sndfile_source_sample_rate(const zv_sndfile_source_t *) { return 0; }
extern "C" zv_status_t zv_sndfile_source_read(zv_sndfile_source_t *, int32_t, int16_t *) {
    return ZV_STATUS_IO_ERROR;
}
