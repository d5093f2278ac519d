#include "foundation/status.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Status, NamesAndOutOfRange) {
    const char *names[] = {"SUCCESS",        "OUT_OF_MEMORY", "IO_ERROR",      "INVALID_ARGUMENT",
                           "STOP_ITERATION", "KEY_ERROR",     "INVALID_STATE", "RUNTIME_ERROR"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_STREQ(zv_status_to_string(i), names[i]);
    }
    for (int32_t bad : {8, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(zv_status_to_string(bad), nullptr) << bad;
    }
}

TEST(Status, SampleRate) { EXPECT_EQ(zv_sample_rate(), 16000); }

TEST(Memory, ZeroedBlocksAndNullFree) {
    zv_memory_t memory = 0;
    EXPECT_EQ(zv_memory_init(&memory), ZV_STATUS_SUCCESS);
    EXPECT_EQ(memory, 666u);
    unsigned char *block = static_cast<unsigned char *>(zv_memory_allocate(memory, 4099, 1));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 4099; ++i) {
        ASSERT_EQ(block[i], 0) << i;
    }
    zv_memory_free(memory, block);
    zv_memory_free(memory, nullptr);
    // Blocks are plain heap blocks: free() releases them too.
    free(zv_memory_allocate(memory, 16, 0));
}
