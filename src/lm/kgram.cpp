#include "lm/kgram.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "foundation/bit_field.h"
#include "foundation/file.h"
#include "foundation/status.h"
#include "foundation/tree_bits.h"
#include "lm/lm_blob.h"
#include "lm/lm_blob_save.h"

namespace {

struct KgramDeleter {
    void operator()(zv_kgram_t *model) const { zv_kgram_delete(model); }
};
using KgramPtr = std::unique_ptr<zv_kgram_t, KgramDeleter>;

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};
template <typename T>
using Block = std::unique_ptr<T, FreeDeleter>;

template <typename T>
T *allocate(int64_t count) {
    return static_cast<T *>(malloc(sizeof(T) * static_cast<size_t>(count > 0 ? count : 1)));
}

// Grows an array to `count` entries; the old block stays on failure.
template <typename T>
bool grow(T **array, int64_t count) {
    void *grown = realloc(*array, sizeof(T) * static_cast<size_t>(count));
    if (!grown) return false;
    *array = static_cast<T *>(grown);
    return true;
}

int32_t limit_cost(int32_t c) { return c >= 127 ? 127 : (c <= -128 ? -128 : c); }

}  // namespace

extern "C" zv_status_t zv_kgram_load(const char *path, zv_kgram_t **model) {
    if (!model) return ZV_STATUS_INVALID_ARGUMENT;
    *model = nullptr;
    if (!path) return ZV_STATUS_INVALID_ARGUMENT;
    int32_t size = 0;
    void *data = nullptr;
    ZV_TRY(zv_file_load(path, &size, &data));
    Block<void> image(data);
    zv_lm_blob_t blob;
    ZV_TRY(zv_lm_blob_open(data, static_cast<uint64_t>(size), &blob));
    const int32_t n = blob.num_nodes;
    KgramPtr rec(static_cast<zv_kgram_t *>(calloc(1, sizeof(zv_kgram_t))));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    rec->words = allocate<int32_t>(n);
    rec->forward = allocate<uint8_t>(n);
    rec->backoff = allocate<uint8_t>(n);
    rec->first_child = allocate<int32_t>(n);
    rec->next_sibling = allocate<int32_t>(n);
    Block<int32_t> last_child(allocate<int32_t>(n));
    if (!rec->words || !rec->forward || !rec->backoff || !rec->first_child || !rec->next_sibling || !last_child) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    rec->num_nodes = n;
    zv_lm_blob_reader_t reader;
    zv_status_t status = zv_lm_blob_reader_init(&reader, &blob);
    while (status == ZV_STATUS_SUCCESS) {
        zv_lm_blob_node_t node;
        status = zv_lm_blob_reader_next(&reader, &node);
        if (status != ZV_STATUS_SUCCESS) break;
        const int32_t i = node.node;
        rec->words[i] = node.word;
        rec->forward[i] = node.forward;
        rec->backoff[i] = node.backoff;
        rec->first_child[i] = -1;
        rec->next_sibling[i] = -1;
        if (node.parent >= 0) {
            if (rec->first_child[node.parent] == -1) {
                rec->first_child[node.parent] = i;
            } else {
                rec->next_sibling[last_child.get()[node.parent]] = i;
            }
            last_child.get()[node.parent] = i;
        }
    }
    zv_lm_blob_reader_close(&reader);
    if (status != ZV_STATUS_STOP_ITERATION) return status;
    *model = rec.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_kgram_save(const zv_kgram_t *model, const char *path) {
    if (!model || !path || model->num_nodes < 1) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t n = model->num_nodes;
    int64_t leaves = 0;
    int32_t largest = 0;  // largest stored value, word id + 1
    for (int32_t i = 0; i < n; ++i) {
        leaves += model->first_child[i] == -1;
        largest = std::max(largest, model->words[i] + 1);
    }
    Block<int32_t> stack(allocate<int32_t>(n));
    if (!stack) return ZV_STATUS_OUT_OF_MEMORY;
    zv_lm_blob_writer_t writer;
    ZV_TRY(zv_lm_blob_writer_init(&writer, n, leaves, zv_bit_field_width(static_cast<uint64_t>(largest))));
    zv_tree_preorder_t walk;
    zv_tree_preorder_init(&walk, model->first_child, model->next_sibling, n, stack.get());
    zv_status_t status = ZV_STATUS_SUCCESS;
    for (;;) {
        int32_t event = 0;
        int32_t node = 0;
        status = zv_tree_preorder_next(&walk, &event, &node);
        if (status != ZV_STATUS_SUCCESS) break;
        if (event == ZV_TREE_BITS_ENTER) {
            zv_lm_blob_writer_enter(&writer, model->words[node], zv_lm_cost_to_disk(model->forward[node]),
                                    model->first_child[node] != -1, zv_lm_cost_to_disk(model->backoff[node]));
        } else {
            zv_lm_blob_writer_leave(&writer);
        }
    }
    // Every node must hang from the root exactly once for the counts above
    // to describe what was written.
    if (status != ZV_STATUS_STOP_ITERATION || walk.visited != n) {
        zv_lm_blob_writer_discard(&writer);
        return ZV_STATUS_INVALID_STATE;
    }
    return zv_lm_blob_writer_save(&writer, path);
}

extern "C" void zv_kgram_delete(zv_kgram_t *model) {
    if (!model) return;
    free(model->words);
    free(model->forward);
    free(model->backoff);
    free(model->first_child);
    free(model->next_sibling);
    free(model);
}

extern "C" zv_status_t zv_kgram_add_words(zv_kgram_t *model, const zv_lexicon_t *old_lexicon,
                                          const zv_lexicon_t *new_lexicon) {
    if (!model || !old_lexicon || !new_lexicon) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t old_size = zv_lexicon_size(old_lexicon);
    const int32_t new_size = zv_lexicon_size(new_lexicon);
    if (new_size == old_size) return ZV_STATUS_SUCCESS;
    if (new_size < old_size) return ZV_STATUS_INVALID_ARGUMENT;  // can't hold every old word
    const int32_t added = new_size - old_size;
    const int32_t n = model->num_nodes;
    if (n < 1 || added > INT32_MAX - n) return ZV_STATUS_INVALID_ARGUMENT;

    // Everything is checked and allocated before the model changes.
    for (int32_t i = 1; i < n; ++i) {
        if (model->words[i] < 0 || model->words[i] >= old_size) return ZV_STATUS_INVALID_ARGUMENT;
    }
    Block<int32_t> moved(allocate<int32_t>(old_size));
    Block<int32_t> fresh(allocate<int32_t>(added));
    if (!moved || !fresh) return ZV_STATUS_OUT_OF_MEMORY;
    for (int32_t a = 0; a < old_size; ++a) {
        moved.get()[a] = zv_lexicon_encode(new_lexicon, zv_lexicon_decode(old_lexicon, a));
        if (moved.get()[a] < 0) return ZV_STATUS_INVALID_ARGUMENT;
    }
    // The new lexicon holds every old word, so exactly `added` of its words
    // are new; they are listed in ascending order.
    int32_t listed = 0;
    for (int32_t j = 0; j < new_size; ++j) {
        if (zv_lexicon_encode(old_lexicon, zv_lexicon_decode(new_lexicon, j)) >= 0) continue;
        if (listed == added) return ZV_STATUS_INVALID_ARGUMENT;
        fresh.get()[listed++] = j;
    }
    if (listed != added) return ZV_STATUS_INVALID_ARGUMENT;
    const int64_t total = static_cast<int64_t>(n) + added;
    if (!grow(&model->words, total) || !grow(&model->forward, total) || !grow(&model->backoff, total) ||
        !grow(&model->first_child, total) || !grow(&model->next_sibling, total)) {
        return ZV_STATUS_OUT_OF_MEMORY;  // larger arrays, the same model
    }

    for (int32_t i = 1; i < n; ++i) model->words[i] = moved.get()[model->words[i]];

    // U: the root's children after the first one.
    int32_t after_first = 0;
    if (model->first_child[0] != -1) {
        for (int32_t c = model->next_sibling[model->first_child[0]]; c != -1; c = model->next_sibling[c]) {
            after_first += 1;
        }
    }
    const float U = static_cast<float>(after_first);
    const float a = -log10f(1000.0f / U) * 8.0f;
    const int32_t cost = limit_cost(static_cast<int8_t>(model->backoff[0]) + zv_lm_cost_saturate(a));

    // One pass along the ascending chain: each new word goes before the first
    // child whose word is greater, the root's first child included.
    int32_t previous = -1;
    int32_t next = model->first_child[0];
    for (int32_t k = 0; k < added; ++k) {
        const int32_t word = fresh.get()[k];
        while (next != -1 && model->words[next] <= word) {
            previous = next;
            next = model->next_sibling[next];
        }
        const int32_t node = n + k;
        model->words[node] = word;
        model->forward[node] = static_cast<uint8_t>(static_cast<int8_t>(cost));
        model->backoff[node] = 0;
        model->first_child[node] = -1;
        model->next_sibling[node] = next;
        if (previous == -1) {
            model->first_child[0] = node;
        } else {
            model->next_sibling[previous] = node;
        }
        previous = node;
    }
    model->num_nodes = n + added;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_kgram_boost_words(zv_kgram_t *model, const int32_t *words, int32_t count) {
    if (!model || !words || count <= 0 || model->num_nodes < 1) return ZV_STATUS_SUCCESS;
    // A sorted copy makes each lookup a binary search; without memory for
    // it the list is searched from the start.
    Block<int32_t> sorted(allocate<int32_t>(count));
    if (sorted) {
        memcpy(sorted.get(), words, sizeof(int32_t) * static_cast<size_t>(count));
        std::sort(sorted.get(), sorted.get() + count);
    }
    auto listed = [&](int32_t word) {
        if (sorted) return std::binary_search(sorted.get(), sorted.get() + count, word);
        return std::find(words, words + count, word) != words + count;
    };
    int32_t steps = 0;
    for (int32_t c = model->first_child[0]; c != -1 && steps < model->num_nodes; c = model->next_sibling[c]) {
        steps += 1;
        if (!listed(model->words[c])) continue;
        const int32_t boosted = limit_cost(static_cast<int8_t>(model->forward[c]) - 16);
        model->forward[c] = static_cast<uint8_t>(boosted < 0 ? 0 : boosted);
    }
    return ZV_STATUS_SUCCESS;
}

extern "C" bool zv_kgram_is_equivalent(const zv_kgram_t *model, const zv_ngram_t *ngram) {
    if (!model || !ngram || model->num_nodes < 1) return false;
    const int32_t n = model->num_nodes;
    auto same = [&](int32_t node, const zv_ngram_node_t *g) {
        if (model->words[node] != g->word || !zv_ngram_cost_matches(g->probability, model->forward[node]) ||
            !zv_ngram_cost_matches(g->backoff, model->backoff[node])) {
            return false;
        }
        int32_t length = 0;
        for (int32_t c = model->first_child[node]; c != -1; c = model->next_sibling[c]) {
            if (++length > g->num_children) return false;
        }
        return length == g->num_children;
    };
    struct Frame {
        const zv_ngram_node_t *g;
        int32_t next_g;  // position among g's children
        int32_t next;    // the model's child at that position
    };
    try {
        std::vector<Frame> stack;
        if (!same(0, ngram->root)) return false;
        stack.push_back({ngram->root, 0, model->first_child[0]});
        int64_t visited = 1;
        while (!stack.empty()) {
            Frame &top = stack.back();
            if (top.next_g == top.g->num_children) {
                stack.pop_back();
                continue;
            }
            const zv_ngram_node_t *g = top.g->children[top.next_g++];
            const int32_t node = top.next;
            top.next = model->next_sibling[node];
            // A node reached twice means links that loop: not a tree.
            if (++visited > n || !same(node, g)) return false;
            stack.push_back({g, 0, model->first_child[node]});
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

extern "C" bool zv_kgram_is_equal(const zv_kgram_t *model, const zv_kgram_t *other) {
    if (!model || !other) return model == other;
    if (model->num_nodes != other->num_nodes) return false;
    const size_t n = static_cast<size_t>(model->num_nodes > 0 ? model->num_nodes : 0);
    return n == 0 || (memcmp(model->words, other->words, n * sizeof(int32_t)) == 0 &&
                      memcmp(model->forward, other->forward, n) == 0 &&
                      memcmp(model->backoff, other->backoff, n) == 0 &&
                      memcmp(model->first_child, other->first_child, n * sizeof(int32_t)) == 0 &&
                      memcmp(model->next_sibling, other->next_sibling, n * sizeof(int32_t)) == 0);
}
