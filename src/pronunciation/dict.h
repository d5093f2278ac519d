// The pronunciation dictionary: for every word of a lexicon, its
// pronunciations, each a sequence of phoneme ids 1..P of the dictionary's
// phone set (P names, numbered by their line in a phone-set text). Built from
// a phone-set text and a pronunciation text, or decoded from its binary form,
// a trie of phoneme ids shared by all words; further words can be merged in.
//
// The dictionary points at its lexicon without owning it: the lexicon must
// outlive it, its words unchanged. Pronunciations handed out point into the
// dictionary and stay valid until it is deleted or zv_dict_add succeeds on it.
#ifndef ZV_PRONUNCIATION_DICT_H
#define ZV_PRONUNCIATION_DICT_H

#include <stdint.h>

#include "pronunciation/lexicon.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_dict_t zv_dict_t;

// phone_set_path: UTF-8 path of the phone set, one non-empty name per line
// (same text rules as a word list; a name's id is its line number from 1, a
// repeated name always yields its first id). pronunciation_path (passed to
// fopen unconverted): lines "word<TAB>name name ...", every lexicon word in
// lexicon order, all lines of a word together, at least one line per word.
// Gives INVALID_ARGUMENT for a malformed text (a line whose word is not the
// lexicon word of its place included), RUNTIME_ERROR for a line that a
// 1024-byte line buffer can't hold (more than 1022 bytes before its newline),
// IO_ERROR when the file can't be opened or read.
zv_status_t zv_dict_init(const char *phone_set_path, const char *pronunciation_path, const zv_lexicon_t *lexicon,
                         zv_dict_t **dict);

void zv_dict_delete(zv_dict_t *dict);

int32_t zv_dict_phoneme_set_size(const zv_dict_t *dict);

// Pronunciations of the word with that index; 0 for an index outside the
// dictionary's words.
int32_t zv_dict_num_pronunciations(const zv_dict_t *dict, int32_t word);

// Pronunciation k of the word: *length ids at *ids, inside the dictionary.
// A word or k without a pronunciation gives *length 0 and *ids NULL.
void zv_dict_pronunciation(const zv_dict_t *dict, int32_t word, int32_t k, int32_t *length, const int32_t **ids);

// Merges count words (sorted strictly increasing) with their pronunciations.
// lexicon: the current words merged with `words` (as zv_lexicon_add makes
// it), installed at the end; the dictionary's current lexicon must still hold
// the current words during the call. num_prons: per given word. pron_lengths
// and prons: one entry per pronunciation of each given word that the current
// lexicon doesn't hold, in order; words already held contribute nothing and
// keep their pronunciations. On failure the dictionary is unchanged.
zv_status_t zv_dict_add(zv_dict_t *dict, const zv_lexicon_t *lexicon, int32_t count, const char *const *words,
                        const int32_t *num_prons, const int32_t *pron_lengths, const int32_t *const *prons);

// Every word with its pronunciations, through the log.
void zv_dict_print(const zv_dict_t *dict);

// 1 when the lexicons are equal, every word has as many pronunciations in
// both, and every pronunciation of a word in b equals one in a (order free).
int32_t zv_dict_is_equal(const zv_dict_t *a, const zv_dict_t *b);

// Binary form. Layout, little-endian u32 header: total size, P, node count d,
// label width e = ceil(log2(P + 1)), pronunciation count N (end nodes); then
// bit-field arrays: d labels of e bits (preorder; 0 for the root and end
// nodes), N word indices of ceil(log2(L + 1)) bits (one per end node, in
// preorder), and the tree-structure bit string (2d bits). The word width comes
// from the size L of the lexicon the blob is read against.
//
// *size = 0 and *blob = NULL first; the blob is released with free. N
// counts the end nodes written: a pronunciation that a word repeats is stored
// once. A dictionary whose blob the reader would refuse gives
// INVALID_ARGUMENT: fewer stored pronunciations than words (a word without
// any beside one that repeats one), or more than 64 ids per blob byte.
zv_status_t zv_dict_serialize(const zv_dict_t *dict, uint64_t *size, void **blob);

// Decodes a blob at *cursor against `lexicon` from at most `available`
// bytes, checking every field against them and against the lexicon; on
// success advances *cursor by the blob's total size. A malformed blob gives
// INVALID_ARGUMENT with the cursor unmoved and nothing allocated left behind.
// *dict is written only once the blob has passed its checks (NULL on a
// later failure).
zv_status_t zv_dict_deserialize_bounded(const zv_lexicon_t *lexicon, const void **cursor, uint64_t available,
                                        zv_dict_t **dict);

// As above, the readable bytes being those the blob's own total size field
// declares (the caller vouches for them).
zv_status_t zv_dict_deserialize(const zv_lexicon_t *lexicon, const void **cursor, zv_dict_t **dict);

zv_status_t zv_dict_save(const zv_dict_t *dict, const char *path);

// Reads a file that begins with a blob, against lexicon; bytes after it are
// ignored.
zv_status_t zv_dict_load(const zv_lexicon_t *lexicon, const char *path, zv_dict_t **dict);

#ifdef __cplusplus
}
#endif

#endif
