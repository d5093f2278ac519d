// Recurrent layer (LSTM with coupled input and forget gates) in fixed point:
// int16 Q10 activations and states, Q15 gate values.
#ifndef ZV_NN_RNN_H
#define ZV_NN_RNN_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "foundation/status.h"
#include "nn/fc.h"

#ifdef __cplusplus
extern "C" {
#endif

// Parameters, a heap record owning both sets. H, the hidden width, is
// recurrent->in; a well-formed set has input->out = 3H and
// recurrent->out = 3H. Outputs 0..H-1 feed the input gate, H..2H-1 the
// candidate, 2H..3H-1 the output gate.
typedef struct zv_rnn_param {
    zv_fc_param_t *input;      // layer input -> 3H pre-activations
    zv_fc_param_t *recurrent;  // hidden state -> 3H pre-activations
} zv_rnn_param_t;

// Encoding: the input parameters' encoding, then the recurrent ones'.
zv_status_t zv_rnn_param_load(FILE *file, zv_rnn_param_t **param);
void zv_rnn_param_delete(zv_rnn_param_t *param);
zv_status_t zv_rnn_param_serialize(const zv_rnn_param_t *param, FILE *file);
// Hidden width H (recurrent->in), and 1 when the widths fit together
// (input->out = recurrent->out = 3H, all counts above 0).
int32_t zv_rnn_param_hidden_width(const zv_rnn_param_t *param);
int32_t zv_rnn_param_is_consistent(const zv_rnn_param_t *param);

typedef struct zv_rnn zv_rnn_t;

// A layer with zero state over parameters that must outlive it. Parameters
// whose widths don't fit together give INVALID_ARGUMENT.
zv_status_t zv_rnn_init(zv_memory_t memory, const zv_rnn_param_t *param, zv_rnn_t **rnn);
void zv_rnn_delete(zv_rnn_t *rnn);
// One step: x holds input->in values, y receives H values. x may be y (then
// it must hold max(in, H) values). OUT_OF_MEMORY leaves state and y unchanged.
zv_status_t zv_rnn_process(zv_rnn_t *rnn, const int16_t *x, int16_t *y);
void zv_rnn_reset(zv_rnn_t *rnn);
const zv_rnn_param_t *zv_rnn_param(const zv_rnn_t *rnn);
// The layer that computes the input-layer output zv_rnn_step expects in z,
// for callers that compute it for several frames at once.
const zv_fc_t *zv_rnn_input_layer(const zv_rnn_t *rnn);

// One step whose input-layer output (3H values, as zv_fc_process of the
// input parameters gives it) was computed beforehand into z; z is then used
// as the step's work vector. Gives what zv_rnn_process gives on that input.
void zv_rnn_step(zv_rnn_t *rnn, int16_t *z, int16_t *y);

// The cell update and output of one step over H values: gates holds the
// gate values i, g, o (Q15, H each; i and o sigmoid outputs, g a tanh
// output), c the cell state (updated in place), y receives the output.
void zv_rnn_cell(int32_t hidden, const int16_t *gates, int16_t *c, int16_t *y);

// Gate non-linearities in vector form, exactly zv_sigmoid and zv_tanh. The
// table holds the sigmoid at its 257 grid points (zv_rnn_sigmoid_grid).
typedef void (*zv_rnn_activation_t)(const int32_t *table, int32_t n, const int16_t *in, int16_t *out);
void zv_rnn_sigmoid_grid(int32_t table[257]);
// Null when the processor lacks the instructions.
zv_rnn_activation_t zv_rnn_sigmoid_avx2(void);
zv_rnn_activation_t zv_rnn_tanh_avx2(void);
// zv_rnn_cell in vector form (with the vector tanh over the grid table);
// null when the processor lacks the instructions.
typedef void (*zv_rnn_cell_kernel_t)(int32_t hidden, const int16_t *gates, int16_t *c, int16_t *y,
                                     const int32_t *table);
zv_rnn_cell_kernel_t zv_rnn_cell_avx2(void);

#ifdef __cplusplus
}
#endif

#endif
