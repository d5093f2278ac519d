#include "lm/count.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "foundation/bit_field.h"
#include "foundation/byte_reader.h"
#include "foundation/file.h"
#include "foundation/status.h"
#include "foundation/tree_bits.h"
#include "lm/trie.h"

namespace {

constexpr uint64_t kHeaderBytes = 8;
constexpr int32_t kLargestWord = 1 << 30;  // its stored value 2^30 + 1 needs all 31 bits

struct CountDeleter {
    void operator()(zv_count_t *count) const { zv_count_delete(count); }
};
using CountPtr = std::unique_ptr<zv_count_t, CountDeleter>;

// Counts read from files may lie anywhere in int64: sums stop at its ends
// rather than wrap.
inline int64_t add_saturating(int64_t a, int64_t b) {
    int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? INT64_MAX : INT64_MIN;
}

inline void store_u64le(uint8_t *p, uint64_t v) {
    zv_store_u32le(p, static_cast<uint32_t>(v));
    zv_store_u32le(p + 4, static_cast<uint32_t>(v >> 32));
}

// Width of the word fields for the largest word id m: ceil(log2(m) + 1) from
// 2 on; below that the smallest width that holds m + 1.
int32_t width_for(int32_t largest) {
    if (largest >= 2) return static_cast<int32_t>(ceil(log2(static_cast<double>(largest)) + 1.0));
    return largest == 1 ? 2 : 1;
}

zv_count_node_t *new_node(int32_t word) {
    zv_count_node_t *node = static_cast<zv_count_node_t *>(calloc(1, sizeof(zv_count_node_t)));
    if (node) node->word = word;
    return node;
}

// Gives `node` a copy of the children of `shape`, counts 0.
zv_status_t copy_children(const zv_gram_node_t *shape, zv_count_node_t *node) {
    if (shape->num_children == 0) return ZV_STATUS_SUCCESS;
    node->children = static_cast<zv_count_node_t **>(
        calloc(static_cast<size_t>(shape->num_children), sizeof(zv_count_node_t *)));
    if (!node->children) return ZV_STATUS_OUT_OF_MEMORY;
    for (int32_t i = 0; i < shape->num_children; ++i) {
        zv_count_node_t *child = new_node(shape->children[i]->word);
        if (!child) return ZV_STATUS_OUT_OF_MEMORY;
        node->children[i] = child;
        node->num_children = i + 1;
    }
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" zv_status_t zv_count_init(const zv_gram_t *gram, zv_count_t **count) {
    *count = nullptr;
    CountPtr rec(static_cast<zv_count_t *>(calloc(1, sizeof(zv_count_t))));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    rec->order = zv_gram_order(gram);
    rec->depth = gram->depth;
    rec->root = new_node(-1);
    if (!rec->root) return ZV_STATUS_OUT_OF_MEMORY;
    // The set's own depth, not its order, bounds the walk: a set may hold
    // sequences longer than its order.
    struct Frame {
        const zv_gram_node_t *shape;
        zv_count_node_t *node;
        int32_t next;
    };
    zv_trie::Stack<Frame> stack;
    if (!stack.reserve(static_cast<int64_t>(gram->depth) + 1)) return ZV_STATUS_OUT_OF_MEMORY;
    ZV_TRY(copy_children(gram->root, rec->root));
    stack.push(Frame{gram->root, rec->root, 0});
    while (!stack.empty()) {
        Frame &frame = stack.top();
        if (frame.next >= frame.node->num_children) {
            stack.pop();
            continue;
        }
        const int32_t i = frame.next++;
        const zv_gram_node_t *shape = frame.shape->children[i];
        zv_count_node_t *node = frame.node->children[i];
        ZV_TRY(copy_children(shape, node));
        if (node->num_children > 0 && !stack.push(Frame{shape, node, 0})) return ZV_STATUS_OUT_OF_MEMORY;
    }
    *count = rec.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_count_delete(zv_count_t *count) {
    if (!count) return;
    if (count->root) zv_trie::destroy(count->root);
    free(count);
}

extern "C" zv_status_t zv_count_insert(zv_count_t *count, const int32_t *words, int32_t num_words) {
    zv_count_node_t *node = count->root;
    node->count = add_saturating(node->count, 1);
    for (int32_t i = 0; i < num_words; ++i) {
        node = zv_trie::find(node, words[i]);
        if (!node) break;
        node->count = add_saturating(node->count, 1);
    }
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_count_merge(zv_count_t *count, const zv_count_t *other) {
    const int64_t bound = count->depth < other->depth ? count->depth : other->depth;
    zv_trie::paired(count->root, other->root, bound, [](zv_count_node_t *a, const zv_count_node_t *b) {
        a->count = add_saturating(a->count, b->count);
        return (a->num_children > 0 && b->num_children > 0) ? 1 : 0;
    });
}

extern "C" bool zv_count_is_equal(const zv_count_t *count, const zv_count_t *other) {
    if (count->order != other->order) return false;
    const int64_t bound = count->depth < other->depth ? count->depth : other->depth;
    return zv_trie::paired(count->root, other->root, bound, [](const zv_count_node_t *a, const zv_count_node_t *b) {
        if (a->word != b->word || a->count != b->count || a->num_children != b->num_children) return -1;
        return a->num_children > 0 ? 1 : 0;
    });
}

extern "C" bool zv_count_is_valid(const zv_count_t *count) {
    return zv_trie::preorder(
        count->root, count->depth,
        [](const zv_count_node_t *node, int64_t) { return zv_trie::count_covers_children(node) ? 1 : -1; },
        [](const zv_count_node_t *) {});
}

extern "C" zv_status_t zv_count_save(const zv_count_t *count, const char *path) {
    uint64_t n = 0;
    int32_t largest = -1;
    ZV_TRY(zv_trie::census(count->root, count->depth, 0, kLargestWord, &n, &largest));
    const int32_t w = width_for(largest);
    return zv_trie::save_stored(
        count->root, count->depth, n, w, kHeaderBytes, 8,
        [n, w](uint8_t *header) {
            zv_store_u32le(header, static_cast<uint32_t>(n));
            zv_store_u32le(header + 4, static_cast<uint32_t>(w));
        },
        [](const zv_count_node_t *node, uint8_t *value) { store_u64le(value, static_cast<uint64_t>(node->count)); },
        path);
}

extern "C" zv_status_t zv_count_file_parse(const void *bytes, uint64_t size, zv_count_file_t *file) {
    zv_byte_reader_t cursor;
    zv_byte_reader_init(&cursor, bytes, size);
    int32_t n = 0;
    int32_t w = 0;
    ZV_TRY(zv_byte_reader_i32(&cursor, &n));
    ZV_TRY(zv_byte_reader_i32(&cursor, &w));
    // The node reader's cursors are 32-bit: 2n bits must fit in them.
    if (n < 1 || n > INT32_MAX / 2 || w < 1 || w > 31) return ZV_STATUS_INVALID_ARGUMENT;
    const uint64_t structure_bytes = zv_tree_bits_size_bytes(static_cast<uint64_t>(n));
    const uint64_t word_bytes = 4 * zv_bit_field_size_uint32(static_cast<uint64_t>(n), w);
    const uint8_t *counts;
    const uint8_t *structure;
    const uint8_t *word_fields;
    ZV_TRY(zv_byte_reader_bytes(&cursor, 8 * static_cast<uint64_t>(n), &counts));
    ZV_TRY(zv_byte_reader_bytes(&cursor, structure_bytes, &structure));
    ZV_TRY(zv_byte_reader_bytes(&cursor, word_bytes, &word_fields));

    ZV_TRY(zv_trie::check_stored(structure, structure_bytes, n, word_fields, w, UINT32_MAX, &file->depth));
    file->num_nodes = n;
    file->word_bits = w;
    file->counts = counts;
    file->structure = structure;
    file->structure_bytes = structure_bytes;
    file->word_fields = word_fields;
    return ZV_STATUS_SUCCESS;
}

extern "C" int32_t zv_count_file_word(const zv_count_file_t *file, int64_t node) {
    return static_cast<int32_t>(zv_bit_field_read_bytes(file->word_fields, static_cast<uint64_t>(node), file->word_bits)) -
           1;
}

extern "C" int64_t zv_count_file_count(const zv_count_file_t *file, int64_t node) {
    return static_cast<int64_t>(zv_load_u64le(file->counts + 8 * node));
}

extern "C" zv_status_t zv_count_load(const char *path, zv_count_t **count) {
    *count = nullptr;
    int32_t size = 0;
    void *data = nullptr;
    ZV_TRY(zv_file_load(path, &size, &data));
    zv_trie::Block<uint8_t> bytes(static_cast<uint8_t *>(data));
    zv_count_file_t file;
    ZV_TRY(zv_count_file_parse(bytes.get(), static_cast<uint64_t>(size), &file));
    // The buffer comes from malloc: the counts start at a multiple of 8, the
    // bit strings at multiples of 4.
    int32_t structure_cursor = 1;
    int32_t word_cursor = 0;
    int32_t count_cursor = 0;
    zv_count_node_t *root = nullptr;
    ZV_TRY(zv_count_load_helper(nullptr, reinterpret_cast<const uint32_t *>(file.structure), &structure_cursor,
                                reinterpret_cast<const uint32_t *>(file.word_fields), file.word_bits, &word_cursor,
                                reinterpret_cast<const int64_t *>(file.counts), &count_cursor, &root));
    bytes.reset();
    zv_count_t *rec = static_cast<zv_count_t *>(calloc(1, sizeof(zv_count_t)));
    if (!rec) {
        zv_trie::destroy(root);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    rec->order = file.depth;
    rec->depth = file.depth;
    rec->root = root;
    *count = rec;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_count_load_helper(zv_count_node_t *parent, const uint32_t *structure,
                                            int32_t *structure_cursor, const uint32_t *word_fields, int32_t word_bits,
                                            int32_t *word_cursor, const int64_t *counts, int32_t *count_cursor,
                                            zv_count_node_t **node) {
    const uint8_t *const count_bytes = reinterpret_cast<const uint8_t *>(counts);
    auto make = [&](zv_count_node_t *under, int32_t *capacity, zv_count_node_t **made) -> zv_status_t {
        const uint32_t v = zv_bit_field_read_bytes(word_fields, static_cast<uint64_t>(*word_cursor), word_bits);
        *word_cursor += 1;
        const int64_t c = static_cast<int64_t>(zv_load_u64le(count_bytes + 8 * static_cast<uint64_t>(*count_cursor)));
        *count_cursor += 1;
        const int32_t word = static_cast<int32_t>(v) - 1;
        if (under) {
            ZV_TRY(capacity ? zv_trie::append(under, word, made, capacity) : zv_trie::find_or_insert(under, word, made));
        } else {
            *made = new_node(word);
            if (!*made) return ZV_STATUS_OUT_OF_MEMORY;
        }
        (*made)->count = c;
        return ZV_STATUS_SUCCESS;
    };
    // A word repeated under one parent keeps the count of its last occurrence.
    return zv_trie::load_subtree(parent, structure, structure_cursor, node, make,
                                 [](zv_count_node_t *into, const zv_count_node_t *from) { into->count = from->count; });
}
