// What building a decoding graph (lm/graph.h) from a language model and a
// dictionary makes, counted without building it, so that the loader can
// refuse a file that would build far more than its own size.
#ifndef ZV_LM_GRAPH_COUNT_H
#define ZV_LM_GRAPH_COUNT_H

#include <stdint.h>

#include "lm/mgram.h"
#include "pronunciation/dict.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// The states and arcs that the build makes, shared prefixes counted once as
// the build shares them: a state per model node, and under each node, for
// the pronunciations of its children's words, a phone state and a phone arc
// per distinct non-empty prefix, a word arc per distinct pronunciation of
// each child's word, and a backoff arc per child whose word has any.
//
// Counting stops once the count passes `limit`, leaving some value above it
// in *count, so its time is in proportion to the smaller of the two (and to
// the model's nodes and the phonemes of its words' pronunciations, each
// word's walked once). Its memory is in proportion to the distinct prefixes
// of those pronunciations (at most the dictionary blob's nodes) and to the
// model's words. OUT_OF_MEMORY when that memory can't be had (*count is then
// 0).
zv_status_t zv_graph_count_built(const zv_mgram_t *mgram, const zv_dict_t *dict, uint64_t limit, uint64_t *count);

#ifdef __cplusplus
}
#endif

#endif
