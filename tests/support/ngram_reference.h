// The n-gram estimator in its first, plainest form, kept as the reference
// that the library's model must equal bit for bit: every count, word,
// probability, backoff weight and pruning decision.
//
// The tree is built node by node in preorder, each child found or inserted
// at its sorted place among its parent's children (a word repeated under one
// parent reuses its node, which takes the later count and gathers the
// children read after it). Every backed-off probability walks each shorter
// history from the root, as many walks as the n-gram has words. The walks
// recurse: keep the trees a few thousand levels deep at most.
#ifndef ZV_TESTS_SUPPORT_NGRAM_REFERENCE_H
#define ZV_TESTS_SUPPORT_NGRAM_REFERENCE_H

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/ngram_fixtures.h"

namespace zv_test::reference {

struct Node {
    int32_t word = -1;
    int64_t count = 0;
    double probability = 0.0;
    double backoff = 1.0;
    std::vector<std::unique_ptr<Node>> children;  // ascending by word
};

struct Model {
    std::unique_ptr<Node> root;
    int32_t order = 0;
    double V = 0.0;
};

inline int32_t lower_bound(const Node *node, int32_t word) {
    int32_t lo = 0;
    int32_t hi = static_cast<int32_t>(node->children.size());
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (node->children[mid]->word < word) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

inline Node *find_child(const Node *node, int32_t word) {
    const int32_t i = lower_bound(node, word);
    if (i == static_cast<int32_t>(node->children.size()) || node->children[i]->word != word) return nullptr;
    return node->children[i].get();
}

inline const Node *walk(const Node *root, const int32_t *words, int32_t n) {
    const Node *node = root;
    for (int32_t i = 0; i < n && node; ++i) node = find_child(node, words[i]);
    return node;
}

// P(w_0 ... w_k-1): for j = 0 .. k - 1 the history w_j .. w_k-2 from the
// root; one that is not a path is passed by; one with the last word as a
// child gives x times its probability, else x takes its backoff.
inline double backed_off(const Node *root, double V, const int32_t *words, int32_t k) {
    if (k == 0) return 1.0 / V;
    double x = 1.0;
    const int32_t w = words[k - 1];
    for (int32_t j = 0; j < k; ++j) {
        const Node *h = walk(root, words + j, k - 1 - j);
        if (!h) continue;
        const Node *child = find_child(h, w);
        if (child) return x * child->probability;
        x = x * h->backoff;
    }
    return x / V;
}

// The tree of a count file's nodes in preorder, checked: false for a word
// outside 0 .. V - 1 or a count breaking the rules (every node at least 1,
// and at least its children together).
inline bool build(const std::vector<CountNode> &nodes, int32_t V, Model *model) {
    model->root = std::make_unique<Node>();
    model->root->count = nodes.at(0).count;
    model->V = static_cast<double>(V);
    model->order = 0;
    std::vector<Node *> open{model->root.get()};
    for (size_t i = 1; i < nodes.size(); ++i) {
        const CountNode &n = nodes[i];
        if (n.word < 0 || n.word >= V) return false;
        open.resize(static_cast<size_t>(n.depth));
        Node *parent = open.back();
        const int32_t at = lower_bound(parent, n.word);
        Node *child = find_child(parent, n.word);
        if (!child) {
            auto fresh = std::make_unique<Node>();
            fresh->word = n.word;
            child = fresh.get();
            parent->children.insert(parent->children.begin() + at, std::move(fresh));
        }
        child->count = n.count;
        open.push_back(child);
        if (n.depth > model->order) model->order = n.depth;
    }
    std::vector<const Node *> stack{model->root.get()};
    while (!stack.empty()) {
        const Node *node = stack.back();
        stack.pop_back();
        if (node->count < 1) return false;
        int64_t sum = 0;
        for (const auto &c : node->children) {
            if (__builtin_add_overflow(sum, c->count, &sum)) return false;
            stack.push_back(c.get());
        }
        if (sum > node->count) return false;
    }
    return true;
}

// Depth by depth, each depth in preorder: the children's probabilities and
// the history's backoff weight from the lower-order probabilities of its
// children's words.
inline void estimate(Model *model) {
    const double V = model->V;
    std::vector<std::vector<std::pair<Node *, std::vector<int32_t>>>> levels(1);
    levels[0].push_back({model->root.get(), {}});
    for (int32_t i = 0; i < model->order; ++i) {
        levels.emplace_back();
        for (auto &[c, path] : levels[static_cast<size_t>(i)]) {
            const double T = static_cast<double>(c->count);
            int64_t child_counts = 0;
            double lower = 0.0;
            for (const auto &x : c->children) {
                x->probability = static_cast<double>(x->count) / T;
                child_counts += x->count;
                std::vector<int32_t> lower_path(path.begin() + (path.empty() ? 0 : 1), path.end());
                lower_path.push_back(x->word);
                lower += i == 0 ? 1.0 / V
                                : backed_off(model->root.get(), V, lower_path.data(), static_cast<int32_t>(lower_path.size()));
                std::vector<int32_t> child_path = path;
                child_path.push_back(x->word);
                levels.back().push_back({x.get(), child_path});
            }
            const double b = 1.0 - lower;
            if (b <= 1e-8) {
                c->backoff = 0.001;
            } else {
                const double leftover = (T - static_cast<double>(child_counts)) / T;
                c->backoff = (leftover == 0.0 || b == 0.0) ? 0.001 : leftover / b;
            }
        }
    }
}

// Children from the last to the first, each subtree before its node; a leaf
// goes when the backed-off probability is at least its own or their weighted
// log difference is below the threshold. Removal is immediate, so that later
// walks see the tree as pruned so far.
inline void prune_below(Model *model, Node *c, std::vector<int32_t> &path, int32_t d, double threshold) {
    const double total = static_cast<double>(model->root->count);
    for (int32_t i = static_cast<int32_t>(c->children.size()) - 1; i >= 0; --i) {
        Node *x = c->children[static_cast<size_t>(i)].get();
        if (path.size() <= static_cast<size_t>(d)) path.resize(static_cast<size_t>(d) + 1);
        path[static_cast<size_t>(d)] = x->word;
        prune_below(model, x, path, d + 1, threshold);
        if (!x->children.empty()) continue;
        x->backoff = 1.0;
        const double lp = std::log10(x->probability);
        const double lb = std::log10(backed_off(model->root.get(), model->V, path.data() + 1, d) * c->backoff);
        if (lb >= lp || threshold > std::fabs(lb - lp) * static_cast<double>(x->count) / total) {
            c->children.erase(c->children.begin() + i);
        }
    }
}

inline void prune(Model *model, double threshold) {
    std::vector<int32_t> path;
    prune_below(model, model->root.get(), path, 0, threshold);
}

inline void add_singletons(Model *model) {
    Node *root = model->root.get();
    const double share = root->backoff / model->V;
    for (int32_t w = 0; w < static_cast<int32_t>(model->V); ++w) {
        Node *child = find_child(root, w);
        if (!child) {
            auto fresh = std::make_unique<Node>();
            fresh->word = w;
            child = fresh.get();
            root->children.insert(root->children.begin() + lower_bound(root, w), std::move(fresh));
        }
        if (child->probability == 0.0) {
            child->backoff = 1.0;
            child->probability = share;
        }
    }
    if (model->order == 0 && !root->children.empty()) model->order = 1;
}

}  // namespace zv_test::reference

#endif
