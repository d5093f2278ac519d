#include "lm/mgram.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "foundation/bit_field.h"
#include "foundation/byte_reader.h"
#include "foundation/file.h"
#include "foundation/status.h"

struct zv_mgram_t {
    int32_t num_nodes;
    int32_t order;            // greatest node depth, found while reading
    int32_t *words;           // word id per node, -1 for the root
    uint8_t *forward;         // in-memory forward cost per node
    uint8_t *backoff;         // in-memory backoff cost per node, 0 for a leaf
    int32_t *child_offsets;   // N + 1 entries
    int32_t *children;        // N - 1 node indices, grouped by parent
};

namespace {

struct MgramDeleter {
    void operator()(zv_mgram_t *mgram) const { zv_mgram_delete(mgram); }
};
using MgramPtr = std::unique_ptr<zv_mgram_t, MgramDeleter>;

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};
template <typename T>
using Block = std::unique_ptr<T, FreeDeleter>;

// At least one byte, so that an empty array is not a failed allocation.
void *allocate(uint64_t bytes, bool zeroed) {
    if (bytes > SIZE_MAX) return nullptr;
    const size_t n = bytes > 0 ? static_cast<size_t>(bytes) : 1;
    return zeroed ? calloc(n, 1) : malloc(n);
}

inline float cost(uint8_t byte) { return static_cast<float>(static_cast<int8_t>(byte)) * 0.125f; }

// Child of `node` with word id `word`, -1 when it has none.
inline int32_t find_child(const zv_mgram_t *m, int32_t node, int32_t word) {
    int32_t lo = m->child_offsets[node];
    int32_t hi = m->child_offsets[node + 1];
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const int32_t w = m->words[m->children[mid]];
        if (w == word) return m->children[mid];
        if (w < word) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return -1;
}

// Node of the path of ids[0..n-1] from `node`, -1 on a miss.
inline int32_t walk(const zv_mgram_t *m, int32_t node, const int32_t *ids, int32_t n) {
    for (int32_t i = 0; i < n && node >= 0; ++i) node = find_child(m, node, ids[i]);
    return node;
}

// One pass over the blob fills the per-node arrays and each node's parent.
zv_status_t read_nodes(const zv_lm_blob_t &blob, zv_mgram_t *m, int32_t *parent) {
    zv_lm_blob_reader_t reader;
    zv_status_t status = zv_lm_blob_reader_init(&reader, &blob);
    zv_lm_blob_node_t node;
    int32_t order = 0;
    while (status == ZV_STATUS_SUCCESS && (status = zv_lm_blob_reader_next(&reader, &node)) == ZV_STATUS_SUCCESS) {
        m->words[node.node] = node.word;
        m->forward[node.node] = node.forward;
        m->backoff[node.node] = node.backoff;
        parent[node.node] = node.parent;
        if (node.depth > order) order = node.depth;
    }
    zv_lm_blob_reader_close(&reader);
    if (status != ZV_STATUS_STOP_ITERATION) return status;
    m->order = order;
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" zv_status_t zv_mgram_deserialize_bounded(const void **cursor, uint64_t available, zv_mgram_t **mgram) {
    *mgram = nullptr;
    if (!cursor || !*cursor) return ZV_STATUS_INVALID_ARGUMENT;
    zv_lm_blob_t blob;
    ZV_TRY(zv_lm_blob_open(*cursor, available, &blob));
    const uint64_t n = static_cast<uint64_t>(blob.num_nodes);

    MgramPtr m(static_cast<zv_mgram_t *>(calloc(1, sizeof(zv_mgram_t))));
    if (!m) return ZV_STATUS_OUT_OF_MEMORY;
    m->num_nodes = blob.num_nodes;
    m->words = static_cast<int32_t *>(allocate(4 * n, false));
    m->forward = static_cast<uint8_t *>(allocate(n, false));
    m->backoff = static_cast<uint8_t *>(allocate(n, false));
    m->child_offsets = static_cast<int32_t *>(allocate(4 * (n + 1), true));
    m->children = static_cast<int32_t *>(allocate(4 * (n - 1), false));
    Block<int32_t> scratch(static_cast<int32_t *>(allocate(4 * 2 * n, false)));
    if (!m->words || !m->forward || !m->backoff || !m->child_offsets || !m->children || !scratch) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    int32_t *const parent = scratch.get();
    int32_t *const slot = parent + n;
    ZV_TRY(read_nodes(blob, m.get(), parent));

    // Children in node order are in preorder, so each parent's group comes
    // out ascending by word.
    for (uint64_t i = 1; i < n; ++i) m->child_offsets[parent[i] + 1] += 1;
    for (uint64_t i = 0; i < n; ++i) m->child_offsets[i + 1] += m->child_offsets[i];
    memcpy(slot, m->child_offsets, 4 * n);
    for (uint64_t i = 1; i < n; ++i) m->children[slot[parent[i]]++] = static_cast<int32_t>(i);

    *cursor = static_cast<const uint8_t *>(*cursor) + blob.total_bytes;
    *mgram = m.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_mgram_deserialize(const void **cursor, zv_mgram_t **mgram) {
    *mgram = nullptr;
    if (!cursor || !*cursor) return ZV_STATUS_INVALID_ARGUMENT;
    // The caller vouches for the bytes the blob declares; no more are read.
    const int32_t total = zv_load_i32le(*cursor);
    if (total <= ZV_LM_BLOB_HEADER_BYTES) return ZV_STATUS_INVALID_ARGUMENT;
    return zv_mgram_deserialize_bounded(cursor, static_cast<uint64_t>(total), mgram);
}

extern "C" zv_status_t zv_mgram_load(const char *path, zv_mgram_t **mgram) {
    *mgram = nullptr;
    if (!path) return ZV_STATUS_INVALID_ARGUMENT;
    int32_t size = 0;
    void *data = nullptr;
    ZV_TRY(zv_file_load(path, &size, &data));
    const void *cursor = data;
    const zv_status_t status = zv_mgram_deserialize_bounded(&cursor, static_cast<uint64_t>(size), mgram);
    free(data);
    return status;
}

extern "C" zv_status_t zv_mgram_serialize(const zv_mgram_t *mgram, uint64_t *size, void **blob) {
    *size = 0;
    *blob = nullptr;
    if (!mgram) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t n = mgram->num_nodes;
    int64_t leaves = 0;
    int64_t largest = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (mgram->child_offsets[i + 1] == mgram->child_offsets[i]) leaves += 1;
        if (static_cast<int64_t>(mgram->words[i]) + 1 > largest) largest = static_cast<int64_t>(mgram->words[i]) + 1;
    }
    // Each node's position among its parent's children, for the iterative walk.
    Block<int32_t> stack(static_cast<int32_t *>(allocate(4 * static_cast<uint64_t>(n), false)));
    Block<int32_t> next(static_cast<int32_t *>(allocate(4 * static_cast<uint64_t>(n), false)));
    if (!stack || !next) return ZV_STATUS_OUT_OF_MEMORY;
    zv_lm_blob_writer_t writer;
    ZV_TRY(zv_lm_blob_writer_init(&writer, n, leaves, zv_bit_field_width(static_cast<uint64_t>(largest))));
    int32_t depth = 0;
    auto enter = [&](int32_t node) {
        const bool inner = mgram->child_offsets[node + 1] > mgram->child_offsets[node];
        zv_lm_blob_writer_enter(&writer, mgram->words[node], zv_lm_cost_to_disk(mgram->forward[node]), inner,
                                zv_lm_cost_to_disk(mgram->backoff[node]));
        stack.get()[depth] = node;
        next.get()[depth] = mgram->child_offsets[node];
        depth += 1;
    };
    enter(0);
    while (depth > 0) {
        const int32_t node = stack.get()[depth - 1];
        const int32_t slot = next.get()[depth - 1];
        if (slot < mgram->child_offsets[node + 1]) {
            next.get()[depth - 1] = slot + 1;
            enter(mgram->children[slot]);
        } else {
            zv_lm_blob_writer_leave(&writer);
            depth -= 1;
        }
    }
    zv_lm_blob_writer_finish(&writer, size, blob);
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_mgram_save(const zv_mgram_t *mgram, const char *path) {
    if (!mgram || !path) return ZV_STATUS_INVALID_ARGUMENT;
    uint64_t size = 0;
    void *blob = nullptr;
    ZV_TRY(zv_mgram_serialize(mgram, &size, &blob));
    const zv_status_t status = zv_lm_blob_write_file(path, blob, size);
    free(blob);
    return status;
}

extern "C" void zv_mgram_delete(zv_mgram_t *mgram) {
    if (!mgram) return;
    free(mgram->words);
    free(mgram->forward);
    free(mgram->backoff);
    free(mgram->child_offsets);
    free(mgram->children);
    free(mgram);
}

extern "C" int32_t zv_mgram_size(const zv_mgram_t *mgram) { return mgram->num_nodes; }

extern "C" int32_t zv_mgram_order(const zv_mgram_t *mgram) { return mgram->order; }

extern "C" int32_t zv_mgram_word(const zv_mgram_t *mgram, int32_t node) { return mgram->words[node]; }

extern "C" int32_t zv_mgram_forward(const zv_mgram_t *mgram, int32_t node) { return mgram->forward[node]; }

extern "C" int32_t zv_mgram_backoff(const zv_mgram_t *mgram, int32_t node) { return mgram->backoff[node]; }

extern "C" int32_t zv_mgram_num_children(const zv_mgram_t *mgram, int32_t node) {
    return mgram->child_offsets[node + 1] - mgram->child_offsets[node];
}

extern "C" const int32_t *zv_mgram_children(const zv_mgram_t *mgram, int32_t node) {
    return mgram->children + mgram->child_offsets[node];
}

extern "C" float zv_mgram_prob(const zv_mgram_t *mgram, const int32_t *ids, int32_t n) {
    float sum = 0.0f;
    if (n >= 1) {
        const int32_t word = ids[n - 1];
        // Longest history first: ids j..n-2 for j = 0, 1, ..., n-1.
        for (int32_t j = 0; j < n; ++j) {
            const int32_t history = walk(mgram, 0, ids + j, n - 1 - j);
            if (history < 0) continue;
            const int32_t x = find_child(mgram, history, word);
            if (x >= 0) return cost(mgram->forward[x]) + sum;
            sum += cost(mgram->backoff[history]);
        }
    }
    return log10f(static_cast<float>(zv_mgram_num_children(mgram, 0))) + sum;
}

extern "C" int32_t zv_mgram_index(const zv_mgram_t *mgram, const int32_t *ids, int32_t n) {
    if (n <= 0) return 0;
    return walk(mgram, 0, ids, n);
}

extern "C" int32_t zv_mgram_backoff_index(const zv_mgram_t *mgram, const int32_t *ids, int32_t n) {
    if (n <= 1) return 0;
    for (int32_t i = 1; i < n; ++i) {
        const int32_t node = walk(mgram, 0, ids + i, n - i);
        if (node >= 0) return node;
    }
    return -1;
}

namespace {

// 1 when every child of `node` has a word the lexicon can spell.
bool children_spellable(const zv_mgram_t *m, int32_t node, int32_t lexicon_size) {
    for (int32_t k = m->child_offsets[node]; k < m->child_offsets[node + 1]; ++k) {
        const int32_t w = m->words[m->children[k]];
        if (w < 0 || w >= lexicon_size) return false;
    }
    return true;
}

void write_label(FILE *file, int32_t node, const char *label) { fprintf(file, "    s%d [label=\"%s\"]\n", node, label); }

}  // namespace

extern "C" zv_status_t zv_mgram_create_dot(const zv_mgram_t *mgram, const char *path, const zv_lexicon_t *lexicon,
                                           int32_t n, const int32_t *ids) {
    if (!mgram || !path || !lexicon || (n > 0 && !ids)) return ZV_STATUS_INVALID_ARGUMENT;
    // Every text to be looked up is checked before anything is printed.
    const int32_t size = zv_lexicon_size(lexicon);
    for (int32_t i = 0; i < n; ++i) {
        if (ids[i] < 0 || ids[i] >= size) return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int32_t node = zv_mgram_index(mgram, ids, n);
    const int32_t back = node >= 0 ? zv_mgram_backoff_index(mgram, ids, n) : -1;
    if (node >= 0 && (!children_spellable(mgram, node, size) || (back > 0 && !children_spellable(mgram, back, size)))) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }

    int32_t reached = 0;
    for (int32_t i = 0; i < n; ++i) {
        printf("%s ", zv_lexicon_decode(lexicon, ids[i]));
        reached = find_child(mgram, reached, ids[i]);
        if (reached < 0) {
            printf(" %d\n", -1);
            return ZV_STATUS_INVALID_ARGUMENT;
        }
    }
    printf(" %d\n", node);

    FILE *file = fopen(path, "w");  // the narrow path on every platform
    if (!file) return zv_fopen_failure();
    fprintf(file, "digraph zv_graph {\n");
    write_label(file, node, "پدر");
    for (int32_t k = mgram->child_offsets[node]; k < mgram->child_offsets[node + 1]; ++k) {
        const int32_t c = mgram->children[k];
        const char *text = zv_lexicon_decode(lexicon, mgram->words[c]);
        write_label(file, c, text);
        fprintf(file, "    s%d->s%d [label=\"\"]\n", node, c);
        printf("%s ", text);
    }
    printf("\n");
    // No proper suffix being a path (-1) draws no backoff state at all.
    if (back > 0) {
        write_label(file, back, "پدرخوانده");
        for (int32_t k = mgram->child_offsets[back]; k < mgram->child_offsets[back + 1]; ++k) {
            const int32_t c = mgram->children[k];
            write_label(file, c, zv_lexicon_decode(lexicon, mgram->words[c]));
            fprintf(file, "    s%d->s%d [label=\"\"]\n", back, c);
        }
    }
    fprintf(file, "}\n");
    const bool written = !ferror(file);
    const bool closed = fclose(file) == 0;
    return written && closed ? ZV_STATUS_SUCCESS : ZV_STATUS_IO_ERROR;
}
