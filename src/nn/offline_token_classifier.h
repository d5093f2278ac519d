// Bidirectional (offline) token classifier: L levels of a forward and a
// backward recurrent layer whose outputs are summed, then a fully connected
// output layer and a softmax, turning T feature rows into T rows of class
// probabilities. Its parameters travel in a parameter block:
//
//   name     strlen(expected name) bytes, no terminator
//   version  strlen(expected version) bytes, no terminator
//   extra    int32, handed back to the reader's caller
//   L        int32 level count, > 0
//   forward  L recurrent-layer encodings, level 0 first
//   backward L recurrent-layer encodings, level 0 first
//   output   one fully connected encoding
//   language int32 language code
#ifndef ZV_NN_OFFLINE_TOKEN_CLASSIFIER_H
#define ZV_NN_OFFLINE_TOKEN_CLASSIFIER_H

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
typedef struct zv_offline_token_classifier_param {
    int32_t num_layers;           // L
    zv_rnn_param_t **forward;     // L entries, level 0 first
    zv_rnn_param_t **backward;    // L entries, level 0 first
    zv_fc_param_t *output;        // K = output->out classes
    zv_language_t language;
} zv_offline_token_classifier_param_t;

// Reads one block at the file's position, checking its leading name and
// version against the expected texts. *extra receives the extra word as soon
// as it is read. On success the file stands on the byte after the block.
// Short data gives IO_ERROR; a different name or version, L <= 0, a count
// not above 0 or an invalid language INVALID_ARGUMENT.
zv_status_t zv_offline_token_classifier_param_load2(FILE *file, const char *name, const char *version,
                                                    int32_t *extra, zv_offline_token_classifier_param_t **param);
// The same from a file opened by path (failure to open gives IO_ERROR).
zv_status_t zv_offline_token_classifier_param_load(const char *path, const char *name, const char *version,
                                                   int32_t *extra, zv_offline_token_classifier_param_t **param);
void zv_offline_token_classifier_param_delete(zv_offline_token_classifier_param_t *param);
// Writes one block to a new file.
zv_status_t zv_offline_token_classifier_param_serialize(const zv_offline_token_classifier_param_t *param,
                                                        const char *name, const char *version, int32_t extra,
                                                        const char *path);
// Feature width F (level 0's input count) and class count K of a block.
int32_t zv_offline_token_classifier_param_input_width(const zv_offline_token_classifier_param_t *param);
int32_t zv_offline_token_classifier_param_output_width(const zv_offline_token_classifier_param_t *param);

typedef struct zv_offline_token_classifier zv_offline_token_classifier_t;

// A classifier over parameters that must outlive it. Parameters whose layer
// widths don't fit together give INVALID_ARGUMENT.
zv_status_t zv_offline_token_classifier_init(zv_memory_t memory, const zv_offline_token_classifier_param_t *param,
                                             zv_offline_token_classifier_t **classifier);
void zv_offline_token_classifier_delete(zv_offline_token_classifier_t *classifier);
// features: T rows of F int16, row-major; probabilities: T rows of K int32
// Q31. T = 0 succeeds and writes nothing; T < 0 gives INVALID_ARGUMENT. Every
// layer's state is zero again when the call returns, on failure too.
zv_status_t zv_offline_token_classifier_process(zv_offline_token_classifier_t *classifier, const int16_t *features,
                                                int32_t T, int32_t *probabilities);
zv_language_t zv_offline_token_classifier_language(const zv_offline_token_classifier_t *classifier);

#ifdef __cplusplus
}
#endif

#endif
