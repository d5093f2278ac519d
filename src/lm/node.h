// Decoder tokens: one hypothesis each, a graph position with the cost of the
// path that reached it, a back-pointer to the token it was made from and the
// word-tree branch of the words on that path.
//
// Tokens are reference-counted and drawn from an object pool. References are
// held by each map entry and stack entry that holds the token and by each
// token made from it, so tokens form trees of back-pointers that keep every
// surviving path's history. A token holds one reference on its parent and one
// on its branch.
#ifndef ZV_LM_NODE_H
#define ZV_LM_NODE_H

#include <stdbool.h>
#include <stdint.h>

#include "lm/containers.h"
#include "lm/word_tree.h"

#ifdef __cplusplus
extern "C" {
#endif

struct zv_node_t {
    struct zv_node_t *parent;  // holds a reference on it; NULL for the start token
    int32_t arc;               // arc that entered the position; -1 for the start token
    int32_t state;
    float cost;
    int32_t reference_count;   // 0 when made
    zv_branch_t *branch;       // holds one reference on it
    zv_pool_t *pool;           // the pool the token came from
    int32_t depth;             // frames on the path; unchanged across epsilon arcs
    uint8_t flag;              // 0: emitted its arc's phoneme last frame; 1: blank, epsilon or start
};

// A new token with count 0, or NULL when the pool has no slot; a given parent
// gains a reference. The branch's reference is the caller's to provide.
zv_node_t *zv_node_init(zv_pool_t *pool, zv_node_t *parent, int32_t arc, int32_t state, float cost,
                        zv_branch_t *branch, int32_t depth, uint8_t flag);

// Releases a token whose count is 0: its branch and then every parent left
// without references, up the chain (iteratively: a history may be any number
// of frames long). A token with references is left alone.
void zv_node_delete(zv_node_t *node);

// Parent, arc, state, cost, reference count and branch equal; pool, depth and
// flag are not compared.
bool zv_node_is_equal(const zv_node_t *a, const zv_node_t *b);

#ifdef __cplusplus
}
#endif

#endif
