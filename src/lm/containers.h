// The decoder's containers: an object pool handing out fixed-size slots from
// pages, a chained hash map of tokens keyed by (state, flag), a growable stack
// of tokens and a bounded max-heap of costs.
//
// The map and the stack hold counted references to tokens (zv_node_t,
// lm/node.h) and hand every token whose reference they drop to
// zv_node_delete. The pool and the heap know nothing of tokens. The record
// fields below are read directly by the decoder, by tests and by tools that
// walk a map; their order and types are part of the interface.
//
// Callers keep to these bounds: capacities, slots per page and bucket counts
// of at least 1; a power-of-two bucket count for the map to use all its
// buckets (it addresses them with a mask); pointers given back to a pool that
// it handed out and that were not yet returned; no pop from an empty stack.
#ifndef ZV_LM_CONTAINERS_H
#define ZV_LM_CONTAINERS_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_node_t zv_node_t;

// One page of a pool. The slots in use sit at positions 0 to used - 1 of
// position_to_slot, the free ones after them; slot_to_position is the inverse.
typedef struct zv_page_t {
    uint64_t slot_size;
    int32_t capacity;
    uint8_t *block;  // slot_size * capacity bytes
    uint8_t *end;    // one past the block
    int32_t used;
    int32_t *position_to_slot;
    int32_t *slot_to_position;
} zv_page_t;

// zv_pool_init hands the record out inside a larger one, which from the
// ninth page on also knows which pages have room and where each block lies:
// make pools with it only.
typedef struct zv_pool_t {
    uint64_t object_size;
    int32_t slots_per_page;
    int32_t live;        // allocations minus frees
    int32_t page_count;
    zv_page_t **pages;   // in creation order
} zv_pool_t;

typedef struct zv_map_cell_t {
    struct zv_map_cell_t *previous;
    struct zv_map_cell_t *next;
    zv_node_t *token;
} zv_map_cell_t;

typedef struct zv_map_t {
    zv_pool_t *cell_pool;      // one cell per slot, bucket count slots per page
    int32_t bucket_count;
    zv_map_cell_t **buckets;   // list heads
    int32_t size;              // entries
} zv_map_t;

// A cursor kept by the caller.
typedef struct zv_map_iterator_t {
    int32_t bucket;
    zv_map_cell_t *cell;
} zv_map_iterator_t;

typedef struct zv_stack_t {
    int32_t capacity;
    int32_t size;
    zv_node_t **items;
} zv_stack_t;

// values[1] is the root, the children of i are 2i and 2i + 1; no child is
// greater than its parent.
typedef struct zv_heap_t {
    int32_t capacity;
    int32_t count;
    float *values;  // capacity + 1 entries, used from index 1
} zv_heap_t;

// ---- pool ----
zv_status_t zv_pool_init(uint64_t object_size, int32_t slots_per_page, zv_pool_t **pool);
void zv_pool_delete(zv_pool_t *pool);
int32_t zv_pool_size(const zv_pool_t *pool);
// A free slot of the first page with room (a new page when all are full), or
// NULL when no memory is left; the pool is then as it was. Like zv_pool_free,
// constant time however many pages the pool holds.
void *zv_pool_alloc(zv_pool_t *pool);
// Returns the slot to the page whose block holds it; other pointers are ignored.
void zv_pool_free(zv_pool_t *pool, void *object);

zv_status_t zv_page_init(uint64_t slot_size, int32_t capacity, zv_page_t **page);
void zv_page_delete(zv_page_t *page);
// The slot returned last is the next one this page hands out.
void zv_page_free(zv_page_t *page, void *object);

// ---- map ----
zv_status_t zv_map_init(int32_t bucket_count, zv_map_t **map);
// Drops the reference of every entry (buckets in order, each chain from its
// head), then releases the buckets, the cell pool and the record.
void zv_map_delete(zv_map_t *map);
int32_t zv_map_size(const zv_map_t *map);
// Iteration: buckets from 0 upward, each from the entry inserted last; a
// replaced entry keeps its place. On an empty map the cursor is left as it was.
void zv_map_start_iter(const zv_map_t *map, zv_map_iterator_t *cursor);
// SUCCESS with the cursor on the next entry; STOP_ITERATION (cursor unmoved) after the last.
zv_status_t zv_map_next(const zv_map_t *map, zv_map_iterator_t *cursor);
// SUCCESS with the token; KEY_ERROR (out untouched) when no entry has the key.
zv_status_t zv_map_find(const zv_map_t *map, int32_t state, uint8_t flag, zv_node_t **token);
// Stores the token under its own key, replacing (and releasing) a token that
// held it. OUT_OF_MEMORY leaves the map and the token's count unchanged.
zv_status_t zv_map_insert(zv_map_t *map, zv_node_t *token);
// Removes the entry under the cursor and moves the cursor on; STOP_ITERATION
// when no entry follows.
zv_status_t zv_map_remove(zv_map_t *map, zv_map_iterator_t *cursor);

// ---- stack ----
zv_status_t zv_stack_init(int32_t capacity, zv_stack_t **stack);
// Releases the items and the record; the tokens are not touched.
void zv_stack_delete(zv_stack_t *stack);
// Takes a reference; doubles the capacity when full. OUT_OF_MEMORY leaves the
// stack and the token's count as they were.
zv_status_t zv_stack_push(zv_stack_t *stack, zv_node_t *token);
// Delivers the top token and drops the stack's reference without releasing it:
// a token whose count reaches 0 here is the caller's to release.
zv_status_t zv_stack_pop(zv_stack_t *stack, zv_node_t **token);

// ---- heap ----
zv_status_t zv_heap_init(int32_t capacity, zv_heap_t **heap);
void zv_heap_delete(zv_heap_t *heap);
// Keeps the capacity smallest values offered; the root is the greatest kept.
void zv_heap_insert(zv_heap_t *heap, float value);

#ifdef __cplusplus
}
#endif

#endif
