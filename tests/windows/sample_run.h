/* The engine's road over the sample recording, run alike by the Linux build
 * (which writes the expected files) and under wine by the Windows DLL: index
 * the PCM, search a few phrases and write the index and the matches as raw
 * bytes, so that the two builds can be compared byte for byte. */
#ifndef ZV_TESTS_WINDOWS_SAMPLE_RUN_H
#define ZV_TESTS_WINDOWS_SAMPLE_RUN_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "zv_lumarin.h"

/* A phrase of lexicon words, and one with a word the grapheme-to-phoneme
 * engine pronounces (its beam search runs in floating point). */
static const char *const zv_sample_phrases[] = {"hello world", "this sample phrasing"};

/* Writes `bytes` bytes; 0 on failure. */
static int zv_sample_write(FILE *file, const void *data, size_t bytes) {
    return bytes == 0 || fwrite(data, 1, bytes, file) == bytes;
}

/* pcm_path: raw 16 kHz mono int16 samples. index_path gets the index;
 * matches_path, for each phrase, its match count (int32) and its matches.
 * Returns 0 on success, else prints the step that failed to stderr. */
static int zv_sample_run(const char *model_path, const char *pcm_path, const char *index_path,
                         const char *matches_path) {
    int result = 1;
    zv_lumarin_t *engine = NULL;
    int16_t *pcm = NULL;
    int32_t *index = NULL;
    int32_t index_size = 0;
    long num_samples = 0;
    FILE *out = NULL;
    size_t p;
    FILE *in = fopen(pcm_path, "rb");
    zv_status_t status;

    if (in == NULL || fseek(in, 0, SEEK_END) != 0 || (num_samples = ftell(in) / 2) <= 0 ||
        fseek(in, 0, SEEK_SET) != 0 || (pcm = (int16_t *)malloc((size_t)num_samples * 2)) == NULL ||
        fread(pcm, 2, (size_t)num_samples, in) != (size_t)num_samples) {
        fprintf(stderr, "cannot read the samples '%s'\n", pcm_path);
        goto done;
    }
    status = zv_lumarin_init(model_path, &engine);
    if (status != ZV_STATUS_SUCCESS) {
        fprintf(stderr, "zv_lumarin_init('%s'): %s\n", model_path, zv_status_to_string(status));
        goto done;
    }
    status = zv_lumarin_index(engine, pcm, (int32_t)num_samples, &index, &index_size);
    if (status != ZV_STATUS_SUCCESS) {
        fprintf(stderr, "zv_lumarin_index: %s\n", zv_status_to_string(status));
        goto done;
    }
    out = fopen(index_path, "wb");
    if (out == NULL || !zv_sample_write(out, index, (size_t)index_size) || fclose(out) != 0) {
        fprintf(stderr, "cannot write '%s'\n", index_path);
        goto done;
    }
    out = fopen(matches_path, "wb");
    if (out == NULL) {
        fprintf(stderr, "cannot write '%s'\n", matches_path);
        goto done;
    }
    for (p = 0; p < sizeof zv_sample_phrases / sizeof zv_sample_phrases[0]; ++p) {
        zv_lumarin_match_t *matches = NULL;
        int32_t num_matches = 0;
        int written;
        status = zv_lumarin_search(engine, index, index_size, zv_sample_phrases[p], &matches, &num_matches);
        if (status != ZV_STATUS_SUCCESS) {
            fprintf(stderr, "zv_lumarin_search('%s'): %s\n", zv_sample_phrases[p], zv_status_to_string(status));
            fclose(out);
            goto done;
        }
        written = zv_sample_write(out, &num_matches, sizeof num_matches) &&
                  zv_sample_write(out, matches, sizeof *matches * (size_t)num_matches);
        free(matches);
        if (!written) {
            fprintf(stderr, "cannot write '%s'\n", matches_path);
            fclose(out);
            goto done;
        }
    }
    if (fclose(out) != 0) {
        fprintf(stderr, "cannot write '%s'\n", matches_path);
        goto done;
    }
    result = 0;
done:
    if (in != NULL) fclose(in);
    free(pcm);
    free(index);
    zv_lumarin_delete(engine);
    return result;
}

#endif
