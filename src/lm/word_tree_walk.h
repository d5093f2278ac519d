// Preorder walk of a word-tree subtree without recursion or allocation: a
// tree may be as deep as the number of words decoded.
#ifndef ZV_LM_WORD_TREE_WALK_H
#define ZV_LM_WORD_TREE_WALK_H

#include "lm/word_tree.h"

#ifdef __cplusplus
extern "C" {
#endif

// The branch after `branch` in the preorder of the subtree of `top`, NULL at
// its end; *depth follows the level relative to `top`.
const zv_branch_t *zv_branch_preorder_next(const zv_branch_t *branch, const zv_branch_t *top, int32_t *depth);

#ifdef __cplusplus
}
#endif

#endif
