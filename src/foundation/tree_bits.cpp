#include "foundation/tree_bits.h"

#include "foundation/bit_field.h"

extern "C" uint64_t zv_tree_bits_size_bytes(uint64_t num_nodes) {
    return 4 * zv_bit_field_size_uint32(2 * num_nodes, 1);
}

extern "C" void zv_tree_bits_reader_init(zv_tree_bits_reader_t *reader, const void *bytes, uint64_t size,
                                         int64_t num_nodes) {
    reader->bytes = static_cast<const uint8_t *>(bytes);
    const uint64_t declared = num_nodes > 0 ? 2 * static_cast<uint64_t>(num_nodes) : 0;
    const uint64_t present = size > (UINT64_MAX >> 3) ? UINT64_MAX : size * 8;
    reader->limit = declared < present ? declared : present;
    reader->position = 1;
    reader->num_nodes = num_nodes;
    reader->entered = 0;
    reader->node = -1;
    reader->depth = 0;
}

extern "C" zv_status_t zv_tree_bits_parents(const void *bytes, uint64_t size, int64_t num_nodes, int32_t *parents) {
    zv_tree_bits_reader_t reader;
    zv_tree_bits_reader_init(&reader, bytes, size, num_nodes);
    int32_t current = -1;
    int32_t event = 0;
    zv_status_t status;
    while ((status = zv_tree_bits_next(&reader, &event)) == ZV_STATUS_SUCCESS) {
        if (event == ZV_TREE_BITS_ENTER) {
            const int32_t node = static_cast<int32_t>(reader.node);
            parents[node] = current;
            current = node;
        } else {
            current = parents[current];
        }
    }
    return status == ZV_STATUS_STOP_ITERATION ? ZV_STATUS_SUCCESS : status;
}

extern "C" void zv_tree_bits_writer_init(zv_tree_bits_writer_t *writer, void *bytes) {
    writer->bytes = static_cast<uint8_t *>(bytes);
    writer->position = 0;
}

extern "C" void zv_tree_bits_writer_enter(zv_tree_bits_writer_t *writer) { writer->position += 1; }

extern "C" void zv_tree_bits_writer_leave(zv_tree_bits_writer_t *writer) {
    const uint64_t k = writer->position++;
    writer->bytes[k >> 3] = static_cast<uint8_t>(writer->bytes[k >> 3] | (1u << (k & 7)));
}

extern "C" void zv_tree_preorder_init(zv_tree_preorder_t *walk, const int32_t *first_child,
                                      const int32_t *next_sibling, int64_t num_nodes, int32_t *stack) {
    zv_tree_preorder_init_strided(walk, first_child, next_sibling, 1, num_nodes, stack);
}

extern "C" void zv_tree_preorder_init_strided(zv_tree_preorder_t *walk, const int32_t *first_child,
                                              const int32_t *next_sibling, int64_t stride, int64_t num_nodes,
                                              int32_t *stack) {
    walk->first_child = first_child;
    walk->next_sibling = next_sibling;
    walk->stride = stride;
    walk->stack = stack;
    walk->num_nodes = num_nodes;
    walk->depth = 0;
    walk->visited = 0;
    walk->next = num_nodes > 0 ? 0 : -1;
}

extern "C" zv_status_t zv_tree_preorder_next(zv_tree_preorder_t *walk, int32_t *event, int32_t *node) {
    if (walk->next >= 0) {
        if (walk->visited >= walk->num_nodes || walk->next >= walk->num_nodes) {
            return ZV_STATUS_INVALID_STATE;
        }
        const int32_t n = walk->next;
        walk->stack[walk->depth++] = n;
        walk->visited += 1;
        walk->next = walk->first_child[n * walk->stride];
        *event = ZV_TREE_BITS_ENTER;
        *node = n;
        return ZV_STATUS_SUCCESS;
    }
    if (walk->depth == 0) {
        return ZV_STATUS_STOP_ITERATION;
    }
    const int32_t n = walk->stack[--walk->depth];
    // The root's siblings, if any, are not part of its tree.
    walk->next = walk->depth > 0 ? walk->next_sibling[n * walk->stride] : -1;
    *event = ZV_TREE_BITS_LEAVE;
    *node = n;
    return ZV_STATUS_SUCCESS;
}
