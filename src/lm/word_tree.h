// The word tree: the word histories of all tokens of a decoder as one prefix
// tree. Each branch stands for the words on its path from the root; words are
// the decoding graph's output labels (word id + 1), 0 marks the root.
//
// Branches live by reference counts held by tokens: a branch starts with 1,
// which the token the caller makes on it takes. A branch with neither
// references nor children is released, and then its ancestors left the same
// way. The tree record does not own the branches; "current" is the deepest
// branch whose words have been reported (not a reference: every live token's
// branch lies at or below it).
#ifndef ZV_LM_WORD_TREE_H
#define ZV_LM_WORD_TREE_H

#include <stdbool.h>
#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_graph_t zv_graph_t;

typedef struct zv_branch_t {
    struct zv_branch_t *parent;       // NULL for the root
    int32_t word;                     // output label; 0 for the root
    int32_t reference_count;
    int32_t time;                     // latest frame in which a token was made on it
    int32_t child_count;
    struct zv_branch_t **children;    // sorted by word as unsigned values; NULL when none
} zv_branch_t;

typedef struct zv_tree_t {
    zv_branch_t *root;
    zv_branch_t *current;
} zv_tree_t;

// Makes the record and its root (word 0, time 0, count 1); current = root.
zv_status_t zv_tree_init(zv_tree_t **tree);
// Releases the record only.
void zv_tree_delete(zv_tree_t *tree);
zv_branch_t *zv_tree_root(const zv_tree_t *tree);
zv_branch_t *zv_tree_current(const zv_tree_t *tree);

// The parent's child for the word: an existing one gets time = max(its time,
// time) and one more reference; otherwise a new child with count 1.
zv_status_t zv_tree_insert(zv_tree_t *tree, zv_branch_t *parent, int32_t word, int32_t time,
                           zv_branch_t **branch);

// The words that became certain by frame `time`: the single-child chain below
// the current branch, through branches with no token made in that frame, down
// to (and including) the first branch that has one. *words is a heap block
// released with free (NULL with a count of 0); the last branch reached becomes
// current. OUT_OF_MEMORY (count delivered, array NULL) leaves current alone.
zv_status_t zv_tree_partial_outputs(zv_tree_t *tree, int32_t time, int32_t *count, int32_t **words);

// False when the root, or some branch below it, has neither references nor children.
bool zv_tree_is_valid(const zv_tree_t *tree);

// Prints the tree through the log, one line per branch, children indented by
// one "| " mark per level; with a graph the words' texts (the root as "-"),
// without one their labels.
void zv_tree_print(const zv_tree_t *tree, const zv_graph_t *graph);
// The subtree of `branch` as if printed at `indent` (the tree's root is
// printed at 0, each level 2 further in): a branch d levels down gets
// (indent + 2 * d) / 2 marks, the division truncating toward zero.
void zv_tree_print_helper(const zv_branch_t *branch, const zv_graph_t *graph, int32_t indent);

// Makes a branch with count 1 and, with a parent, adds it to the parent's
// children; a branch that cannot join them is released again.
zv_status_t zv_branch_init(zv_branch_t *parent, int32_t word, int32_t time, zv_branch_t **branch);
// Releases the branch when it has neither references nor children, then its
// ancestors left the same way. SUCCESS.
zv_status_t zv_branch_delete(zv_branch_t *branch);
// Inserts after every child whose word is not greater; OUT_OF_MEMORY leaves
// the children unchanged.
zv_status_t zv_branch_add_child(zv_branch_t *branch, zv_branch_t *child);
// Takes this very child out (found by pointer among the children with its
// word). A failed shrink keeps the larger array. INVALID_ARGUMENT when it is
// not a child.
zv_status_t zv_branch_remove_child(zv_branch_t *branch, zv_branch_t *child);
zv_branch_t *zv_branch_find_child(const zv_branch_t *branch, int32_t word);
int32_t zv_branch_find_child_index(const zv_branch_t *branch, int32_t word);
// Branches in the subtree, itself included.
int32_t zv_branch_size(const zv_branch_t *branch);

#ifdef __cplusplus
}
#endif

#endif
