#include "foundation/bit_field.h"

#include <string.h>

#include <bit>

namespace {

inline uint32_t load_word(const void *bytes, uint64_t word) {
    uint32_t v;
    memcpy(&v, static_cast<const unsigned char *>(bytes) + word * 4, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

// Shared by both reads: `load(w)` yields word w as a value.
template <typename Load>
inline uint32_t read_field(Load load, uint64_t index, int32_t bits) {
    const uint64_t start = index * static_cast<uint64_t>(bits);
    const uint64_t w = start >> 5;
    const uint32_t s = static_cast<uint32_t>(start & 31);
    const uint32_t mask = (1u << bits) - 1u;  // bits <= 31: never a shift by 32
    if (s + static_cast<uint32_t>(bits) <= 32) {
        return (load(w) >> s) & mask;
    }
    // Straddling: s >= 2 here, so both shifts stay below 32.
    return ((load(w) >> s) | (load(w + 1) << (32 - s))) & mask;
}

}  // namespace

extern "C" int32_t zv_bit_field_width(uint64_t value) { return static_cast<int32_t>(std::bit_width(value)); }

extern "C" uint64_t zv_bit_field_size_uint32(uint64_t count, int32_t bits) {
    return (count * static_cast<uint64_t>(bits) + 31) >> 5;
}

extern "C" uint32_t zv_bit_field_read(const uint32_t *words, uint64_t index, int32_t bits) {
    return read_field([words](uint64_t w) { return words[w]; }, index, bits);
}

extern "C" uint32_t zv_bit_field_read_bytes(const void *bytes, uint64_t index, int32_t bits) {
    return read_field([bytes](uint64_t w) { return load_word(bytes, w); }, index, bits);
}

extern "C" void zv_bit_field_write(uint32_t *words, uint64_t index, int32_t bits, uint32_t value) {
    const uint64_t start = index * static_cast<uint64_t>(bits);
    const uint64_t w = start >> 5;
    const uint32_t s = static_cast<uint32_t>(start & 31);
    words[w] |= value << s;  // bits shifted past bit 31 belong to the next word
    if (s + static_cast<uint32_t>(bits) > 32) {
        words[w + 1] |= value >> (32 - s);
    }
}
