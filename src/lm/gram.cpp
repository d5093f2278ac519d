#include "lm/gram.h"

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

constexpr uint64_t kHeaderBytes = 4;

struct GramDeleter {
    void operator()(zv_gram_t *gram) const { zv_gram_delete(gram); }
};
using GramPtr = std::unique_ptr<zv_gram_t, GramDeleter>;

// Binary digits of the word count L: the stored values 0 .. L fit. 0 for an
// empty lexicon, which no bit-field array can hold.
int32_t width_for(int32_t words) { return words < 1 ? 0 : zv_bit_field_width(static_cast<uint64_t>(words)); }

// The node the path reaches, NULL when it leaves the set.
const zv_gram_node_t *follow(const zv_gram_t *gram, const int32_t *words, int32_t num_words) {
    const zv_gram_node_t *node = gram->root;
    for (int32_t i = 0; i < num_words && node; ++i) {
        node = zv_trie::find(node, words[i]);
    }
    return node;
}

// A gram file checked against its bytes.
struct GramFile {
    int32_t num_nodes;
    int32_t depth;
    const uint8_t *structure;
    const uint8_t *word_fields;
};

zv_status_t parse(const uint8_t *bytes, uint64_t size, int32_t words, GramFile *file) {
    const int32_t w = width_for(words);
    if (w < 1 || w > 31) return ZV_STATUS_INVALID_ARGUMENT;
    zv_byte_reader_t cursor;
    zv_byte_reader_init(&cursor, bytes, size);
    int32_t n = 0;
    ZV_TRY(zv_byte_reader_i32(&cursor, &n));
    // The node reader's structure cursor is 32-bit: 2n bits must fit in it.
    if (n < 1 || n > INT32_MAX / 2) return ZV_STATUS_INVALID_ARGUMENT;
    const uint64_t structure_bytes = zv_tree_bits_size_bytes(static_cast<uint64_t>(n));
    const uint64_t word_bytes = 4 * zv_bit_field_size_uint32(static_cast<uint64_t>(n), w);
    ZV_TRY(zv_byte_reader_bytes(&cursor, structure_bytes, &file->structure));
    ZV_TRY(zv_byte_reader_bytes(&cursor, word_bytes, &file->word_fields));
    file->num_nodes = n;

    return zv_trie::check_stored(file->structure, structure_bytes, n, file->word_fields, w,
                                 static_cast<uint32_t>(words), &file->depth);
}

}  // namespace

extern "C" zv_status_t zv_gram_init(int32_t order, zv_lexicon_t *lexicon, zv_gram_t **gram) {
    *gram = nullptr;
    GramPtr rec(static_cast<zv_gram_t *>(calloc(1, sizeof(zv_gram_t))));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    rec->order = order;
    rec->lexicon = lexicon;
    rec->root = static_cast<zv_gram_node_t *>(calloc(1, sizeof(zv_gram_node_t)));
    if (!rec->root) return ZV_STATUS_OUT_OF_MEMORY;
    rec->root->word = -1;
    *gram = rec.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_gram_delete(zv_gram_t *gram) {
    if (!gram) return;
    if (gram->root) zv_trie::destroy(gram->root);
    free(gram);
}

extern "C" zv_status_t zv_gram_insert(zv_gram_t *gram, const int32_t *words, int32_t num_words) {
    zv_gram_node_t *node = gram->root;
    for (int32_t i = 0; i < num_words; ++i) {
        ZV_TRY(zv_trie::find_or_insert(node, words[i], &node));
        if (i + 1 > gram->depth) gram->depth = i + 1;
    }
    return ZV_STATUS_SUCCESS;
}

extern "C" int32_t zv_gram_num_children(const zv_gram_t *gram, const int32_t *words, int32_t num_words) {
    const zv_gram_node_t *node = follow(gram, words, num_words);
    return node ? node->num_children : -1;
}

extern "C" int32_t zv_gram_child_word_index(const zv_gram_t *gram, const int32_t *words, int32_t num_words,
                                            int32_t index) {
    const zv_gram_node_t *node = follow(gram, words, num_words);
    if (!node || index < 0 || index >= node->num_children) return -1;
    return node->children[index]->word;
}

extern "C" void zv_gram_num_grams(const zv_gram_t *gram, int32_t *num_grams) {
    if (gram->order <= 0) return;
    for (int32_t k = 0; k < gram->order; ++k) num_grams[k] = 0;
    // Nodes below the order don't count, so the walk goes no deeper. The
    // recorded depth only sizes the stack: nodes the node reader put under
    // an existing set may lie deeper, and the stack grows for them.
    const int64_t order = gram->order;
    const int64_t bound = gram->depth < order ? gram->depth : order;
    zv_trie::preorder(
        gram->root, bound,
        [&](const zv_gram_node_t *, int64_t depth) {
            if (depth >= 1) num_grams[depth - 1] += 1;
            return depth < order ? 1 : 0;
        },
        [](const zv_gram_node_t *) {});
}

extern "C" int32_t zv_gram_order(const zv_gram_t *gram) { return gram->order; }

extern "C" zv_lexicon_t *zv_gram_lexicon(const zv_gram_t *gram) { return gram->lexicon; }

namespace {

// Keeps the children of `node` whose words `other` holds among its own.
void keep_shared(zv_gram_node_t *node, const zv_gram_node_t *other) {
    int32_t kept = 0;
    for (int32_t i = 0; i < node->num_children; ++i) {
        zv_gram_node_t *child = node->children[i];
        if (zv_trie::find(other, child->word)) {
            node->children[kept++] = child;
        } else {
            zv_trie::destroy(child);
        }
    }
    const int32_t had = node->num_children;
    node->num_children = kept;
    zv_trie::trim(node, had);
}

}  // namespace

extern "C" void zv_gram_intersect(zv_gram_t *gram, const zv_gram_t *other) {
    struct Frame {
        zv_gram_node_t *node;
        const zv_gram_node_t *other;
        int32_t next;
    };
    zv_trie::Stack<Frame> stack;
    const int64_t bound = gram->depth < other->depth ? gram->depth : other->depth;
    if (!stack.reserve(bound + 1)) return;
    keep_shared(gram->root, other->root);
    stack.push(Frame{gram->root, other->root, 0});
    while (!stack.empty()) {
        Frame &frame = stack.top();
        if (frame.next >= frame.node->num_children) {
            stack.pop();
            continue;
        }
        zv_gram_node_t *child = frame.node->children[frame.next++];
        const zv_gram_node_t *match = zv_trie::find(frame.other, child->word);
        keep_shared(child, match);
        if (child->num_children > 0) stack.push(Frame{child, match, 0});
    }
}

extern "C" bool zv_gram_is_equal(const zv_gram_t *gram, const zv_gram_t *other) {
    if (gram->order != other->order) return false;
    const int64_t bound = gram->depth < other->depth ? gram->depth : other->depth;
    return zv_trie::paired(gram->root, other->root, bound, [](const zv_gram_node_t *a, const zv_gram_node_t *b) {
        if (a->word != b->word || a->num_children != b->num_children) return -1;
        return a->num_children > 0 ? 1 : 0;
    });
}

extern "C" zv_status_t zv_gram_save(const zv_gram_t *gram, const char *path) {
    const int32_t words = zv_lexicon_size(gram->lexicon);
    const int32_t w = width_for(words);
    if (w < 1) return ZV_STATUS_INVALID_ARGUMENT;
    uint64_t n = 0;
    int32_t largest = -1;
    ZV_TRY(zv_trie::census(gram->root, gram->depth, 0, words - 1, &n, &largest));
    return zv_trie::save_stored(
        gram->root, gram->depth, n, w, kHeaderBytes, 0,
        [n](uint8_t *header) { zv_store_u32le(header, static_cast<uint32_t>(n)); },
        [](const zv_gram_node_t *, uint8_t *) {}, path);
}

extern "C" zv_status_t zv_gram_load(const char *path, zv_lexicon_t *lexicon, zv_gram_t **gram) {
    *gram = nullptr;
    const int32_t words = zv_lexicon_size(lexicon);
    if (width_for(words) < 1) return ZV_STATUS_INVALID_ARGUMENT;
    int32_t size = 0;
    void *data = nullptr;
    ZV_TRY(zv_file_load(path, &size, &data));
    zv_trie::Block<uint8_t> bytes(static_cast<uint8_t *>(data));
    GramFile file;
    ZV_TRY(parse(bytes.get(), static_cast<uint64_t>(size), words, &file));
    // The buffer comes from malloc: both arrays start at multiples of 4.
    int32_t structure_cursor = 1;
    int32_t word_cursor = 0;
    zv_gram_node_t *root = nullptr;
    ZV_TRY(zv_gram_load_helper(nullptr, reinterpret_cast<const uint32_t *>(file.structure), &structure_cursor,
                               reinterpret_cast<const uint32_t *>(file.word_fields), width_for(words), &word_cursor,
                               &root));
    bytes.reset();
    zv_gram_t *rec = static_cast<zv_gram_t *>(calloc(1, sizeof(zv_gram_t)));
    if (!rec) {
        zv_trie::destroy(root);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    rec->order = file.depth;
    rec->depth = file.depth;
    rec->lexicon = lexicon;
    rec->root = root;
    *gram = rec;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_gram_load_helper(zv_gram_node_t *parent, const uint32_t *structure, int32_t *structure_cursor,
                                           const uint32_t *word_fields, int32_t word_bits, int32_t *word_cursor,
                                           zv_gram_node_t **node) {
    auto make = [&](zv_gram_node_t *under, int32_t *capacity, zv_gram_node_t **made) -> zv_status_t {
        const uint32_t v = zv_bit_field_read_bytes(word_fields, static_cast<uint64_t>(*word_cursor), word_bits);
        *word_cursor += 1;
        const int32_t word = static_cast<int32_t>(v) - 1;
        if (under) {
            return capacity ? zv_trie::append(under, word, made, capacity) : zv_trie::find_or_insert(under, word, made);
        }
        zv_gram_node_t *fresh = static_cast<zv_gram_node_t *>(calloc(1, sizeof(zv_gram_node_t)));
        if (!fresh) return ZV_STATUS_OUT_OF_MEMORY;
        fresh->word = word;
        *made = fresh;
        return ZV_STATUS_SUCCESS;
    };
    return zv_trie::load_subtree(parent, structure, structure_cursor, node, make,
                                 [](zv_gram_node_t *, const zv_gram_node_t *) {});
}
