// The common check of an allocation-failure sweep: every run in which the
// failure fired gives one of the allowed failure statuses, the last run
// succeeds, and no run leaves a block behind. A run may also succeed despite
// its failed allocation where a library falls back (the C library's stream
// buffer does): op checks what it made whenever it succeeds.
#ifndef ZV_TESTS_SUPPORT_ALLOC_SWEEP_H
#define ZV_TESTS_SUPPORT_ALLOC_SWEEP_H

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/failing_alloc.h"

namespace zv_test {

// op must release whatever it made before returning. It runs once unfailed
// first, so that what libraries set up once for good is not counted as a
// leak. Gives the number of allocations the op makes.
inline int64_t sweep_fails_cleanly(const std::string &what, const std::function<zv_status_t()> &op,
                                   std::initializer_list<zv_status_t> allowed = {ZV_STATUS_OUT_OF_MEMORY}) {
    EXPECT_EQ(op(), ZV_STATUS_SUCCESS) << what;
    const std::vector<zv_status_t> statuses(allowed);
    // Counted around each run alone: a failed expectation keeps blocks too.
    int64_t live = 0;
    const int64_t last = zv_alloc_sweep(
        [&] {
            live = zv_failing_alloc_live();
            return op();
        },
        [&](int64_t n, zv_status_t status, bool fired) {
            const int64_t left = zv_failing_alloc_live() - live;
            EXPECT_EQ(left, 0) << what << ": blocks left with allocation " << n << " failing";
            if (fired && status != ZV_STATUS_SUCCESS) {
                EXPECT_NE(std::find(statuses.begin(), statuses.end(), status), statuses.end())
                    << what << ": status " << status << " with allocation " << n << " failing";
            } else {
                EXPECT_EQ(status, ZV_STATUS_SUCCESS) << what;
            }
        });
    return last - 1;
}

// Runs call with its n-th allocation failing, n = 1, 2, ..., until a run in
// which the failure did not fire, which must succeed; check(status) runs
// after every run with nothing failing. For operations that change what they
// are given (no warm-up run, no status list): a call that makes something
// (not one that changes a tree in place) must, when it fails, leave as many
// blocks as it found.
inline void fail_each_allocation(const std::function<zv_status_t()> &call,
                                 const std::function<void(zv_status_t)> &check, bool makes = true) {
    int64_t live = 0;
    zv_alloc_sweep(
        [&] {
            live = zv_failing_alloc_live();
            return call();
        },
        [&](int64_t n, zv_status_t status, bool fired) {
            if (!fired) {
                EXPECT_EQ(status, ZV_STATUS_SUCCESS);
            } else if (makes && status != ZV_STATUS_SUCCESS) {
                EXPECT_EQ(zv_failing_alloc_live(), live) << "blocks left behind by a call failing at allocation " << n;
            }
            check(status);
        });
}

}  // namespace zv_test

#endif
