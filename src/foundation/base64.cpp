#include "foundation/base64.h"

#include <stdlib.h>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kPad = 64;
constexpr uint8_t kInvalid = 127;

struct DecodeMap {
    uint8_t value[128];
};

constexpr DecodeMap make_decode_map() {
    DecodeMap map{};
    for (int i = 0; i < 128; ++i) map.value[i] = kInvalid;
    for (int i = 0; i < 64; ++i) map.value[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
    map.value[static_cast<uint8_t>('=')] = kPad;
    return map;
}

constexpr DecodeMap kDecode = make_decode_map();

// All-ones when a == b, else zero, without a branch.
inline uint32_t equal_mask(uint32_t a, uint32_t b) {
    return static_cast<uint32_t>(-static_cast<int32_t>(((a ^ b) - 1u) >> 31 & 1u));
}

// The lookups visit every table entry whatever the input, so that their time
// doesn't depend on the data being coded.
inline char encode_char(uint32_t value) {
    uint32_t c = 0;
    for (uint32_t i = 0; i < 64; ++i) c |= static_cast<uint8_t>(kAlphabet[i]) & equal_mask(i, value);
    return static_cast<char>(c);
}

inline uint8_t decode_char(uint8_t c) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < 128; ++i) v |= kDecode.value[i] & equal_mask(i, c);
    // Bytes of 128 and above match no entry: they aren't Base64 either.
    return c < 128 ? static_cast<uint8_t>(v) : kInvalid;
}

}  // namespace

extern "C" zv_status_t zv_base64_encode(const uint8_t *data, uint64_t size, char **text,
                                        uint64_t *length) {
    *text = nullptr;
    *length = 0;
    const uint64_t groups = size / 3 + (size % 3 != 0);
    if (groups > (SIZE_MAX - 1) / 4) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    char *out = static_cast<char *>(calloc(static_cast<size_t>(groups * 4 + 1), 1));
    if (!out) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    uint64_t o = 0;
    uint64_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t bits = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2];
        out[o++] = encode_char(bits >> 18);
        out[o++] = encode_char(bits >> 12 & 63);
        out[o++] = encode_char(bits >> 6 & 63);
        out[o++] = encode_char(bits & 63);
    }
    const uint64_t rest = size - i;
    if (rest > 0) {
        const uint32_t bits = uint32_t{data[i]} << 16 | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
        out[o++] = encode_char(bits >> 18);
        out[o++] = encode_char(bits >> 12 & 63);
        out[o++] = rest == 2 ? encode_char(bits >> 6 & 63) : '=';
        out[o++] = '=';
    }
    out[o] = '\0';
    *text = out;
    *length = o;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_base64_decode(const char *text, uint64_t length, uint8_t **data,
                                        uint64_t *size) {
    if (length < 2) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *data = nullptr;
    *size = 0;
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);

    // First pass: validate and count every position that isn't a space.
    uint64_t n = 0;
    uint64_t pads = 0;
    for (uint64_t i = 0; i < length;) {
        bool after_spaces = false;
        while (i < length && bytes[i] == ' ') {
            ++i;
            after_spaces = true;
        }
        if (i == length) {
            break;
        }
        const uint8_t c = bytes[i];
        if (c == '\n') {
            n += 1;
            i += 1;
            continue;
        }
        if (c == '\r' && i + 1 < length && bytes[i + 1] == '\n') {
            n += 2;
            i += 2;
            continue;
        }
        // Spaces stand only before a line break or at the end.
        if (after_spaces) {
            return ZV_STATUS_INVALID_ARGUMENT;
        }
        const uint8_t v = decode_char(c);
        if (v == kPad) {
            if (++pads > 2) {
                return ZV_STATUS_INVALID_ARGUMENT;
            }
        } else if (v > 63 || pads > 0) {
            return ZV_STATUS_INVALID_ARGUMENT;
        }
        n += 1;
        i += 1;
    }
    if (n == 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }

    // Line-break bytes are counted too, so the block may exceed the data.
    const uint64_t capacity = 6 * (n / 8) + (6 * (n % 8) + 7) / 8 - pads;
    if (capacity >= SIZE_MAX) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    // At least one byte, so that an empty result is still a block.
    uint8_t *out = static_cast<uint8_t *>(calloc(static_cast<size_t>(capacity) + 1, 1));
    if (!out) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }

    // Second pass: gather 6-bit values four at a time.
    uint64_t o = 0;
    uint32_t bits = 0;
    int gathered = 0;
    int to_emit = 3;
    for (uint64_t i = 0; i < length; ++i) {
        const uint8_t c = bytes[i];
        if (c == ' ' || c == '\n' || c == '\r') {
            continue;
        }
        uint8_t v = decode_char(c);
        if (v == kPad) {
            v = 0;
            --to_emit;
        }
        bits = bits << 6 | v;
        if (++gathered == 4) {
            for (int k = 0; k < to_emit; ++k) {
                out[o++] = static_cast<uint8_t>(bits >> (16 - 8 * k));
            }
            bits = 0;
            gathered = 0;
        }
    }
    // A final group short of four characters would silently lose its data.
    if (gathered != 0) {
        free(out);
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *data = out;
    *size = o;
    return ZV_STATUS_SUCCESS;
}
