// The lexicon: a set of unique words in strict byte order (as strcmp orders
// them), each known by its position, the word index. Made from a word-list
// text (one word per line) or decoded from its binary form, a character trie
// written depth first; it can be extended by merging further words in.
//
// Words are byte strings: no byte but the newline is special, and no case is
// folded. All words live in one text block; pointers handed out by
// zv_lexicon_decode point into it and stay valid until the lexicon is deleted
// or zv_lexicon_add succeeds on it.
#ifndef ZV_PRONUNCIATION_LEXICON_H
#define ZV_PRONUNCIATION_LEXICON_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_lexicon_t zv_lexicon_t;

// Reads a word-list file (UTF-8 path): every line a non-empty word, the
// lines strictly increasing, the text ending in a newline (optionally
// followed by one NUL byte, its very last). A NUL byte anywhere else is
// refused. *lexicon is set to NULL first.
zv_status_t zv_lexicon_init(const char *path, zv_lexicon_t **lexicon);

void zv_lexicon_delete(zv_lexicon_t *lexicon);

int32_t zv_lexicon_size(const zv_lexicon_t *lexicon);

// Word index of the word, -1 when the lexicon doesn't hold it.
int32_t zv_lexicon_encode(const zv_lexicon_t *lexicon, const char *word);

// The word with index 0 <= index < size (no copy).
const char *zv_lexicon_decode(const zv_lexicon_t *lexicon, int32_t index);

// Merges count words (sorted strictly increasing, non-empty) into the
// lexicon; words it already holds are skipped. On failure it is unchanged.
zv_status_t zv_lexicon_add(zv_lexicon_t *lexicon, const char *const *words, int32_t count);

// 1 when both hold the same words in the same order, else 0.
int32_t zv_lexicon_is_equal(const zv_lexicon_t *a, const zv_lexicon_t *b);

// Binary form. Layout, little-endian: u32 total size (a multiple of 4), u32
// node count n, the tree-structure bit string of the trie (4 * ceil(2n / 32)
// bytes), one byte per node in preorder (the root's 0; 0 marks a word's end
// node), zero bytes up to the total size.
//
// *size = 0 and *blob = NULL first; the blob is released with free. The
// reader refuses a blob whose words spell more than 64 times its size;
// writing such a lexicon gives INVALID_ARGUMENT.
zv_status_t zv_lexicon_serialize(const zv_lexicon_t *lexicon, uint64_t *size, void **blob);

// Decodes a blob at *cursor from at most `available` bytes, checking every
// field against them; on success advances *cursor by the blob's total size.
// A malformed blob gives INVALID_ARGUMENT with the cursor unmoved and
// *lexicon NULL.
zv_status_t zv_lexicon_deserialize_bounded(const void **cursor, uint64_t available, zv_lexicon_t **lexicon);

// As above, the readable bytes being those the blob's own total size field
// declares (the caller vouches for them).
zv_status_t zv_lexicon_deserialize(const void **cursor, zv_lexicon_t **lexicon);

zv_status_t zv_lexicon_save(const zv_lexicon_t *lexicon, const char *path);

// Reads a file that begins with a blob; bytes after it are ignored.
zv_status_t zv_lexicon_load(const char *path, zv_lexicon_t **lexicon);

#ifdef __cplusplus
}
#endif

#endif
