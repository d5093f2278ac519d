// A failing zv_memory_allocate for the memory-handle level. A test program
// that includes this header (in one file) supplies its own memory functions
// (the library's are then not linked in), so that the n-th allocation made
// through a memory handle can be made to fail.
#ifndef ZV_TESTS_SUPPORT_FAILING_MEMORY_H
#define ZV_TESTS_SUPPORT_FAILING_MEMORY_H

#include <cstdint>
#include <cstdlib>

#include "foundation/status.h"

namespace {
int g_allocations = 0;
int g_fail_at = -1;  // the allocation number that fails; -1 for none
}  // namespace

extern "C" void *zv_memory_allocate(zv_memory_t, uint64_t size, uint8_t zeroed) {
    if (g_allocations++ == g_fail_at) return nullptr;
    return zeroed ? calloc(size, 1) : malloc(size);
}

extern "C" void zv_memory_free(zv_memory_t, void *block) { free(block); }

namespace {

// Fails the allocation numbered n (from 0) from here on; -1 fails none.
void fail_at(int n) {
    g_allocations = 0;
    g_fail_at = n;
}

}  // namespace

#endif
