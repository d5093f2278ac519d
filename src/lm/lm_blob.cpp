#include "lm/lm_blob.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/bit_field.h"
#include "foundation/byte_reader.h"
#include "foundation/file.h"

extern "C" int8_t zv_lm_cost_saturate(float f) {
    if (f >= 127.0f) return 127;
    if (!(f > -128.0f)) return -128;  // NaN too
    return static_cast<int8_t>(f);    // truncates toward zero
}

extern "C" int8_t zv_lm_cost_from_probability(double p) {
    const float decades = static_cast<float>(log10(p));
    return zv_lm_cost_saturate(8.0f * decades);
}

extern "C" uint8_t zv_lm_cost_to_memory(int8_t disk) {
    if (disk == -128) return 127;
    return static_cast<uint8_t>(-disk);
}

extern "C" int8_t zv_lm_cost_to_disk(uint8_t memory) {
    const int8_t m = static_cast<int8_t>(memory);
    if (m == -128) return 127;
    return static_cast<int8_t>(-m);
}

extern "C" uint64_t zv_lm_blob_size(uint64_t num_nodes, uint64_t num_leaves, int32_t word_bits) {
    return ZV_LM_BLOB_HEADER_BYTES + 4 * zv_bit_field_size_uint32(num_nodes, word_bits) +
           zv_tree_bits_size_bytes(num_nodes) + num_nodes + (num_nodes - num_leaves);
}

extern "C" zv_status_t zv_lm_blob_open(const void *data, uint64_t available, zv_lm_blob_t *blob) {
    if (available < ZV_LM_BLOB_HEADER_BYTES) return ZV_STATUS_INVALID_ARGUMENT;
    const uint8_t *const start = static_cast<const uint8_t *>(data);
    const int32_t total = zv_load_i32le(start);
    const int32_t n = zv_load_i32le(start + 4);
    const int32_t leaves = zv_load_i32le(start + 8);
    const int32_t bits = zv_load_i32le(start + 12);
    if (total <= ZV_LM_BLOB_HEADER_BYTES || n <= 0 || leaves <= 0 || bits < 1 || bits > 31 || leaves > n) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    // N < 2^31 and B < 32 keep every term well inside 64 bits.
    const uint64_t words_bytes = 4 * zv_bit_field_size_uint32(static_cast<uint64_t>(n), bits);
    const uint64_t structure_bytes = zv_tree_bits_size_bytes(static_cast<uint64_t>(n));
    if (zv_lm_blob_size(static_cast<uint64_t>(n), static_cast<uint64_t>(leaves), bits) >
            static_cast<uint64_t>(total) ||
        static_cast<uint64_t>(total) > available) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    blob->total_bytes = total;
    blob->num_nodes = n;
    blob->num_leaves = leaves;
    blob->word_bits = bits;
    blob->word_fields = start + ZV_LM_BLOB_HEADER_BYTES;
    blob->structure = blob->word_fields + words_bytes;
    blob->structure_bytes = structure_bytes;
    blob->forward = blob->structure + structure_bytes;
    blob->backoff = blob->forward + n;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_lm_blob_reader_init(zv_lm_blob_reader_t *reader, const zv_lm_blob_t *blob) {
    memset(reader, 0, sizeof(*reader));
    reader->blob = *blob;
    const uint64_t n = static_cast<uint64_t>(blob->num_nodes);
    reader->scratch = static_cast<int32_t *>(malloc(static_cast<size_t>(8 * (n + 1))));
    if (!reader->scratch) return ZV_STATUS_OUT_OF_MEMORY;
    zv_tree_bits_reader_init(&reader->structure, blob->structure, blob->structure_bytes, blob->num_nodes);
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_lm_blob_reader_next(zv_lm_blob_reader_t *reader, zv_lm_blob_node_t *node) {
    const zv_lm_blob_t &blob = reader->blob;
    const int32_t n = blob.num_nodes;
    int32_t *const open = reader->scratch;          // open[d]: the open node at depth d
    int32_t *const last_word = reader->scratch + n;  // last_word[d]: word of the last node entered at depth d
    int32_t event;
    for (;;) {
        const zv_status_t status = zv_tree_bits_next(&reader->structure, &event);
        if (status == ZV_STATUS_STOP_ITERATION) {
            return reader->leaves == blob.num_leaves ? status : ZV_STATUS_INVALID_ARGUMENT;
        }
        if (status != ZV_STATUS_SUCCESS) return status;
        // The bit after a node's opening bit tells whether it has children,
        // and so whether it owns the next backoff byte.
        const bool resolved = reader->pending != 0;
        if (resolved) {
            *node = reader->node;
            reader->pending = 0;
            if (event == ZV_TREE_BITS_ENTER) {
                if (reader->next_backoff >= static_cast<uint64_t>(n - blob.num_leaves)) {
                    reader->structure.depth = ZV_TREE_BITS_FAILED;  // more inner nodes than declared
                    return ZV_STATUS_INVALID_ARGUMENT;
                }
                node->has_children = 1;
                node->backoff = zv_lm_cost_to_memory(static_cast<int8_t>(blob.backoff[reader->next_backoff++]));
            } else {
                node->has_children = 0;
                node->backoff = 0;
                reader->leaves += 1;
            }
        }
        if (event == ZV_TREE_BITS_ENTER) {
            zv_lm_blob_node_t &next = reader->node;
            next.node = static_cast<int32_t>(reader->structure.node);
            next.depth = static_cast<int32_t>(reader->structure.depth - 1);
            const uint32_t value = zv_bit_field_read_bytes(blob.word_fields, static_cast<uint64_t>(next.node),
                                                           blob.word_bits);
            next.word = static_cast<int32_t>(value) - 1;
            // A word below the root only, and siblings strictly ascending:
            // the lookups are binary searches.
            if ((next.node == 0) != (value == 0) || (next.depth > 0 && next.word <= last_word[next.depth])) {
                reader->structure.depth = ZV_TREE_BITS_FAILED;
                return ZV_STATUS_INVALID_ARGUMENT;
            }
            next.parent = next.depth > 0 ? open[next.depth - 1] : -1;
            last_word[next.depth] = next.word;
            last_word[next.depth + 1] = -1;  // its children start afresh
            open[next.depth] = next.node;
            next.forward = zv_lm_cost_to_memory(static_cast<int8_t>(blob.forward[next.node]));
            reader->pending = 1;
        }
        if (resolved) return ZV_STATUS_SUCCESS;
    }
}

extern "C" void zv_lm_blob_reader_close(zv_lm_blob_reader_t *reader) {
    free(reader->scratch);
    reader->scratch = nullptr;
}

extern "C" zv_status_t zv_lm_blob_writer_init(zv_lm_blob_writer_t *writer, int64_t num_nodes, int64_t num_leaves,
                                              int32_t word_bits) {
    memset(writer, 0, sizeof(*writer));
    if (num_nodes < 1 || num_leaves < 1 || num_leaves > num_nodes || word_bits < 0 || word_bits > 31) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (num_nodes > INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;  // can't be recorded in the header
    if (word_bits == 0) word_bits = 1;  // the readers take 1..31; the root's field is 0 at any width
    const uint64_t n = static_cast<uint64_t>(num_nodes);
    const uint64_t total = zv_lm_blob_size(n, static_cast<uint64_t>(num_leaves), word_bits);
    if (total > INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    uint8_t *blob = static_cast<uint8_t *>(calloc(static_cast<size_t>(total), 1));
    if (!blob) return ZV_STATUS_OUT_OF_MEMORY;
    zv_store_u32le(blob, static_cast<uint32_t>(total));
    zv_store_u32le(blob + 4, static_cast<uint32_t>(num_nodes));
    zv_store_u32le(blob + 8, static_cast<uint32_t>(num_leaves));
    zv_store_u32le(blob + 12, static_cast<uint32_t>(word_bits));
    writer->blob = blob;
    writer->total_bytes = total;
    writer->word_bits = word_bits;
    writer->word_fields = blob + ZV_LM_BLOB_HEADER_BYTES;
    uint8_t *const structure = writer->word_fields + 4 * zv_bit_field_size_uint32(n, word_bits);
    zv_tree_bits_writer_init(&writer->structure, structure);
    writer->forward = structure + zv_tree_bits_size_bytes(n);
    writer->backoff = writer->forward + n;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_lm_blob_writer_enter(zv_lm_blob_writer_t *writer, int32_t word, int8_t forward,
                                        int32_t has_children, int8_t backoff) {
    const uint64_t node = writer->next_node++;
    const uint32_t value = static_cast<uint32_t>(word) + 1u;
    if (writer->word_bits > 0 && value != 0) {
        // The blob comes from calloc, so its word fields are uint32-aligned.
        zv_bit_field_write(reinterpret_cast<uint32_t *>(writer->word_fields), node, writer->word_bits, value);
    }
    *writer->forward++ = static_cast<uint8_t>(forward);
    if (has_children) *writer->backoff++ = static_cast<uint8_t>(backoff);
    zv_tree_bits_writer_enter(&writer->structure);
}

extern "C" void zv_lm_blob_writer_leave(zv_lm_blob_writer_t *writer) { zv_tree_bits_writer_leave(&writer->structure); }

extern "C" void zv_lm_blob_writer_finish(zv_lm_blob_writer_t *writer, uint64_t *size, void **blob) {
    *size = writer->total_bytes;
    *blob = writer->blob;
    memset(writer, 0, sizeof(*writer));
}

extern "C" void zv_lm_blob_writer_discard(zv_lm_blob_writer_t *writer) {
    free(writer->blob);
    memset(writer, 0, sizeof(*writer));
}

extern "C" zv_status_t zv_lm_blob_write_file(const char *path, const void *blob, uint64_t size) {
    if (!path || (!blob && size > 0)) return ZV_STATUS_INVALID_ARGUMENT;
    FILE *file = zv_fopen(path, "wb");
    if (!file) return zv_fopen_failure();
    const bool written = size == 0 || fwrite(blob, 1, static_cast<size_t>(size), file) == size;
    const bool closed = fclose(file) == 0;
    return written && closed ? ZV_STATUS_SUCCESS : ZV_STATUS_IO_ERROR;
}
