#include "foundation/dump.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

using zv_test::run_in_child;
using zv_test::TempDir;

namespace {

struct DumpFile {
    bool found = false;
    int32_t header = 0;
    std::vector<double> values;
    size_t bytes = 0;
};

DumpFile read_dump(const std::string &path) {
    DumpFile d;
    std::ifstream in(path, std::ios::binary);
    if (!in) return d;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    d.found = true;
    d.bytes = bytes.size();
    if (bytes.size() >= 4) std::memcpy(&d.header, bytes.data(), 4);
    for (size_t at = 4; at + 8 <= bytes.size(); at += 8) {
        double v;
        std::memcpy(&v, bytes.data() + at, 8);
        d.values.push_back(v);
    }
    return d;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Every test leaves the process-wide state absent.
class Dump : public ::testing::Test {
protected:
    void TearDown() override { zv_dump_delete(); }
    TempDir dir;
};

}  // namespace

TEST_F(Dump, SameNameAppendsAfterTheFirstHeader) {
    ASSERT_EQ(zv_dump_init(dir.root().c_str()), ZV_STATUS_SUCCESS);
    const float a[] = {1.5f, -2.0f, 0.25f};
    const float b[] = {3.0f, 0.1f};
    EXPECT_EQ(zv_dump_array_float(a, 3, "layer%d", 1), 1);
    EXPECT_EQ(zv_dump_array_float(b, 2, "layer1"), 1);  // formats to the same name
    const DumpFile d = read_dump(dir.path("layer1.dmp"));
    ASSERT_TRUE(d.found);
    EXPECT_EQ(d.bytes, 4u + 5 * 8);
    EXPECT_EQ(d.header, 3);
    EXPECT_EQ(d.values, (std::vector<double>{1.5, -2.0, 0.25, 3.0, static_cast<double>(0.1f)}));
}

TEST_F(Dump, EmptyCallWritesHeaderOnly) {
    ASSERT_EQ(zv_dump_init(dir.root().c_str()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_dump_array_int16(nullptr, 0, 0, "empty"), 0);
    EXPECT_EQ(zv_dump_array_int32(nullptr, -3, 0, "negative"), 0);
    const DumpFile empty = read_dump(dir.path("empty.dmp"));
    EXPECT_EQ(empty.bytes, 4u);
    EXPECT_EQ(empty.header, 0);
    EXPECT_EQ(read_dump(dir.path("negative.dmp")).header, -3);
    // Later elements still append after the empty header.
    const int16_t v[] = {4};
    EXPECT_EQ(zv_dump_array_int16(v, 1, 2, "empty"), 1);
    const DumpFile after = read_dump(dir.path("empty.dmp"));
    EXPECT_EQ(after.header, 0);
    EXPECT_EQ(after.values, std::vector<double>{1.0});
}

TEST_F(Dump, FixedPointIsScaledBackByTwoToTheQ) {
    ASSERT_EQ(zv_dump_init(dir.root().c_str()), ZV_STATUS_SUCCESS);
    const int8_t i8[] = {-128, 127, 64};
    const int16_t i16[] = {1024, -512};
    const int32_t i32[] = {INT32_MIN, 1 << 30, 3};
    const int64_t i64[] = {3, INT64_MIN, int64_t{1} << 62};
    EXPECT_EQ(zv_dump_array_int8(i8, 3, 7, "i8"), 1);
    EXPECT_EQ(zv_dump_array_int16(i16, 2, 10, "i16"), 1);
    EXPECT_EQ(zv_dump_array_int32(i32, 3, 31, "i32"), 1);
    EXPECT_EQ(zv_dump_array_int64(i64, 1, 1, "i64_q1"), 1);
    EXPECT_EQ(zv_dump_array_int64(i64 + 1, 2, 62, "i64_q62"), 1);
    EXPECT_EQ(zv_dump_array_int8(i8, 1, 0, "i8_q0"), 1);
    EXPECT_EQ(read_dump(dir.path("i8.dmp")).values, (std::vector<double>{-1.0, 127.0 / 128, 0.5}));
    EXPECT_EQ(read_dump(dir.path("i16.dmp")).values, (std::vector<double>{1.0, -0.5}));
    EXPECT_EQ(read_dump(dir.path("i32.dmp")).values,
              (std::vector<double>{-1.0, 0.5, 3.0 / 2147483648.0}));
    EXPECT_EQ(read_dump(dir.path("i64_q1.dmp")).values, std::vector<double>{1.5});
    EXPECT_EQ(read_dump(dir.path("i64_q62.dmp")).values, (std::vector<double>{-2.0, 1.0}));
    EXPECT_EQ(read_dump(dir.path("i8_q0.dmp")).values, std::vector<double>{-128.0});
}

TEST_F(Dump, InitEmptiesOrCreatesTheDirectory) {
    dir.write("old.dmp", std::string("stale"));
    dir.write("other.txt", std::string("x"));
    ASSERT_EQ(mkdir(dir.path("keep").c_str(), 0700), 0);
    dir.write("keep/inner", std::string("y"));
    ASSERT_EQ(zv_dump_init(dir.root().c_str()), ZV_STATUS_SUCCESS);
    EXPECT_FALSE(exists(dir.path("old.dmp")));
    EXPECT_FALSE(exists(dir.path("other.txt")));
    EXPECT_TRUE(exists(dir.path("keep")));  // a directory that isn't empty stays
    zv_dump_delete();

    const std::string fresh = dir.path("fresh");
    ASSERT_EQ(zv_dump_init(fresh.c_str()), ZV_STATUS_SUCCESS);
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    const float v[] = {1.0f};
    EXPECT_EQ(zv_dump_array_float(v, 1, "x"), 1);
    EXPECT_TRUE(read_dump(fresh + "/x.dmp").found);
}

// The state keeps its own copy of the directory text.
TEST_F(Dump, DirectoryTextMayBeFreedAfterInit) {
    char *directory = strdup(dir.root().c_str());
    ASSERT_EQ(zv_dump_init(directory), ZV_STATUS_SUCCESS);
    memset(directory, 'z', strlen(directory));
    free(directory);
    const int32_t v[] = {8};
    EXPECT_EQ(zv_dump_array_int32(v, 1, 3, "copied"), 1);
    EXPECT_EQ(read_dump(dir.path("copied.dmp")).values, std::vector<double>{1.0});
}

TEST_F(Dump, DeleteAndReinitStartAfresh) {
    zv_dump_delete();  // without init: nothing happens
    ASSERT_EQ(zv_dump_init(dir.root().c_str()), ZV_STATUS_SUCCESS);
    const int16_t v[] = {1, 2};
    EXPECT_EQ(zv_dump_array_int16(v, 2, 0, "s"), 1);
    // A second init closes the first's streams and empties the directory.
    ASSERT_EQ(zv_dump_init(dir.root().c_str()), ZV_STATUS_SUCCESS);
    EXPECT_FALSE(exists(dir.path("s.dmp")));
    EXPECT_EQ(zv_dump_array_int16(v, 1, 0, "s"), 1);
    zv_dump_delete();
    zv_dump_delete();
    const DumpFile d = read_dump(dir.path("s.dmp"));
    EXPECT_EQ(d.header, 1);
    EXPECT_EQ(d.values, std::vector<double>{1.0});
}

// Failures end the process with status 1 and print nothing.
TEST_F(Dump, FailuresEndTheProcessSilently) {
    const float v[] = {1.0f};
    // No init.
    auto r = run_in_child([&] { zv_dump_array_float(v, 1, "x"); });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");

    // A stream name that can't be formatted (a wide character with no
    // single-byte form in the C locale).
    const wchar_t wide[] = {0x00e9, 0};
    r = run_in_child([&] {
        if (zv_dump_init(dir.root().c_str()) != ZV_STATUS_SUCCESS) return;
        zv_dump_array_float(v, 1, "%ls", wide);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");

    // A directory that can't be made: the first file can't be opened.
    const std::string blocker = dir.write("plain", std::string("x"));
    r = run_in_child([&] {
        if (zv_dump_init((blocker + "/sub").c_str()) != ZV_STATUS_SUCCESS) return;
        zv_dump_array_float(v, 1, "x");
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");

    // Writes that fail (the dump file is a device that is always full).
    if (access("/dev/full", W_OK) == 0) {
        r = run_in_child([&] {
            if (zv_dump_init(dir.root().c_str()) != ZV_STATUS_SUCCESS) return;
            if (symlink("/dev/full", dir.path("full.dmp").c_str()) != 0) return;
            zv_dump_array_float(v, 1, "full");
        });
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
    }
}
