// The tree-structure bit string shared by the library's tree-shaped binary
// formats: a tree of n nodes as 2n one-bit fields (a width-1 bit-field array)
// in depth-first preorder, 0 on entering a node and 1 on leaving it, the
// root's two bits enclosing all the others. Nodes are numbered in the order
// they are entered (the root is node 0); per-node values live in separate
// arrays in that same order.
//
// The reader walks the string iteratively and never trusts it: it starts at
// bit 1 (the root's opening bit is implied), stays within the bits it was
// given, and refuses a string that opens more nodes than declared, closes the
// root before all of them are opened, or never closes the root.
#ifndef ZV_FOUNDATION_TREE_BITS_H
#define ZV_FOUNDATION_TREE_BITS_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// Events of the reader; equal to the bit that produced them.
enum { ZV_TREE_BITS_ENTER = 0, ZV_TREE_BITS_LEAVE = 1 };

typedef struct zv_tree_bits_reader_t {
    const uint8_t *bytes;  // the string, as stored (little-endian words)
    uint64_t limit;        // bits that may be read: min(2n, 8 * bytes given)
    uint64_t position;     // next bit to read
    int64_t num_nodes;     // nodes declared
    int64_t entered;       // nodes entered so far
    int64_t node;          // the node last entered (after ENTER: the new node)
    int64_t depth;         // open nodes after the last event (the root alone: 1)
} zv_tree_bits_reader_t;

// Bytes a string of n nodes occupies: 4 * ceil(2n / 32).
uint64_t zv_tree_bits_size_bytes(uint64_t num_nodes);

// Starts a walk over `size` bytes at `bytes` (any alignment) for a tree
// declared to hold num_nodes (>= 1) nodes.
void zv_tree_bits_reader_init(zv_tree_bits_reader_t *reader, const void *bytes, uint64_t size,
                              int64_t num_nodes);

// Reader's depth once it has refused the string.
#define ZV_TREE_BITS_FAILED (-2)

// Next event into *event: the first call enters the root without reading a
// bit. After the root's closing event, STOP_ITERATION. A malformed string
// gives INVALID_ARGUMENT (and every later call does too). Inline: the format
// readers call it once per bit.
static inline zv_status_t zv_tree_bits_next(zv_tree_bits_reader_t *reader, int32_t *event) {
    if (reader->depth == ZV_TREE_BITS_FAILED || reader->num_nodes <= 0) {
        reader->depth = ZV_TREE_BITS_FAILED;
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (reader->entered == 0) {
        reader->entered = 1;
        reader->node = 0;
        reader->depth = 1;
        *event = ZV_TREE_BITS_ENTER;
        return ZV_STATUS_SUCCESS;
    }
    if (reader->depth == 0) {
        return ZV_STATUS_STOP_ITERATION;
    }
    if (reader->position >= reader->limit) {  // the root is never closed
        reader->depth = ZV_TREE_BITS_FAILED;
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const uint64_t k = reader->position++;
    if (((reader->bytes[k >> 3] >> (k & 7)) & 1u) == 0) {
        if (reader->entered >= reader->num_nodes) {  // more nodes than declared
            reader->depth = ZV_TREE_BITS_FAILED;
            return ZV_STATUS_INVALID_ARGUMENT;
        }
        reader->node = reader->entered++;
        reader->depth += 1;
        *event = ZV_TREE_BITS_ENTER;
        return ZV_STATUS_SUCCESS;
    }
    reader->depth -= 1;
    if (reader->depth == 0 && reader->entered != reader->num_nodes) {  // root closed early
        reader->depth = ZV_TREE_BITS_FAILED;
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *event = ZV_TREE_BITS_LEAVE;
    return ZV_STATUS_SUCCESS;
}

// Whole walk in one call: parents[i] receives the parent of node i (-1 for
// the root). parents has num_nodes entries. INVALID_ARGUMENT when malformed.
zv_status_t zv_tree_bits_parents(const void *bytes, uint64_t size, int64_t num_nodes, int32_t *parents);

// Writer into a zeroed array of zv_tree_bits_size_bytes(n) bytes.
typedef struct zv_tree_bits_writer_t {
    uint8_t *bytes;
    uint64_t position;
} zv_tree_bits_writer_t;

void zv_tree_bits_writer_init(zv_tree_bits_writer_t *writer, void *bytes);
void zv_tree_bits_writer_enter(zv_tree_bits_writer_t *writer);
void zv_tree_bits_writer_leave(zv_tree_bits_writer_t *writer);

// Iterative preorder walk of a tree held as first-child / next-sibling links
// (-1 for none), rooted at node 0, as the formats' writers build them. The
// stack holds num_nodes entries and is the caller's.
typedef struct zv_tree_preorder_t {
    const int32_t *first_child;
    const int32_t *next_sibling;
    int64_t stride;  // int32 steps from one node's entry to the next one's
    int32_t *stack;
    int64_t num_nodes;
    int64_t depth;
    int64_t visited;
    int32_t next;  // node to enter next, -1 to leave the top of the stack
} zv_tree_preorder_t;

void zv_tree_preorder_init(zv_tree_preorder_t *walk, const int32_t *first_child, const int32_t *next_sibling,
                           int64_t num_nodes, int32_t *stack);

// The same over links kept in per-node records: node i's links are
// first_child[i * stride] and next_sibling[i * stride].
void zv_tree_preorder_init_strided(zv_tree_preorder_t *walk, const int32_t *first_child,
                                   const int32_t *next_sibling, int64_t stride, int64_t num_nodes, int32_t *stack);

// Next event: *event is ENTER or LEAVE and *node its node. STOP_ITERATION
// after the root is left; INVALID_STATE if the links hold a cycle or reach
// more than num_nodes nodes.
zv_status_t zv_tree_preorder_next(zv_tree_preorder_t *walk, int32_t *event, int32_t *node);

#ifdef __cplusplus
}
#endif

#endif
