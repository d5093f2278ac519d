#include "foundation/tree_bits.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// A bit string written as text, "0" and "1", packed as stored.
std::vector<uint8_t> pack(const std::string &bits) {
    std::vector<uint8_t> bytes(zv_tree_bits_size_bytes((bits.size() + 1) / 2), 0);
    for (size_t k = 0; k < bits.size(); ++k) {
        if (bits[k] == '1') bytes[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    }
    return bytes;
}

// Events of a whole walk as text ("E" and "L"), or the failing status.
std::string walk(const std::vector<uint8_t> &bytes, uint64_t size, int64_t n, zv_status_t *status) {
    zv_tree_bits_reader_t reader;
    zv_tree_bits_reader_init(&reader, bytes.data(), size, n);
    std::string events;
    int32_t event = 0;
    while ((*status = zv_tree_bits_next(&reader, &event)) == ZV_STATUS_SUCCESS) {
        events += event == ZV_TREE_BITS_ENTER ? 'E' : 'L';
    }
    return events;
}

}  // namespace

TEST(TreeBits, SizeInBytes) {
    EXPECT_EQ(zv_tree_bits_size_bytes(1), 4u);
    EXPECT_EQ(zv_tree_bits_size_bytes(16), 4u);
    EXPECT_EQ(zv_tree_bits_size_bytes(17), 8u);
}

TEST(TreeBits, WellFormedAndMalformedStrings) {
    struct Case {
        const char *bits;
        int64_t n;
        zv_status_t status;
        const char *events;
    };
    const Case cases[] = {
        {"01", 1, ZV_STATUS_STOP_ITERATION, "EL"},
        {"000111", 3, ZV_STATUS_STOP_ITERATION, "EEELLL"},          // a chain
        {"000011001111", 6, ZV_STATUS_STOP_ITERATION, "EEEELLEELLLL"},
        {"010101", 3, ZV_STATUS_INVALID_ARGUMENT, "E"},             // root closed at once
        {"001101", 3, ZV_STATUS_INVALID_ARGUMENT, "EEL"},           // root closed after 2 of 3
        {"000111", 2, ZV_STATUS_INVALID_ARGUMENT, "EE"},            // opens a third of 2
        {"000011", 3, ZV_STATUS_INVALID_ARGUMENT, "EEE"},           // a fourth node, never closing
        {"01", 0, ZV_STATUS_INVALID_ARGUMENT, ""},
        {"01", -1, ZV_STATUS_INVALID_ARGUMENT, ""},
    };
    for (const Case &c : cases) {
        const std::vector<uint8_t> bytes = pack(c.bits);
        zv_status_t status;
        EXPECT_EQ(walk(bytes, bytes.size(), c.n, &status), c.events) << c.bits;
        EXPECT_EQ(status, c.status) << c.bits;
    }
}

TEST(TreeBits, StaysWithinTheBytesGiven) {
    // 20 nodes need 40 bits; with 4 bytes the string runs out before the root closes.
    std::string bits(20, '0');
    bits += std::string(20, '1');
    std::vector<uint8_t> bytes = pack(bits);
    ASSERT_EQ(bytes.size(), 8u);
    std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 4);  // exact allocation: ASan sees overreads
    zv_status_t status;
    walk(head, head.size(), 20, &status);
    EXPECT_EQ(status, ZV_STATUS_INVALID_ARGUMENT);
    walk(bytes, bytes.size(), 20, &status);
    EXPECT_EQ(status, ZV_STATUS_STOP_ITERATION);
}

TEST(TreeBits, DeepTreeNeedsNoRecursion) {
    const int64_t n = 1 << 20;  // a chain a million nodes deep
    std::string bits(n, '0');
    bits += std::string(n, '1');
    const std::vector<uint8_t> bytes = pack(bits);
    std::vector<int32_t> parents(n);
    ASSERT_EQ(zv_tree_bits_parents(bytes.data(), bytes.size(), n, parents.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(parents[0], -1);
    EXPECT_EQ(parents[n - 1], n - 2);
}

TEST(TreeBits, WriterAndPreorderRoundTripRandomTrees) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 50; ++trial) {
        const int32_t n = 1 + static_cast<int32_t>(rng() % 300);
        // Random tree: node i > 0 hangs under a random earlier node, children
        // appended in creation order; preorder numbers differ from creation.
        std::vector<int32_t> first(n, -1), next(n, -1), last(n, -1), parent(n, -1);
        for (int32_t i = 1; i < n; ++i) {
            const int32_t p = static_cast<int32_t>(rng() % i);
            parent[i] = p;
            if (last[p] < 0) first[p] = i; else next[last[p]] = i;
            last[p] = i;
        }
        std::vector<int32_t> stack(n);
        zv_tree_preorder_t pre;
        zv_tree_preorder_init(&pre, first.data(), next.data(), n, stack.data());
        std::vector<uint8_t> bytes(zv_tree_bits_size_bytes(n), 0);
        zv_tree_bits_writer_t writer;
        zv_tree_bits_writer_init(&writer, bytes.data());
        std::vector<int32_t> order;  // creation index of each preorder number
        std::vector<int32_t> number(n, -1);
        int32_t event, node;
        zv_status_t status;
        while ((status = zv_tree_preorder_next(&pre, &event, &node)) == ZV_STATUS_SUCCESS) {
            if (event == ZV_TREE_BITS_ENTER) {
                number[node] = static_cast<int32_t>(order.size());
                order.push_back(node);
                zv_tree_bits_writer_enter(&writer);
            } else {
                zv_tree_bits_writer_leave(&writer);
            }
        }
        ASSERT_EQ(status, ZV_STATUS_STOP_ITERATION);
        ASSERT_EQ(writer.position, 2u * n);
        ASSERT_EQ(bytes[0] & 1, 0);
        std::vector<int32_t> parents(n);
        ASSERT_EQ(zv_tree_bits_parents(bytes.data(), bytes.size(), n, parents.data()), ZV_STATUS_SUCCESS);
        for (int32_t k = 1; k < n; ++k) {
            ASSERT_EQ(parents[k], number[parent[order[k]]]) << trial << " " << k;
        }
    }
}

TEST(TreeBits, PreorderRefusesCycles) {
    const int32_t first[2] = {1, 1};  // node 1 is its own child
    const int32_t next[2] = {-1, -1};
    int32_t stack[2];
    zv_tree_preorder_t pre;
    zv_tree_preorder_init(&pre, first, next, 2, stack);
    int32_t event, node;
    zv_status_t status;
    while ((status = zv_tree_preorder_next(&pre, &event, &node)) == ZV_STATUS_SUCCESS) {
    }
    EXPECT_EQ(status, ZV_STATUS_INVALID_STATE);
}
