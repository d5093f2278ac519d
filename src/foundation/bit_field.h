// Bit-field arrays: unsigned fields of 1 to 31 bits packed one after another,
// least significant bit first, into little-endian uint32 words. A field that
// doesn't fit in the rest of its word continues in the low bits of the next.
//
// Nothing is checked: 1 <= bits <= 31, index below the field count the array
// was sized for, value below 2^bits, and the array zeroed before the first
// write are the caller's to keep.
#ifndef ZV_FOUNDATION_BIT_FIELD_H
#define ZV_FOUNDATION_BIT_FIELD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Bits that hold every value up to `value`: ceil(log2(value + 1)), 0 for
// 0, as many as 64. The width of an array of the values 0 .. value.
int32_t zv_bit_field_width(uint64_t value);

// Words needed for count fields of the given width: (count * bits + 31) / 32,
// the product taken in 64 bits.
uint64_t zv_bit_field_size_uint32(uint64_t count, int32_t bits);

// Value of field `index`. Touches no word after the one that holds the
// field's last bit.
uint32_t zv_bit_field_read(const uint32_t *words, uint64_t index, int32_t bits);

// ORs value into field `index`; never clears bits.
void zv_bit_field_write(uint32_t *words, uint64_t index, int32_t bits, uint32_t value);

// The read above over little-endian bytes at any alignment (a blob inside a
// file buffer): the bytes are the words as they are stored.
uint32_t zv_bit_field_read_bytes(const void *bytes, uint64_t index, int32_t bits);

#ifdef __cplusplus
}
#endif

#endif
