#include "lm/gram.h"

// Not built yet: every call fails.
extern "C" zv_status_t zv_gram_init(int32_t order, zv_lexicon_t *lexicon, zv_gram_t **gram) {
    (void)order;
    (void)lexicon;
    (void)gram;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" void zv_gram_delete(zv_gram_t *gram) {
    (void)gram;
}

extern "C" zv_status_t zv_gram_insert(zv_gram_t *gram, const int32_t *words, int32_t num_words) {
    (void)gram;
    (void)words;
    (void)num_words;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" int32_t zv_gram_num_children(const zv_gram_t *gram, const int32_t *words, int32_t num_words) {
    (void)gram;
    (void)words;
    (void)num_words;
    return -1;
}

extern "C" int32_t zv_gram_child_word_index(const zv_gram_t *gram, const int32_t *words, int32_t num_words, int32_t index) {
    (void)gram;
    (void)words;
    (void)num_words;
    (void)index;
    return -1;
}

extern "C" void zv_gram_num_grams(const zv_gram_t *gram, int32_t *num_grams) {
    (void)gram;
    (void)num_grams;
}

extern "C" int32_t zv_gram_order(const zv_gram_t *gram) {
    (void)gram;
    return -1;
}

extern "C" zv_lexicon_t *zv_gram_lexicon(const zv_gram_t *gram) {
    (void)gram;
    return nullptr;
}

extern "C" void zv_gram_intersect(zv_gram_t *gram, const zv_gram_t *other) {
    (void)gram;
    (void)other;
}

extern "C" bool zv_gram_is_equal(const zv_gram_t *gram, const zv_gram_t *other) {
    (void)gram;
    (void)other;
    return false;
}

extern "C" zv_status_t zv_gram_save(const zv_gram_t *gram, const char *path) {
    (void)gram;
    (void)path;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" zv_status_t zv_gram_load(const char *path, zv_lexicon_t *lexicon, zv_gram_t **gram) {
    (void)path;
    (void)lexicon;
    (void)gram;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" zv_status_t zv_gram_load_helper(zv_gram_node_t *parent, const uint32_t *structure, int32_t *structure_cursor, const uint32_t *word_fields, int32_t word_bits, int32_t *word_cursor, zv_gram_node_t **node) {
    (void)parent;
    (void)structure;
    (void)structure_cursor;
    (void)word_fields;
    (void)word_bits;
    (void)word_cursor;
    (void)node;
    return ZV_STATUS_INVALID_STATE;
}

