// The gram set: the word sequences (n-grams) a language model is to cover,
// held as a trie of word ids over a lexicon. Inserting a sequence makes every
// prefix of it a member too. The set is walked by word paths, counted per
// order, intersected, compared, and stored in the gram file.
//
// Gram file, little-endian, no magic: int32 node count n (>= 1, the root
// included); the tree-structure bit string (4 * ceil(2n / 32) bytes); n
// bit-field values of w bits in the same preorder (4 * ceil(n * w / 32)
// bytes), word id + 1 below the root and 0 at the root. w is the number of
// binary digits of the lexicon's word count L, so a file is read back only
// with a lexicon of the same size; bytes after the word fields are ignored.
//
// Every walk over the trie is iterative: a trie as deep as memory allows
// (a chain of a million words) is saved, loaded, compared, intersected and
// deleted on the normal stack. A walk deeper than a few dozen levels takes
// its stack from the heap once, before it starts; where that fails, the
// functions without a status do nothing (zv_gram_is_equal gives false).
#ifndef ZV_LM_GRAM_H
#define ZV_LM_GRAM_H

#include <stdbool.h>
#include <stdint.h>

#include "pronunciation/lexicon.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_gram_node_t zv_gram_node_t;
struct zv_gram_node_t {
    int32_t word;                // word id; -1 for the root
    int32_t num_children;
    zv_gram_node_t **children;   // exactly num_children, ascending by word; NULL when none
};

typedef struct zv_gram_t {
    int32_t order;               // the sequence length the set is meant for
    int32_t depth;               // sizes walks: the deepest node's depth, more after intersection, less after
                                 // zv_gram_load_helper adds a deeper subtree (walks then grow their stack)
    zv_lexicon_t *lexicon;       // borrowed: it must outlive the set
    zv_gram_node_t *root;        // always present
} zv_gram_t;

// A set holding only the root. *gram is set to NULL first.
zv_status_t zv_gram_init(int32_t order, zv_lexicon_t *lexicon, zv_gram_t **gram);

// Frees every node and the record; NULL is accepted. The lexicon stays.
void zv_gram_delete(zv_gram_t *gram);

// Adds the sequence and all its prefixes; num_words <= 0 changes nothing.
// Word ids are not checked against the lexicon. On OUT_OF_MEMORY the nodes
// made for earlier words stay.
zv_status_t zv_gram_insert(zv_gram_t *gram, const int32_t *words, int32_t num_words);

// Continuations of the node the path reaches (the root for num_words <= 0);
// -1 when the path is not in the set.
int32_t zv_gram_num_children(const zv_gram_t *gram, const int32_t *words, int32_t num_words);

// Word of continuation `index` (ascending word order) of the node the path
// reaches; -1 when the path is not in the set or index is outside
// 0 .. zv_gram_num_children - 1.
int32_t zv_gram_child_word_index(const zv_gram_t *gram, const int32_t *words, int32_t num_words, int32_t index);

// num_grams[k - 1] = nodes at depth k, for k = 1 .. order; nothing written
// for an order <= 0.
void zv_gram_num_grams(const zv_gram_t *gram, int32_t *num_grams);

int32_t zv_gram_order(const zv_gram_t *gram);
zv_lexicon_t *zv_gram_lexicon(const zv_gram_t *gram);

// Removes from gram every sequence that other doesn't hold.
void zv_gram_intersect(zv_gram_t *gram, const zv_gram_t *other);

// Equal orders and the same words in the same places; lexicons not compared.
bool zv_gram_is_equal(const zv_gram_t *gram, const zv_gram_t *other);

// Writes the gram file. A lexicon of 0 words, or a word id outside
// 0 .. L - 1, gives INVALID_ARGUMENT with no file touched; a failed open,
// write or close gives IO_ERROR.
zv_status_t zv_gram_save(const zv_gram_t *gram, const char *path);

// Reads a gram file written over a lexicon of the same size. The file is
// checked against its bytes: a short file, a node count below 1, a structure
// string that opens more nodes than declared or closes the root early or
// never, or a word value outside 1 .. L below the root (0 at the root) gives
// INVALID_ARGUMENT. The order is the deepest node's depth. Children are
// re-sorted; a word repeated under one parent merges both subtrees.
// *gram is set to NULL first.
zv_status_t zv_gram_load(const char *path, zv_lexicon_t *lexicon, zv_gram_t **gram);

// Builds one node with its whole subtree from a structure string and word
// fields that the caller has checked (zv_gram_load does so first): reads the
// node's word field, then its children until its closing bit, advancing both
// cursors. The node is a new root when parent is NULL, else the child of
// parent with that word (found or inserted). Each node's children are sorted
// and repeated words merged when the node ends. Iterative. SUCCESS or
// OUT_OF_MEMORY (the nodes read so far stay under parent, for its tree's
// deletion; a new root is freed with all read below it).
zv_status_t zv_gram_load_helper(zv_gram_node_t *parent, const uint32_t *structure, int32_t *structure_cursor,
                                const uint32_t *word_fields, int32_t word_bits, int32_t *word_cursor,
                                zv_gram_node_t **node);

#ifdef __cplusplus
}
#endif

#endif
