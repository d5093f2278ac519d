// Lexicons and dictionaries for tests, made through their text readers, and
// their blobs through the library's writers (for blobs checked byte by byte,
// write them with ByteWriter instead).
#ifndef ZV_TESTS_SUPPORT_PRONUNCIATION_FIXTURES_H
#define ZV_TESTS_SUPPORT_PRONUNCIATION_FIXTURES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "support/temp_dir.h"

namespace zv_test {

struct LexiconDeleter {
    void operator()(zv_lexicon_t *lexicon) const { zv_lexicon_delete(lexicon); }
};
using LexiconPtr = std::unique_ptr<zv_lexicon_t, LexiconDeleter>;

struct DictDeleter {
    void operator()(zv_dict_t *dict) const { zv_dict_delete(dict); }
};
using DictPtr = std::unique_ptr<zv_dict_t, DictDeleter>;

// Pronunciations of each word, in lexicon order: ids 1..P.
using Pronunciations = std::vector<std::vector<std::vector<int32_t>>>;

// A lexicon of words sorted strictly increasing by strcmp (none may hold a
// newline or NUL); NULL with a test failure otherwise.
inline LexiconPtr make_lexicon(const std::vector<std::string> &words) {
    TempDir dir;
    std::string text;
    for (const std::string &w : words) text += w + "\n";
    zv_lexicon_t *lexicon = nullptr;
    EXPECT_EQ(zv_lexicon_init(dir.write("words.txt", text).c_str(), &lexicon), ZV_STATUS_SUCCESS);
    return LexiconPtr(lexicon);
}

// A dictionary over lexicon with phone set size P (names "P1".."PP"): every
// word needs at least one pronunciation.
inline DictPtr make_dict(const zv_lexicon_t *lexicon, int32_t phoneme_set_size, const Pronunciations &prons) {
    TempDir dir;
    std::string phones;
    for (int32_t i = 1; i <= phoneme_set_size; ++i) phones += "P" + std::to_string(i) + "\n";
    std::string lines;
    for (size_t w = 0; w < prons.size(); ++w) {
        for (const std::vector<int32_t> &pron : prons[w]) {
            lines += zv_lexicon_decode(lexicon, static_cast<int32_t>(w));
            lines += "\t";
            for (int32_t id : pron) lines += "P" + std::to_string(id) + " ";
            lines += "\n";
        }
    }
    zv_dict_t *dict = nullptr;
    EXPECT_EQ(zv_dict_init(dir.write("phones.txt", phones).c_str(), dir.write("prons.txt", lines).c_str(), lexicon,
                           &dict),
              ZV_STATUS_SUCCESS);
    return DictPtr(dict);
}

inline std::vector<uint8_t> lexicon_blob(const zv_lexicon_t *lexicon) {
    uint64_t size = 0;
    void *blob = nullptr;
    EXPECT_EQ(zv_lexicon_serialize(lexicon, &size, &blob), ZV_STATUS_SUCCESS);
    const uint8_t *p = static_cast<const uint8_t *>(blob);
    std::vector<uint8_t> bytes(p, p + size);
    std::free(blob);
    return bytes;
}

inline std::vector<uint8_t> dict_blob(const zv_dict_t *dict) {
    uint64_t size = 0;
    void *blob = nullptr;
    EXPECT_EQ(zv_dict_serialize(dict, &size, &blob), ZV_STATUS_SUCCESS);
    const uint8_t *p = static_cast<const uint8_t *>(blob);
    std::vector<uint8_t> bytes(p, p + size);
    std::free(blob);
    return bytes;
}

// The lexicon blob followed by the dictionary blob, as a model file carries
// them.
inline std::vector<uint8_t> pronunciation_blobs(const std::vector<std::string> &words, int32_t phoneme_set_size,
                                                const Pronunciations &prons) {
    LexiconPtr lexicon = make_lexicon(words);
    if (!lexicon) return {};
    DictPtr dict = make_dict(lexicon.get(), phoneme_set_size, prons);
    if (!dict) return {};
    std::vector<uint8_t> bytes = lexicon_blob(lexicon.get());
    const std::vector<uint8_t> second = dict_blob(dict.get());
    bytes.insert(bytes.end(), second.begin(), second.end());
    return bytes;
}

// Runs decode(&cursor, size) over an exact-size heap copy of the bytes, so
// that AddressSanitizer sees any overread; *consumed is how far the cursor
// moved.
template <typename Decode>
zv_status_t decode_exact_copy(const std::vector<uint8_t> &bytes, uint64_t *consumed, Decode decode) {
    uint8_t *copy = static_cast<uint8_t *>(std::malloc(bytes.size() ? bytes.size() : 1));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    const void *cursor = copy;
    const zv_status_t status = decode(&cursor, static_cast<uint64_t>(bytes.size()));
    *consumed = static_cast<uint64_t>(static_cast<const uint8_t *>(cursor) - copy);
    std::free(copy);
    return status;
}

// A copy of a blob with one to three bits flipped and, one time in four,
// cut short: random damage for the blob readers.
inline std::vector<uint8_t> damaged(const std::vector<uint8_t> &blob, std::mt19937 &rng) {
    std::vector<uint8_t> bytes = blob;
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f) bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
    return bytes;
}

// The words A, AA, AAA, ... of up to `levels` letters: a trie that is one
// chain with an end node at every level, whose text grows with the square of
// its blob.
inline std::vector<std::string> chain_words(int32_t levels) {
    std::vector<std::string> words;
    for (int32_t k = 1; k <= levels; ++k) words.emplace_back(static_cast<size_t>(k), 'A');
    return words;
}

// One word pronounced 1, 1 1, 1 1 1, ... up to `levels` ids: one chain of
// phoneme nodes with an end node at every level.
inline Pronunciations chain_pronunciations(int32_t levels) {
    Pronunciations prons(1);
    for (int32_t k = 1; k <= levels; ++k) prons[0].emplace_back(static_cast<size_t>(k), 1);
    return prons;
}

}  // namespace zv_test

#endif
