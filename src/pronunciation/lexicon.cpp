#include "pronunciation/lexicon.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "foundation/byte_reader.h"
#include "foundation/file.h"
#include "foundation/status.h"
#include "foundation/tree_bits.h"
#include "pronunciation/text_lines.h"

struct zv_lexicon_t {
    char *text;     // every word with its NUL, back to back in index order
    int32_t size;   // number of words
    char **words;   // words[i] points at word i inside text
};

namespace {

constexpr uint64_t kHeaderBytes = 8;

// A blob's spelled-out text (words with their NULs) may be at most this many
// times its total size. Words of a trie share prefixes, so the text can grow
// quadratically with the blob (A, AA, AAA, ... costs 2.5 bytes a word); the
// bound keeps the reader's memory and time proportional to its input. It
// can't refuse a real word list: every word owns at least two nodes (its end
// node and the node of its last byte), 2.5 blob bytes, so the text passes 64
// times the blob only when the words average some 160 bytes and share nearly
// all of them. A pronouncing dictionary's lexicon expands about 2 times.
constexpr uint64_t kMaxTextPerBlobByte = 64;

// Blocks of 0 bytes are real blocks: an empty lexicon is not a failed allocation.
void *allocate(uint64_t bytes, bool zeroed) {
    if (bytes > SIZE_MAX) {
        return nullptr;
    }
    const size_t n = bytes > 0 ? static_cast<size_t>(bytes) : 1;
    return zeroed ? calloc(n, 1) : malloc(n);
}

struct LexiconDeleter {
    void operator()(zv_lexicon_t *lexicon) const { zv_lexicon_delete(lexicon); }
};
using LexiconPtr = std::unique_ptr<zv_lexicon_t, LexiconDeleter>;

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};
template <typename T>
using Block = std::unique_ptr<T, FreeDeleter>;

}  // namespace

extern "C" zv_status_t zv_lexicon_init(const char *path, zv_lexicon_t **lexicon) {
    *lexicon = nullptr;
    LexiconPtr rec(static_cast<zv_lexicon_t *>(calloc(1, sizeof(zv_lexicon_t))));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    int32_t bytes = 0;
    void *data = nullptr;
    ZV_TRY(zv_file_load(path, &bytes, &data));
    rec->text = static_cast<char *>(data);
    int32_t count = 0;
    ZV_TRY(zv_text_lines_split(rec->text, bytes, &count));
    rec->words = static_cast<char **>(allocate(sizeof(char *) * static_cast<uint64_t>(count), false));
    if (!rec->words) return ZV_STATUS_OUT_OF_MEMORY;
    rec->size = count;
    ZV_TRY(zv_text_lines_index(rec->text, count, rec->words));
    for (int32_t i = 0; i + 1 < count; ++i) {
        if (strcmp(rec->words[i], rec->words[i + 1]) >= 0) return ZV_STATUS_INVALID_ARGUMENT;
    }
    *lexicon = rec.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_lexicon_delete(zv_lexicon_t *lexicon) {
    if (!lexicon) return;
    free(lexicon->text);
    free(lexicon->words);
    free(lexicon);
}

extern "C" int32_t zv_lexicon_size(const zv_lexicon_t *lexicon) { return lexicon->size; }

extern "C" int32_t zv_lexicon_encode(const zv_lexicon_t *lexicon, const char *word) {
    int32_t lo = 0;
    int32_t hi = lexicon->size - 1;
    while (lo <= hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const int c = strcmp(word, lexicon->words[mid]);
        if (c == 0) return mid;
        if (c < 0) hi = mid - 1;
        else lo = mid + 1;
    }
    return -1;
}

extern "C" const char *zv_lexicon_decode(const zv_lexicon_t *lexicon, int32_t index) {
    return lexicon->words[index];
}

extern "C" zv_status_t zv_lexicon_add(zv_lexicon_t *lexicon, const char *const *words, int32_t count) {
    if (count < 0) return ZV_STATUS_INVALID_ARGUMENT;
    uint64_t bytes = 0;
    for (int32_t i = 0; i < lexicon->size; ++i) bytes += strlen(lexicon->words[i]) + 1;
    for (int32_t k = 0; k < count; ++k) bytes += strlen(words[k]) + 1;
    const uint64_t slots = static_cast<uint64_t>(lexicon->size) + static_cast<uint64_t>(count);
    if (slots > INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    Block<char> text(static_cast<char *>(allocate(bytes, true)));
    if (!text) return ZV_STATUS_OUT_OF_MEMORY;
    Block<char *> table(static_cast<char **>(allocate(sizeof(char *) * slots, true)));
    if (!table) return ZV_STATUS_OUT_OF_MEMORY;

    char *out = text.get();
    int32_t n = 0;
    auto copy = [&](const char *word) {
        const size_t len = strlen(word) + 1;
        memcpy(out, word, len);
        table.get()[n++] = out;
        out += len;
    };
    int32_t i = 0;
    int32_t k = 0;
    while (i < lexicon->size && k < count) {
        const int c = strcmp(lexicon->words[i], words[k]);
        if (c < 0) copy(lexicon->words[i++]);
        else if (c > 0) copy(words[k++]);
        else k++;  // already present
    }
    while (i < lexicon->size) copy(lexicon->words[i++]);
    while (k < count) copy(words[k++]);

    free(lexicon->text);
    free(lexicon->words);
    lexicon->text = text.release();
    lexicon->words = table.release();
    lexicon->size = n;
    return ZV_STATUS_SUCCESS;
}

extern "C" int32_t zv_lexicon_is_equal(const zv_lexicon_t *a, const zv_lexicon_t *b) {
    if (a->size != b->size) return 0;
    for (int32_t i = 0; i < a->size; ++i) {
        if (strcmp(a->words[i], b->words[i]) != 0) return 0;
    }
    return 1;
}

// Bytes two words share at their start.
static uint64_t common_prefix(const char *a, const char *b) {
    uint64_t k = 0;
    while (a[k] != '\0' && a[k] == b[k]) ++k;
    return k;
}

extern "C" zv_status_t zv_lexicon_serialize(const zv_lexicon_t *lexicon, uint64_t *size, void **blob) {
    *size = 0;
    *blob = nullptr;
    // The words are strictly increasing, so the character trie built from
    // them in order (children in creation order, which is byte order, the end
    // node first) is walked in preorder by going through the words: each
    // word leaves the nodes of the previous word beyond their common prefix,
    // then enters its own remaining bytes and its end node. No trie is built.
    uint64_t n = 1;
    uint64_t text_bytes = 0;
    for (int32_t i = 0; i < lexicon->size; ++i) {
        const char *word = lexicon->words[i];
        const uint64_t shared = i > 0 ? common_prefix(lexicon->words[i - 1], word) : 0;
        const uint64_t length = strlen(word);
        n += length - shared + 1;
        text_bytes += length + 1;
    }
    if (n > INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;  // can't be recorded in the header
    const uint64_t bits_bytes = zv_tree_bits_size_bytes(n);
    const uint64_t total = (bits_bytes + n + 11) & ~uint64_t{3};
    if (total > INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    if (text_bytes > kMaxTextPerBlobByte * total) return ZV_STATUS_INVALID_ARGUMENT;  // the reader would refuse it
    Block<uint8_t> out(static_cast<uint8_t *>(allocate(total, true)));
    if (!out) return ZV_STATUS_OUT_OF_MEMORY;
    zv_store_u32le(out.get(), static_cast<uint32_t>(total));
    zv_store_u32le(out.get() + 4, static_cast<uint32_t>(n));

    zv_tree_bits_writer_t bits;
    zv_tree_bits_writer_init(&bits, out.get() + kHeaderBytes);
    uint8_t *chars = out.get() + kHeaderBytes + bits_bytes;
    *chars++ = 0;  // the root
    zv_tree_bits_writer_enter(&bits);
    uint64_t open = 0;  // nodes open below the root: the previous word's bytes and end node
    for (int32_t i = 0; i < lexicon->size; ++i) {
        const char *word = lexicon->words[i];
        const uint64_t shared = i > 0 ? common_prefix(lexicon->words[i - 1], word) : 0;
        for (; open > shared; --open) zv_tree_bits_writer_leave(&bits);
        const uint64_t length = strlen(word);
        for (uint64_t k = shared; k <= length; ++k) {  // the word's own bytes, then its end node (its NUL)
            *chars++ = static_cast<uint8_t>(word[k]);
            zv_tree_bits_writer_enter(&bits);
        }
        open = length + 1;
    }
    for (; open > 0; --open) zv_tree_bits_writer_leave(&bits);
    zv_tree_bits_writer_leave(&bits);  // the root
    *size = total;
    *blob = out.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_lexicon_deserialize_bounded(const void **cursor, uint64_t available,
                                                      zv_lexicon_t **lexicon) {
    *lexicon = nullptr;
    const uint8_t *const start = static_cast<const uint8_t *>(*cursor);
    if (available < kHeaderBytes) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t total = zv_load_i32le(start);
    const int32_t n = zv_load_i32le(start + 4);
    if (total <= 8 || total % 4 != 0 || n <= 0) return ZV_STATUS_INVALID_ARGUMENT;
    if (static_cast<uint64_t>(total) > available) return ZV_STATUS_INVALID_ARGUMENT;
    const uint64_t bits_bytes = zv_tree_bits_size_bytes(static_cast<uint64_t>(n));
    if (kHeaderBytes + bits_bytes + static_cast<uint64_t>(n) > static_cast<uint64_t>(total)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const uint8_t *const bits = start + kHeaderBytes;
    const uint8_t *const chars = bits + bits_bytes;

    // First walk: the shape must be sound (every end node a leaf, every leaf
    // an end node, no empty word); count the words and their bytes.
    uint64_t words = 0;
    uint64_t text_bytes = 0;
    int64_t max_depth = 0;
    {
        zv_tree_bits_reader_t reader;
        zv_tree_bits_reader_init(&reader, bits, bits_bytes, n);
        int32_t event;
        int32_t previous = ZV_TREE_BITS_LEAVE;
        int64_t previous_node = -1;
        zv_status_t status;
        while ((status = zv_tree_bits_next(&reader, &event)) == ZV_STATUS_SUCCESS) {
            if (event == ZV_TREE_BITS_ENTER) {
                const int64_t node = reader.node;
                if (previous == ZV_TREE_BITS_ENTER && previous_node > 0 && chars[previous_node] == 0) {
                    return ZV_STATUS_INVALID_ARGUMENT;  // an end node with children
                }
                if (node > 0 && chars[node] == 0) {
                    if (reader.depth == 2) return ZV_STATUS_INVALID_ARGUMENT;  // the empty word
                    words += 1;
                    text_bytes += static_cast<uint64_t>(reader.depth - 1);
                }
                if (reader.depth > max_depth) max_depth = reader.depth;
                previous_node = node;
            } else if (previous == ZV_TREE_BITS_ENTER && previous_node > 0 && chars[previous_node] != 0) {
                return ZV_STATUS_INVALID_ARGUMENT;  // a word that never ends
            }
            previous = event;
        }
        if (status != ZV_STATUS_STOP_ITERATION) return status;
    }
    if (text_bytes > kMaxTextPerBlobByte * static_cast<uint64_t>(total)) return ZV_STATUS_INVALID_ARGUMENT;

    LexiconPtr rec(static_cast<zv_lexicon_t *>(calloc(1, sizeof(zv_lexicon_t))));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    rec->text = static_cast<char *>(allocate(text_bytes, false));
    rec->words = static_cast<char **>(allocate(sizeof(char *) * words, false));
    Block<char> path(static_cast<char *>(allocate(static_cast<uint64_t>(max_depth), false)));
    if (!rec->text || !rec->words || !path) return ZV_STATUS_OUT_OF_MEMORY;
    rec->size = static_cast<int32_t>(words);

    // Second walk: spell the words. path[d - 2] holds the byte of the node at
    // depth d, so at an end node the path is the word with its NUL.
    zv_tree_bits_reader_t reader;
    zv_tree_bits_reader_init(&reader, bits, bits_bytes, n);
    int32_t event;
    char *out = rec->text;
    const char *previous_word = nullptr;
    int32_t w = 0;
    while (zv_tree_bits_next(&reader, &event) == ZV_STATUS_SUCCESS) {
        if (event != ZV_TREE_BITS_ENTER || reader.node == 0) continue;
        const char c = static_cast<char>(chars[reader.node]);
        path.get()[reader.depth - 2] = c;
        if (c != 0) continue;
        const size_t len = static_cast<size_t>(reader.depth - 1);
        memcpy(out, path.get(), len);
        if (previous_word && strcmp(previous_word, out) >= 0) {
            return ZV_STATUS_INVALID_ARGUMENT;  // words out of order, or repeated
        }
        rec->words[w++] = out;
        previous_word = out;
        out += len;
    }
    *cursor = start + total;
    *lexicon = rec.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_lexicon_deserialize(const void **cursor, zv_lexicon_t **lexicon) {
    // The caller vouches for the bytes the blob declares; no more are read.
    const uint32_t total = zv_load_u32le(*cursor);
    return zv_lexicon_deserialize_bounded(cursor, total, lexicon);
}

extern "C" zv_status_t zv_lexicon_save(const zv_lexicon_t *lexicon, const char *path) {
    uint64_t size = 0;
    void *blob = nullptr;
    ZV_TRY(zv_lexicon_serialize(lexicon, &size, &blob));
    // The writer refuses blobs of 2^31 bytes or more, so the size fits.
    const zv_status_t status = zv_file_save(path, static_cast<int32_t>(size), blob);
    free(blob);
    return status;
}

extern "C" zv_status_t zv_lexicon_load(const char *path, zv_lexicon_t **lexicon) {
    int32_t size = 0;
    void *data = nullptr;
    ZV_TRY(zv_file_load(path, &size, &data));
    const void *cursor = data;
    const zv_status_t status = zv_lexicon_deserialize_bounded(&cursor, static_cast<uint64_t>(size), lexicon);
    free(data);
    return status;
}
