// Count files for the estimator's tests, written apart from the library's
// writer from trees listed in preorder with each node's depth, so that
// inconsistent files can be made too.
#ifndef ZV_TESTS_SUPPORT_NGRAM_FIXTURES_H
#define ZV_TESTS_SUPPORT_NGRAM_FIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/lm_fixtures.h"

namespace zv_test {

struct CountNode {
    int32_t depth;  // 0 for the root
    int32_t word;   // -1 for the root
    int64_t count;
};

// A count file of the nodes; the word width is the smallest that holds the
// largest word + 1 unless given.
inline std::vector<uint8_t> count_file(const std::vector<CountNode> &nodes, int32_t word_bits = 0) {
    uint32_t largest = 1;
    std::string structure;  // 0 on entering a node, 1 on leaving it
    std::vector<uint32_t> fields;
    int32_t open = 0;
    for (const CountNode &n : nodes) {
        for (; open > n.depth; --open) structure += '1';
        structure += '0';
        ++open;
        fields.push_back(static_cast<uint32_t>(n.word + 1));
        if (fields.back() > largest) largest = fields.back();
    }
    for (; open > 0; --open) structure += '1';
    if (word_bits == 0) {
        while ((largest >> word_bits) != 0) ++word_bits;
    }
    std::vector<int64_t> counts;
    for (const CountNode &n : nodes) counts.push_back(n.count);
    return count_file(static_cast<int32_t>(nodes.size()), word_bits, counts, structure, fields);
}

}  // namespace zv_test

#endif
