// The failing allocator: the program's own malloc, calloc, realloc and free,
// forwarding to the C library's allocator (or to the sanitizer's, under
// AddressSanitizer), failing the armed call and keeping a table of the
// blocks it handed out so that leaks are counted exactly.
#include "support/failing_alloc.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <errno.h>
#include <fcntl.h>
#include <sndfile.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorbis/codec.h>

#include <atomic>
#include <new>
#include <string>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
extern "C" {
void *__interceptor_malloc(size_t size);
void *__interceptor_calloc(size_t count, size_t size);
void *__interceptor_realloc(void *p, size_t size);
void __interceptor_free(void *p);
void *__interceptor_memalign(size_t alignment, size_t size);
}
#define ZV_REAL(name) __interceptor_##name
#else
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
void *__libc_memalign(size_t alignment, size_t size);
}
#define ZV_REAL(name) __libc_##name
#endif

namespace {

std::atomic<int64_t> g_fail_at{0};
std::atomic<int64_t> g_calls{0};
std::atomic<int> g_fired{0};
std::atomic<uint64_t> g_largest{0};
// Where ZV_FAILING_ALLOC_TRACE sends the stack of each failed call: the real
// standard error, also while a sweep captures descriptor 2.
std::atomic<int> g_trace_fd{2};
// Allocations made while held are neither counted nor failed, except for the
// first t_checked ones of a call that checks only those.
thread_local int t_hold = 0;
thread_local int t_checked = 0;

// Open-addressing table of the live blocks this allocator handed out.
constexpr size_t kTableBits = 21;
constexpr size_t kTableSize = size_t{1} << kTableBits;
constexpr size_t kTableMask = kTableSize - 1;
constexpr size_t kTableLimit = kTableSize / 4 * 3;
uintptr_t g_table[kTableSize];
size_t g_table_used = 0;
std::atomic_flag g_table_lock = ATOMIC_FLAG_INIT;

struct TableLock {
    TableLock() {
        while (g_table_lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~TableLock() { g_table_lock.clear(std::memory_order_release); }
};

size_t home(uintptr_t p) { return static_cast<size_t>(((p >> 4) * 0x9E3779B97F4A7C15ull) >> (64 - kTableBits)); }

void table_add(void *ptr) {
    if (ptr == nullptr) return;
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
    TableLock lock;
    if (g_table_used >= kTableLimit) return;  // untracked: the count only undercounts
    size_t i = home(p);
    while (g_table[i] != 0) i = (i + 1) & kTableMask;
    g_table[i] = p;
    ++g_table_used;
}

void table_remove(void *ptr) {
    if (ptr == nullptr) return;
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
    TableLock lock;
    size_t i = home(p);
    while (g_table[i] != p) {
        if (g_table[i] == 0) return;  // not ours (made before tracking or by another allocator)
        i = (i + 1) & kTableMask;
    }
    // Backward-shift deletion keeps every probe chain unbroken.
    size_t j = i;
    for (;;) {
        j = (j + 1) & kTableMask;
        if (g_table[j] == 0) break;
        const size_t k = home(g_table[j]);
        const bool movable = i <= j ? (k <= i || k > j) : (k <= i && k > j);
        if (movable) {
            g_table[i] = g_table[j];
            i = j;
        }
    }
    g_table[i] = 0;
    --g_table_used;
}

// True when this call, asking for `size` bytes, is the armed one and must fail.
bool should_fail(size_t size) {
    if (t_hold > 0) {
        if (t_checked == 0) return false;
        --t_checked;
    }
    for (uint64_t largest = g_largest.load(std::memory_order_relaxed);
         size > largest && !g_largest.compare_exchange_weak(largest, size, std::memory_order_relaxed);) {
    }
    const int64_t n = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n == g_fail_at.load(std::memory_order_relaxed)) {
        g_fired.store(1, std::memory_order_relaxed);
        if (getenv("ZV_FAILING_ALLOC_TRACE") != nullptr) {
            void *frames[32];
            ++t_hold;  // the first backtrace loads the unwinder, which allocates
            const int depth = backtrace(frames, 32);
            --t_hold;
            dprintf(g_trace_fd.load(), "allocation %lld fails:\n", static_cast<long long>(n));
            backtrace_symbols_fd(frames, depth, g_trace_fd.load());
        }
        return true;
    }
    return false;
}

void *counted_aligned(size_t alignment, size_t size) {
    if (should_fail(size)) return nullptr;
    void *p = ZV_REAL(memalign)(alignment, size == 0 ? 1 : size);
    table_add(p);
    return p;
}

}  // namespace

extern "C" {

void *malloc(size_t size) {
    if (should_fail(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = ZV_REAL(malloc)(size);
    table_add(p);
    return p;
}

void *calloc(size_t count, size_t size) {
    if (should_fail(count > SIZE_MAX / (size > 0 ? size : 1) ? SIZE_MAX : count * size)) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = ZV_REAL(calloc)(count, size);
    table_add(p);
    return p;
}

void *realloc(void *old, size_t size) {
    if (should_fail(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = ZV_REAL(realloc)(old, size);
    if (p != nullptr || (old != nullptr && size == 0)) {
        table_remove(old);
        table_add(p);
    }
    return p;
}

void free(void *p) {
    table_remove(p);
    ZV_REAL(free)(p);
}

// Two codec libraries don't survive a failed allocation inside some of their
// calls, which use blocks they never check: libsndfile's sf_open after its
// first allocation (the file's record, which it checks), and libvorbis's
// vorbis_synthesis_headerin, vorbis_synthesis_init and vorbis_synthesis.
// Allocations made inside those calls (but for the checked ones) are left
// unfailed and uncounted; every other allocation of theirs is swept.
#define ZV_UNFAILED_CALL(checked, result, name, params, args)                            \
    result name params {                                                                \
        using fn = result(*) params;                                                    \
        ++t_hold;                                                                       \
        static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, #name));                 \
        const int outer_checked = t_checked;                                            \
        t_checked = checked;                                                            \
        result r = real args;                                                           \
        t_checked = outer_checked;                                                      \
        --t_hold;                                                                       \
        return r;                                                                       \
    }
ZV_UNFAILED_CALL(1, SNDFILE *, sf_open, (const char *path, int mode, SF_INFO *info), (path, mode, info))
ZV_UNFAILED_CALL(0, int, vorbis_synthesis_headerin, (vorbis_info * info, vorbis_comment *comment, ogg_packet *packet),
                 (info, comment, packet))
ZV_UNFAILED_CALL(0, int, vorbis_synthesis_init, (vorbis_dsp_state * dsp, vorbis_info *info), (dsp, info))
ZV_UNFAILED_CALL(0, int, vorbis_synthesis, (vorbis_block * block, ogg_packet *packet), (block, packet))

void zv_failing_alloc_fail_at(int64_t n) {
    g_fail_at.store(n, std::memory_order_relaxed);
    g_calls.store(0, std::memory_order_relaxed);
    g_fired.store(0, std::memory_order_relaxed);
    g_largest.store(0, std::memory_order_relaxed);
}

int64_t zv_failing_alloc_calls(void) { return g_calls.load(std::memory_order_relaxed); }

int zv_failing_alloc_fired(void) { return g_fired.load(std::memory_order_relaxed); }

uint64_t zv_failing_alloc_largest(void) { return g_largest.load(std::memory_order_relaxed); }

void zv_failing_alloc_pause(int paused) { t_hold += paused ? 1 : -1; }

int64_t zv_failing_alloc_live(void) {
    TableLock lock;
    return static_cast<int64_t>(g_table_used);
}

}  // extern "C"

// operator new and delete go through the counted malloc in both builds (the
// sanitizer would otherwise serve them itself, out of the sweep's reach).
void *operator new(size_t size) {
    void *p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return malloc(size == 0 ? 1 : size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return malloc(size == 0 ? 1 : size); }
void *operator new(size_t size, std::align_val_t al) {
    void *p = counted_aligned(static_cast<size_t>(al), size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void *operator new[](size_t size, std::align_val_t al) { return operator new(size, al); }
void *operator new(size_t size, std::align_val_t al, const std::nothrow_t &) noexcept {
    return counted_aligned(static_cast<size_t>(al), size);
}
void *operator new[](size_t size, std::align_val_t al, const std::nothrow_t &) noexcept {
    return counted_aligned(static_cast<size_t>(al), size);
}
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete(void *p, std::align_val_t) noexcept { free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { free(p); }

namespace {

// Standard error captured while an operation runs: a memory file, made once
// and emptied before every run, takes descriptor 2's place.
class StderrCapture {
public:
    StderrCapture() {
        memfd_ = memfd_create("zv_alloc_sweep_stderr", 0);
        saved_ = dup(2);
        g_trace_fd.store(saved_);
#if defined(__SANITIZE_ADDRESS__)
        // Sanitizer reports still reach the real standard error.
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(saved_)));
#endif
    }
    void begin() {
        fflush(stderr);
        if (ftruncate(memfd_, 0) != 0 || lseek(memfd_, 0, SEEK_SET) != 0) return;
        dup2(memfd_, 2);
    }
    // What reached standard error since begin().
    std::string end() {
        fflush(stderr);
        dup2(saved_, 2);
        struct stat st;
        if (fstat(memfd_, &st) != 0 || st.st_size == 0) return std::string();
        std::string text(static_cast<size_t>(st.st_size), '\0');
        const ssize_t got = pread(memfd_, text.data(), text.size(), 0);
        text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return text;
    }

private:
    int memfd_ = -1;
    int saved_ = -1;
};

}  // namespace

int64_t zv_alloc_sweep(const std::function<zv_status_t()> &op,
                       const std::function<void(int64_t, zv_status_t, bool)> &check) {
    static StderrCapture capture;
    for (int64_t n = 1;; ++n) {
        capture.begin();
        zv_failing_alloc_fail_at(n);
        const zv_status_t status = op();
        const bool fired = zv_failing_alloc_fired() != 0;
        zv_failing_alloc_fail_at(0);
        const std::string printed = capture.end();
        EXPECT_EQ(printed, "") << "standard error written with allocation " << n << " failing";
        check(n, status, fired);
        if (!fired || ::testing::Test::HasFatalFailure()) return n;
    }
}
