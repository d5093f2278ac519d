#include "foundation/log.h"

#include <gtest/gtest.h>

#include "support/child_process.h"

using zv_test::capture_stdout;

// First in the file: ctest runs each test in its own process, so this one sees
// the switch as the library was loaded.
TEST(Log, OnFromLoad) {
    EXPECT_EQ(capture_stdout([] { zv_log("loaded %d\n", 1); }), "loaded 1\n");
}

TEST(Log, SwitchOffAndOn) {
    const std::string out = capture_stdout([] {
        zv_log_disable();
        zv_log("x\n");
        zv_log_disable();  // repeated calls are harmless
        zv_log("%s", "hidden");
        zv_log_enable();
        zv_log("x\n");
        zv_log_enable();
        zv_log("y\n");
    });
    EXPECT_EQ(out, "x\ny\n");
}

// No prefix, newline or colour added: the text is exactly what was formatted,
// and a message without a newline is continued by the next.
TEST(Log, WritesExactlyTheFormattedBytes) {
    zv_log_enable();
    const std::string out = capture_stdout([] {
        zv_log("[ERROR] %s=%05.1f ", "v", 2.25);
        zv_log(ZV_LOG_RED "%c%%" ZV_LOG_RESET "\n", 'q');
        zv_log("%s", "\xc9\x94i");
    });
    EXPECT_EQ(out, "[ERROR] v=002.2 \x1b[31mq%\x1b[0m\n\xc9\x94i");
}
