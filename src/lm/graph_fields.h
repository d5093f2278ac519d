// Inline reads of the decoding graph's packed arrays, for the decoder's inner
// loop: the same values as the zv_graph_* accessors (which use them), without
// a call per field, and the addresses of the fields so that a reader can
// prefetch them before it needs them.
#ifndef ZV_LM_GRAPH_FIELDS_H
#define ZV_LM_GRAPH_FIELDS_H

#include <stdint.h>

#include "lm/graph.h"

// Field `index` of a graph bit-field array, each one word longer than its
// fields need, so that a field is read from the two words it may straddle in
// one 64-bit load; bits <= 31.
static inline uint32_t zv_graph_field(const uint32_t *words, int32_t index, int32_t bits) {
    const uint64_t start = (uint64_t)(uint32_t)index * (uint64_t)bits;
    const uint64_t w = start >> 5;
    const uint64_t pair = (uint64_t)words[w] | ((uint64_t)words[w + 1] << 32);
    return (uint32_t)(pair >> (start & 31)) & ((1u << bits) - 1u);
}

// The first word of field `index`.
static inline const uint32_t *zv_graph_field_word(const uint32_t *words, int32_t index, int32_t bits) {
    return words + (((uint64_t)(uint32_t)index * (uint64_t)bits) >> 5);
}

static inline int32_t zv_graph_first_arc_of(const zv_graph_t *g, int32_t state) {
    return (int32_t)zv_graph_field(g->first_arc, state, g->arc_bits) - 1;
}

static inline int32_t zv_graph_next_arc_of(const zv_graph_t *g, int32_t arc) {
    return (int32_t)zv_graph_field(g->next_arc, arc, g->arc_bits) - 1;
}

static inline int32_t zv_graph_input_of(const zv_graph_t *g, int32_t arc) {
    return (int32_t)zv_graph_field(g->input_labels, arc, g->input_bits);
}

static inline int32_t zv_graph_output_of(const zv_graph_t *g, int32_t arc) {
    return (int32_t)zv_graph_field(g->output_labels, arc, g->output_bits);
}

static inline float zv_graph_weight_of(const zv_graph_t *g, int32_t arc) {
    return (float)g->weights[arc] * 0.125f;
}

static inline int32_t zv_graph_target_of(const zv_graph_t *g, int32_t arc) {
    return (int32_t)zv_graph_field(g->targets, arc, g->state_bits);
}

#endif
