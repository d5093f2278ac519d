// A heap whose n-th allocation fails, for allocation-failure tests. A test
// program that includes this header (in one file) supplies its own heap
// functions over the C library's, so that the n-th allocation made inside a
// call can fail and the blocks a call leaves behind can be counted. The
// sanitizer builds own the heap functions themselves: there ZV_OWN_HEAP is 0
// and fail_each_allocation skips the test.
#ifndef ZV_TESTS_SUPPORT_FAILING_HEAP_H
#define ZV_TESTS_SUPPORT_FAILING_HEAP_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "zv_lumarin.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZV_OWN_HEAP 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZV_OWN_HEAP 0
#endif
#endif
#ifndef ZV_OWN_HEAP
#define ZV_OWN_HEAP 1
#endif

// The heap's state; a test may disarm it around work of its own.
namespace {
[[maybe_unused]] bool g_armed = false;
[[maybe_unused]] int g_allocations = 0;
[[maybe_unused]] int g_fail_at = -1;
[[maybe_unused]] int64_t g_live = 0;  // blocks allocated and not yet freed
}  // namespace

#if ZV_OWN_HEAP
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
}

namespace {
bool fails() { return g_armed && g_allocations++ == g_fail_at; }
}  // namespace

extern "C" void *malloc(size_t size) {
    if (fails()) return nullptr;
    void *block = __libc_malloc(size);
    if (block) ++g_live;
    return block;
}

extern "C" void *calloc(size_t count, size_t size) {
    if (fails()) return nullptr;
    void *block = __libc_calloc(count, size);
    if (block) ++g_live;
    return block;
}

extern "C" void *realloc(void *old, size_t size) {
    if (fails()) return nullptr;
    void *block = __libc_realloc(old, size);
    if (block && !old) ++g_live;
    return block;
}

extern "C" void free(void *block) {
    if (block) --g_live;
    __libc_free(block);
}
#endif

namespace {

// Runs call with its n-th allocation failing, for n = 0, 1, ... until one
// makes no more than n allocations. call() gives a status; check(status)
// runs with the heap disarmed. A call that makes something (not one that
// changes a tree) must, when it fails, leave as many blocks as it found.
template <typename Call, typename Check>
void fail_each_allocation(Call &&call, Check &&check, bool makes = true) {
#if ZV_OWN_HEAP
    for (int n = 0; n < 100000; ++n) {
        const int64_t live = g_live;
        g_allocations = 0;
        g_fail_at = n;
        g_armed = true;
        const zv_status_t status = call();
        g_armed = false;
        const bool failed = n < g_allocations;
        if (!failed) {
            EXPECT_EQ(status, ZV_STATUS_SUCCESS);
        } else if (makes && status != ZV_STATUS_SUCCESS) {
            EXPECT_EQ(g_live, live) << "blocks left behind by a call failing at allocation " << n;
        }
        check(status);
        if (!failed) return;
    }
    ADD_FAILURE() << "never succeeded";
#else
    (void)call;
    (void)check;
    (void)makes;
    GTEST_SKIP() << "the sanitizer owns the heap";
#endif
}

}  // namespace

#endif
