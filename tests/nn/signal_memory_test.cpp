// Allocation failures of the signal objects. This executable supplies its own
// memory functions (support/failing_memory.h), so that the n-th allocation
// can be made to fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "nn/fft.h"
#include "nn/filterbank.h"
#include "nn/stft.h"
#include "nn/signal_reference.h"
#include "support/failing_memory.h"

namespace {

std::vector<int16_t> tone(int offset) {
    std::vector<int16_t> pcm(256);
    for (int i = 0; i < 256; ++i) pcm[i] = static_cast<int16_t>(((i + offset) * 2654435761u) >> 20);
    return pcm;
}

// Every allocation of every init fails in turn: no leak, no record handed out.
TEST(SignalMemory, FailedInitsHandNothingOut) {
    for (int n = 0; n < 8; ++n) {
        fail_at(n);
        zv_filterbank_t *fb = nullptr;
        const zv_status_t status = zv_filterbank_init(666, 256, &fb);
        if (n < g_allocations) {
            EXPECT_EQ(status, ZV_STATUS_OUT_OF_MEMORY) << n;
            EXPECT_EQ(fb, nullptr);
        } else {
            EXPECT_EQ(status, ZV_STATUS_SUCCESS);
        }
        zv_filterbank_delete(fb);
    }
    fail_at(0);
    zv_fft_t *fft = reinterpret_cast<zv_fft_t *>(&g_allocations);
    EXPECT_EQ(zv_fft_init(666, &fft), ZV_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(fft, nullptr);
    fail_at(-1);
}

TEST(SignalMemory, FailedFftLeavesOutputAlone) {
    fail_at(-1);
    zv_fft_t *fft = nullptr;
    ASSERT_EQ(zv_fft_init(666, &fft), ZV_STATUS_SUCCESS);
    std::vector<float> in(512, 1.0f), out(514, 42.0f);
    fail_at(0);
    EXPECT_EQ(zv_fft_compute(fft, in.data(), out.data()), ZV_STATUS_OUT_OF_MEMORY);
    for (float v : out) EXPECT_EQ(v, 42.0f);
    fail_at(-1);
    zv_fft_delete(fft);
}

// Allocations of one filterbank compute, in order: emphasis buffer, power
// buffer, frame, spectrum, FFT work buffer. Whichever fails, the features are
// untouched; the previous sample moves on once pre-emphasis is done, and the
// spectrum history only once the frame is formed (a failing FFT).
TEST(SignalMemory, FailedFilterbankComputeStates) {
    const std::vector<int16_t> a = tone(0), b = tone(256), c = tone(512);
    for (int n = 0; n < 5; ++n) {
        fail_at(-1);
        zv_filterbank_t *fb = nullptr;
        ASSERT_EQ(zv_filterbank_init(666, 256, &fb), ZV_STATUS_SUCCESS);
        std::vector<int16_t> got(40), want(40);
        signal_ref::Filterbank ref(256);
        ASSERT_EQ(zv_filterbank_compute(fb, a.data(), got.data()), ZV_STATUS_SUCCESS);
        ref.compute(a.data(), want.data());

        fail_at(n);
        std::vector<int16_t> untouched(40, 7);
        EXPECT_EQ(zv_filterbank_compute(fb, b.data(), untouched.data()), ZV_STATUS_OUT_OF_MEMORY) << n;
        EXPECT_EQ(untouched, std::vector<int16_t>(40, 7)) << n;
        if (n >= 1 && n <= 3) ref.prev = b[255];
        if (n == 4) ref.compute(b.data(), want.data());

        fail_at(-1);
        ASSERT_EQ(zv_filterbank_compute(fb, c.data(), got.data()), ZV_STATUS_SUCCESS);
        ref.compute(c.data(), want.data());
        EXPECT_EQ(got, want) << n;
        zv_filterbank_delete(fb);
    }
}

TEST(SignalMemory, FailedStftComputeKeepsHistory) {
    fail_at(-1);
    zv_stft_t *stft = nullptr;
    ASSERT_EQ(zv_stft_init(666, 256, &stft), ZV_STATUS_SUCCESS);
    std::vector<float> x(256), y(256), p1(257), p2(257);
    for (int i = 0; i < 256; ++i) {
        x[i] = static_cast<float>(i % 17) * 100.0f;
        y[i] = static_cast<float>(i % 5) * -300.0f;
    }
    ASSERT_EQ(zv_stft_compute(stft, x.data(), p1.data()), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_stft_compute(stft, y.data(), p1.data()), ZV_STATUS_SUCCESS);
    zv_stft_reset(stft);
    ASSERT_EQ(zv_stft_compute(stft, x.data(), p2.data()), ZV_STATUS_SUCCESS);
    for (int n = 0; n < 2; ++n) {
        fail_at(n);
        EXPECT_EQ(zv_stft_compute(stft, y.data(), p2.data()), ZV_STATUS_OUT_OF_MEMORY);
    }
    fail_at(-1);
    ASSERT_EQ(zv_stft_compute(stft, y.data(), p2.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(p1, p2);
    zv_stft_delete(stft);
}

}  // namespace
