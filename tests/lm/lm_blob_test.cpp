#include "lm/lm_blob.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "foundation/bit_field.h"
#include "support/lm_fixtures.h"
#include "support/temp_dir.h"

TEST(LmCostBytes, ProbabilityToDiskByte) {
    const struct {
        double p;
        int8_t disk;
    } cases[] = {
        {1.0, 0},
        {0.1, -8},
        {0.01, -16},
        {0.5, -2},       // -2.408 truncated toward zero
        {2.0, 2},        // a backoff weight above 1
        {1e-15, -120},
        {1e-16, -128},   // -128 exactly
        {1e-17, -128},   // limited
        {0.0, -128},
        {1e16, 127},
        {1e300, 127},
        // log10 is -0.125 after rounding to float, so the float product is -1
        // exactly; in double it would be -0.99999999999999967 and give 0.
        {0.74989420933245587, -1},
        {1.333521432163324, 1},
        {std::numeric_limits<double>::quiet_NaN(), -128},
        {-1.0, -128},
    };
    for (const auto &c : cases) EXPECT_EQ(zv_lm_cost_from_probability(c.p), c.disk) << c.p;
}

TEST(LmCostBytes, SaturationTruncatesTowardZero) {
    const struct {
        float f;
        int8_t s;
    } cases[] = {{-3.9f, -3}, {3.9f, 3}, {-0.5f, 0}, {126.99f, 126}, {127.0f, 127}, {1000.0f, 127},
                 {-127.9f, -127}, {-128.0f, -128}, {-1e30f, -128}, {-std::numeric_limits<float>::infinity(), -128}};
    for (const auto &c : cases) EXPECT_EQ(zv_lm_cost_saturate(c.f), c.s) << c.f;
}

TEST(LmCostBytes, DiskAndMemoryFormsAreNegativesSaveTheCap) {
    for (int s = -128; s <= 127; ++s) {
        const uint8_t m = zv_lm_cost_to_memory(static_cast<int8_t>(s));
        EXPECT_EQ(static_cast<int8_t>(m), s == -128 ? 127 : -s) << s;
        // Back to disk: the same byte, except -128, which comes back as -127.
        EXPECT_EQ(zv_lm_cost_to_disk(m), s == -128 ? -127 : s) << s;
    }
    EXPECT_EQ(zv_lm_cost_to_disk(0x80), 127);  // m = -128 can't be negated in a byte
}

TEST(LmBlobLayout, WordWidthHoldsTheLargestValue) {
    const struct {
        uint64_t value;
        int32_t bits;
    } cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {4, 3}, {7, 3}, {8, 4}, {130000, 17}, {(1u << 30), 31}};
    for (const auto &c : cases) EXPECT_EQ(zv_bit_field_width(c.value), c.bits) << c.value;
    // 16 + 4 ceil(N B / 32) + 4 ceil(2N / 32) + N + (N - L)
    EXPECT_EQ(zv_lm_blob_size(4, 2, 2), 30u);
    EXPECT_EQ(zv_lm_blob_size(1, 1, 0), 21u);
    EXPECT_EQ(zv_lm_blob_size(17, 9, 31), 16u + 4 * 17 + 8 + 17 + 8);
}

TEST(LmBlobWriter, RefusesCountsThatMakeNoBlob) {
    zv_lm_blob_writer_t writer;
    const struct {
        int64_t n, leaves;
        int32_t bits;
        zv_status_t status;
    } cases[] = {{0, 1, 1, ZV_STATUS_INVALID_ARGUMENT},  {2, 0, 1, ZV_STATUS_INVALID_ARGUMENT},
                 {2, 3, 1, ZV_STATUS_INVALID_ARGUMENT},  {2, 1, 32, ZV_STATUS_INVALID_ARGUMENT},
                 {2, 1, -1, ZV_STATUS_INVALID_ARGUMENT}, {int64_t{1} << 31, 1, 1, ZV_STATUS_OUT_OF_MEMORY},
                 {(int64_t{1} << 30), 1, 31, ZV_STATUS_OUT_OF_MEMORY}};
    for (const auto &c : cases) {
        EXPECT_EQ(zv_lm_blob_writer_init(&writer, c.n, c.leaves, c.bits), c.status) << c.n << " " << c.bits;
        EXPECT_EQ(writer.blob, nullptr);
    }
}

TEST(LmBlobWriter, FileWritesReportFailure) {
    zv_test::TempDir dir;
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(zv_lm_blob_write_file(dir.path("ok.bin").c_str(), bytes, 5), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_lm_blob_write_file(dir.path("missing/x.bin").c_str(), bytes, 5), ZV_STATUS_IO_ERROR);
    if (access("/dev/full", W_OK) == 0) {
        // A small buffered write fails only when the file is closed.
        EXPECT_EQ(zv_lm_blob_write_file("/dev/full", bytes, 5), ZV_STATUS_IO_ERROR);
    }
}

TEST(LmBlobReader, HandsOutNodesInPreorderWithTheirParents) {
    // Root, A (0) with child C (2), B (1), C (2) with child A (0).
    zv_test::LmNode root;
    root.forward = -128;
    root.backoff = -5;
    root.children.resize(3);
    const int32_t words[3] = {0, 1, 2};
    for (int k = 0; k < 3; ++k) {
        root.children[k].word = words[k];
        root.children[k].forward = static_cast<int8_t>(-1 - k);
        root.children[k].backoff = static_cast<int8_t>(-10 - k);
    }
    root.children[0].children.resize(1);
    root.children[0].children[0].word = 2;
    root.children[2].children.resize(1);
    root.children[2].children[0].word = 0;
    root.children[2].children[0].forward = 3;
    const std::vector<uint8_t> bytes = zv_test::lm_blob_bytes(root);
    zv_lm_blob_t blob;
    ASSERT_EQ(zv_lm_blob_open(bytes.data(), bytes.size(), &blob), ZV_STATUS_SUCCESS);
    zv_lm_blob_reader_t reader;
    ASSERT_EQ(zv_lm_blob_reader_init(&reader, &blob), ZV_STATUS_SUCCESS);
    const zv_lm_blob_node_t expected[] = {
        {0, -1, 0, -1, 127, 5, 1}, {1, 0, 1, 0, 1, 10, 1}, {2, 1, 2, 2, 0, 0, 0},
        {3, 0, 1, 1, 2, 0, 0},     {4, 0, 1, 2, 3, 12, 1}, {5, 4, 2, 0, 253, 0, 0},
    };
    zv_lm_blob_node_t node;
    for (const zv_lm_blob_node_t &e : expected) {
        ASSERT_EQ(zv_lm_blob_reader_next(&reader, &node), ZV_STATUS_SUCCESS);
        EXPECT_EQ(node.node, e.node);
        EXPECT_EQ(node.parent, e.parent) << e.node;
        EXPECT_EQ(node.depth, e.depth) << e.node;
        EXPECT_EQ(node.word, e.word) << e.node;
        EXPECT_EQ(node.forward, e.forward) << e.node;
        EXPECT_EQ(node.backoff, e.backoff) << e.node;
        EXPECT_EQ(node.has_children, e.has_children) << e.node;
    }
    EXPECT_EQ(zv_lm_blob_reader_next(&reader, &node), ZV_STATUS_STOP_ITERATION);
    zv_lm_blob_reader_close(&reader);
}
