#include "nn/softmax.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int32_t> softmax(const std::vector<int16_t> &x) {
    zv_memory_t memory;
    zv_memory_init(&memory);
    zv_softmax_t *s = nullptr;
    EXPECT_EQ(zv_softmax_init(memory, static_cast<int32_t>(x.size()), &s), ZV_STATUS_SUCCESS);
    std::vector<int32_t> p(x.size(), -7);
    zv_softmax_process(s, x.data(), p.data());
    zv_softmax_delete(s);
    return p;
}

TEST(Softmax, KnownRows) {
    struct Case {
        std::vector<int16_t> x;
        std::vector<int32_t> p;
    };
    const Case cases[] = {
        {{0}, {2147483645}},
        {{-32768}, {2147483645}},
        {{5, 5}, {1073741824, 1073741824}},
        {{-3, -3, -3}, {715827882, 715827882, 715827882}},
        {{0, -1024}, {1569936343, 577547305}},
        {{0, -16384}, {2147483406, 242}},
        {{32767, -32768}, {2147483406, 242}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(softmax(c.x), c.p);
    }
    EXPECT_EQ(softmax(std::vector<int16_t>(40, 100)), std::vector<int32_t>(40, 53687091));
}

TEST(Softmax, ShiftInvariantAndSumsToOne) {
    const std::vector<int16_t> x = {100, -2000, 3000, 0, -5000, 2999};
    std::vector<int16_t> shifted = x;
    for (auto &v : shifted) v = static_cast<int16_t>(v + 7000);
    const std::vector<int32_t> p = softmax(x);
    EXPECT_EQ(softmax(shifted), p);
    int64_t sum = 0;
    for (int32_t v : p) sum += v;
    EXPECT_NEAR(static_cast<double>(sum), 2147483648.0, 16.0);
}

TEST(Softmax, WidthBelowOneRefused) {
    zv_memory_t memory;
    zv_memory_init(&memory);
    for (int32_t n : {0, -1, INT32_MIN}) {
        zv_softmax_t *s = reinterpret_cast<zv_softmax_t *>(8);
        EXPECT_EQ(zv_softmax_init(memory, n, &s), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(s, nullptr);
    }
    zv_softmax_delete(nullptr);
}

}  // namespace
