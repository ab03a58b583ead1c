// A private directory for one test, removed with its content. It lives in
// /dev/shm when there is one: the store syncs every write, and a disk under
// the load of parallel builds makes that cost seconds per suite, while what
// the tests check (atomicity across threads and killed processes) does not
// depend on the medium.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TempDir {
public:
    TempDir() {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0)
            base = "/dev/shm";
        std::string pattern = (base / "dtk-hostkit-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
