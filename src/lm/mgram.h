// The compact language model: a backoff n-gram model read from a
// language-model blob (lm/lm_blob.h) into flat arrays, read-only once made.
//
// Nodes are numbered in preorder (the root is 0); a node at depth k stands
// for the k-gram of the word ids on its path. Each node has a word id (-1 for
// the root), an in-memory forward cost byte and an in-memory backoff cost
// byte (0 for a leaf). The children of a node are a range of node indices in
// ascending word order, so every lookup is a binary search; the queries
// allocate nothing, and several threads may query one model at once.
#ifndef ZV_LM_MGRAM_H
#define ZV_LM_MGRAM_H

#include <stdint.h>

#include "lm/lm_blob.h"
#include "pronunciation/lexicon.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_mgram_t zv_mgram_t;

// Reads the blob at *cursor from at most `available` bytes, checking every
// count, field and bit against them: the header, the layout against
// total_bytes, the bit string, the leaf count, the word fields (0 at the
// root, at least 1 below it) and the order of siblings (strictly ascending
// words). On success advances *cursor by total_bytes. A malformed blob gives
// INVALID_ARGUMENT with the cursor unmoved and *mgram NULL.
zv_status_t zv_mgram_deserialize_bounded(const void **cursor, uint64_t available, zv_mgram_t **mgram);

// As above, the readable bytes being those the blob's own total_bytes field
// declares (the caller vouches for them).
zv_status_t zv_mgram_deserialize(const void **cursor, zv_mgram_t **mgram);

// Reads a file (UTF-8 path) that begins with a blob; bytes after it are
// ignored. The statuses of zv_file_load pass through.
zv_status_t zv_mgram_load(const char *path, zv_mgram_t **mgram);

// *size = 0 and *blob = NULL first, then a new blob (release with free).
// The word width is the one that holds the largest word id + 1 (1 for a model
// of only its root).
zv_status_t zv_mgram_serialize(const zv_mgram_t *mgram, uint64_t *size, void **blob);

// Serialises into a new file (mode "wb"). IO_ERROR when the file can't be
// opened, written or closed.
zv_status_t zv_mgram_save(const zv_mgram_t *mgram, const char *path);

void zv_mgram_delete(zv_mgram_t *mgram);

// Nodes, the root included.
int32_t zv_mgram_size(const zv_mgram_t *mgram);

// The greatest depth of any node (the root's children have depth 1).
int32_t zv_mgram_order(const zv_mgram_t *mgram);

// Accessors; node must lie in 0..size-1 (not checked).
int32_t zv_mgram_word(const zv_mgram_t *mgram, int32_t node);
// In-memory cost bytes as unsigned values 0..255; read the low 8 bits as
// signed for the cost in eighths of a decade.
int32_t zv_mgram_forward(const zv_mgram_t *mgram, int32_t node);
int32_t zv_mgram_backoff(const zv_mgram_t *mgram, int32_t node);
int32_t zv_mgram_num_children(const zv_mgram_t *mgram, int32_t node);
// Node indices of the children, ascending by word; valid until deletion.
const int32_t *zv_mgram_children(const zv_mgram_t *mgram, int32_t node);

// Cost in decades of the last of the n words after the others, with
// backoff: the forward cost of the longest history that holds the word, plus
// the backoff costs of the longer histories present on the way; a word no
// history holds gets log10(number of unigrams) plus those backoffs.
float zv_mgram_prob(const zv_mgram_t *mgram, const int32_t *ids, int32_t n);

// Node of the path of the n words from the root; 0 when n <= 0, -1 when a
// word is missing.
int32_t zv_mgram_index(const zv_mgram_t *mgram, const int32_t *ids, int32_t n);

// Node of the longest proper suffix of the n words that is a path of the
// model; 0 when n <= 1, -1 when there is none.
int32_t zv_mgram_backoff_index(const zv_mgram_t *mgram, const int32_t *ids, int32_t n);

// Graphviz picture of the state of the n words: the state, its children
// and its backoff state with the backoff state's children. The words of the
// path, the state reached and the children's words are echoed to standard
// output. INVALID_ARGUMENT for NULL arguments, a word id outside the lexicon
// (before anything is printed or opened), or a sequence that is not a path
// (no file is made); IO_ERROR when the file can't be opened, written or
// closed.
zv_status_t zv_mgram_create_dot(const zv_mgram_t *mgram, const char *path, const zv_lexicon_t *lexicon, int32_t n,
                                const int32_t *ids);

#ifdef __cplusplus
}
#endif

#endif
