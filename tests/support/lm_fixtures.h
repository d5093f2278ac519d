// Gram sets, count trees and language-model trees for the toolkit's tests.
// Blobs are written here by hand rather than through the library's writer,
// so that a reader and a writer can't share one fault.
#ifndef ZV_TESTS_SUPPORT_LM_FIXTURES_H
#define ZV_TESTS_SUPPORT_LM_FIXTURES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lm/count.h"
#include "lm/gram.h"
#include "lm/mgram.h"
#include "support/byte_writer.h"
#include "support/pronunciation_fixtures.h"

namespace zv_test {

struct GramDeleter {
    void operator()(zv_gram_t *gram) const { zv_gram_delete(gram); }
};
using GramPtr = std::unique_ptr<zv_gram_t, GramDeleter>;

struct CountDeleter {
    void operator()(zv_count_t *count) const { zv_count_delete(count); }
};
using CountPtr = std::unique_ptr<zv_count_t, CountDeleter>;

using Sequences = std::vector<std::vector<int32_t>>;

// A lexicon of `size` words ("w0000000", ... in index order). The word-list
// reader wants at least one word, so the empty one comes from its blob.
inline LexiconPtr lexicon_of_size(int32_t size) {
    if (size == 0) {
        const uint8_t blob[16] = {16, 0, 0, 0, 1, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0};
        const void *cursor = blob;
        zv_lexicon_t *lexicon = nullptr;
        EXPECT_EQ(zv_lexicon_deserialize_bounded(&cursor, sizeof blob, &lexicon), ZV_STATUS_SUCCESS);
        return LexiconPtr(lexicon);
    }
    std::vector<std::string> words;
    for (int32_t i = 0; i < size; ++i) {
        char word[16];
        std::snprintf(word, sizeof word, "w%07d", i);
        words.emplace_back(word);
    }
    return make_lexicon(words);
}

inline GramPtr make_gram(int32_t order, zv_lexicon_t *lexicon, const Sequences &sequences) {
    zv_gram_t *gram = nullptr;
    EXPECT_EQ(zv_gram_init(order, lexicon, &gram), ZV_STATUS_SUCCESS);
    for (const std::vector<int32_t> &s : sequences) {
        EXPECT_EQ(zv_gram_insert(gram, s.data(), static_cast<int32_t>(s.size())), ZV_STATUS_SUCCESS);
    }
    return GramPtr(gram);
}

// A count tree in the shape of the gram set, with the sequences counted.
inline CountPtr make_count(const zv_gram_t *gram, const Sequences &counted) {
    zv_count_t *count = nullptr;
    EXPECT_EQ(zv_count_init(gram, &count), ZV_STATUS_SUCCESS);
    for (const std::vector<int32_t> &s : counted) {
        EXPECT_EQ(zv_count_insert(count, s.data(), static_cast<int32_t>(s.size())), ZV_STATUS_SUCCESS);
    }
    return CountPtr(count);
}

// Fields of `bits` bits packed from the least significant bit of the first
// little-endian word, into exactly `words` words (written apart from the
// library's bit-field code, so that the two can't share a fault).
inline void pack_fields(ByteWriter &out, const std::vector<uint32_t> &values, int bits, size_t words) {
    std::vector<uint32_t> packed(words, 0);
    for (size_t i = 0; i < values.size(); ++i) {
        for (int b = 0; b < bits; ++b) {
            const size_t k = i * bits + b;
            if ((values[i] >> b & 1u) && k / 32 < words) packed[k / 32] |= 1u << (k % 32);
        }
    }
    for (uint32_t w : packed) out.u32(w);
}

// A tree-structure string given as '0' and '1' (the root's opening bit
// first) in the words that n nodes take, then n word fields of `bits` bits.
inline void pack_tree(ByteWriter &out, int32_t n, const std::string &structure, const std::vector<uint32_t> &values,
                      int bits) {
    std::vector<uint32_t> structure_bits;
    for (char c : structure) structure_bits.push_back(c == '1');
    pack_fields(out, structure_bits, 1, (2 * static_cast<size_t>(n) + 31) / 32);
    pack_fields(out, values, bits, (static_cast<size_t>(n) * bits + 31) / 32);
}

// A count file declaring n nodes of w-bit words: the counts (0 for the
// nodes beyond them), the structure string, the stored word values.
inline std::vector<uint8_t> count_file(int32_t n, int32_t w, const std::vector<int64_t> &counts,
                                       const std::string &structure, const std::vector<uint32_t> &values) {
    ByteWriter out;
    out.i32(n).i32(w);
    for (int32_t i = 0; i < n; ++i) out.i64(i < static_cast<int32_t>(counts.size()) ? counts[i] : 0);
    pack_tree(out, n, structure, values, w);
    return out.take();
}

inline std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every truncation of a valid file must be refused; random damage of it
// must be refused or loaded. load(path) reads a file (checking whatever it
// loads) and gives the status. Returns how many damaged files loaded.
template <typename Load>
int load_damaged_files(const TempDir &dir, const std::vector<uint8_t> &file, std::mt19937 &rng, Load &&load) {
    for (size_t size = 0; size < file.size(); ++size) {
        EXPECT_EQ(load(dir.write("cut.bin", std::vector<uint8_t>(file.begin(), file.begin() + size))),
                  ZV_STATUS_INVALID_ARGUMENT)
            << size;
    }
    int accepted = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const zv_status_t status = load(dir.write("damaged.bin", damaged(file, rng)));
        EXPECT_TRUE(status == ZV_STATUS_SUCCESS || status == ZV_STATUS_INVALID_ARGUMENT);
        accepted += status == ZV_STATUS_SUCCESS ? 1 : 0;
    }
    return accepted;
}

// A sequence of `length` words cycling through 0 .. words - 1.
inline std::vector<int32_t> chain_of(int32_t length, int32_t words) {
    std::vector<int32_t> chain(length);
    for (int32_t i = 0; i < length; ++i) chain[i] = i % words;
    return chain;
}

// True where writes to /dev/full fail (small writes only at closing).
inline bool have_dev_full() {
    FILE *probe = std::fopen("/dev/full", "wb");
    if (!probe) return false;
    std::fclose(probe);
    return true;
}


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
