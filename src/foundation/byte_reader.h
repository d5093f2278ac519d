// A bounded reader of little-endian bytes: a cursor that carries how many bytes
// are left behind it, so that no load can run past the end of its input.
// Loads go through memcpy (any alignment). A read that doesn't fit gives
// INVALID_ARGUMENT and leaves the cursor where it was; sizes are computed in
// 64 bits with overflow checks.
#ifndef ZV_FOUNDATION_BYTE_READER_H
#define ZV_FOUNDATION_BYTE_READER_H

#include <stdint.h>
#include <string.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_byte_reader_t {
    const uint8_t *data;  // next byte to read
    uint64_t left;        // bytes readable from data on
} zv_byte_reader_t;

static inline void zv_byte_reader_init(zv_byte_reader_t *reader, const void *data, uint64_t size) {
    reader->data = (const uint8_t *)data;
    reader->left = size;
}

// Unchecked little-endian loads from memory known to hold the bytes.
static inline uint16_t zv_load_u16le(const void *p) {
    uint16_t v;
    memcpy(&v, p, 2);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap16(v);
#endif
    return v;
}
static inline uint32_t zv_load_u32le(const void *p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}
static inline uint64_t zv_load_u64le(const void *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
static inline int32_t zv_load_i32le(const void *p) { return (int32_t)zv_load_u32le(p); }

// Little-endian stores, for writers.
static inline void zv_store_u32le(void *p, uint32_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    memcpy(p, &v, 4);
}

// Hands out the next n bytes (in place) and moves past them.
static inline zv_status_t zv_byte_reader_bytes(zv_byte_reader_t *reader, uint64_t n, const uint8_t **bytes) {
    if (n > reader->left) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *bytes = reader->data;
    reader->data += n;
    reader->left -= n;
    return ZV_STATUS_SUCCESS;
}

static inline zv_status_t zv_byte_reader_skip(zv_byte_reader_t *reader, uint64_t n) {
    const uint8_t *ignored;
    return zv_byte_reader_bytes(reader, n, &ignored);
}

static inline zv_status_t zv_byte_reader_u8(zv_byte_reader_t *reader, uint8_t *value) {
    const uint8_t *p;
    if (zv_byte_reader_bytes(reader, 1, &p) != ZV_STATUS_SUCCESS) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *value = p[0];
    return ZV_STATUS_SUCCESS;
}

static inline zv_status_t zv_byte_reader_u16(zv_byte_reader_t *reader, uint16_t *value) {
    const uint8_t *p;
    if (zv_byte_reader_bytes(reader, 2, &p) != ZV_STATUS_SUCCESS) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *value = zv_load_u16le(p);
    return ZV_STATUS_SUCCESS;
}

static inline zv_status_t zv_byte_reader_u32(zv_byte_reader_t *reader, uint32_t *value) {
    const uint8_t *p;
    if (zv_byte_reader_bytes(reader, 4, &p) != ZV_STATUS_SUCCESS) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *value = zv_load_u32le(p);
    return ZV_STATUS_SUCCESS;
}

static inline zv_status_t zv_byte_reader_i32(zv_byte_reader_t *reader, int32_t *value) {
    uint32_t v;
    if (zv_byte_reader_u32(reader, &v) != ZV_STATUS_SUCCESS) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *value = (int32_t)v;
    return ZV_STATUS_SUCCESS;
}

static inline zv_status_t zv_byte_reader_u64(zv_byte_reader_t *reader, uint64_t *value) {
    const uint8_t *p;
    if (zv_byte_reader_bytes(reader, 8, &p) != ZV_STATUS_SUCCESS) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *value = zv_load_u64le(p);
    return ZV_STATUS_SUCCESS;
}

static inline zv_status_t zv_byte_reader_i64(zv_byte_reader_t *reader, int64_t *value) {
    uint64_t v;
    if (zv_byte_reader_u64(reader, &v) != ZV_STATUS_SUCCESS) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *value = (int64_t)v;
    return ZV_STATUS_SUCCESS;
}

static inline zv_status_t zv_byte_reader_f32(zv_byte_reader_t *reader, float *value) {
    uint32_t v;
    if (zv_byte_reader_u32(reader, &v) != ZV_STATUS_SUCCESS) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    memcpy(value, &v, 4);
    return ZV_STATUS_SUCCESS;
}

// Overflow-checked 64-bit size arithmetic: 1 with the result, 0 on overflow.
static inline int32_t zv_checked_add_u64(uint64_t a, uint64_t b, uint64_t *sum) {
    return __builtin_add_overflow(a, b, sum) ? 0 : 1;
}
static inline int32_t zv_checked_mul_u64(uint64_t a, uint64_t b, uint64_t *product) {
    return __builtin_mul_overflow(a, b, product) ? 0 : 1;
}

#ifdef __cplusplus
}
#endif

#endif
