#include "foundation/file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_dir.h"

using zv_test::TempDir;

namespace {

bool is_directory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

off_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// A file of the given length without writing it (sparse).
bool make_sparse(const std::string &path, off_t size) {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) return false;
    const bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
}

}  // namespace

TEST(File, SaveThenLoadRoundTrips) {
    TempDir dir;
    std::vector<uint8_t> bytes(70001);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    const std::string path = dir.path("blob.bin");
    ASSERT_EQ(zv_file_save(path.c_str(), static_cast<int32_t>(bytes.size()), bytes.data()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(file_size(path), 70001);
    int32_t size = -5;
    void *data = nullptr;
    ASSERT_EQ(zv_file_load(path.c_str(), &size, &data), ZV_STATUS_SUCCESS);
    ASSERT_EQ(size, 70001);
    EXPECT_EQ(memcmp(data, bytes.data(), bytes.size()), 0);
    free(data);

    // Saving again truncates.
    ASSERT_EQ(zv_file_save(path.c_str(), 3, "abc"), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_file_load(path.c_str(), &size, &data), ZV_STATUS_SUCCESS);
    ASSERT_EQ(size, 3);
    EXPECT_EQ(memcmp(data, "abc", 3), 0);
    free(data);
}

TEST(File, EmptyFiles) {
    TempDir dir;
    const std::string path = dir.path("empty");
    ASSERT_EQ(zv_file_save(path.c_str(), 0, nullptr), ZV_STATUS_SUCCESS);
    EXPECT_EQ(file_size(path), 0);
    int32_t size = -5;
    void *data = nullptr;
    ASSERT_EQ(zv_file_load(path.c_str(), &size, &data), ZV_STATUS_SUCCESS);
    EXPECT_EQ(size, 0);
    EXPECT_NE(data, nullptr);  // a real (zero-length) block, not a failure
    free(data);
}

TEST(File, LoadFailuresLeaveNoBlock) {
    TempDir dir;
    int32_t size = -5;
    void *data = reinterpret_cast<void *>(1);
    EXPECT_EQ(zv_file_load(dir.path("missing").c_str(), &size, &data), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(data, nullptr);

    // A directory opens for reading on Linux but can't be read as a file.
    data = reinterpret_cast<void *>(1);
    EXPECT_EQ(zv_file_load(dir.root().c_str(), &size, &data), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(data, nullptr);
}

// The size is a signed 32-bit value: longer files must fail rather than come
// back truncated (2^32 + 5 would otherwise read as 5 bytes) or negative.
TEST(File, LoadRefusesFilesBeyondInt32) {
    TempDir dir;
    for (off_t length : {off_t{1} << 31, (off_t{1} << 32) + 5, (off_t{1} << 33) - 1}) {
        const std::string path = dir.path("huge");
        ASSERT_TRUE(make_sparse(path, length)) << length;
        int32_t size = -5;
        void *data = reinterpret_cast<void *>(1);
        EXPECT_EQ(zv_file_load(path.c_str(), &size, &data), ZV_STATUS_IO_ERROR) << length;
        EXPECT_EQ(data, nullptr) << length;
        unlink(path.c_str());
    }
}

TEST(File, SaveFailures) {
    TempDir dir;
    // A negative size is refused before anything is created.
    const std::string path = dir.path("negative");
    EXPECT_EQ(zv_file_save(path.c_str(), -1, "x"), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_file_save(path.c_str(), INT32_MIN, "x"), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_file_exists(path.c_str()), 0);
    // The open fails.
    EXPECT_EQ(zv_file_save(dir.path("no/such/dir").c_str(), 1, "x"), ZV_STATUS_IO_ERROR);
    // A device that is always full: a small write is buffered and fails only
    // when flushed at closing; a large one fails in the write itself.
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(zv_file_save("/dev/full", 10, "0123456789"), ZV_STATUS_IO_ERROR);
        std::vector<uint8_t> big(1 << 20, 0x5a);
        EXPECT_EQ(zv_file_save("/dev/full", static_cast<int32_t>(big.size()), big.data()), ZV_STATUS_IO_ERROR);
    }
}

TEST(File, OpenExistsRemove) {
    TempDir dir;
    const std::string path = dir.path("f.txt");
    FILE *file = zv_fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("hello", file);
    fclose(file);
    EXPECT_EQ(zv_fopen(dir.path("missing").c_str(), "rb"), nullptr);
    // Paths are bytes, handed over unconverted.
    const std::string utf8 = dir.path("\xc9\x94i-\xc3\xa7.txt");
    file = zv_fopen(utf8.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fclose(file);
    EXPECT_EQ(file_size(utf8), 0);

    EXPECT_EQ(zv_file_exists(path.c_str()), 1);
    EXPECT_EQ(zv_file_exists(dir.path("missing").c_str()), 0);
    // A directory counts as whatever fopen does with it for reading.
    FILE *probe = fopen(dir.root().c_str(), "rb");
    EXPECT_EQ(zv_file_exists(dir.root().c_str()), probe ? 1 : 0);
    if (probe) fclose(probe);

    EXPECT_EQ(zv_file_delete(path.c_str()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_file_exists(path.c_str()), 0);
    EXPECT_EQ(zv_file_delete(path.c_str()), ZV_STATUS_IO_ERROR);
    EXPECT_NE(zv_remove(path.c_str()), 0);
    EXPECT_EQ(zv_remove(utf8.c_str()), 0);
    EXPECT_EQ(zv_file_exists(utf8.c_str()), 0);
}

TEST(File, Mkdir) {
    TempDir dir;
    const std::string sub = dir.path("sub");
    EXPECT_EQ(zv_file_mkdir(sub.c_str()), ZV_STATUS_SUCCESS);
    EXPECT_TRUE(is_directory(sub));
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0700, 0700u);  // the owner may enter and write it
    // Anything that exists under the name counts as success.
    EXPECT_EQ(zv_file_mkdir(sub.c_str()), ZV_STATUS_SUCCESS);
    const std::string plain = dir.write("plain", std::string("x"));
    EXPECT_EQ(zv_file_mkdir(plain.c_str()), ZV_STATUS_SUCCESS);
    EXPECT_FALSE(is_directory(plain));
    // Any other failure is an IO error.
    EXPECT_EQ(zv_file_mkdir(dir.path("missing/child").c_str()), ZV_STATUS_IO_ERROR);
}
