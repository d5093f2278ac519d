// Graphviz text of a decoding graph (lm/graph.h), for inspection: the whole
// graph, or the neighbourhood of one state, the part of the graph reachable
// from it through phone states only (its pronunciation prefix tree, the word
// arcs at the leaves and its backoff arc, each ending at the final state it
// reaches).
//
// `names` holds one text per phoneme id, indexed by id - 1; the
// neighbourhood writers label phone arcs with them. Labels are written as
// they are, without escaping; weights with one decimal and a point, whatever
// the host's locale. Every writer makes a new text file and gives
// IO_ERROR when it can't be opened, written or closed.
#ifndef ZV_LM_GRAPH_DOT_H
#define ZV_LM_GRAPH_DOT_H

#include <stdint.h>
#include <stdio.h>

#include "lm/graph.h"
#include "lm/mgram.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// The whole graph (UTF-8 path): final states labelled "F", arcs labelled
// "input/" or, with a weight, "input/word/weight".
zv_status_t zv_graph_create_dot(const zv_graph_t *graph, const char *path);

// The neighbourhood of the language-model state of a word sequence (count
// words; the start state when count <= 0), the state labelled with the
// root's label. `mgram` is the graph's language model. INVALID_ARGUMENT,
// before any file is opened, for a word the graph's lexicon lacks or a
// sequence that is not a path of the model. The path is passed to fopen
// unconverted.
zv_status_t zv_graph_create_focal_dot(const zv_graph_t *graph, const char *path, const zv_mgram_t *mgram,
                                      const char *const *names, const char *const *words, int32_t count);

// The neighbourhood of a given state, labelled with its number. `unused` is
// not read. INVALID_ARGUMENT, before any file is opened, for a state outside
// the graph. The path is passed to fopen unconverted.
zv_status_t zv_graph_create_focal_dot_from_state(const zv_graph_t *graph, const char *path, const void *unused,
                                                 const char *const *names, int32_t state);

// The lines of one state's neighbourhood into an open file, without header
// or footer; the state's node line carries `label`, or its number when label
// is NULL. INVALID_ARGUMENT for a state outside the graph; IO_ERROR when a
// write fails.
zv_status_t zv_graph_create_focal_dot_helper(const zv_graph_t *graph, FILE *file, const char *const *names,
                                             int32_t state, const char *label);

#ifdef __cplusplus
}
#endif

#endif
