// Printing apart from the tree itself: only it needs the graph's words.
#include "foundation/log.h"
#include "lm/graph.h"
#include "lm/word_tree.h"
#include "lm/word_tree_walk.h"

#ifdef _WIN32
#define ZV_TREE_MARK "| "
#define ZV_TREE_TEXT "%s\n"
#define ZV_TREE_LABEL "%u\n"
#else
#define ZV_TREE_MARK ZV_LOG_GREEN "| " ZV_LOG_RESET
#define ZV_TREE_TEXT ZV_LOG_GREEN "%s\n" ZV_LOG_RESET
#define ZV_TREE_LABEL ZV_LOG_GREEN "%u\n" ZV_LOG_RESET
#endif

extern "C" void zv_tree_print(const zv_tree_t *tree, const zv_graph_t *graph) {
    zv_tree_print_helper(tree->root, graph, 0);
}

// A preorder walk, not one call per level: a tree is as deep as the words decoded.
extern "C" void zv_tree_print_helper(const zv_branch_t *branch, const zv_graph_t *graph, int32_t indent) {
    int32_t depth = 0;
    for (const zv_branch_t *b = branch; b; b = zv_branch_preorder_next(b, branch, &depth)) {
        // A branch `depth` levels down is printed at indent + 2 * depth; halved
        // as one sum, so that a negative odd indent rounds toward zero once
        // (-1 gives the children no mark). 64 bits: the sum may leave int32.
        const int64_t marks = (static_cast<int64_t>(indent) + 2 * static_cast<int64_t>(depth)) / 2;
        for (int64_t i = 0; i < marks; ++i) zv_log(ZV_TREE_MARK);
        if (graph) {
            zv_log(ZV_TREE_TEXT, b->word == 0 ? "-" : zv_graph_word(graph, b->word));
        } else {
            zv_log(ZV_TREE_LABEL, static_cast<unsigned>(b->word));
        }
    }
}
