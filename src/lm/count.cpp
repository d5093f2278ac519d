#include "lm/count.h"

// Not built yet: every call fails.
extern "C" zv_status_t zv_count_init(const zv_gram_t *gram, zv_count_t **count) {
    (void)gram;
    (void)count;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" void zv_count_delete(zv_count_t *count) {
    (void)count;
}

extern "C" zv_status_t zv_count_insert(zv_count_t *count, const int32_t *words, int32_t num_words) {
    (void)count;
    (void)words;
    (void)num_words;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" void zv_count_merge(zv_count_t *count, const zv_count_t *other) {
    (void)count;
    (void)other;
}

extern "C" bool zv_count_is_equal(const zv_count_t *count, const zv_count_t *other) {
    (void)count;
    (void)other;
    return false;
}

extern "C" bool zv_count_is_valid(const zv_count_t *count) {
    (void)count;
    return false;
}

extern "C" zv_status_t zv_count_save(const zv_count_t *count, const char *path) {
    (void)count;
    (void)path;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" zv_status_t zv_count_load(const char *path, zv_count_t **count) {
    (void)path;
    (void)count;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" zv_status_t zv_count_load_helper(zv_count_node_t *parent, const uint32_t *structure, int32_t *structure_cursor, const uint32_t *word_fields, int32_t word_bits, int32_t *word_cursor, const int64_t *counts, int32_t *count_cursor, zv_count_node_t **node) {
    (void)parent;
    (void)structure;
    (void)structure_cursor;
    (void)word_fields;
    (void)word_bits;
    (void)word_cursor;
    (void)counts;
    (void)count_cursor;
    (void)node;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" zv_status_t zv_count_file_parse(const void *bytes, uint64_t size, zv_count_file_t *file) {
    (void)bytes;
    (void)size;
    (void)file;
    return ZV_STATUS_INVALID_STATE;
}

extern "C" int32_t zv_count_file_word(const zv_count_file_t *file, int64_t node) {
    (void)file;
    (void)node;
    return -1;
}

extern "C" int64_t zv_count_file_count(const zv_count_file_t *file, int64_t node) {
    (void)file;
    (void)node;
    return -1;
}

