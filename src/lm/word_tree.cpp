#include "lm/word_tree.h"

#include <stdlib.h>
#include <string.h>

#include "lm/word_tree_walk.h"

// Children are ordered by word as unsigned values.
static inline uint32_t key(int32_t word) { return static_cast<uint32_t>(word); }

// First child whose word is not below `word`.
static int32_t lower_bound(const zv_branch_t *branch, int32_t word) {
    int32_t lo = 0;
    int32_t hi = branch->child_count;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (key(branch->children[mid]->word) < key(word)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// First child whose word is above `word`.
static int32_t upper_bound(const zv_branch_t *branch, int32_t word) {
    int32_t lo = 0;
    int32_t hi = branch->child_count;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (key(branch->children[mid]->word) <= key(word)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// Position of this very child among the parent's children, -1 when it is not one.
// Two children may share a word, so the pointer decides among them.
static int32_t position_of(const zv_branch_t *parent, const zv_branch_t *child) {
    for (int32_t i = lower_bound(parent, child->word); i < parent->child_count; ++i) {
        if (parent->children[i] == child) return i;
        if (parent->children[i]->word != child->word) break;
    }
    return -1;
}

extern "C" const zv_branch_t *zv_branch_preorder_next(const zv_branch_t *branch, const zv_branch_t *top, int32_t *depth) {
    if (branch->child_count > 0) {
        *depth += 1;
        return branch->children[0];
    }
    while (branch != top) {
        const zv_branch_t *parent = branch->parent;
        const int32_t i = position_of(parent, branch);
        if (i + 1 < parent->child_count) return parent->children[i + 1];
        branch = parent;
        *depth -= 1;
    }
    return nullptr;
}

extern "C" zv_status_t zv_branch_init(zv_branch_t *parent, int32_t word, int32_t time, zv_branch_t **branch) {
    *branch = nullptr;
    zv_branch_t *b = static_cast<zv_branch_t *>(calloc(1, sizeof(zv_branch_t)));
    if (!b) return ZV_STATUS_OUT_OF_MEMORY;
    b->parent = parent;
    b->word = word;
    b->reference_count = 1;
    b->time = time;
    if (parent && zv_branch_add_child(parent, b) != ZV_STATUS_SUCCESS) {
        free(b);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    *branch = b;
    return ZV_STATUS_SUCCESS;
}

// Climbs while branches are left with neither references nor children.
extern "C" zv_status_t zv_branch_delete(zv_branch_t *branch) {
    while (branch && branch->reference_count == 0 && branch->child_count == 0) {
        zv_branch_t *parent = branch->parent;
        if (parent) zv_branch_remove_child(parent, branch);
        free(branch->children);
        free(branch);
        branch = parent;
    }
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_branch_add_child(zv_branch_t *branch, zv_branch_t *child) {
    zv_branch_t **children = static_cast<zv_branch_t **>(
        realloc(branch->children, sizeof(zv_branch_t *) * (static_cast<size_t>(branch->child_count) + 1)));
    if (!children) return ZV_STATUS_OUT_OF_MEMORY;
    branch->children = children;
    const int32_t at = upper_bound(branch, child->word);
    memmove(children + at + 1, children + at, sizeof(zv_branch_t *) * static_cast<size_t>(branch->child_count - at));
    children[at] = child;
    branch->child_count += 1;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_branch_remove_child(zv_branch_t *branch, zv_branch_t *child) {
    const int32_t at = position_of(branch, child);
    if (at < 0) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t count = branch->child_count - 1;
    memmove(branch->children + at, branch->children + at + 1, sizeof(zv_branch_t *) * static_cast<size_t>(count - at));
    branch->child_count = count;
    if (count == 0) {
        free(branch->children);
        branch->children = nullptr;
        return ZV_STATUS_SUCCESS;
    }
    // A shrink that fails keeps the larger array, which still holds every child.
    zv_branch_t **smaller =
        static_cast<zv_branch_t **>(realloc(branch->children, sizeof(zv_branch_t *) * static_cast<size_t>(count)));
    if (smaller) branch->children = smaller;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_branch_t *zv_branch_find_child(const zv_branch_t *branch, int32_t word) {
    const int32_t i = zv_branch_find_child_index(branch, word);
    return i < 0 ? nullptr : branch->children[i];
}

extern "C" int32_t zv_branch_find_child_index(const zv_branch_t *branch, int32_t word) {
    const int32_t i = lower_bound(branch, word);
    return i < branch->child_count && branch->children[i]->word == word ? i : -1;
}

extern "C" int32_t zv_branch_size(const zv_branch_t *branch) {
    int32_t size = 0;
    int32_t depth = 0;
    for (const zv_branch_t *b = branch; b; b = zv_branch_preorder_next(b, branch, &depth)) size += 1;
    return size;
}

extern "C" zv_status_t zv_tree_init(zv_tree_t **tree) {
    *tree = nullptr;
    zv_tree_t *t = static_cast<zv_tree_t *>(calloc(1, sizeof(zv_tree_t)));
    if (!t) return ZV_STATUS_OUT_OF_MEMORY;
    if (zv_branch_init(nullptr, 0, 0, &t->root) != ZV_STATUS_SUCCESS) {
        free(t);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    t->current = t->root;
    *tree = t;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_tree_delete(zv_tree_t *tree) { free(tree); }

extern "C" zv_branch_t *zv_tree_root(const zv_tree_t *tree) { return tree->root; }

extern "C" zv_branch_t *zv_tree_current(const zv_tree_t *tree) { return tree->current; }

extern "C" zv_status_t zv_tree_insert(zv_tree_t *, zv_branch_t *parent, int32_t word, int32_t time,
                                      zv_branch_t **branch) {
    zv_branch_t *child = zv_branch_find_child(parent, word);
    if (child) {
        if (time > child->time) child->time = time;
        child->reference_count += 1;
        *branch = child;
        return ZV_STATUS_SUCCESS;
    }
    return zv_branch_init(parent, word, time, branch);
}

// The single-child chain below `from`, down to the first branch with a token
// made at `time`; the number of moves and, with `words`, their words.
static int32_t certain_chain(const zv_branch_t *from, int32_t time, int32_t *words, const zv_branch_t **last) {
    int32_t n = 0;
    const zv_branch_t *b = from;
    while (b->child_count == 1) {
        b = b->children[0];
        if (words) words[n] = b->word;
        n += 1;
        if (b->time >= time) break;
    }
    *last = b;
    return n;
}

extern "C" zv_status_t zv_tree_partial_outputs(zv_tree_t *tree, int32_t time, int32_t *count, int32_t **words) {
    *count = 0;
    *words = nullptr;
    if (tree->current->time >= time) return ZV_STATUS_SUCCESS;
    const zv_branch_t *last = nullptr;
    const int32_t n = certain_chain(tree->current, time, nullptr, &last);
    *count = n;
    if (n == 0) return ZV_STATUS_SUCCESS;
    int32_t *out = static_cast<int32_t *>(malloc(sizeof(int32_t) * static_cast<size_t>(n)));
    if (!out) return ZV_STATUS_OUT_OF_MEMORY;
    certain_chain(tree->current, time, out, &last);
    tree->current = const_cast<zv_branch_t *>(last);
    *words = out;
    return ZV_STATUS_SUCCESS;
}

static inline bool is_orphan(const zv_branch_t *branch) {
    return branch->reference_count == 0 && branch->child_count == 0;
}

extern "C" bool zv_tree_is_valid(const zv_tree_t *tree) {
    const zv_branch_t *root = tree->root;
    if (is_orphan(root)) return false;
    int32_t depth = 0;
    for (const zv_branch_t *b = zv_branch_preorder_next(root, root, &depth); b;
         b = zv_branch_preorder_next(b, root, &depth)) {
        if (is_orphan(b)) return false;
    }
    return true;
}
