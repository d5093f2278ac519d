// Gram sets and count trees for the toolkit's tests.
#ifndef ZV_TESTS_SUPPORT_LM_FIXTURES_H
#define ZV_TESTS_SUPPORT_LM_FIXTURES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "lm/count.h"
#include "lm/gram.h"
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

inline std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
