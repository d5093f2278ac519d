// The editable language model: a language-model blob (lm/lm_blob.h) held in
// arrays that can grow, every node keeping its first child and its next
// sibling instead of a fixed child range. It is read from a file, moved to a
// larger lexicon with the new words added as unigrams, given boosts for
// chosen unigrams, and written back as a blob that the compact model and
// the decoding graph read. The children of every node stay in ascending
// word order along their chain: those readers search them by halves.
//
// Nodes are numbered in the preorder of the blob they were read from (the
// root is 0); nodes added later take the next free numbers. Cost bytes are
// in the in-memory form (signed eighths of a decade, 127 the cap).
#ifndef ZV_LM_KGRAM_H
#define ZV_LM_KGRAM_H

#include <stdbool.h>
#include <stdint.h>

#include "lm/ngram.h"
#include "pronunciation/lexicon.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_kgram_t {
    int32_t num_nodes;      // N
    int32_t *words;         // word id of each node; -1 for the root
    uint8_t *forward;       // in-memory forward cost byte
    uint8_t *backoff;       // in-memory backoff cost byte; 0 for a leaf
    int32_t *first_child;   // -1 for none
    int32_t *next_sibling;  // -1 for the last child
} zv_kgram_t;

// Reads a file that begins with a language-model blob, checked as the
// compact model's reader checks it; bytes after the blob are ignored. The
// statuses of zv_file_load pass through; a malformed blob gives
// INVALID_ARGUMENT. *model is set to NULL first.
zv_status_t zv_kgram_load(const char *path, zv_kgram_t **model);

// Writes the model as a blob (mode "wb"), the word width holding its
// largest word id + 1; nodes are written in preorder along the chains, so a
// model read back is renumbered. IO_ERROR when the file can't be opened,
// written or closed.
zv_status_t zv_kgram_save(const zv_kgram_t *model, const char *path);

// Frees the arrays and the record; NULL is accepted.
void zv_kgram_delete(zv_kgram_t *model);

// Moves the model from lexicon old_lexicon to new_lexicon, which holds every
// word of the old one and D more: word ids become those of the new lexicon,
// and each new word becomes a unigram, linked at its ascending place in the
// root's chain, costing the root's backoff plus 8 * log10(U / 1000) eighths
// of a decade (U the root's children after the first). D = 0 changes
// nothing. With D above 0, a word id outside the old lexicon or a new
// lexicon that lacks a word of the old one gives INVALID_ARGUMENT, and
// OUT_OF_MEMORY leaves the model as it was.
zv_status_t zv_kgram_add_words(zv_kgram_t *model, const zv_lexicon_t *old_lexicon,
                               const zv_lexicon_t *new_lexicon);

// Lowers the cost of every unigram whose word is among the count ids by 16
// (two decades), to no less than 0. Always SUCCESS.
zv_status_t zv_kgram_boost_words(zv_kgram_t *model, const int32_t *words, int32_t count);

// True when the two trees hold the same words in the same places, every
// probability and backoff weight of the n-gram model within one eighth of a
// decade of the model's cost bytes.
bool zv_kgram_is_equivalent(const zv_kgram_t *model, const zv_ngram_t *ngram);

// True when both have the same node count and equal arrays.
bool zv_kgram_is_equal(const zv_kgram_t *model, const zv_kgram_t *other);

#ifdef __cplusplus
}
#endif

#endif
