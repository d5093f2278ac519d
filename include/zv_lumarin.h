/*
 * libzv_lumarin: phrase search in recorded speech.
 *
 * A host creates an engine from a model file, indexes 16 kHz mono 16-bit PCM
 * (or an audio file) into a matrix of phoneme posteriors, and later searches
 * that index for typed phrases. Blocks handed out (index, matches) are plain
 * heap blocks: release them with free().
 */
#ifndef ZV_LUMARIN_H
#define ZV_LUMARIN_H

#include <stdint.h>

/* Windows: a program that links the static library defines ZV_STATIC (the
 * CMake target zv_lumarin_static sets it for its users), so that its calls
 * bind directly instead of through the DLL's import table. */
#if defined(_WIN32)
#if defined(ZV_STATIC)
#define ZV_API
#elif defined(ZV_BUILDING_LIBRARY)
#define ZV_API __declspec(dllexport)
#else
#define ZV_API __declspec(dllimport)
#endif
#else
#define ZV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status of every fallible operation. */
typedef enum {
    ZV_STATUS_SUCCESS = 0,
    ZV_STATUS_OUT_OF_MEMORY = 1,
    ZV_STATUS_IO_ERROR = 2,
    ZV_STATUS_INVALID_ARGUMENT = 3,
    ZV_STATUS_STOP_ITERATION = 4,
    ZV_STATUS_KEY_ERROR = 5,
    ZV_STATUS_INVALID_STATE = 6,
    ZV_STATUS_RUNTIME_ERROR = 7
} zv_status_enum_t;

typedef int32_t zv_status_t;

/* Name of a status ("SUCCESS", ...); NULL for a value outside the table. */
ZV_API const char *zv_status_to_string(zv_status_t status);

/* The library's sample rate: 16000. */
ZV_API int32_t zv_sample_rate(void);

/* The log switch (on from load). */
ZV_API void zv_log_enable(void);
ZV_API void zv_log_disable(void);

/* ---- Engine ---- */

typedef struct zv_lumarin zv_lumarin_t;

/* One match: times in seconds from the start of the indexed audio, probability 0..1. */
typedef struct {
    float start_sec;
    float end_sec;
    float probability;
} zv_lumarin_match_t;

ZV_API zv_status_t zv_lumarin_init(const char *model_path, zv_lumarin_t **engine);
ZV_API void zv_lumarin_delete(zv_lumarin_t *engine);
ZV_API const char *zv_lumarin_version(void);

/* Index 16 kHz mono int16 PCM; *index is a new heap block of *index_size bytes. */
ZV_API zv_status_t zv_lumarin_index(zv_lumarin_t *engine, const int16_t *pcm, int32_t num_samples,
                                    int32_t **index, int32_t *index_size);

/* Index an audio file (WAV, FLAC, MP3, Ogg Opus, Ogg Vorbis, WebM). */
ZV_API zv_status_t zv_lumarin_index_file(zv_lumarin_t *engine, const char *path, int32_t **index,
                                         int32_t *index_size);

/* Find a phrase in an index; *matches is a new heap block (NULL when there is no match). */
ZV_API zv_status_t zv_lumarin_search(zv_lumarin_t *engine, const int32_t *index, int32_t index_size,
                                     const char *phrase, zv_lumarin_match_t **matches,
                                     int32_t *num_matches);

/* ---- Downsampler ---- */

typedef struct zv_downsampler zv_downsampler_t;

ZV_API zv_status_t zv_downsampler_init(int32_t input_sample_rate, int32_t output_sample_rate,
                                       int32_t order, zv_downsampler_t **downsampler);
/* Returns the number of output samples written; the caller sizes `output`. */
ZV_API int32_t zv_downsampler_process(zv_downsampler_t *downsampler, const int16_t *input,
                                      int32_t num_samples, int16_t *output);
ZV_API void zv_downsampler_reset(zv_downsampler_t *downsampler);
ZV_API void zv_downsampler_delete(zv_downsampler_t *downsampler);
ZV_API const char *zv_downsampler_version(void);
ZV_API int32_t zv_downsampler_convert_num_samples_to_input_sample_rate(zv_downsampler_t *downsampler,
                                                                       int32_t num_samples);
ZV_API int32_t zv_downsampler_convert_num_samples_to_output_sample_rate(zv_downsampler_t *downsampler,
                                                                        int32_t num_samples);

#ifdef __cplusplus
}
#endif

#endif /* ZV_LUMARIN_H */
