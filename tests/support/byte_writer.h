// A little-endian byte writer for building blocks and blobs in tests, kept
// apart from the library's own writers so that a reader and a writer can't
// share one fault.
#ifndef ZV_TESTS_SUPPORT_BYTE_WRITER_H
#define ZV_TESTS_SUPPORT_BYTE_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zv_test {

class ByteWriter {
public:
    ByteWriter &u8(uint8_t v) { bytes_.push_back(v); return *this; }
    ByteWriter &i8(int8_t v) { return u8(static_cast<uint8_t>(v)); }
    ByteWriter &u16(uint16_t v) { return raw_le(v, 2); }
    ByteWriter &i16(int16_t v) { return raw_le(static_cast<uint16_t>(v), 2); }
    ByteWriter &u32(uint32_t v) { return raw_le(v, 4); }
    ByteWriter &i32(int32_t v) { return raw_le(static_cast<uint32_t>(v), 4); }
    ByteWriter &u64(uint64_t v) { return raw_le(v, 8); }
    ByteWriter &i64(int64_t v) { return raw_le(static_cast<uint64_t>(v), 8); }
    ByteWriter &f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return u32(bits);
    }
    // The bytes of a text, without a terminator.
    ByteWriter &text(const std::string &s) { return bytes(s.data(), s.size()); }
    ByteWriter &bytes(const void *data, size_t n) {
        const uint8_t *p = static_cast<const uint8_t *>(data);
        bytes_.insert(bytes_.end(), p, p + n);
        return *this;
    }
    ByteWriter &bytes(const std::vector<uint8_t> &v) { return bytes(v.data(), v.size()); }
    template <typename T>
    ByteWriter &array_i8(const std::vector<T> &v) { for (T x : v) i8(static_cast<int8_t>(x)); return *this; }
    template <typename T>
    ByteWriter &array_i16(const std::vector<T> &v) { for (T x : v) i16(static_cast<int16_t>(x)); return *this; }
    template <typename T>
    ByteWriter &array_i32(const std::vector<T> &v) { for (T x : v) i32(static_cast<int32_t>(x)); return *this; }

    // Overwrites bytes already written (to patch a field or corrupt one).
    ByteWriter &patch_u32(size_t offset, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
        return *this;
    }

    size_t size() const { return bytes_.size(); }
    const std::vector<uint8_t> &data() const { return bytes_; }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    ByteWriter &raw_le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> bytes_;
};

}  // namespace zv_test

#endif
