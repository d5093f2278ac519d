// The Windows branches of the foundation are never built on Linux; compiling
// them here (against this machine's C headers, with the Windows calling
// conventions defined away) keeps them from rotting unseen.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string source_root() {
    std::string data = ZV_TEST_DATA_DIR;  // <root>/tests/data
    return data.substr(0, data.rfind("/tests/data"));
}

}  // namespace

TEST(Win32Layer, WindowsBranchesCompile) {
    if (std::system("command -v c++ > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no C++ compiler on this machine";
    }
    const std::string root = source_root();
    for (const char *module : {"file", "log", "strings", "dump", "args"}) {
        const std::string command = "c++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -D_WIN32 "
                                    "'-D__declspec(x)=' -D__stdcall= -I'" + root + "/include' -I'" + root +
                                    "/src' '" + root + "/src/foundation/" + module + ".cpp' 2>&1";
        FILE *pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        EXPECT_EQ(pclose(pipe), 0) << module << ":\n" << out;
    }
}
