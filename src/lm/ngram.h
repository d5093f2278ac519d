// The n-gram model: a backoff language model estimated from a count file
// (lm/count.h) over the word ids of a lexicon, then pruned, completed with
// every lexicon word, and written as weights text, ARPA text or a
// language-model blob (lm/lm_blob.h).
//
// The estimate is a plain maximum-likelihood one without discounting: a
// child's probability is its count over its history's count, and the mass a
// history leaves to unseen words (its count minus its children's counts) is
// spread through the backoff weight over what the lower orders give the
// words it has no child for. Everything is computed in double precision.
//
// Every walk of the tree is iterative: a chain a million nodes deep works on
// the normal stack.
#ifndef ZV_LM_NGRAM_H
#define ZV_LM_NGRAM_H

#include <stdbool.h>
#include <stdint.h>

#include "lm/mgram.h"
#include "pronunciation/lexicon.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_ngram_node_t zv_ngram_node_t;
struct zv_ngram_node_t {
    int32_t word;                // word id; -1 for the root
    int32_t num_children;
    int64_t count;               // from the count file; 0 for a word added by zv_ngram_add_singletons
    double probability;          // of word after the parent's history; the root's stays 0
    double backoff;              // weight of the node as a history; 1.0 for a leaf
    zv_ngram_node_t **children;  // exactly num_children, strictly ascending by word; NULL when none
};

typedef struct zv_ngram_pool_t zv_ngram_pool_t;

typedef struct zv_ngram_t {
    const zv_lexicon_t *lexicon;  // not owned; must outlive the model
    int32_t order;                // greatest depth of the tree when estimated (0 for a lone root)
    zv_ngram_node_t *root;
    zv_ngram_pool_t *pool;        // the blocks every node lives in (private)
} zv_ngram_t;

// Reads a count file, checks it (every node below the root counts at least
// 1, the root too, no node less than its children together, every word id
// below the lexicon's size) and estimates the model. *model is set to NULL
// first. The statuses of zv_file_load pass through; a malformed or
// inconsistent file gives INVALID_ARGUMENT.
zv_status_t zv_ngram_init(const char *path, const zv_lexicon_t *lexicon, zv_ngram_t **model);

// Frees the tree and the record; NULL is accepted.
void zv_ngram_delete(zv_ngram_t *model);

// Removes the leaf n-grams whose backed-off probability is at least their
// own, or whose weighted difference of log probabilities is below
// threshold: children from the last to the first, each subtree before its
// node, so that a node stripped of its children is judged as a leaf. Every
// leaf left gets backoff 1.0; nothing is estimated again. The walk takes a
// few words of memory per node before it starts; where they can't be had,
// the model stays as it was.
void zv_ngram_prune(zv_ngram_t *model, double threshold);

// Gives every lexicon word a unigram: missing ones are added (count 0) and
// every unigram without a probability gets root backoff / V. A model of
// order 0 becomes order 1 when the lexicon has words. OUT_OF_MEMORY leaves
// the unigrams added before in place.
zv_status_t zv_ngram_add_singletons(zv_ngram_t *model);

// Weights text: one line per order from 0 (the root) up, each node in
// preorder as "%.3f %.3f " of the costs -log10 of its probability and its
// backoff (16 for a value of 0 or less). Numbers in both texts are written
// as the C locale writes them, whatever the host's locale. IO_ERROR when the
// file can't be opened, written or closed.
zv_status_t zv_ngram_save_weights(const zv_ngram_t *model, const char *path);

// ARPA back-off text; the 1-gram section lists every lexicon word (those
// without a unigram at root backoff / V). A backoff weight of 1.0 or more is
// not written. IO_ERROR when the file can't be opened, written or closed.
zv_status_t zv_ngram_save_arpa(const zv_ngram_t *model, const char *path);

// The model as a language-model blob, the word width taken from the
// lexicon's size.
zv_status_t zv_ngram_save(const zv_ngram_t *model, const char *path);

// True when the compact model holds the same tree with every probability
// and backoff weight within one eighth of a decade of its cost byte.
bool zv_mgram_is_equivalent(const zv_mgram_t *mgram, const zv_ngram_t *ngram);

// True when a double value v matches an in-memory cost byte (read as
// signed): v = 0 against the cap 127, else |cost * 0.125 + log10(v)| <= 0.125.
bool zv_ngram_cost_matches(double value, uint8_t cost);

#ifdef __cplusplus
}
#endif

#endif
