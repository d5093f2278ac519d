#include "lm/node.h"

extern "C" zv_node_t *zv_node_init(zv_pool_t *pool, zv_node_t *parent, int32_t arc, int32_t state, float cost,
                                   zv_branch_t *branch, int32_t depth, uint8_t flag) {
    zv_node_t *node = static_cast<zv_node_t *>(zv_pool_alloc(pool));
    if (!node) return nullptr;
    node->parent = parent;
    node->arc = arc;
    node->state = state;
    node->cost = cost;
    node->reference_count = 0;
    node->branch = branch;
    node->pool = pool;
    node->depth = depth;
    node->flag = flag;
    if (parent) parent->reference_count += 1;
    return node;
}

// Loops rather than one call per parent: a history is as many tokens long as
// frames were decoded. The slots go back in the order a release up the chain
// by recursion gives them, the oldest released parent first and the token
// itself last, so that its slot is the next one its page hands out: the dead
// tokens' parent pointers are turned round on the way up and followed back.
extern "C" void zv_node_delete(zv_node_t *node) {
    zv_node_t *below = nullptr;
    while (node && node->reference_count == 0) {
        zv_branch_t *branch = node->branch;
        zv_node_t *parent = node->parent;
        branch->reference_count -= 1;
        zv_branch_delete(branch);
        if (parent) parent->reference_count -= 1;
        node->parent = below;
        below = node;
        node = parent;
    }
    while (below) {
        zv_node_t *child = below->parent;
        zv_pool_free(below->pool, below);
        below = child;
    }
}

extern "C" bool zv_node_is_equal(const zv_node_t *a, const zv_node_t *b) {
    return a->parent == b->parent && a->arc == b->arc && a->state == b->state && a->cost == b->cost &&
           a->reference_count == b->reference_count && a->branch == b->branch;
}
