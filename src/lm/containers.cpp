#include "lm/containers.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "lm/node.h"

// ---- pages and pools ----

extern "C" zv_status_t zv_page_init(uint64_t slot_size, int32_t capacity, zv_page_t **page) {
    *page = nullptr;
    if (capacity < 1 || slot_size == 0 || slot_size > SIZE_MAX / static_cast<uint64_t>(capacity)) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_page_t *p = static_cast<zv_page_t *>(calloc(1, sizeof(zv_page_t)));
    if (!p) return ZV_STATUS_OUT_OF_MEMORY;
    p->slot_size = slot_size;
    p->capacity = capacity;
    p->block = static_cast<uint8_t *>(malloc(static_cast<size_t>(slot_size * static_cast<uint64_t>(capacity))));
    p->position_to_slot = static_cast<int32_t *>(malloc(sizeof(int32_t) * static_cast<size_t>(capacity)));
    p->slot_to_position = static_cast<int32_t *>(malloc(sizeof(int32_t) * static_cast<size_t>(capacity)));
    if (!p->block || !p->position_to_slot || !p->slot_to_position) {
        zv_page_delete(p);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    p->end = p->block + slot_size * static_cast<uint64_t>(capacity);
    for (int32_t i = 0; i < capacity; ++i) {
        p->position_to_slot[i] = i;
        p->slot_to_position[i] = i;
    }
    *page = p;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_page_delete(zv_page_t *page) {
    if (!page) return;
    free(page->block);
    free(page->position_to_slot);
    free(page->slot_to_position);
    free(page);
}

static inline void page_free(zv_page_t *page, void *object) {
    const int32_t n = static_cast<int32_t>((static_cast<uint8_t *>(object) - page->block) /
                                           static_cast<ptrdiff_t>(page->slot_size));
    const int32_t p = page->slot_to_position[n];
    const int32_t l = page->used - 1;
    if (p != l) {
        const int32_t o = page->position_to_slot[l];
        page->position_to_slot[l] = n;
        page->position_to_slot[p] = o;
        page->slot_to_position[n] = l;
        page->slot_to_position[o] = p;
    }
    page->used = l;
}

extern "C" void zv_page_free(zv_page_t *page, void *object) { page_free(page, object); }

// A pool's pages fill in creation order, and in a long decode the first ones
// fill up with the tokens of the surviving path's history: a scan over the
// pages for the first with room, and for the page that holds a freed slot,
// would grow with the stream. So the pool keeps, beside its record, the first
// page with room; up to kScannedPages pages it scans for the next one and for
// a freed slot's page, and from the next page on it keeps which pages have
// room as bits in levels (the lowest found from the top word down) and a
// table from block addresses to pages, so that both take constant time.
namespace {

constexpr int32_t kScannedPages = 8;
constexpr int32_t kRoomLevels = 6;     // 64^6 bits: more than 2^31 pages
constexpr int64_t kKeysPerPage = 8;    // table slots per page: 2 or 3 keys a page, under half full

// Bit i of level 0 stands for page i; bit j of level k + 1 is set when word
// j of level k is not 0.
struct RoomBits {
    uint64_t *words;                // every level, level 0 first
    int64_t offset[kRoomLevels];    // first word of each level
    int32_t levels;
    int64_t pages;                  // pages level 0 holds bits for, a multiple of 64
};

// A block spans 2 or 3 address ranges of 2^shift bytes (2^shift <= its
// size, the largest such): its page is filed under each, keyed by the
// range's number + 1.
struct PageKey {
    uint64_t key;  // 0: empty
    int32_t page;
};

struct PoolRecord {
    zv_pool_t pool;  // first: the pointer handed out points here
    int32_t first;   // the first page with room; the page count when all are full
    int32_t recent;  // the page of the slot freed last, tried before the table
    int32_t page_room;  // entries of the page array, which doubles when full
    RoomBits room;   // words NULL while the pool scans
    PageKey *keys;   // 2^key_bits slots; NULL while the pool scans
    int32_t key_bits;
    int32_t shift;   // a key is an address >> shift, + 1
};

inline PoolRecord *record_of(zv_pool_t *pool) { return reinterpret_cast<PoolRecord *>(pool); }

// The words of the levels over `pages` bits (a multiple of 64), their offsets and count.
int64_t room_layout(int64_t pages, int64_t *offset, int32_t *levels) {
    int64_t n = pages / 64;
    int64_t total = n;
    offset[0] = 0;
    *levels = 1;
    while (n > 1) {
        n = (n + 63) / 64;
        offset[(*levels)++] = total;
        total += n;
    }
    return total;
}

void room_set(RoomBits *r, int64_t i) {
    for (int32_t level = 0; level < r->levels; ++level) {
        uint64_t &word = r->words[r->offset[level] + (i >> 6)];
        const uint64_t before = word;
        word |= uint64_t{1} << (i & 63);
        if (before != 0) return;  // the levels above know already
        i >>= 6;
    }
}

void room_clear(RoomBits *r, int64_t i) {
    for (int32_t level = 0; level < r->levels; ++level) {
        uint64_t &word = r->words[r->offset[level] + (i >> 6)];
        word &= ~(uint64_t{1} << (i & 63));
        if (word != 0) return;
        i >>= 6;
    }
}

// The lowest page with room, -1 when none has.
int32_t room_first(const RoomBits *r) {
    if (r->words[r->offset[r->levels - 1]] == 0) return -1;
    int64_t i = 0;
    for (int32_t level = r->levels - 1; level >= 0; --level) {
        i = i * 64 + __builtin_ctzll(r->words[r->offset[level] + i]);
    }
    return static_cast<int32_t>(i);
}

// The table slot a key's search starts from, in a table of 2^bits slots.
inline uint64_t key_slot(uint64_t key, int32_t bits) { return key * 0x9E3779B97F4A7C15ull >> (64 - bits); }

void file_page(PageKey *keys, int32_t bits, int32_t shift, const zv_page_t *page, int32_t index) {
    const uint64_t mask = (uint64_t{1} << bits) - 1;
    const uint64_t first = reinterpret_cast<uintptr_t>(page->block) >> shift;
    const uint64_t last = (reinterpret_cast<uintptr_t>(page->end) - 1) >> shift;
    for (uint64_t range = first; range <= last; ++range) {
        uint64_t h = key_slot(range + 1, bits);
        while (keys[h].key != 0) h = (h + 1) & mask;
        keys[h] = {range + 1, index};
    }
}

// The page whose block holds p, -1 when none does: from the table, which
// the pool keeps once it has more than kScannedPages pages.
[[gnu::noinline]] int32_t filed_page(const PoolRecord *rec, const uint8_t *p) {
    const uint64_t mask = (uint64_t{1} << rec->key_bits) - 1;
    const uint64_t key = (reinterpret_cast<uintptr_t>(p) >> rec->shift) + 1;
    for (uint64_t h = key_slot(key, rec->key_bits);; h = (h + 1) & mask) {
        const PageKey &k = rec->keys[h];
        if (k.key == 0) return -1;
        if (k.key == key) {
            const zv_page_t *page = rec->pool.pages[k.page];
            if (page->block <= p && p < page->end) return k.page;
        }
    }
}

// Room in the bits and the table for `pages` pages, filled with the pages
// there are; false, the pool as it was, when memory runs out.
bool make_room_for(PoolRecord *rec, int64_t pages) {
    const zv_pool_t &pool = rec->pool;
    if (pages <= kScannedPages) return true;
    const bool more_bits = !rec->room.words || pages > rec->room.pages;
    const bool more_keys = !rec->keys || pages * kKeysPerPage > (int64_t{1} << rec->key_bits);
    if (!more_bits && !more_keys) return true;
    RoomBits room = rec->room;
    if (more_bits) {
        room.pages = rec->room.words ? 2 * rec->room.pages : 64;
        while (room.pages < pages) room.pages *= 2;
        const int64_t words = room_layout(room.pages, room.offset, &room.levels);
        room.words = static_cast<uint64_t *>(calloc(static_cast<size_t>(words), sizeof(uint64_t)));
        if (!room.words) return false;
    }
    PageKey *keys = rec->keys;
    int32_t key_bits = rec->key_bits;
    if (more_keys) {
        key_bits = rec->keys ? key_bits + 1 : 8;
        while ((int64_t{1} << key_bits) < pages * kKeysPerPage) key_bits += 1;
        keys = static_cast<PageKey *>(calloc(size_t{1} << key_bits, sizeof(PageKey)));
        if (!keys) {
            if (more_bits) free(room.words);
            return false;
        }
    }
    const uint64_t block = pool.object_size * static_cast<uint64_t>(pool.slots_per_page);
    rec->shift = 63 - __builtin_clzll(block);
    if (more_bits) {
        for (int32_t i = 0; i < pool.page_count; ++i) {
            if (pool.pages[i]->used < pool.pages[i]->capacity) room_set(&room, i);
        }
        free(rec->room.words);
        rec->room = room;
    }
    if (more_keys) {
        for (int32_t i = 0; i < pool.page_count; ++i) file_page(keys, key_bits, rec->shift, pool.pages[i], i);
        free(rec->keys);
        rec->keys = keys;
        rec->key_bits = key_bits;
    }
    return true;
}

// The first page with room after page `first`, which has just filled up;
// every page before it is full.
[[gnu::noinline]] void advance_first(PoolRecord *rec) {
    const zv_pool_t &pool = rec->pool;
    if (rec->room.words) {
        room_clear(&rec->room, rec->first);
        const int32_t i = room_first(&rec->room);
        rec->first = i < 0 ? pool.page_count : i;
        return;
    }
    int32_t i = rec->first + 1;
    while (i < pool.page_count && pool.pages[i]->used == pool.pages[i]->capacity) i += 1;
    rec->first = i;
}

}  // namespace

extern "C" zv_status_t zv_pool_init(uint64_t object_size, int32_t slots_per_page, zv_pool_t **pool) {
    *pool = nullptr;
    PoolRecord *rec = static_cast<PoolRecord *>(calloc(1, sizeof(PoolRecord)));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    rec->pool.object_size = object_size;
    rec->pool.slots_per_page = slots_per_page;
    *pool = &rec->pool;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_pool_delete(zv_pool_t *pool) {
    if (!pool) return;
    for (int32_t i = 0; i < pool->page_count; ++i) zv_page_delete(pool->pages[i]);
    free(pool->pages);
    PoolRecord *rec = record_of(pool);
    free(rec->room.words);
    free(rec->keys);
    free(rec);
}

extern "C" int32_t zv_pool_size(const zv_pool_t *pool) { return pool->live; }

// Returns the slot at `object` to page i.
inline void release_slot(PoolRecord *rec, int32_t i, void *object) {
    page_free(rec->pool.pages[i], object);
    rec->pool.live -= 1;
}

// The same for a page that is full until then. Apart from zv_pool_free, as
// is the search of the table, so that its common case calls nothing.
[[gnu::noinline]] void release_slot_of_full_page(PoolRecord *rec, int32_t i, void *object) {
    if (rec->room.words) room_set(&rec->room, i);
    if (i < rec->first) rec->first = i;
    release_slot(rec, i, object);
}

// Most slots freed lie in the page of the last one (the tokens of a frame
// come from the same page), which saves a look into a table as large as the
// pool.
[[gnu::noinline]] void release_filed_slot(PoolRecord *rec, void *object) {
    const uint8_t *p = static_cast<const uint8_t *>(object);
    const zv_page_t *recent = rec->pool.pages[rec->recent];
    const int32_t i = recent->block <= p && p < recent->end ? rec->recent : filed_page(rec, p);
    if (i < 0) return;
    rec->recent = i;
    const zv_page_t *page = rec->pool.pages[i];
    if (page->used == page->capacity) return release_slot_of_full_page(rec, i, object);
    release_slot(rec, i, object);
}

// A new page at the end, every page before it being full (or none there);
// false, the pool as it was, when memory runs out. Apart from zv_pool_alloc,
// whose common case then stays a few instructions.
[[gnu::noinline]] bool add_page(PoolRecord *rec) {
    zv_pool_t *pool = &rec->pool;
    const int32_t index = pool->page_count;
    if (index == INT32_MAX) return false;
    if (index == rec->page_room) {  // doubled, not one entry more: a copy per page would grow with the pool
        const int32_t room = index == 0 ? 1 : (index > INT32_MAX / 2 ? INT32_MAX : 2 * index);
        zv_page_t **pages =
            static_cast<zv_page_t **>(realloc(pool->pages, sizeof(zv_page_t *) * static_cast<size_t>(room)));
        if (!pages) return false;
        pool->pages = pages;  // larger; the count says how many are pages
        rec->page_room = room;
    }
    zv_page_t *page = nullptr;
    if (zv_page_init(pool->object_size, pool->slots_per_page, &page) != ZV_STATUS_SUCCESS) return false;
    if (!make_room_for(rec, static_cast<int64_t>(index) + 1)) {
        zv_page_delete(page);
        return false;
    }
    pool->pages[index] = page;
    pool->page_count += 1;
    if (rec->room.words) {
        file_page(rec->keys, rec->key_bits, rec->shift, page, index);
        room_set(&rec->room, index);
    }
    return true;
}

extern "C" void *zv_pool_alloc(zv_pool_t *pool) {
    PoolRecord *rec = record_of(pool);
    if (__builtin_expect(rec->first == pool->page_count, 0) && !add_page(rec)) return nullptr;
    zv_page_t *page = pool->pages[rec->first];
    const int32_t slot = page->position_to_slot[page->used];
    page->used += 1;
    if (page->used == page->capacity) advance_first(rec);
    pool->live += 1;
    return page->block + static_cast<uint64_t>(slot) * page->slot_size;
}

extern "C" void zv_pool_free(zv_pool_t *pool, void *object) {
    PoolRecord *rec = record_of(pool);
    if (rec->keys) return release_filed_slot(rec, object);
    const uint8_t *p = static_cast<const uint8_t *>(object);
    for (int32_t i = 0; i < pool->page_count; ++i) {
        const zv_page_t *page = pool->pages[i];
        if (page->block <= p && p < page->end) {
            if (page->used == page->capacity) return release_slot_of_full_page(rec, i, object);
            return release_slot(rec, i, object);
        }
    }
}

// ---- map ----

static inline int32_t bucket_of(const zv_map_t *map, int32_t state, uint8_t flag) {
    const uint32_t sum = static_cast<uint32_t>(state) + static_cast<uint32_t>(flag);
    return static_cast<int32_t>(static_cast<uint32_t>(map->bucket_count - 1) & sum);
}

extern "C" zv_status_t zv_map_init(int32_t bucket_count, zv_map_t **map) {
    *map = nullptr;
    zv_map_t *m = static_cast<zv_map_t *>(calloc(1, sizeof(zv_map_t)));
    if (!m) return ZV_STATUS_OUT_OF_MEMORY;
    m->bucket_count = bucket_count;
    if (zv_pool_init(sizeof(zv_map_cell_t), bucket_count, &m->cell_pool) != ZV_STATUS_SUCCESS ||
        !(m->buckets = static_cast<zv_map_cell_t **>(calloc(static_cast<size_t>(bucket_count), sizeof(zv_map_cell_t *))))) {
        zv_pool_delete(m->cell_pool);
        free(m);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    *map = m;
    return ZV_STATUS_SUCCESS;
}

static inline void drop_reference(zv_node_t *token) {
    token->reference_count -= 1;
    zv_node_delete(token);
}

extern "C" void zv_map_delete(zv_map_t *map) {
    if (!map) return;
    for (int32_t b = 0; b < map->bucket_count; ++b) {
        zv_map_cell_t *cell = map->buckets[b];
        while (cell) {
            zv_map_cell_t *next = cell->next;
            drop_reference(cell->token);
            // The cells go with their pool below.
            cell = next;
        }
    }
    free(map->buckets);
    zv_pool_delete(map->cell_pool);
    free(map);
}

extern "C" int32_t zv_map_size(const zv_map_t *map) { return map->size; }

// The cursor onto the head of the first non-empty bucket from `bucket` on;
// STOP_ITERATION (cursor unmoved) when there is none.
static zv_status_t move_to_filled(const zv_map_t *map, int32_t bucket, zv_map_iterator_t *cursor) {
    for (int32_t b = bucket; b < map->bucket_count; ++b) {
        if (map->buckets[b]) {
            cursor->bucket = b;
            cursor->cell = map->buckets[b];
            return ZV_STATUS_SUCCESS;
        }
    }
    return ZV_STATUS_STOP_ITERATION;
}

extern "C" void zv_map_start_iter(const zv_map_t *map, zv_map_iterator_t *cursor) {
    move_to_filled(map, 0, cursor);
}

extern "C" zv_status_t zv_map_next(const zv_map_t *map, zv_map_iterator_t *cursor) {
    if (cursor->cell->next) {
        cursor->cell = cursor->cell->next;
        return ZV_STATUS_SUCCESS;
    }
    return move_to_filled(map, cursor->bucket + 1, cursor);
}

// The cell of bucket b that holds the key, NULL when none does.
static inline zv_map_cell_t *cell_with_key(const zv_map_t *map, int32_t b, int32_t state, uint8_t flag) {
    for (zv_map_cell_t *cell = map->buckets[b]; cell; cell = cell->next) {
        if (cell->token->state == state && cell->token->flag == flag) return cell;
    }
    return nullptr;
}

extern "C" zv_status_t zv_map_find(const zv_map_t *map, int32_t state, uint8_t flag, zv_node_t **token) {
    const zv_map_cell_t *cell = cell_with_key(map, bucket_of(map, state, flag), state, flag);
    if (!cell) return ZV_STATUS_KEY_ERROR;
    *token = cell->token;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_map_insert(zv_map_t *map, zv_node_t *token) {
    const int32_t b = bucket_of(map, token->state, token->flag);
    zv_map_cell_t *held = cell_with_key(map, b, token->state, token->flag);
    if (held) {
        zv_node_t *old = held->token;
        token->reference_count += 1;
        held->token = token;
        drop_reference(old);
        return ZV_STATUS_SUCCESS;
    }
    zv_map_cell_t *cell = static_cast<zv_map_cell_t *>(zv_pool_alloc(map->cell_pool));
    if (!cell) return ZV_STATUS_OUT_OF_MEMORY;
    cell->previous = nullptr;
    cell->next = map->buckets[b];
    cell->token = token;
    if (cell->next) cell->next->previous = cell;
    map->buckets[b] = cell;
    token->reference_count += 1;
    map->size += 1;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_map_remove(zv_map_t *map, zv_map_iterator_t *cursor) {
    zv_map_cell_t *cell = cursor->cell;
    const int32_t b = cursor->bucket;
    zv_map_cell_t *next = cell->next;
    if (cell->previous) {
        cell->previous->next = next;
    } else {
        map->buckets[b] = next;
    }
    if (next) next->previous = cell->previous;
    zv_node_t *token = cell->token;
    zv_pool_free(map->cell_pool, cell);
    map->size -= 1;
    drop_reference(token);
    if (next) {
        cursor->cell = next;
        return ZV_STATUS_SUCCESS;
    }
    return move_to_filled(map, b + 1, cursor);
}

// ---- stack ----

extern "C" zv_status_t zv_stack_init(int32_t capacity, zv_stack_t **stack) {
    *stack = nullptr;
    zv_stack_t *s = static_cast<zv_stack_t *>(calloc(1, sizeof(zv_stack_t)));
    if (!s) return ZV_STATUS_OUT_OF_MEMORY;
    s->items = static_cast<zv_node_t **>(malloc(sizeof(zv_node_t *) * static_cast<size_t>(capacity)));
    if (!s->items) {
        free(s);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    s->capacity = capacity;
    *stack = s;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_stack_delete(zv_stack_t *stack) {
    if (!stack) return;
    free(stack->items);
    free(stack);
}

extern "C" zv_status_t zv_stack_push(zv_stack_t *stack, zv_node_t *token) {
    if (stack->size == stack->capacity) {
        if (stack->capacity > INT32_MAX / 2) return ZV_STATUS_OUT_OF_MEMORY;
        const int32_t capacity = stack->capacity * 2;
        zv_node_t **items =
            static_cast<zv_node_t **>(realloc(stack->items, sizeof(zv_node_t *) * static_cast<size_t>(capacity)));
        if (!items) return ZV_STATUS_OUT_OF_MEMORY;
        stack->items = items;
        stack->capacity = capacity;
    }
    token->reference_count += 1;
    stack->items[stack->size++] = token;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_stack_pop(zv_stack_t *stack, zv_node_t **token) {
    zv_node_t *top = stack->items[--stack->size];
    top->reference_count -= 1;
    *token = top;
    return ZV_STATUS_SUCCESS;
}

// ---- heap ----

extern "C" zv_status_t zv_heap_init(int32_t capacity, zv_heap_t **heap) {
    *heap = nullptr;
    zv_heap_t *h = static_cast<zv_heap_t *>(calloc(1, sizeof(zv_heap_t)));
    if (!h) return ZV_STATUS_OUT_OF_MEMORY;
    h->values = static_cast<float *>(malloc(sizeof(float) * (static_cast<size_t>(capacity) + 1)));
    if (!h->values) {
        free(h);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    h->capacity = capacity;
    *heap = h;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_heap_delete(zv_heap_t *heap) {
    if (!heap) return;
    free(heap->values);
    free(heap);
}

extern "C" void zv_heap_insert(zv_heap_t *heap, float x) {
    float *v = heap->values;
    if (heap->count < heap->capacity) {
        int32_t i = ++heap->count;
        while (i > 1 && x > v[i / 2]) {
            v[i] = v[i / 2];
            i /= 2;
        }
        v[i] = x;
        return;
    }
    if (!(x < v[1])) return;
    const int32_t n = heap->count;
    int32_t i = 1;
    for (;;) {
        const int32_t l = 2 * i;
        if (l > n) break;
        int32_t c = l;
        if (l + 1 <= n && v[l + 1] > v[l]) c = l + 1;
        if (!(v[c] > x)) break;
        v[i] = v[c];
        i = c;
    }
    v[i] = x;
}
