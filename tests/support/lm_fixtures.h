// Gram sets and count trees for the toolkit's tests.
#ifndef ZV_TESTS_SUPPORT_LM_FIXTURES_H
#define ZV_TESTS_SUPPORT_LM_FIXTURES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lm/count.h"
#include "lm/gram.h"
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

}  // namespace zv_test

#endif
