// The decoding graph: a weighted transducer from phoneme ids to words that
// composes a pronunciation dictionary with a backoff n-gram language model.
//
// A graph file holds the graph's three sources back to back, with no header
// of its own: a lexicon blob, a dictionary blob over that lexicon and a
// language-model blob (bytes after it are ignored). Loading builds the graph
// in memory, pushes the language-model weights toward the start state and
// packs everything into bit-field arrays; the graph is read-only afterwards.
//
// States 0 to N - 1 are the language model's nodes under their own numbers
// (0, the empty history, is the start state), all final; the phone states
// of the pronunciation chains follow, none final. Arcs are numbered in the
// order the build made them, and each state's arcs form a list in that
// order. Three kinds of arc:
// - phone arcs: input a phoneme id 1..P, output 0;
// - word arcs: input 0, output word id + 1, the word's forward cost;
// - backoff arcs: input 0, output 0, the backoff cost of a language-model
//   state, leading to the state of its shorter history (the start state when
//   no shorter history holds the word); a state's first arc.
// Weights are signed bytes in eighths of a decade, 8 * (-log10 p).
//
// The accessors are the decoder's inner loop: plain reads, no checks.
// Numbers outside the graph, and a label of 0 to zv_graph_word, are the
// caller's to avoid. The record is open for readers that need the packed
// arrays themselves; nothing may change it.
#ifndef ZV_LM_GRAPH_H
#define ZV_LM_GRAPH_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "pronunciation/lexicon.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// Integer arrays are bit-field arrays (foundation/bit_field.h), each a
// zeroed block of ceil(count * bits / 32) words and one more, so that the
// accessors read any field with one 64-bit load.
typedef struct zv_graph_t {
    int32_t state_bits;       // ceil(log2(S) + 1)
    int32_t arc_bits;         // ceil(log2(A) + 1); 1 for a graph without arcs
    int32_t num_states;       // S
    uint32_t *final_flags;    // S fields of 1 bit
    uint32_t *first_arc;      // S fields of arc_bits: first arc + 1, 0 for none
    int32_t num_arcs;         // A
    int32_t input_bits;       // ceil(log2(P + 1)), P the phoneme set size
    uint32_t *input_labels;   // A fields of input_bits
    int32_t output_bits;      // ceil(log2(V + 1)), V the lexicon size
    uint32_t *output_labels;  // A fields of output_bits: word + 1, 0 for none
    int8_t *weights;          // A bytes
    uint32_t *targets;        // A fields of state_bits
    uint32_t *next_arc;       // A fields of arc_bits: next arc + 1, 0 for the last
    zv_lexicon_t *lexicon;    // the words of the output labels; owned
} zv_graph_t;

// Opens the file (UTF-8 path, mode "rb") and loads the graph from its first
// byte. *graph is set to NULL first; IO_ERROR when the file can't be opened.
zv_status_t zv_graph_init(const char *path, zv_graph_t **graph);

// Loads the graph from the current position of an open file to its end.
// *graph is set to NULL first. IO_ERROR when seeking or reading fails or
// nothing remains; a malformed blob gives its reader's status
// (INVALID_ARGUMENT), as do a language-model word outside the lexicon, a
// graph too large for 31-bit fields, and a file whose build would make more
// than 96 states and arcs, look up more than 96 arcs, or pass more than 96
// language-model states in finding the backoff states, per byte of it
// (found before anything is built); OUT_OF_MEMORY on any failed allocation.
// On failure nothing is left allocated.
zv_status_t zv_graph_load(FILE *file, zv_graph_t **graph);

// Releases the graph and its lexicon; NULL is accepted.
void zv_graph_delete(zv_graph_t *graph);

// Text of the word of an output label (>= 1), valid while the graph lives.
const char *zv_graph_word(const zv_graph_t *graph, int32_t label);

// 0.
int32_t zv_graph_start_state(const zv_graph_t *graph);

// With arc -1, the first arc of the state; otherwise the arc after `arc` in
// its state's list (the state is then not read). -1 when there is none. To
// visit a state's arcs, start with -1 and feed each result back until -1.
int32_t zv_graph_state_arc(const zv_graph_t *graph, int32_t state, int32_t arc);

// Input label of an arc: a phoneme id, or 0.
int32_t zv_graph_input(const zv_graph_t *graph, int32_t arc);

// Output label of an arc: word id + 1, or 0.
int32_t zv_graph_output(const zv_graph_t *graph, int32_t arc);

// Weight of an arc in decades: its weight byte * 0.125.
float zv_graph_weight(const zv_graph_t *graph, int32_t arc);

// Target state of an arc.
int32_t zv_graph_state(const zv_graph_t *graph, int32_t arc);

bool zv_graph_is_final(const zv_graph_t *graph, int32_t state);

// Words of the graph's lexicon.
int32_t zv_graph_num_words(const zv_graph_t *graph);

int32_t zv_graph_num_states(const zv_graph_t *graph);

int32_t zv_graph_num_arcs(const zv_graph_t *graph);

#ifdef __cplusplus
}
#endif

#endif
