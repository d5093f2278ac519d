#include "lm/mgram.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/lm_fixtures.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::LmBlobOverrides;
using zv_test::LmNode;
using zv_test::MgramPtr;
using zv_test::TempDir;

LmNode node(int32_t word, int8_t forward, int8_t backoff = 0, std::vector<LmNode> children = {}) {
    LmNode n;
    n.word = word;
    n.forward = forward;
    n.backoff = backoff;
    n.children = std::move(children);
    return n;
}

// Words A = 0, B = 1, C = 2. Preorder: root 0, A 1, A C 2, C 3.
LmNode small_model() { return node(-1, -128, -5, {node(0, -3, -2, {node(2, -1)}), node(2, -8)}); }

// The same blob spelled out byte by byte.
const std::vector<uint8_t> kSmallBlob = {
    30, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,  // total, N, L, B
    0xF4, 0, 0, 0,                                    // word fields 0, 1, 3, 3 in 2 bits
    0xD8, 0, 0, 0,                                    // structure 0 0 0 1 1 0 1 1
    0x80, 0xFD, 0xFF, 0xF8,                           // forward -128 -3 -1 -8
    0xFB, 0xFE,                                       // backoff of the root and of A
};

std::vector<uint8_t> serialized(const zv_mgram_t *mgram) {
    uint64_t size = 7;
    void *blob = reinterpret_cast<void *>(1);
    EXPECT_EQ(zv_mgram_serialize(mgram, &size, &blob), ZV_STATUS_SUCCESS);
    const uint8_t *p = static_cast<const uint8_t *>(blob);
    std::vector<uint8_t> bytes(p, p + size);
    free(blob);
    return bytes;
}

// Reads from an exact-size copy (AddressSanitizer sees any overread);
// *consumed is how far the cursor moved. On failure the out-pointer must be
// NULL and the cursor unmoved.
zv_status_t read_blob(const std::vector<uint8_t> &bytes, MgramPtr *out, uint64_t *consumed = nullptr) {
    zv_mgram_t *mgram = reinterpret_cast<zv_mgram_t *>(1);
    uint64_t moved = 0;
    const zv_status_t status = zv_test::decode_exact_copy(bytes, &moved, [&](const void **cursor, uint64_t size) {
        return zv_mgram_deserialize_bounded(cursor, size, &mgram);
    });
    if (status != ZV_STATUS_SUCCESS) {
        EXPECT_EQ(mgram, nullptr);
        EXPECT_EQ(moved, 0u);
    }
    out->reset(mgram);
    if (consumed) *consumed = moved;
    return status;
}

MgramPtr read_ok(const std::vector<uint8_t> &bytes) {
    MgramPtr m;
    EXPECT_EQ(read_blob(bytes, &m), ZV_STATUS_SUCCESS);
    return m;
}

int8_t as_signed(int32_t byte) { return static_cast<int8_t>(static_cast<uint8_t>(byte)); }

// The cost of a word after a history as the model defines it, by linear
// search over the tree description.
const LmNode *child_of(const LmNode *n, int32_t word) {
    for (const LmNode &c : n->children) {
        if (c.word == word) return &c;
    }
    return nullptr;
}
int8_t memory_byte(int8_t disk) { return disk == -128 ? 127 : static_cast<int8_t>(-disk); }
float reference_prob(const LmNode &root, const std::vector<int32_t> &ids) {
    float sum = 0.0f;
    const int32_t n = static_cast<int32_t>(ids.size());
    for (int32_t j = 0; j < n; ++j) {
        const LmNode *h = &root;
        for (int32_t i = j; i < n - 1 && h; ++i) h = child_of(h, ids[i]);
        if (!h) continue;
        if (const LmNode *x = child_of(h, ids[n - 1])) return memory_byte(x->forward) * 0.125f + sum;
        sum += (h->children.empty() ? 0 : memory_byte(h->backoff)) * 0.125f;
    }
    return std::log10(static_cast<float>(root.children.size())) + sum;
}

}  // namespace

TEST(MgramBlob, ReadsTheSpelledOutBlob) {
    EXPECT_EQ(zv_test::lm_blob_bytes(small_model()), kSmallBlob);  // the fixture writer agrees
    uint64_t consumed = 0;
    MgramPtr m;
    ASSERT_EQ(read_blob(kSmallBlob, &m, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(consumed, kSmallBlob.size());
    ASSERT_EQ(zv_mgram_size(m.get()), 4);
    EXPECT_EQ(zv_mgram_order(m.get()), 2);
    const struct {
        int32_t word, forward, backoff, children;
    } nodes[] = {{-1, 127, 5, 2}, {0, 3, 2, 1}, {2, 1, 0, 0}, {2, 8, 0, 0}};
    for (int32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(zv_mgram_word(m.get(), i), nodes[i].word) << i;
        EXPECT_EQ(zv_mgram_forward(m.get(), i), nodes[i].forward) << i;
        EXPECT_EQ(zv_mgram_backoff(m.get(), i), nodes[i].backoff) << i;
        EXPECT_EQ(zv_mgram_num_children(m.get(), i), nodes[i].children) << i;
    }
    EXPECT_EQ(zv_mgram_children(m.get(), 0)[0], 1);
    EXPECT_EQ(zv_mgram_children(m.get(), 0)[1], 3);
    EXPECT_EQ(zv_mgram_children(m.get(), 1)[0], 2);

    // Written back: the same bytes, but the root's -128 returns as -127.
    std::vector<uint8_t> expected = kSmallBlob;
    expected[24] = 0x81;
    EXPECT_EQ(serialized(m.get()), expected);
}

TEST(MgramBlob, NegativeMemoryBytesAndHighBytesReadUnsigned) {
    // A positive on-disk byte (a weight above 1) is a negative in-memory cost.
    MgramPtr m = read_ok(zv_test::lm_blob_bytes(node(-1, 0, 16, {node(0, 100)})));
    ASSERT_TRUE(m);
    EXPECT_EQ(zv_mgram_backoff(m.get(), 0), 240);  // -16 as an unsigned byte
    EXPECT_EQ(as_signed(zv_mgram_backoff(m.get(), 0)), -16);
    EXPECT_EQ(as_signed(zv_mgram_forward(m.get(), 1)), -100);
    const int32_t a[] = {0};
    EXPECT_FLOAT_EQ(zv_mgram_prob(m.get(), a, 1), -12.5f);
}

TEST(MgramBlob, OnlyTheRoot) {
    const std::vector<uint8_t> blob = zv_test::lm_blob_bytes(node(-1, -128), {.word_bits = 1});
    ASSERT_EQ(blob.size(), 25u);
    MgramPtr m = read_ok(blob);
    ASSERT_TRUE(m);
    EXPECT_EQ(zv_mgram_size(m.get()), 1);
    EXPECT_EQ(zv_mgram_order(m.get()), 0);
    EXPECT_EQ(zv_mgram_num_children(m.get(), 0), 0);
    const int32_t w[] = {3};
    EXPECT_EQ(zv_mgram_prob(m.get(), w, 1), -INFINITY);
    EXPECT_EQ(zv_mgram_index(m.get(), w, 0), 0);
    // Written again with width 1, the narrowest the readers take: the same
    // blob but for the forward byte, -128 coming back as -127.
    std::vector<uint8_t> expected = blob;
    expected.back() = 0x81;
    EXPECT_EQ(serialized(m.get()), expected);
    MgramPtr back = read_ok(expected);
    EXPECT_TRUE(back);
}

TEST(MgramBlob, WidthHoldsAPowerOfTwo) {
    // Word id 7 is stored as 8, which needs 4 bits.
    const std::vector<uint8_t> blob = zv_test::lm_blob_bytes(node(-1, 0, 0, {node(3, -1), node(7, -2)}));
    ASSERT_EQ(blob[12], 4);
    MgramPtr m = read_ok(blob);
    ASSERT_TRUE(m);
    EXPECT_EQ(zv_mgram_word(m.get(), 2), 7);
    EXPECT_EQ(serialized(m.get()), blob);
}

TEST(MgramBlob, WiderWidthFromALexiconReadsTheSameAndWritesTheSmallest) {
    const std::vector<uint8_t> wide = zv_test::lm_blob_bytes(small_model(), {.word_bits = 17});
    MgramPtr m = read_ok(wide);
    ASSERT_TRUE(m);
    std::vector<uint8_t> expected = kSmallBlob;
    expected[24] = 0x81;
    EXPECT_EQ(serialized(m.get()), expected);
}

TEST(MgramBlob, CursorMovesByTotalBytesInsideALargerBuffer) {
    // total_bytes three above the layout: the cursor still moves by it.
    std::vector<uint8_t> bytes = zv_test::lm_blob_bytes(small_model(), {.total_bytes = 33});
    ASSERT_EQ(bytes.size(), 33u);
    const std::vector<uint8_t> second = kSmallBlob;
    bytes.insert(bytes.end(), second.begin(), second.end());
    bytes.insert(bytes.end(), {9, 9, 9});
    uint64_t consumed = 0;
    MgramPtr m;
    ASSERT_EQ(read_blob(bytes, &m, &consumed), ZV_STATUS_SUCCESS);
    EXPECT_EQ(consumed, 33u);

    // The unbounded form reads the blob the cursor points at, here the second.
    const void *cursor = bytes.data() + 33;
    zv_mgram_t *raw = nullptr;
    ASSERT_EQ(zv_mgram_deserialize(&cursor, &raw), ZV_STATUS_SUCCESS);
    MgramPtr second_model(raw);
    EXPECT_EQ(cursor, bytes.data() + 33 + kSmallBlob.size());
    EXPECT_EQ(zv_mgram_size(raw), 4);
}

TEST(MgramBlob, RefusesMalformedBlobs) {
    auto patched = [](size_t offset, uint8_t value) {
        std::vector<uint8_t> b = kSmallBlob;
        b[offset] = value;
        return b;
    };
    auto header = [](int32_t total, int32_t n, int32_t leaves, int32_t bits) {
        std::vector<uint8_t> b = kSmallBlob;
        const int32_t v[] = {total, n, leaves, bits};
        memcpy(b.data(), v, 16);
        return b;
    };
    const struct {
        const char *name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"header only", std::vector<uint8_t>(kSmallBlob.begin(), kSmallBlob.begin() + 16)},
        {"total 16", header(16, 4, 2, 2)},
        {"total negative", header(-30, 4, 2, 2)},
        {"no nodes", header(30, 0, 2, 2)},
        {"negative nodes", header(30, -4, 2, 2)},
        {"no leaves", header(30, 4, 0, 2)},
        {"more leaves than nodes", header(30, 4, 5, 2)},
        {"width 0", header(30, 4, 2, 0)},
        {"width 32", header(30, 4, 2, 32)},
        {"total below the layout", header(29, 4, 2, 2)},
        {"total beyond the bytes", header(31, 4, 2, 2)},
        {"nodes beyond the bytes", header(30, 5000, 2, 2)},
        {"huge node count", header(30, INT32_MAX, 1, 31)},
        {"leaf count below the string's", zv_test::lm_blob_bytes(small_model(), {.num_leaves = 1})},
        {"leaf count above the string's", zv_test::lm_blob_bytes(small_model(), {.num_leaves = 3})},
        {"string opens more nodes than declared", patched(20, 0x00)},
        {"string closes the root early", patched(20, 0xCE)},   // 0 1 1 1 0 0 1 1
        {"string opens a node with its last bit", patched(20, 0x58)},  // 0 0 0 1 1 0 1 0
        {"root with a word", patched(16, 0xF5)},
        {"word field 0 below the root", patched(16, 0xF0)},
        {"siblings descending", patched(16, 0x7C)},  // the root's children C then A
        {"siblings equal", patched(16, 0x74)},       // A and A
    };
    for (const auto &c : cases) {
        MgramPtr m;
        EXPECT_EQ(read_blob(c.bytes, &m), ZV_STATUS_INVALID_ARGUMENT) << c.name;
    }
}

TEST(MgramBlob, EveryTruncationAndRandomDamage) {
    std::mt19937 rng(11);
    std::vector<std::vector<uint8_t>> blobs = {kSmallBlob};
    for (int i = 0; i < 3; ++i) blobs.push_back(zv_test::lm_blob_bytes(zv_test::random_lm_tree(rng, 40, 4, 5)));
    for (const std::vector<uint8_t> &blob : blobs) {
        for (size_t cut = 0; cut < blob.size(); ++cut) {
            MgramPtr m;
            EXPECT_EQ(read_blob(std::vector<uint8_t>(blob.begin(), blob.begin() + cut), &m),
                      ZV_STATUS_INVALID_ARGUMENT)
                << cut;
        }
        for (int trial = 0; trial < 2000; ++trial) {
            MgramPtr m;
            const zv_status_t status = read_blob(zv_test::damaged(blob, rng), &m);
            ASSERT_TRUE(status == ZV_STATUS_SUCCESS || status == ZV_STATUS_INVALID_ARGUMENT);
            if (!m) continue;
            // Whatever was accepted is a sound model, written and read again alike.
            const std::vector<uint8_t> again = serialized(m.get());
            MgramPtr back = read_ok(again);
            ASSERT_TRUE(back);
            EXPECT_EQ(serialized(back.get()), again);
        }
    }
}

TEST(MgramQueries, SmallModel) {
    MgramPtr m = read_ok(kSmallBlob);
    ASSERT_TRUE(m);
    const float log2 = std::log10(2.0f);
    const struct {
        std::vector<int32_t> ids;
        int32_t index, backoff_index;
        float prob;
    } cases[] = {
        {{}, 0, 0, log2},
        {{0}, 1, 0, 0.375f},
        {{2}, 3, 0, 1.0f},
        {{1}, -1, 0, log2 + 0.625f},     // no unigram: the root's backoff, then the uniform share
        {{0, 2}, 2, 3, 0.125f},          // a child of the full history: its forward cost alone
        {{0, 0}, -1, 1, 0.25f + 0.375f}, // the backoff of A, then the unigram
        {{2, 2}, -1, 3, 1.0f},           // C is a leaf: backoff 0
        {{2, 0}, -1, 1, 0.375f},
        {{0, 1}, -1, -1, 0.25f + 0.625f + log2},
        {{1, 0, 2}, -1, 2, 0.125f},
        {{1, 1, 2}, -1, 3, 1.0f},
    };
    for (const auto &c : cases) {
        const int32_t n = static_cast<int32_t>(c.ids.size());
        EXPECT_EQ(zv_mgram_index(m.get(), c.ids.data(), n), c.index) << n;
        EXPECT_EQ(zv_mgram_backoff_index(m.get(), c.ids.data(), n), c.backoff_index) << n;
        EXPECT_FLOAT_EQ(zv_mgram_prob(m.get(), c.ids.data(), n), c.prob) << n;
    }
    EXPECT_EQ(zv_mgram_index(m.get(), nullptr, -3), 0);
}

TEST(MgramQueries, RandomModelsAgreeWithTheTreeAndRoundTrip) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 40; ++trial) {
        const LmNode root = zv_test::random_lm_tree(rng, 12, 1 + trial % 4, 4);
        const std::vector<uint8_t> blob = zv_test::lm_blob_bytes(root);
        MgramPtr m = read_ok(blob);
        ASSERT_TRUE(m);
        const std::vector<zv_test::LmFlat> flat = zv_test::lm_preorder(root);
        ASSERT_EQ(zv_mgram_size(m.get()), static_cast<int32_t>(flat.size()));
        int32_t order = 0;
        std::vector<std::vector<int32_t>> paths(flat.size());
        for (size_t i = 0; i < flat.size(); ++i) {
            const LmNode &n = *flat[i].node;
            const int32_t id = static_cast<int32_t>(i);
            if (flat[i].parent >= 0) {
                paths[i] = paths[static_cast<size_t>(flat[i].parent)];
                paths[i].push_back(n.word);
            }
            order = std::max(order, flat[i].depth);
            EXPECT_EQ(zv_mgram_word(m.get(), id), n.word);
            EXPECT_EQ(as_signed(zv_mgram_forward(m.get(), id)), memory_byte(n.forward));
            EXPECT_EQ(as_signed(zv_mgram_backoff(m.get(), id)), n.children.empty() ? 0 : memory_byte(n.backoff));
            ASSERT_EQ(zv_mgram_num_children(m.get(), id), static_cast<int32_t>(n.children.size()));
            for (size_t k = 0; k < n.children.size(); ++k) {
                EXPECT_EQ(zv_mgram_word(m.get(), zv_mgram_children(m.get(), id)[k]), n.children[k].word);
            }
            EXPECT_EQ(zv_mgram_index(m.get(), paths[i].data(), static_cast<int32_t>(paths[i].size())), id);
        }
        EXPECT_EQ(zv_mgram_order(m.get()), order);
        // Random sequences, many of them paths or near-paths.
        for (int q = 0; q < 300; ++q) {
            std::vector<int32_t> ids = paths[rng() % paths.size()];
            if (rng() % 2) ids.push_back(static_cast<int32_t>(rng() % 14));
            if (!ids.empty() && rng() % 3 == 0) ids.erase(ids.begin());
            const int32_t n = static_cast<int32_t>(ids.size());
            EXPECT_EQ(zv_mgram_prob(m.get(), ids.data(), n), reference_prob(root, ids));
            int32_t expected = n <= 1 ? 0 : -1;
            for (int32_t i = 1; i < n && expected < 0; ++i) expected = zv_mgram_index(m.get(), ids.data() + i, n - i);
            EXPECT_EQ(zv_mgram_backoff_index(m.get(), ids.data(), n), expected);
        }
        // Bytes come back the same, save -128, which returns as -127.
        std::vector<uint8_t> expected = blob;
        const size_t costs = blob.size() - (2 * flat.size() - static_cast<size_t>(blob[8] | blob[9] << 8 | blob[10] << 16));
        for (size_t k = costs; k < blob.size(); ++k) {
            if (expected[k] == 0x80) expected[k] = 0x81;
        }
        if (flat.size() > 1) {
            EXPECT_EQ(serialized(m.get()), expected);
        }
    }
}

TEST(MgramBlob, MillionDeepChain) {
    // Each node the only child of the one before: depth one million.
    const int32_t n = 1000000;
    const int32_t bits = 2;  // words 0 and 1 alternate, stored as 1 and 2
    std::vector<uint8_t> blob(zv_lm_blob_size(n, 1, bits), 0);
    const uint32_t header[4] = {static_cast<uint32_t>(blob.size()), n, 1, bits};
    memcpy(blob.data(), header, 16);
    uint8_t *fields = blob.data() + 16;
    for (int32_t i = 1; i < n; ++i) {
        const uint64_t k = static_cast<uint64_t>(i) * bits + static_cast<uint64_t>((i - 1) % 2);  // value 1 or 2
        fields[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    }
    uint8_t *structure = fields + 4 * ((static_cast<uint64_t>(n) * bits + 31) / 32);
    for (uint64_t k = n; k < 2 * static_cast<uint64_t>(n); ++k) structure[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    uint8_t *forward = structure + 4 * ((2 * static_cast<uint64_t>(n) + 31) / 32);
    for (int32_t i = 0; i < n; ++i) forward[i] = static_cast<uint8_t>(-(i % 100));
    for (int32_t i = 0; i < n - 1; ++i) forward[n + i] = static_cast<uint8_t>(-(i % 7));

    MgramPtr m = read_ok(blob);
    ASSERT_TRUE(m);
    EXPECT_EQ(zv_mgram_order(m.get()), n - 1);
    EXPECT_EQ(zv_mgram_word(m.get(), n - 1), (n - 2) % 2);
    EXPECT_EQ(zv_mgram_backoff(m.get(), n - 2), (n - 2) % 7);
    std::vector<int32_t> path(n - 1);
    for (int32_t i = 0; i < n - 1; ++i) path[static_cast<size_t>(i)] = i % 2;
    EXPECT_EQ(zv_mgram_index(m.get(), path.data(), n - 1), n - 1);
    EXPECT_EQ(serialized(m.get()), blob);
}

TEST(MgramFile, SaveAndLoad) {
    TempDir dir;
    MgramPtr m = read_ok(kSmallBlob);
    ASSERT_TRUE(m);
    const std::string path = dir.path("lm.bin");
    ASSERT_EQ(zv_mgram_save(m.get(), path.c_str()), ZV_STATUS_SUCCESS);
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file, serialized(m.get()));

    // Bytes after the blob are ignored.
    std::vector<uint8_t> longer = kSmallBlob;
    longer.insert(longer.end(), {1, 2, 3, 4, 5});
    zv_mgram_t *loaded = reinterpret_cast<zv_mgram_t *>(1);
    ASSERT_EQ(zv_mgram_load(dir.write("longer.bin", longer).c_str(), &loaded), ZV_STATUS_SUCCESS);
    MgramPtr owned(loaded);
    EXPECT_EQ(serialized(loaded), serialized(m.get()));

    const struct {
        std::string path;
        zv_status_t status;
    } failures[] = {
        {dir.path("missing.bin"), ZV_STATUS_IO_ERROR},
        {dir.write("short.bin", std::vector<uint8_t>(kSmallBlob.begin(), kSmallBlob.end() - 1)),
         ZV_STATUS_INVALID_ARGUMENT},
        {dir.write("empty.bin", std::vector<uint8_t>{}), ZV_STATUS_INVALID_ARGUMENT},
    };
    for (const auto &f : failures) {
        zv_mgram_t *out = reinterpret_cast<zv_mgram_t *>(1);
        EXPECT_EQ(zv_mgram_load(f.path.c_str(), &out), f.status) << f.path;
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(zv_mgram_save(m.get(), dir.path("missing/lm.bin").c_str()), ZV_STATUS_IO_ERROR);
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(zv_mgram_save(m.get(), "/dev/full"), ZV_STATUS_IO_ERROR);
    }
}

namespace {

// Words A B C. Preorder: root 0, A 1, A B 2, A B C 3, A C 4, B 5, B C 6, C 7.
LmNode dot_model() {
    return node(-1, 0, 0,
                {node(0, -1, -1, {node(1, -1, -1, {node(2, -1)}), node(2, -1)}), node(1, -1, -1, {node(2, -1)}),
                 node(2, -1)});
}

struct DotRun {
    zv_status_t status;
    std::string out;   // standard output
    std::string file;  // the file, "<none>" when none was made
};

DotRun run_dot(const zv_mgram_t *m, const zv_lexicon_t *lexicon, const std::vector<int32_t> &ids,
               const std::string &path) {
    DotRun run;
    run.out = zv_test::capture_stdout([&] {
        run.status = zv_mgram_create_dot(m, path.c_str(), lexicon, static_cast<int32_t>(ids.size()), ids.data());
    });
    std::ifstream in(path);
    if (in) {
        std::stringstream text;
        text << in.rdbuf();
        run.file = text.str();
    } else {
        run.file = "<none>";
    }
    return run;
}

}  // namespace

TEST(MgramDot, ExactText) {
    TempDir dir;
    zv_test::LexiconPtr lexicon = zv_test::make_lexicon({"A", "B", "C"});
    MgramPtr m = read_ok(zv_test::lm_blob_bytes(dot_model()));
    ASSERT_TRUE(lexicon && m);
    // Whatever the log switch says, the echo goes to standard output.
    zv_log_disable();
    const struct {
        std::vector<int32_t> ids;
        std::string out, file;
    } cases[] = {
        {{0, 1}, "A B  2\nC \n",
         "digraph zv_graph {\n"
         "    s2 [label=\"پدر\"]\n"
         "    s3 [label=\"C\"]\n"
         "    s2->s3 [label=\"\"]\n"
         "    s5 [label=\"پدرخوانده\"]\n"
         "    s6 [label=\"C\"]\n"
         "    s5->s6 [label=\"\"]\n"
         "}\n"},
        // The backoff state is the root: nothing drawn for it.
        {{0}, "A  1\nB C \n",
         "digraph zv_graph {\n"
         "    s1 [label=\"پدر\"]\n"
         "    s2 [label=\"B\"]\n"
         "    s1->s2 [label=\"\"]\n"
         "    s4 [label=\"C\"]\n"
         "    s1->s4 [label=\"\"]\n"
         "}\n"},
        {{}, " 0\nA B C \n",
         "digraph zv_graph {\n"
         "    s0 [label=\"پدر\"]\n"
         "    s1 [label=\"A\"]\n"
         "    s0->s1 [label=\"\"]\n"
         "    s5 [label=\"B\"]\n"
         "    s0->s5 [label=\"\"]\n"
         "    s7 [label=\"C\"]\n"
         "    s0->s7 [label=\"\"]\n"
         "}\n"},
        // A leaf whose backoff state is a leaf too.
        {{0, 2}, "A C  4\n\n",
         "digraph zv_graph {\n"
         "    s4 [label=\"پدر\"]\n"
         "    s7 [label=\"پدرخوانده\"]\n"
         "}\n"},
    };
    int k = 0;
    for (const auto &c : cases) {
        const std::string path = dir.path("g" + std::to_string(k++) + ".dot");
        const DotRun run = run_dot(m.get(), lexicon.get(), c.ids, path);
        EXPECT_EQ(run.status, ZV_STATUS_SUCCESS);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.file, c.file);
    }
    zv_log_enable();
}

TEST(MgramDot, Faults) {
    TempDir dir;
    zv_test::LexiconPtr lexicon = zv_test::make_lexicon({"A", "B", "C"});
    zv_test::LexiconPtr two = zv_test::make_lexicon({"A", "B"});
    MgramPtr m = read_ok(zv_test::lm_blob_bytes(dot_model()));
    // A B with no unigram B: no proper suffix is a path, and nothing more is drawn.
    MgramPtr orphan = read_ok(zv_test::lm_blob_bytes(node(-1, 0, 0, {node(0, -1, -1, {node(1, -2)})})));
    ASSERT_TRUE(lexicon && two && m && orphan);
    const struct {
        const char *name;
        const zv_mgram_t *model;
        const zv_lexicon_t *lexicon;
        std::vector<int32_t> ids;
        zv_status_t status;
        std::string out, file;
    } cases[] = {
        {"missing after two found", m.get(), lexicon.get(), {0, 1, 0}, ZV_STATUS_INVALID_ARGUMENT, "A B A  -1\n",
         "<none>"},
        {"missing first", m.get(), lexicon.get(), {1, 0}, ZV_STATUS_INVALID_ARGUMENT, "B A  -1\n", "<none>"},
        {"id beyond the lexicon", m.get(), lexicon.get(), {0, 3}, ZV_STATUS_INVALID_ARGUMENT, "", "<none>"},
        {"negative id", m.get(), lexicon.get(), {-1}, ZV_STATUS_INVALID_ARGUMENT, "", "<none>"},
        {"a child the lexicon can't spell", m.get(), two.get(), {0}, ZV_STATUS_INVALID_ARGUMENT, "", "<none>"},
        {"no backoff state", orphan.get(), lexicon.get(), {0, 1}, ZV_STATUS_SUCCESS, "A B  2\n\n",
         "digraph zv_graph {\n    s2 [label=\"پدر\"]\n}\n"},
    };
    int k = 0;
    for (const auto &c : cases) {
        const std::string path = dir.path("f" + std::to_string(k++) + ".dot");
        const DotRun run = run_dot(c.model, c.lexicon, c.ids, path);
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(run.out, c.out) << c.name;
        EXPECT_EQ(run.file, c.file) << c.name;
    }
    const int32_t a[] = {0};
    zv_test::capture_stdout([&] {
        EXPECT_EQ(zv_mgram_create_dot(m.get(), dir.path("missing/g.dot").c_str(), lexicon.get(), 1, a),
                  ZV_STATUS_IO_ERROR);
    });
    EXPECT_EQ(zv_mgram_create_dot(nullptr, dir.path("n.dot").c_str(), lexicon.get(), 1, a), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_mgram_create_dot(m.get(), nullptr, lexicon.get(), 1, a), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_mgram_create_dot(m.get(), dir.path("n.dot").c_str(), nullptr, 1, a), ZV_STATUS_INVALID_ARGUMENT);
    if (access("/dev/full", W_OK) == 0) {
        zv_test::capture_stdout([&] { EXPECT_EQ(zv_mgram_create_dot(m.get(), "/dev/full", lexicon.get(), 1, a), ZV_STATUS_IO_ERROR); });
    }
}
