// Phrase search: the phrase's phoneme ids (lexicon and dictionary first, the
// grapheme-to-phoneme engine for other words), kept in the engine's phrase
// cache, scored over the index rows and merged into matches.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "engine/engine.h"
#include "engine/scorer.h"
#include "foundation/language.h"
#include "foundation/strings.h"

namespace {

// A growing array of phoneme ids.
struct Ids {
    int32_t *data = NULL;
    int32_t count = 0;
    int32_t capacity = 0;

    ~Ids() { free(data); }
    zv_status_t append(int32_t id) {
        if (count == capacity) {
            if (capacity > INT32_MAX / 2) {
                return ZV_STATUS_OUT_OF_MEMORY;
            }
            const int32_t grown = capacity == 0 ? 16 : capacity * 2;
            int32_t *bigger = static_cast<int32_t *>(realloc(data, static_cast<size_t>(grown) * sizeof(int32_t)));
            if (bigger == NULL) {
                return ZV_STATUS_OUT_OF_MEMORY;
            }
            data = bigger;
            capacity = grown;
        }
        data[count++] = id;
        return ZV_STATUS_SUCCESS;
    }
};

void release_pronunciations(int32_t num_prons, int32_t *num_phones, const char ***prons, float *probs) {
    for (int32_t i = 0; i < num_prons; ++i) {
        free(prons[i]);
    }
    free(prons);
    free(num_phones);
    free(probs);
}

// Appends the best grapheme-to-phoneme pronunciation of an upper-cased word
// as ids of the model's language.
zv_status_t pronounce(const zv_lumarin_t *engine, const char *word, Ids *ids) {
    int32_t num_prons = 0;
    int32_t *num_phones = NULL;
    const char ***prons = NULL;
    float *probs = NULL;
    ZV_TRY(zv_marbo_pronounce(engine->marbo, word, &num_prons, &num_phones, &prons, &probs));
    // No candidate leaves nothing to take: such a word can't be searched.
    zv_status_t status = num_prons > 0 ? ZV_STATUS_SUCCESS : ZV_STATUS_INVALID_ARGUMENT;
    const zv_language_t language = zv_offline_token_classifier_language(engine->classifier);
    for (int32_t j = 0; status == ZV_STATUS_SUCCESS && j < num_phones[0]; ++j) {
        int32_t id = -1;
        status = zv_language_phoneme_from_string(language, prons[0][j], &id);
        if (status == ZV_STATUS_SUCCESS) {
            status = ids->append(id);
        }
    }
    release_pronunciations(num_prons, num_phones, prons, probs);
    return status;
}

zv_status_t append_word(const zv_lumarin_t *engine, const char *word, Ids *ids) {
    const int32_t index = zv_lexicon_encode(engine->lexicon, word);
    if (index < 0) {
        return pronounce(engine, word, ids);
    }
    // A lexicon word without any pronunciation leaves nothing to take.
    if (zv_dict_num_pronunciations(engine->dictionary, index) < 1) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    int32_t length = 0;
    const int32_t *pron = NULL;
    zv_dict_pronunciation(engine->dictionary, index, 0, &length, &pron);
    for (int32_t j = 0; j < length; ++j) {
        ZV_TRY(ids->append(pron[j]));
    }
    return ZV_STATUS_SUCCESS;
}

// Splits at spaces only, upper-cases each word (a-z alone, whatever the
// host's locale) and concatenates the words' ids. Fails before touching the
// cache.
zv_status_t build_pronunciation(const zv_lumarin_t *engine, const char *phrase, Ids *ids) {
    const size_t length = strlen(phrase);
    char *word = static_cast<char *>(malloc(length + 1));
    if (word == NULL) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_status_t status = ZV_STATUS_SUCCESS;
    int32_t num_words = 0;
    size_t i = 0;
    while (status == ZV_STATUS_SUCCESS && i < length) {
        if (phrase[i] == ' ') {
            ++i;
            continue;
        }
        size_t n = 0;
        while (i < length && phrase[i] != ' ') {
            word[n++] = static_cast<char>(zv_ascii_toupper(static_cast<unsigned char>(phrase[i++])));
        }
        word[n] = '\0';
        ++num_words;
        status = append_word(engine, word, ids);
    }
    free(word);
    ZV_TRY(status);
    // Spaces only, or words whose pronunciations are all empty: nothing to score.
    if (num_words == 0 || ids->count == 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    return ZV_STATUS_SUCCESS;
}

zv_status_t update_cache(zv_lumarin_t *engine, const char *phrase) {
    if (engine->cached_phrase != NULL && strcmp(engine->cached_phrase, phrase) == 0) {
        return ZV_STATUS_SUCCESS;
    }
    Ids ids;
    ZV_TRY(build_pronunciation(engine, phrase, &ids));
    free(engine->cached_phrase);
    free(engine->cached_phonemes);
    engine->cached_phrase = NULL;
    engine->cached_phonemes = ids.data;
    engine->cached_num_phonemes = ids.count;
    ids.data = NULL;
    const size_t length = strlen(phrase);
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy == NULL) {
        return ZV_STATUS_OUT_OF_MEMORY;  // no text: the next search builds it again
    }
    memcpy(copy, phrase, length + 1);
    engine->cached_phrase = copy;
    return ZV_STATUS_SUCCESS;
}

zv_status_t collect_matches(zv_lumarin_decoder_t *decoder, const int32_t *index, int32_t rows, int32_t width,
                            int32_t num_phonemes, zv_lumarin_match_t **matches, int32_t *num_matches) {
    const float rate = static_cast<float>(zv_sample_rate());
    const int64_t max_duration = 5 * static_cast<int64_t>(num_phonemes);  // five rows per phoneme
    const double reject_below = pow(10.0, -static_cast<double>(num_phonemes)) * 0.99;
    zv_lumarin_match_t *found = NULL;
    int32_t count = 0;
    constexpr int32_t kRows = 64;  // rows advanced per call
    double finals[kRows];
    int32_t durations[kRows];
    for (int32_t i = 0; i < rows; ++i) {
        if (i % kRows == 0) {
            zv_lumarin_decoder_advance_rows(decoder, index + static_cast<size_t>(i) * width,
                                            rows - i < kRows ? rows - i : kRows, width, finals, durations);
        }
        const double final_probability = finals[i % kRows];
        const int32_t duration = durations[i % kRows];
        // The score matters only within the duration limit, and a final
        // probability below 0.99 x 10^-n has a score well below -1: both
        // rows are no hit, and the logarithm is spared.
        if (duration > max_duration || final_probability < reject_below) {
            continue;
        }
        const float score = zv_lumarin_decoder_score(decoder, final_probability);
        if (!(score > -1.0f)) {  // a NaN score is never a hit
            continue;
        }
        const float end = ((static_cast<float>(i) + 8.0f) * 512.0f) / rate;
        const float start = end - (static_cast<float>(duration + 8) * 512.0f) / rate;
        const float probability = (1.0f + fminf(score, -0.25f)) / 0.75f;
        if (count > 0 && start < found[count - 1].end_sec) {
            if (probability >= found[count - 1].probability) {
                found[count - 1] = zv_lumarin_match_t{start, end, probability};
            }
            continue;
        }
        zv_lumarin_match_t *grown = static_cast<zv_lumarin_match_t *>(
            realloc(found, (static_cast<size_t>(count) + 1) * sizeof(zv_lumarin_match_t)));
        if (grown == NULL) {
            free(found);
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        found = grown;
        found[count++] = zv_lumarin_match_t{start, end, probability};
    }
    *matches = found;
    *num_matches = count;
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" ZV_API zv_status_t zv_lumarin_search(zv_lumarin_t *engine, const int32_t *index, int32_t index_size,
                                                const char *phrase, zv_lumarin_match_t **matches,
                                                int32_t *num_matches) {
    if (index == NULL || index_size <= 0 || engine == NULL) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int32_t width = zv_lumarin_num_phonemes(engine) + 1;
    const int32_t words = index_size >> 2;  // trailing bytes short of an int32 are ignored
    if (words % width != 0 || phrase == NULL || matches == NULL || num_matches == NULL || phrase[0] == '\0') {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int32_t rows = words / width;
    ZV_TRY(update_cache(engine, phrase));

    *matches = NULL;
    *num_matches = 0;
    zv_lumarin_decoder_t *decoder = NULL;
    ZV_TRY(zv_lumarin_decoder_init(engine->cached_phonemes, engine->cached_num_phonemes, &decoder));
    const zv_status_t status =
        collect_matches(decoder, index, rows, width, engine->cached_num_phonemes, matches, num_matches);
    zv_lumarin_decoder_delete(decoder);
    return status;
}
