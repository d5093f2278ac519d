// The engine record: what zv_lumarin_init builds from a model file and what
// indexing and search work on. Internal: hosts see an opaque pointer.
#ifndef ZV_ENGINE_ENGINE_H
#define ZV_ENGINE_ENGINE_H

#include <stdint.h>

#include "foundation/status.h"
#include "nn/filterbank.h"
#include "nn/offline_token_classifier.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "pronunciation/marbo.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// Every member is owned; deletion order: filterbank, classifier, its
// parameters, grapheme-to-phoneme engine, lexicon, dictionary, phrase cache.
struct zv_lumarin {
    zv_memory_t memory;
    zv_filterbank_t *filterbank;  // frame length 256
    zv_offline_token_classifier_param_t *classifier_param;
    zv_offline_token_classifier_t *classifier;  // its language is the model's
    zv_lexicon_t *lexicon;
    zv_dict_t *dictionary;  // over lexicon
    zv_marbo_t *marbo;
    // The phrase cache: the caller's text (byte for byte) of the last phrase
    // whose pronunciation was built, and its phoneme ids. NULL text: empty.
    char *cached_phrase;
    int32_t cached_num_phonemes;
    int32_t *cached_phonemes;
};

// Phoneme count P of the model's language; index rows hold P + 1 values.
int32_t zv_lumarin_num_phonemes(const zv_lumarin_t *engine);

#ifdef __cplusplus
}
#endif

#endif
