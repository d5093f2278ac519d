#include "engine/engine.h"

#include <stdio.h>
#include <stdlib.h>

#include "foundation/file.h"
#include "foundation/language.h"

namespace {

constexpr int32_t kFrameLength = 256;
constexpr int32_t kFeatureWidth = 80;  // two frames of 40 log-mel values

// Refuses a model whose parts can't work together: indexing sizes its rows
// by the language's phoneme count, the classifier reads 80 features per row,
// and the search feeds dictionary ids to the scorer as row columns.
zv_status_t check_model(const zv_lumarin_t *engine) {
    const int32_t num_phonemes = zv_lumarin_num_phonemes(engine);
    if (num_phonemes < 1) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (zv_offline_token_classifier_param_output_width(engine->classifier_param) != num_phonemes + 1 ||
        zv_offline_token_classifier_param_input_width(engine->classifier_param) != kFeatureWidth) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (zv_dict_phoneme_set_size(engine->dictionary) > num_phonemes) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int32_t num_words = zv_lexicon_size(engine->lexicon);
    for (int32_t word = 0; word < num_words; ++word) {
        const int32_t num_prons = zv_dict_num_pronunciations(engine->dictionary, word);
        for (int32_t k = 0; k < num_prons; ++k) {
            int32_t length = 0;
            const int32_t *ids = NULL;
            zv_dict_pronunciation(engine->dictionary, word, k, &length, &ids);
            for (int32_t j = 0; j < length; ++j) {
                if (ids[j] < 1 || ids[j] > num_phonemes) {
                    return ZV_STATUS_INVALID_ARGUMENT;
                }
            }
        }
    }
    return ZV_STATUS_SUCCESS;
}

// Reads everything after the two parameter blocks and decodes the lexicon
// and dictionary blobs from it, never past its end.
zv_status_t load_blobs(FILE *file, zv_lumarin_t *engine) {
    const int64_t start = zv_file_tell(file);
    if (start < 0 || zv_file_seek(file, 0, SEEK_END) != 0) {
        return ZV_STATUS_IO_ERROR;
    }
    const int64_t end = zv_file_tell(file);
    if (end < start) {
        return ZV_STATUS_IO_ERROR;
    }
    if (end == start) {
        return ZV_STATUS_INVALID_ARGUMENT;  // no lexicon at all
    }
    const uint64_t size = static_cast<uint64_t>(end - start);
    if (size > SIZE_MAX) {
        return ZV_STATUS_IO_ERROR;
    }
    void *buffer = malloc(static_cast<size_t>(size));
    if (buffer == NULL) {
        return ZV_STATUS_IO_ERROR;  // this one allocation failure reads as an I/O failure
    }
    if (zv_file_seek(file, start, SEEK_SET) != 0 || fread(buffer, 1, static_cast<size_t>(size), file) != size) {
        free(buffer);
        return ZV_STATUS_IO_ERROR;
    }
    const uint8_t *cursor = static_cast<const uint8_t *>(buffer);
    const uint8_t *buffer_end = cursor + size;
    zv_status_t status = zv_lexicon_deserialize_bounded(reinterpret_cast<const void **>(&cursor),
                                                        static_cast<uint64_t>(buffer_end - cursor),
                                                        &engine->lexicon);
    if (status == ZV_STATUS_SUCCESS) {
        status = zv_dict_deserialize_bounded(engine->lexicon, reinterpret_cast<const void **>(&cursor),
                                             static_cast<uint64_t>(buffer_end - cursor), &engine->dictionary);
    }
    free(buffer);
    return status;
}

zv_status_t build(const char *model_path, zv_lumarin_t *engine) {
    zv_memory_init(&engine->memory);
    ZV_TRY(zv_filterbank_init(engine->memory, kFrameLength, &engine->filterbank));
    FILE *file = zv_fopen(model_path, "rb");
    if (file == NULL) {
        return zv_fopen_failure();
    }
    int32_t ignored = 0;
    zv_status_t status = zv_offline_token_classifier_param_load2(file, "lumarin", "1.1.0", &ignored,
                                                                 &engine->classifier_param);
    if (status == ZV_STATUS_SUCCESS) {
        status = zv_offline_token_classifier_init(engine->memory, engine->classifier_param, &engine->classifier);
    }
    if (status == ZV_STATUS_SUCCESS) {
        status = zv_marbo_init2(file, &engine->marbo);
    }
    if (status == ZV_STATUS_SUCCESS) {
        status = load_blobs(file, engine);
    }
    fclose(file);
    ZV_TRY(status);
    return check_model(engine);
}

}  // namespace

extern "C" int32_t zv_lumarin_num_phonemes(const zv_lumarin_t *engine) {
    return zv_language_num_phonemes(zv_offline_token_classifier_language(engine->classifier));
}

extern "C" ZV_API zv_status_t zv_lumarin_init(const char *model_path, zv_lumarin_t **engine) {
    if (engine == NULL || model_path == NULL) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *engine = NULL;
    zv_lumarin_t *record = static_cast<zv_lumarin_t *>(calloc(1, sizeof(zv_lumarin_t)));
    if (record == NULL) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_status_t status = build(model_path, record);
    if (status != ZV_STATUS_SUCCESS) {
        zv_lumarin_delete(record);
        return status;
    }
    *engine = record;
    return ZV_STATUS_SUCCESS;
}

extern "C" ZV_API void zv_lumarin_delete(zv_lumarin_t *engine) {
    if (engine == NULL) {
        return;
    }
    zv_filterbank_delete(engine->filterbank);
    zv_offline_token_classifier_delete(engine->classifier);
    zv_offline_token_classifier_param_delete(engine->classifier_param);
    zv_marbo_delete(engine->marbo);
    zv_lexicon_delete(engine->lexicon);
    zv_dict_delete(engine->dictionary);
    free(engine->cached_phrase);
    free(engine->cached_phonemes);
    free(engine);
}

extern "C" ZV_API const char *zv_lumarin_version(void) { return "1.1.0"; }
