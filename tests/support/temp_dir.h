// A scratch directory for one test, removed with everything in it.
#ifndef ZV_TESTS_SUPPORT_TEMP_DIR_H
#define ZV_TESTS_SUPPORT_TEMP_DIR_H

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zv_test {

class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "zv_test_XXXXXX").string();
        path_ = mkdtemp(templ.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string path(const std::string &name) const { return path_ + "/" + name; }
    const std::string &root() const { return path_; }

    std::string write(const std::string &name, const std::vector<uint8_t> &bytes) const {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    std::string write(const std::string &name, const std::string &text) const {
        return write(name, std::vector<uint8_t>(text.begin(), text.end()));
    }

private:
    std::string path_;
};

}  // namespace zv_test

#endif
