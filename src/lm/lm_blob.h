// The language-model blob, shared by every writer and reader of a backoff
// n-gram model (the estimator, the compact model, the editable model, the
// decoding graph), and the cost bytes it stores.
//
// Cost bytes hold a probability in eighths of a decade, in two forms:
// - on disk (in the blob), signed s = 8 * log10(p) truncated toward zero and
//   limited to -128..127; p = 0 gives -128;
// - in memory (in the models), m = -s read as a signed byte, except that
//   s = -128 reads as m = 127, the cap: the cost of a probability of 0.
//   m * 0.125 is the cost -log10(p) in decades.
// A writer starting from in-memory bytes stores s = -m, m = -128 as s = 127.
//
// Blob layout, little-endian:
//   int32 total_bytes, int32 num_nodes N (root included), int32 num_leaves L
//   (nodes without children; the root when it has none), int32 word_bits B;
//   word fields: a bit-field array of N fields of B bits (ceil(N*B/32)
//   uint32 words), each node's word id + 1 in preorder, the root's 0;
//   the tree-structure bit string of N nodes (4 * ceil(2N/32) bytes);
//   N on-disk forward bytes in preorder, the root's included;
//   N - L on-disk backoff bytes, one per node with children, in preorder.
// total_bytes = 16 + 4*ceil(N*B/32) + 4*ceil(2N/32) + N + (N - L); nothing
// follows. Children come in ascending word order: the lookups rely on it.
#ifndef ZV_LM_LM_BLOB_H
#define ZV_LM_LM_BLOB_H

#include <stdint.h>

#include "foundation/tree_bits.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- cost bytes ----

// f limited to -128..127, else truncated toward zero (-3.9 gives -3). NaN,
// which no probability should produce, gives -128 like a probability of 0.
int8_t zv_lm_cost_saturate(float f);

// On-disk byte of a probability: f = 8 * log10(p), log10 in double
// precision, its result rounded to float and the product formed in float,
// then saturated. p = 1 gives 0, p = 0.1 gives -8, p = 0 gives -128; a
// weight above 1 gives a positive byte.
int8_t zv_lm_cost_from_probability(double p);

// In-memory byte of an on-disk byte: -s, with -128 read as 127.
uint8_t zv_lm_cost_to_memory(int8_t disk);

// On-disk byte of an in-memory byte: -m (m read as signed), with -128
// stored as 127.
int8_t zv_lm_cost_to_disk(uint8_t memory);

// ---- layout ----

enum { ZV_LM_BLOB_HEADER_BYTES = 16 };

// Bytes the layout of N nodes, L leaves and width B takes (64-bit sum; the
// caller keeps N >= L >= 0 and 0 <= B <= 31).
uint64_t zv_lm_blob_size(uint64_t num_nodes, uint64_t num_leaves, int32_t word_bits);

// A blob's header and sections, located by zv_lm_blob_open.
typedef struct zv_lm_blob_t {
    int32_t total_bytes;
    int32_t num_nodes;
    int32_t num_leaves;
    int32_t word_bits;
    const uint8_t *word_fields;  // read with zv_bit_field_read_bytes
    const uint8_t *structure;    // for zv_tree_bits_reader_init
    uint64_t structure_bytes;
    const uint8_t *forward;      // N on-disk bytes
    const uint8_t *backoff;      // N - L on-disk bytes
} zv_lm_blob_t;

// Checks the header of the blob at `data` against the `available` bytes
// there and locates its sections. INVALID_ARGUMENT (and *blob untouched)
// when: fewer than 16 bytes; total_bytes <= 16; num_nodes <= 0 or
// num_leaves <= 0; word_bits outside 1..31; num_leaves > num_nodes; a layout
// larger than total_bytes; total_bytes larger than `available`. The bit
// string and the fields are not walked here.
zv_status_t zv_lm_blob_open(const void *data, uint64_t available, zv_lm_blob_t *blob);

// ---- reading ----

// One node of a blob, handed out in preorder once the bit after its own
// opening bit has told whether it has children.
typedef struct zv_lm_blob_node_t {
    int32_t node;          // preorder index, the root's 0
    int32_t parent;        // -1 for the root
    int32_t depth;         // the root's 0
    int32_t word;          // word id, -1 for the root
    uint8_t forward;       // in-memory forward cost
    uint8_t backoff;       // in-memory backoff cost, 0 for a leaf
    int32_t has_children;  // 1 or 0
} zv_lm_blob_node_t;

// An iterative walk over a blob located by zv_lm_blob_open. It refuses
// (INVALID_ARGUMENT) a bit string that the tree-bits reader refuses, a word
// field that isn't 0 at the root or is 0 below it, siblings whose words
// don't strictly ascend, and a leaf count other than num_leaves; it never
// reads outside the sections the layout check vouched for.
typedef struct zv_lm_blob_reader_t {
    zv_lm_blob_t blob;
    zv_tree_bits_reader_t structure;
    int32_t *scratch;            // per depth: the open node, its last child's word
    uint64_t next_backoff;       // backoff bytes used
    int64_t leaves;              // leaves seen
    int32_t pending;             // 1 while `node` waits for its next bit
    zv_lm_blob_node_t node;
} zv_lm_blob_reader_t;

// OUT_OF_MEMORY when its scratch (8 * (N + 1) bytes) can't be allocated.
zv_status_t zv_lm_blob_reader_init(zv_lm_blob_reader_t *reader, const zv_lm_blob_t *blob);

// Next node into *node; STOP_ITERATION after the last one, once the leaf
// count has been checked; INVALID_ARGUMENT when malformed (and after that).
zv_status_t zv_lm_blob_reader_next(zv_lm_blob_reader_t *reader, zv_lm_blob_node_t *node);

// Frees the scratch; accepts a reader whose init failed.
void zv_lm_blob_reader_close(zv_lm_blob_reader_t *reader);

// ---- writing ----

// Fills a blob in preorder: for each node, enter (word field, forward byte,
// backoff byte when it has children, the opening bit), its children, leave
// (the closing bit).
typedef struct zv_lm_blob_writer_t {
    uint8_t *blob;  // zero-filled, total_bytes long; owned until finish/discard
    uint64_t total_bytes;
    int32_t word_bits;
    uint64_t next_node;
    uint8_t *word_fields;
    zv_tree_bits_writer_t structure;
    uint8_t *forward;  // next forward byte
    uint8_t *backoff;  // next backoff byte
} zv_lm_blob_writer_t;

// Allocates the zeroed blob and writes its header. INVALID_ARGUMENT when
// num_nodes < 1, num_leaves < 1 or above num_nodes, or word_bits outside
// 0..31; a width of 0 (a model of only its root) is written as 1, the
// narrowest the readers take, so that a writer never writes a blob its
// readers refuse; OUT_OF_MEMORY when the blob can't be allocated or would reach 2^31 bytes.
zv_status_t zv_lm_blob_writer_init(zv_lm_blob_writer_t *writer, int64_t num_nodes, int64_t num_leaves,
                                   int32_t word_bits);

// One node in preorder: its word id (-1 for the root) and its on-disk
// bytes; `backoff` is stored only when has_children is not 0. The caller
// keeps word + 1 below 2^word_bits and the counts it gave to init.
void zv_lm_blob_writer_enter(zv_lm_blob_writer_t *writer, int32_t word, int8_t forward, int32_t has_children,
                             int8_t backoff);
void zv_lm_blob_writer_leave(zv_lm_blob_writer_t *writer);

// Hands out the blob (release with free) and its size; the writer is empty.
void zv_lm_blob_writer_finish(zv_lm_blob_writer_t *writer, uint64_t *size, void **blob);

// Frees the blob of an unfinished writer (for error paths).
void zv_lm_blob_writer_discard(zv_lm_blob_writer_t *writer);

// Writes `size` bytes to a new file at the UTF-8 path (mode "wb"). IO_ERROR
// when it can't be opened, a write falls short, or closing fails (a full
// disk shows only there).
zv_status_t zv_lm_blob_write_file(const char *path, const void *blob, uint64_t size);

#ifdef __cplusplus
}
#endif

#endif
