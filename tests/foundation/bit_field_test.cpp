#include "foundation/bit_field.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <random>
#include <vector>

TEST(BitField, Sizes) {
    struct Case { uint64_t count; int32_t bits; uint64_t words; };
    const Case cases[] = {{0, 7, 0}, {32, 1, 1}, {33, 1, 2}, {3, 31, 3}, {1, 1, 1},
                          // The product needs more than 32 bits.
                          {uint64_t{1} << 32, 31, (uint64_t{31} << 32) / 32}};
    for (const Case &c : cases) {
        EXPECT_EQ(zv_bit_field_size_uint32(c.count, c.bits), c.words) << c.count << " x " << c.bits;
    }
}

TEST(BitField, WidthHoldsEveryValueUpToItsArgument) {
    struct Case { uint64_t value; int32_t bits; };
    const Case cases[] = {{0, 0},  {1, 1},  {2, 2},  {3, 2},  {4, 3},  {39, 6},  {52, 6},  {63, 6},  {64, 7},
                          {1000, 10}, {1023, 10}, {1024, 11}, {130000, 17}, {(uint64_t{1} << 31) - 1, 31},
                          {uint64_t{1} << 31, 32}, {~uint64_t{0}, 64}};
    for (const Case &c : cases) EXPECT_EQ(zv_bit_field_width(c.value), c.bits) << c.value;
}

TEST(BitField, StraddlingFieldSpansTwoWords) {
    uint32_t words[2] = {0, 0};
    zv_bit_field_write(words, 6, 5, 0x1F);  // bits 30..34
    EXPECT_EQ(words[0], 0xC0000000u);
    EXPECT_EQ(words[1], 0x7u);
    EXPECT_EQ(zv_bit_field_read(words, 6, 5), 0x1Fu);
    EXPECT_EQ(zv_bit_field_read(words, 5, 5), 0u);
    EXPECT_EQ(zv_bit_field_read(words, 7, 5), 0u);
}

TEST(BitField, FieldEndingAtWordEndTouchesThatWordOnly) {
    // One word of four 8-bit fields; anything touching a second word would
    // be caught by AddressSanitizer.
    uint32_t *word = new uint32_t[1]();
    zv_bit_field_write(word, 3, 8, 0xAB);
    EXPECT_EQ(*word, 0xAB000000u);
    EXPECT_EQ(zv_bit_field_read(word, 3, 8), 0xABu);
    EXPECT_EQ(zv_bit_field_read_bytes(word, 3, 8), 0xABu);
    delete[] word;
}

TEST(BitField, OversizedValueSpillsIntoNextField) {
    uint32_t words[1] = {0};
    zv_bit_field_write(words, 0, 1, 3);
    EXPECT_EQ(zv_bit_field_read(words, 0, 1), 1u);
    EXPECT_EQ(zv_bit_field_read(words, 1, 1), 1u);
}

TEST(BitField, IndexBeyond32BitProductKeepsItsPlace) {
    // Field 2^28 of width 16 starts at bit 2^32: word 2^27, bit 0. A lazily
    // mapped region keeps the untouched 512 MiB free.
    const uint64_t index = uint64_t{1} << 28;
    const size_t bytes = ((size_t{1} << 27) + 1) * 4;
    void *region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    uint32_t *words = static_cast<uint32_t *>(region);
    zv_bit_field_write(words, index, 16, 0xBEEF);
    EXPECT_EQ(words[size_t{1} << 27], 0xBEEFu);
    EXPECT_EQ(words[0], 0u);
    EXPECT_EQ(zv_bit_field_read(words, index, 16), 0xBEEFu);
    EXPECT_EQ(zv_bit_field_read_bytes(words, index, 16), 0xBEEFu);
    munmap(region, bytes);
}

TEST(BitField, RandomRoundTripAtEveryWidth) {
    std::mt19937 rng(7);
    for (int32_t bits = 1; bits <= 31; ++bits) {
        const uint64_t n = 1 + rng() % 200;
        std::vector<uint32_t> words(zv_bit_field_size_uint32(n, bits), 0);
        std::vector<uint32_t> values(n);
        for (uint64_t i = 0; i < n; ++i) {
            values[i] = rng() & ((1u << bits) - 1u);
            zv_bit_field_write(words.data(), i, bits, values[i]);
        }
        // Unaligned copy for the byte-wise reader.
        std::vector<unsigned char> bytes(words.size() * 4 + 1);
        std::memcpy(bytes.data() + 1, words.data(), words.size() * 4);
        for (uint64_t i = 0; i < n; ++i) {
            ASSERT_EQ(zv_bit_field_read(words.data(), i, bits), values[i]) << bits << " " << i;
            ASSERT_EQ(zv_bit_field_read_bytes(bytes.data() + 1, i, bits), values[i]) << bits << " " << i;
        }
        // The bits after the last field stay clear.
        const uint64_t used = n * static_cast<uint64_t>(bits);
        for (uint64_t k = used; k < words.size() * 32; ++k) {
            ASSERT_EQ((words[k / 32] >> (k % 32)) & 1u, 0u) << bits;
        }
    }
}
