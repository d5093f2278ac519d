// The grapheme-to-phoneme engine: letters in, candidate pronunciations out.
#include "pronunciation/marbo.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/language.h"
#include "foundation/status.h"
#include "foundation/strings.h"
#include "nn/fixed_point.h"
#include "nn/offline_token_classifier.h"

struct zv_marbo {
    zv_memory_t memory;
    zv_offline_token_classifier_param_t *parameters;
    zv_offline_token_classifier_t *classifier;
};

namespace {

constexpr const char kName[] = "marbo";
constexpr const char kVersion[] = "1.0.0";
constexpr const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ'";
constexpr int32_t kInputWidth = 28;

// The network must read one-hot letter frames and give a blank plus one class
// per phoneme of its language; anything else would have the engine read or
// name classes that don't exist.
zv_status_t check_shape(const zv_offline_token_classifier_param_t *p) {
    const int32_t phonemes = zv_language_num_phonemes(p->language);
    if (phonemes < 1) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (zv_offline_token_classifier_param_input_width(p) != kInputWidth ||
        p->backward[0]->input->in != kInputWidth ||
        zv_offline_token_classifier_param_output_width(p) != phonemes + 1) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    return ZV_STATUS_SUCCESS;
}

template <typename Load>
zv_status_t create(Load load, zv_marbo_t **marbo) {
    *marbo = nullptr;
    zv_marbo_t *m = static_cast<zv_marbo_t *>(calloc(1, sizeof(zv_marbo_t)));
    if (m == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_memory_init(&m->memory);
    int32_t ignored = 0;
    zv_status_t status = load(&ignored, &m->parameters);
    if (status == ZV_STATUS_SUCCESS) {
        status = check_shape(m->parameters);
    }
    if (status == ZV_STATUS_SUCCESS) {
        status = zv_offline_token_classifier_init(m->memory, m->parameters, &m->classifier);
    }
    if (status != ZV_STATUS_SUCCESS) {
        zv_marbo_delete(m);
        return status;
    }
    *marbo = m;
    return ZV_STATUS_SUCCESS;
}

// One-hot frames: letter i lights column (alphabet position + 1) of frame
// 2i; the odd frames stay zero.
zv_status_t spell(const char *word, size_t length, int16_t *frames) {
    for (size_t i = 0; i < length; ++i) {
        const int32_t c = zv_ascii_toupper(static_cast<unsigned char>(word[i]));
        const char *at = c != 0 ? strchr(kAlphabet, c) : nullptr;
        if (at == nullptr) {
            return ZV_STATUS_INVALID_ARGUMENT;
        }
        frames[2 * i * kInputWidth + static_cast<size_t>(at - kAlphabet) + 1] = 1024;
    }
    return ZV_STATUS_SUCCESS;
}

// Q10 log10 of a Q31 probability.
int16_t score_of(int32_t q) {
    return zv_log10(q > 0 ? static_cast<int64_t>(static_cast<uint64_t>(q) << 32) : 0);
}

// The classifier's T rows of class scores.
zv_status_t classify(zv_marbo_t *marbo, const char *word, size_t length, int32_t classes,
                     int16_t **scores) {
    *scores = nullptr;
    const size_t frames = 2 * length;
    int16_t *input = static_cast<int16_t *>(calloc(frames * kInputWidth, sizeof(int16_t)));
    if (input == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_status_t status = spell(word, length, input);
    if (status != ZV_STATUS_SUCCESS) {
        free(input);
        return status;
    }
    const size_t values = frames * static_cast<size_t>(classes);
    int32_t *output = static_cast<int32_t *>(malloc(values * sizeof(int32_t)));
    if (output == nullptr) {
        free(input);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    status = zv_offline_token_classifier_process(marbo->classifier, input, static_cast<int32_t>(frames),
                                                 output);
    free(input);
    if (status != ZV_STATUS_SUCCESS) {
        free(output);
        return status;
    }
    int16_t *s = static_cast<int16_t *>(malloc(values * sizeof(int16_t)));
    if (s == nullptr) {
        free(output);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    for (size_t i = 0; i < values; ++i) {
        s[i] = score_of(output[i]);
    }
    free(output);
    *scores = s;
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" zv_status_t zv_marbo_init(const char *path, zv_marbo_t **marbo) {
    if (path == nullptr || marbo == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    return create(
        [path](int32_t *extra, zv_offline_token_classifier_param_t **param) {
            return zv_offline_token_classifier_param_load(path, kName, kVersion, extra, param);
        },
        marbo);
}

extern "C" zv_status_t zv_marbo_init2(FILE *file, zv_marbo_t **marbo) {
    if (file == nullptr || marbo == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    return create(
        [file](int32_t *extra, zv_offline_token_classifier_param_t **param) {
            return zv_offline_token_classifier_param_load2(file, kName, kVersion, extra, param);
        },
        marbo);
}

extern "C" void zv_marbo_delete(zv_marbo_t *marbo) {
    if (marbo == nullptr) {
        return;
    }
    zv_offline_token_classifier_delete(marbo->classifier);
    zv_offline_token_classifier_param_delete(marbo->parameters);
    free(marbo);
}

extern "C" const char *zv_marbo_version(void) { return kVersion; }

extern "C" zv_status_t zv_marbo_pronounce(zv_marbo_t *marbo, const char *word, int32_t *num_prons,
                                          int32_t **num_phones, const char ****prons, float **probs) {
    if (marbo == nullptr || word == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (num_prons == nullptr || num_phones == nullptr || prons == nullptr || probs == nullptr ||
        word[0] == '\0') {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    // Two frames per letter, counted in int32 by the classifier.
    const size_t length = strlen(word);
    if (length > static_cast<size_t>(INT32_MAX / 2)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const zv_language_t language = marbo->parameters->language;
    const int32_t classes = zv_language_num_phonemes(language) + 1;

    int16_t *scores = nullptr;
    ZV_TRY(classify(marbo, word, length, classes, &scores));
    zv_marbo_candidate_t candidates[ZV_MARBO_BEAM_WIDTH];
    int32_t n = 0;
    zv_status_t status =
        zv_marbo_search(scores, static_cast<int32_t>(2 * length), classes, candidates, &n);
    free(scores);
    ZV_TRY(status);

    // Blocks of at least one entry, so that an empty result is not mistaken
    // for a failed allocation.
    const size_t slots = n > 0 ? static_cast<size_t>(n) : 1;
    int32_t *lengths = static_cast<int32_t *>(malloc(slots * sizeof(int32_t)));
    const char ***names = static_cast<const char ***>(calloc(slots, sizeof(const char **)));
    float *p = static_cast<float *>(malloc(slots * sizeof(float)));
    status = lengths != nullptr && names != nullptr && p != nullptr ? ZV_STATUS_SUCCESS
                                                                     : ZV_STATUS_OUT_OF_MEMORY;
    for (int32_t i = 0; i < n && status == ZV_STATUS_SUCCESS; ++i) {
        const zv_marbo_candidate_t &c = candidates[i];
        names[i] = static_cast<const char **>(malloc(static_cast<size_t>(c.length) * sizeof(const char *)));
        if (names[i] == nullptr) {
            status = ZV_STATUS_OUT_OF_MEMORY;
            break;
        }
        for (int32_t j = 0; j < c.length && status == ZV_STATUS_SUCCESS; ++j) {
            status = zv_language_phoneme_to_string(language, c.phonemes[j], &names[i][j]);
        }
        lengths[i] = c.length;
        p[i] = static_cast<float>(pow(10.0, -static_cast<double>(c.cost)));
    }
    zv_marbo_candidates_release(candidates, n);
    if (status != ZV_STATUS_SUCCESS) {
        if (names != nullptr) {
            for (int32_t i = 0; i < n; ++i) {
                free(names[i]);
            }
        }
        free(lengths);
        free(names);
        free(p);
        return status;
    }
    *num_prons = n;
    *num_phones = lengths;
    *prons = names;
    *probs = p;
    return ZV_STATUS_SUCCESS;
}
