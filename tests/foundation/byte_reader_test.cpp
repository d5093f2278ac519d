#include "foundation/byte_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "support/byte_writer.h"

TEST(ByteReader, LittleEndianLoadsAtAnyAlignment) {
    const std::vector<uint8_t> bytes = zv_test::ByteWriter()
                                           .u8(0xAA).u16(0x1234).u32(0xDEADBEEF).i32(-2).u64(0x0102030405060708ull)
                                           .f32(1.5f).i64(-3)
                                           .take();
    // An exact-size copy: AddressSanitizer sees any read past the end.
    uint8_t *copy = static_cast<uint8_t *>(malloc(bytes.size()));
    std::memcpy(copy, bytes.data(), bytes.size());
    zv_byte_reader_t r;
    zv_byte_reader_init(&r, copy, bytes.size());
    uint8_t a = 0;
    uint16_t b = 0;
    uint32_t c = 0;
    int32_t d = 0;
    uint64_t e = 0;
    float f = 0;
    int64_t g = 0;
    ASSERT_EQ(zv_byte_reader_u8(&r, &a), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_byte_reader_u16(&r, &b), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_byte_reader_u32(&r, &c), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_byte_reader_i32(&r, &d), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_byte_reader_u64(&r, &e), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_byte_reader_f32(&r, &f), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_byte_reader_i64(&r, &g), ZV_STATUS_SUCCESS);
    EXPECT_EQ(a, 0xAA);
    EXPECT_EQ(b, 0x1234);
    EXPECT_EQ(c, 0xDEADBEEFu);
    EXPECT_EQ(d, -2);
    EXPECT_EQ(e, 0x0102030405060708ull);
    EXPECT_EQ(f, 1.5f);
    EXPECT_EQ(g, -3);
    EXPECT_EQ(r.left, 0u);
    EXPECT_EQ(zv_byte_reader_u8(&r, &a), ZV_STATUS_INVALID_ARGUMENT);
    free(copy);
}

TEST(ByteReader, ShortReadsLeaveTheCursor) {
    const uint8_t bytes[3] = {1, 2, 3};
    zv_byte_reader_t r;
    zv_byte_reader_init(&r, bytes, sizeof bytes);
    uint32_t v = 77;
    EXPECT_EQ(zv_byte_reader_u32(&r, &v), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(v, 77u);
    EXPECT_EQ(r.data, bytes);
    EXPECT_EQ(r.left, 3u);
    const uint8_t *p = nullptr;
    EXPECT_EQ(zv_byte_reader_bytes(&r, UINT64_MAX, &p), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_byte_reader_skip(&r, 2), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_byte_reader_bytes(&r, 1, &p), ZV_STATUS_SUCCESS);
    EXPECT_EQ(*p, 3);
}

TEST(ByteReader, CheckedArithmetic) {
    uint64_t out = 0;
    EXPECT_EQ(zv_checked_mul_u64(uint64_t{1} << 32, uint64_t{1} << 31, &out), 1);
    EXPECT_EQ(out, uint64_t{1} << 63);
    EXPECT_EQ(zv_checked_mul_u64(uint64_t{1} << 32, uint64_t{1} << 32, &out), 0);
    EXPECT_EQ(zv_checked_add_u64(UINT64_MAX - 1, 1, &out), 1);
    EXPECT_EQ(out, UINT64_MAX);
    EXPECT_EQ(zv_checked_add_u64(UINT64_MAX, 1, &out), 0);
}
