// The failing allocator that every *_alloc_test program sweeps with.
#include "support/failing_alloc.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <new>
#include <vector>

namespace {

// Opaque to the optimiser, so that the calls below really happen.
void *volatile g_sink;

TEST(FailingAlloc, FailsTheArmedCallOfEachKindAndCountsLiveBlocks) {
    const int64_t live = zv_failing_alloc_live();
    zv_failing_alloc_fail_at(3);
    void *a = malloc(10);
    void *b = calloc(2, 8);
    void *(*volatile resize)(void *, size_t) = realloc;  // keeps the compiler out of `a`'s fate
    void *c = resize(a, 100);  // third call fails and leaves `a` as it was
    const bool fired = zv_failing_alloc_fired() != 0;
    const int64_t calls = zv_failing_alloc_calls();
    zv_failing_alloc_fail_at(0);
    EXPECT_TRUE(a != nullptr && b != nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_TRUE(fired);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(zv_failing_alloc_live(), live + 2);
    b = realloc(b, 1000);
    EXPECT_EQ(zv_failing_alloc_live(), live + 2);
    free(b);
    free(a);
    EXPECT_EQ(zv_failing_alloc_live(), live);

    zv_failing_alloc_fail_at(1);
    EXPECT_THROW(g_sink = new std::vector<int>(1000), std::bad_alloc);
    zv_failing_alloc_fail_at(0);
}

TEST(FailingAlloc, SweepRunsUntilTheFailureNoLongerFiresAndSeesStandardError) {
    std::vector<int64_t> seen;
    const int64_t last = zv_alloc_sweep(
        [] {
            void *p = malloc(1), *q = malloc(1);
            const zv_status_t s = p && q ? ZV_STATUS_SUCCESS : ZV_STATUS_OUT_OF_MEMORY;
            free(p);
            free(q);
            return s;
        },
        [&](int64_t n, zv_status_t status, bool fired) {
            seen.push_back(n);
            EXPECT_EQ(status == ZV_STATUS_SUCCESS, !fired);
        });
    EXPECT_EQ(last, 3);
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, 3}));

    EXPECT_NONFATAL_FAILURE(zv_alloc_sweep(
                                [] {
                                    fputs("noise", stderr);
                                    return ZV_STATUS_SUCCESS;
                                },
                                [](int64_t, zv_status_t, bool) {}),
                            "noise");
}

}  // namespace
