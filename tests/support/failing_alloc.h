// A test allocator that fails the n-th allocation call, for sweeps of every
// allocation an operation makes. Linked only into tests/**/*_alloc_test.cpp
// programs, where it replaces the program's malloc, calloc, realloc and free
// (and operator new and delete, which then go through the same counter), in
// the normal and in the sanitizer build.
#ifndef ZV_TESTS_SUPPORT_FAILING_ALLOC_H
#define ZV_TESTS_SUPPORT_FAILING_ALLOC_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
#include <functional>
extern "C" {
#endif

// The n-th allocation call (malloc, calloc or realloc; n counts from 1) after this call
// fails and returns NULL; n = 0 disarms. Resets the call counter.
void zv_failing_alloc_fail_at(int64_t n);
int64_t zv_failing_alloc_calls(void);  // allocation calls since the last fail_at
int zv_failing_alloc_fired(void);      // 1 once the armed failure has happened
int64_t zv_failing_alloc_live(void);   // blocks allocated and not yet freed
uint64_t zv_failing_alloc_largest(void);  // bytes of the largest block asked for since the last fail_at
// Non-zero: this thread's allocation calls are neither counted nor failed
// until a call with 0 (for checks made inside a swept operation).
void zv_failing_alloc_pause(int paused);

#ifdef __cplusplus
}

// Runs `op` with the n-th allocation failing, n = 1, 2, ..., until a run in which the
// failure did not fire; returns that last n. `op` returns the status; `check` is called
// after every run with (n, status, fired) to assert what the caller expects (a failure
// status when fired, no leaked blocks after its own clean-up).
int64_t zv_alloc_sweep(const std::function<zv_status_t()> &op,
                       const std::function<void(int64_t, zv_status_t, bool)> &check);
#endif

#endif
