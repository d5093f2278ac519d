// Loading and saving a whole file with each allocation failing in turn: a
// stream the C library can't allocate is memory that ran out, not a file
// that can't be opened.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "foundation/file.h"
#include "support/alloc_sweep.h"
#include "support/temp_dir.h"

namespace {

TEST(FileAlloc, LoadAndSaveRunOutOfMemoryAsSuch) {
    zv_test::TempDir dir;
    const std::string path = dir.write("data.bin", std::string("some bytes"));
    zv_test::sweep_fails_cleanly("load", [&] {
        int32_t size = -1;
        void *data = nullptr;
        const zv_status_t status = zv_file_load(path.c_str(), &size, &data);
        EXPECT_EQ(data != nullptr, status == ZV_STATUS_SUCCESS);
        if (status == ZV_STATUS_SUCCESS) {
            EXPECT_EQ(std::string(static_cast<const char *>(data), static_cast<size_t>(size)), "some bytes");
        }
        free(data);
        return status;
    });
    const std::string saved = dir.path("saved.bin");
    zv_test::sweep_fails_cleanly("save", [&] { return zv_file_save(saved.c_str(), 3, "abc"); });
}

}  // namespace
