// Count files written byte by byte for the estimator's tests, apart from
// the library's writer, from trees listed in preorder with each node's
// depth, so that damaged and inconsistent files can be made too.
#ifndef ZV_TESTS_SUPPORT_NGRAM_FIXTURES_H
#define ZV_TESTS_SUPPORT_NGRAM_FIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/byte_writer.h"

namespace zv_test {

// Bits that hold every value up to `value`.
inline int32_t bits_for(uint64_t value) {
    int32_t bits = 0;
    while ((value >> bits) != 0) ++bits;
    return bits;
}

// Fields of `bits` bits packed from the least significant bit of the first
// little-endian uint32 word on, the last word's spare bits 0.
inline std::vector<uint8_t> pack_fields(const std::vector<uint32_t> &values, int32_t bits) {
    std::vector<uint32_t> words((values.size() * static_cast<size_t>(bits) + 31) / 32, 0);
    uint64_t at = 0;
    for (uint32_t v : values) {
        for (int32_t b = 0; b < bits; ++b, ++at) {
            if ((v >> b) & 1u) words[at / 32] |= 1u << (at % 32);
        }
    }
    ByteWriter out;
    for (uint32_t w : words) out.u32(w);
    return out.take();
}

// The tree-structure bits of nodes given by their preorder depths (the
// root's 0 first): 0 on entering a node, 1 on leaving it.
inline std::vector<uint32_t> structure_bits(const std::vector<int32_t> &depths) {
    std::vector<uint32_t> bits;
    int32_t open = 0;
    for (int32_t d : depths) {
        while (open > d) {
            bits.push_back(1);
            --open;
        }
        bits.push_back(0);
        ++open;
    }
    while (open > 0) {
        bits.push_back(1);
        --open;
    }
    return bits;
}

struct CountNode {
    int32_t depth;  // 0 for the root
    int32_t word;   // -1 for the root
    int64_t count;
};

// A count file of the nodes; the word width holds the largest word + 1
// unless given.
inline std::vector<uint8_t> count_file(const std::vector<CountNode> &nodes, int32_t word_bits = 0) {
    uint32_t largest = 1;
    std::vector<int32_t> depths;
    std::vector<uint32_t> fields;
    for (const CountNode &n : nodes) {
        depths.push_back(n.depth);
        fields.push_back(static_cast<uint32_t>(n.word + 1));
        if (fields.back() > largest) largest = fields.back();
    }
    if (word_bits == 0) word_bits = bits_for(largest);
    ByteWriter out;
    out.i32(static_cast<int32_t>(nodes.size())).i32(word_bits);
    for (const CountNode &n : nodes) out.i64(n.count);
    out.bytes(pack_fields(structure_bits(depths), 1));
    out.bytes(pack_fields(fields, word_bits));
    return out.take();
}

}  // namespace zv_test

#endif
