// Language-model trees for tests and their blobs, written here by hand
// rather than through the library's writer, so that a reader and a writer
// can't share one fault.
#ifndef ZV_TESTS_SUPPORT_LM_FIXTURES_H
#define ZV_TESTS_SUPPORT_LM_FIXTURES_H

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "lm/mgram.h"

namespace zv_test {

struct MgramDeleter {
    void operator()(zv_mgram_t *mgram) const { zv_mgram_delete(mgram); }
};
using MgramPtr = std::unique_ptr<zv_mgram_t, MgramDeleter>;

// A node with its on-disk cost bytes; `backoff` is stored only for a node
// with children. The root's word is -1.
struct LmNode {
    int32_t word = -1;
    int8_t forward = 0;
    int8_t backoff = 0;
    std::vector<LmNode> children;
};

// The tree's nodes in preorder, each with its parent's preorder index.
struct LmFlat {
    const LmNode *node;
    int32_t parent;
    int32_t depth;
};

inline std::vector<LmFlat> lm_preorder(const LmNode &root) {
    std::vector<LmFlat> out;
    std::vector<LmFlat> stack{{&root, -1, 0}};
    while (!stack.empty()) {
        const LmFlat top = stack.back();
        stack.pop_back();
        const int32_t index = static_cast<int32_t>(out.size());
        out.push_back(top);
        for (size_t k = top.node->children.size(); k-- > 0;) {
            stack.push_back({&top.node->children[k], index, top.depth + 1});
        }
    }
    return out;
}

// Fields of a blob that a test may force to other values.
struct LmBlobOverrides {
    int32_t word_bits = -1;    // -1: the smallest width (at least 1) that holds the largest stored value
    int64_t num_leaves = -1;   // -1: the true leaf count
    int64_t total_bytes = -1;  // -1: the layout's size
};

inline std::vector<uint8_t> lm_blob_bytes(const LmNode &root, const LmBlobOverrides &o = {}) {
    const std::vector<LmFlat> flat = lm_preorder(root);
    const uint64_t n = flat.size();
    uint64_t leaves = 0;
    uint32_t largest = 0;
    for (const LmFlat &f : flat) {
        leaves += f.node->children.empty() ? 1 : 0;
        largest = std::max(largest, static_cast<uint32_t>(f.node->word + 1));
    }
    int32_t bits = 1;
    while ((static_cast<uint64_t>(largest) >> bits) != 0) ++bits;
    if (o.word_bits >= 0) bits = o.word_bits;
    if (o.num_leaves >= 0) leaves = static_cast<uint64_t>(o.num_leaves);

    std::vector<uint32_t> fields((n * static_cast<uint64_t>(bits) + 31) / 32, 0);
    std::vector<uint32_t> structure((2 * n + 31) / 32, 0);
    std::vector<uint8_t> forward, backoff;
    uint64_t bit = 0;
    auto put_bit = [&](uint32_t v) {
        structure[bit / 32] |= v << (bit % 32);
        ++bit;
    };
    // Bits of the string: a 0 before each node, and as many 1s after it as
    // the nodes it closes (itself when a leaf, and ancestors whose last child
    // it ends).
    for (uint64_t i = 0; i < n; ++i) {
        const LmNode &node = *flat[i].node;
        const uint64_t value = static_cast<uint32_t>(node.word + 1);
        for (int32_t b = 0; b < bits; ++b) {
            const uint64_t k = i * static_cast<uint64_t>(bits) + static_cast<uint64_t>(b);
            fields[k / 32] |= static_cast<uint32_t>((value >> b) & 1u) << (k % 32);
        }
        forward.push_back(static_cast<uint8_t>(node.forward));
        if (!node.children.empty()) backoff.push_back(static_cast<uint8_t>(node.backoff));
        put_bit(0);
        if (node.children.empty()) {
            put_bit(1);
            // Close every ancestor of which this node ends the subtree.
            int32_t child = static_cast<int32_t>(i);
            int32_t parent = flat[i].parent;
            while (parent >= 0) {
                const LmNode &p = *flat[parent].node;
                if (&p.children.back() != flat[child].node) break;
                put_bit(1);
                child = parent;
                parent = flat[parent].parent;
            }
        }
    }
    const uint64_t layout = 16 + 4 * fields.size() + 4 * structure.size() + n + (n - leaves);
    const uint64_t total = o.total_bytes >= 0 ? static_cast<uint64_t>(o.total_bytes) : layout;
    std::vector<uint8_t> out;
    auto u32 = [&](uint32_t v) {
        for (int s = 0; s < 32; s += 8) out.push_back(static_cast<uint8_t>(v >> s));
    };
    u32(static_cast<uint32_t>(total));
    u32(static_cast<uint32_t>(n));
    u32(static_cast<uint32_t>(leaves));
    u32(static_cast<uint32_t>(bits));
    for (uint32_t w : fields) u32(w);
    for (uint32_t w : structure) u32(w);
    out.insert(out.end(), forward.begin(), forward.end());
    out.insert(out.end(), backoff.begin(), backoff.end());
    out.resize(std::max<uint64_t>(out.size(), total), 0);
    return out;
}

// A random tree: up to `max_children` children per node, words strictly
// ascending among siblings and below `vocabulary`, depth at most `order`,
// cost bytes anywhere in -128..127.
inline LmNode random_lm_tree(std::mt19937 &rng, int32_t vocabulary, int32_t order, int32_t max_children) {
    LmNode root;
    root.forward = static_cast<int8_t>(rng());
    root.backoff = static_cast<int8_t>(rng());
    std::vector<std::pair<LmNode *, int32_t>> open{{&root, 0}};
    while (!open.empty()) {
        auto [node, depth] = open.back();
        open.pop_back();
        if (depth >= order) continue;
        const int32_t count = static_cast<int32_t>(rng() % static_cast<uint32_t>(max_children + 1));
        int32_t word = -1;
        for (int32_t k = 0; k < count; ++k) {
            word += 1 + static_cast<int32_t>(rng() % 3);
            if (word >= vocabulary) break;
            LmNode child;
            child.word = word;
            child.forward = static_cast<int8_t>(rng());
            child.backoff = static_cast<int8_t>(rng());
            node->children.push_back(child);
        }
        for (LmNode &child : node->children) open.push_back({&child, depth + 1});
    }
    return root;
}

}  // namespace zv_test

#endif
