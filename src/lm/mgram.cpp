#include "lm/mgram.h"

// Bodies follow in the next commit; the declarations are final.
extern "C" zv_status_t zv_mgram_deserialize_bounded(const void **, uint64_t, zv_mgram_t **mgram) {
    *mgram = nullptr;
    return ZV_STATUS_INVALID_ARGUMENT;
}
extern "C" zv_status_t zv_mgram_deserialize(const void **, zv_mgram_t **mgram) {
    *mgram = nullptr;
    return ZV_STATUS_INVALID_ARGUMENT;
}
extern "C" zv_status_t zv_mgram_load(const char *, zv_mgram_t **mgram) {
    *mgram = nullptr;
    return ZV_STATUS_INVALID_ARGUMENT;
}
extern "C" zv_status_t zv_mgram_serialize(const zv_mgram_t *, uint64_t *size, void **blob) {
    *size = 0;
    *blob = nullptr;
    return ZV_STATUS_INVALID_ARGUMENT;
}
extern "C" zv_status_t zv_mgram_save(const zv_mgram_t *, const char *) { return ZV_STATUS_INVALID_ARGUMENT; }
extern "C" void zv_mgram_delete(zv_mgram_t *) {}
extern "C" int32_t zv_mgram_size(const zv_mgram_t *) { return 0; }
extern "C" int32_t zv_mgram_order(const zv_mgram_t *) { return 0; }
extern "C" int32_t zv_mgram_word(const zv_mgram_t *, int32_t) { return -1; }
extern "C" int32_t zv_mgram_forward(const zv_mgram_t *, int32_t) { return 0; }
extern "C" int32_t zv_mgram_backoff(const zv_mgram_t *, int32_t) { return 0; }
extern "C" int32_t zv_mgram_num_children(const zv_mgram_t *, int32_t) { return 0; }
extern "C" const int32_t *zv_mgram_children(const zv_mgram_t *, int32_t) { return nullptr; }
extern "C" float zv_mgram_prob(const zv_mgram_t *, const int32_t *, int32_t) { return 0.0f; }
extern "C" int32_t zv_mgram_index(const zv_mgram_t *, const int32_t *, int32_t) { return -1; }
extern "C" int32_t zv_mgram_backoff_index(const zv_mgram_t *, const int32_t *, int32_t) { return -1; }
extern "C" zv_status_t zv_mgram_create_dot(const zv_mgram_t *, const char *, const zv_lexicon_t *, int32_t,
                                           const int32_t *) {
    return ZV_STATUS_INVALID_ARGUMENT;
}
