// Status codes, the library's sample rate and the memory handle.
#ifndef ZV_FOUNDATION_STATUS_H
#define ZV_FOUNDATION_STATUS_H

#include <stddef.h>
#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// A memory handle: one word, stored at init and never read. The process heap
// lies underneath, so blocks may equally be released with free().
typedef uint64_t zv_memory_t;

zv_status_t zv_memory_init(zv_memory_t *memory);
void *zv_memory_allocate(zv_memory_t memory, uint64_t size, uint8_t zeroed);
void zv_memory_free(zv_memory_t memory, void *block);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
// Passes a failing status up to the caller.
#define ZV_TRY(expr)                                   \
    do {                                               \
        const zv_status_t zv_try_status_ = (expr);     \
        if (zv_try_status_ != ZV_STATUS_SUCCESS) {     \
            return zv_try_status_;                     \
        }                                              \
    } while (0)
#endif

#endif
