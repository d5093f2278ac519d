// The count tree: one occurrence count for every n-gram of a gram set, and
// at the root the number of word sequences counted. Made in the shape of a
// gram set with every count 0, filled by counting sequences, merged with a
// tree of the same shape, checked for consistency, compared, and stored in
// the count file. The shape never changes once the tree is made or loaded.
//
// Count file, little-endian, no magic: int32 node count n (>= 1), int32 word
// width w (1 .. 31), n int64 counts in preorder (the root's first), the
// tree-structure bit string (4 * ceil(2n / 32) bytes), n bit-field values of
// w bits in the same preorder (4 * ceil(n * w / 32) bytes), word id + 1 below
// the root and 0 at the root. Bytes after the word fields are ignored.
//
// Every walk is iterative: a chain a million nodes deep works on the normal
// stack. A walk deeper than a few dozen levels takes its stack from the heap
// once, before it starts; where that fails, zv_count_merge does nothing and
// the two tests give false. Counts are added with saturation at the ends of
// int64 (a count file may hold any values).
#ifndef ZV_LM_COUNT_H
#define ZV_LM_COUNT_H

#include <stdbool.h>
#include <stdint.h>

#include "lm/gram.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_count_node_t zv_count_node_t;
struct zv_count_node_t {
    int32_t word;                 // word id; -1 for the root
    int32_t num_children;
    int64_t count;                // occurrences of the n-gram the path spells
    zv_count_node_t **children;   // exactly num_children, ascending by word; NULL when none
};

typedef struct zv_count_t {
    int32_t order;                // the gram set's order, or after loading the deepest node's depth
    int32_t depth;                // sizes walks: the deepest node's depth once loaded (less after
                                  // zv_count_load_helper adds a deeper subtree; walks then grow their stack)
    zv_count_node_t *root;        // always present; its count is the number of sequences counted
} zv_count_t;

// A tree with the gram set's order, words and shape, every count 0. The set
// may be deeper than its order. *count is set to NULL first.
zv_status_t zv_count_init(const zv_gram_t *gram, zv_count_t **count);

// Frees every node and the record; NULL is accepted.
void zv_count_delete(zv_count_t *count);

// Counts one sequence: 1 at the root, whatever the sequence, and 1 at every
// node along its path down to the first word the tree doesn't hold. Always
// SUCCESS; allocates nothing.
zv_status_t zv_count_insert(zv_count_t *count, const int32_t *words, int32_t num_words);

// Adds every count of other to the count in the same place of count,
// children paired by position (words not compared). Trees of different
// shapes are merged where both have nodes; nothing outside either is read.
void zv_count_merge(zv_count_t *count, const zv_count_t *other);

// Equal orders and the same words and counts in the same places.
bool zv_count_is_equal(const zv_count_t *count, const zv_count_t *other);

// Every node counts at least 1 and at least the sum of its children (a sum
// beyond int64 exceeds any count).
bool zv_count_is_valid(const zv_count_t *count);

// Writes the count file. w = ceil(log2(m) + 1) for the largest word id
// m >= 2, else the smallest width that holds m + 1 (1 for a lone root). A
// word id below 0 or above 2^30 gives INVALID_ARGUMENT with no file touched;
// a failed open, write or close gives IO_ERROR.
zv_status_t zv_count_save(const zv_count_t *count, const char *path);

// Reads a count file (checked as zv_count_file_parse does). The order is the
// deepest node's depth. A word repeated under one parent yields one node with
// the last count and the children of all occurrences. The counts are not
// checked (see zv_count_is_valid). *count is set to NULL first.
zv_status_t zv_count_load(const char *path, zv_count_t **count);

// Builds one node with its count and whole subtree from a count file's
// arrays that the caller has checked (zv_count_load does so first),
// advancing the three cursors. The node is a new root when parent is NULL,
// else the child of parent with its word (found or inserted). Each node's
// children are sorted and repeated words merged (the last count, all the
// children) when the node ends. Iterative. SUCCESS or OUT_OF_MEMORY (the
// nodes read so far stay under parent; a new root is freed with all below).
zv_status_t zv_count_load_helper(zv_count_node_t *parent, const uint32_t *structure, int32_t *structure_cursor,
                                 const uint32_t *word_fields, int32_t word_bits, int32_t *word_cursor,
                                 const int64_t *counts, int32_t *count_cursor, zv_count_node_t **node);

// A count file's bytes, checked: for readers that walk the file themselves.
typedef struct zv_count_file_t {
    int32_t num_nodes;            // n
    int32_t word_bits;            // w
    int32_t depth;                // the deepest node's depth
    const uint8_t *counts;        // n little-endian int64, any alignment
    const uint8_t *structure;     // the tree-structure bit string
    uint64_t structure_bytes;
    const uint8_t *word_fields;   // n fields of w bits
} zv_count_file_t;

// Checks size bytes at bytes as a count file: the header (n >= 1, w in
// 1 .. 31, n small enough for 32-bit bit cursors), the size the header
// implies (in 64 bits), the structure string (walked with the bounded tree
// reader) and the word values (0 at the root, at least 1 below it).
// INVALID_ARGUMENT when any fails. The views point into bytes.
zv_status_t zv_count_file_parse(const void *bytes, uint64_t size, zv_count_file_t *file);

// Node i's word id (its field - 1) and count, for i below num_nodes, in
// preorder (the tree reader's node numbers).
int32_t zv_count_file_word(const zv_count_file_t *file, int64_t node);
int64_t zv_count_file_count(const zv_count_file_t *file, int64_t node);

#ifdef __cplusplus
}
#endif

#endif
