// Online (streaming) token classifier: L forward recurrent layers, a fully
// connected output layer and a softmax, fed one feature frame per call. The
// layers keep their state between calls until a reset. Its parameters travel
// in a parameter block:
//
//   name     strlen(expected name) bytes, no terminator
//   version  strlen(expected version) bytes, no terminator
//   extra    int32, handed back to the reader's caller
//   L        int32 layer count, > 0
//   layers   L recurrent-layer encodings, level 0 first
//   output   one fully connected encoding
//   language int32 language code
#ifndef ZV_NN_ONLINE_TOKEN_CLASSIFIER_H
#define ZV_NN_ONLINE_TOKEN_CLASSIFIER_H

#include <stdint.h>
#include <stdio.h>

#include "foundation/language.h"
#include "foundation/status.h"
#include "nn/fc.h"
#include "nn/rnn.h"

#ifdef __cplusplus
extern "C" {
#endif

// Parameters, a heap record owning all its members.
typedef struct zv_online_token_classifier_param {
    int32_t num_layers;        // L
    zv_rnn_param_t **layers;   // L entries, level 0 first
    zv_fc_param_t *output;     // K = output->out classes
    zv_language_t language;
} zv_online_token_classifier_param_t;

// Reads one block at the file's position. *extra receives the extra word as
// soon as it is read. On success the file stands on the byte after the
// block. Short data gives IO_ERROR; a different name or version (the latter
// also logged), L <= 0, a count not above 0 or an invalid language
// INVALID_ARGUMENT.
zv_status_t zv_online_token_classifier_param_load2(FILE *file, const char *name, const char *version,
                                                   int32_t *extra, zv_online_token_classifier_param_t **param);
// The same from a file opened by path (failure to open gives IO_ERROR).
zv_status_t zv_online_token_classifier_param_load(const char *path, const char *name, const char *version,
                                                  int32_t *extra, zv_online_token_classifier_param_t **param);
void zv_online_token_classifier_param_delete(zv_online_token_classifier_param_t *param);
// Writes one block to a new file.
zv_status_t zv_online_token_classifier_param_serialize(const zv_online_token_classifier_param_t *param,
                                                       const char *name, const char *version, int32_t extra,
                                                       const char *path);

typedef struct zv_online_token_classifier zv_online_token_classifier_t;

// A classifier with zero state over parameters that must outlive it.
// Parameters whose layer widths don't fit together (each layer's gates 3H
// wide, level l + 1 reading level l's H, the output layer reading the last
// level's H), or with a count not above 0, give INVALID_ARGUMENT.
zv_status_t zv_online_token_classifier_init(zv_memory_t memory, const zv_online_token_classifier_param_t *param,
                                            zv_online_token_classifier_t **classifier);
void zv_online_token_classifier_delete(zv_online_token_classifier_t *classifier);
// frame: F int16 (level 0's input count); probabilities: K int32 Q31.
// Advances every layer by one frame.
zv_status_t zv_online_token_classifier_process(zv_online_token_classifier_t *classifier, const int16_t *frame,
                                               int32_t *probabilities);
// Every layer's state back to zero.
void zv_online_token_classifier_reset(zv_online_token_classifier_t *classifier);
zv_language_t zv_online_token_classifier_language(const zv_online_token_classifier_t *classifier);

#ifdef __cplusplus
}
#endif

#endif
