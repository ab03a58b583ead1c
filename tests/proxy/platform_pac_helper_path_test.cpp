// Where the library finds its PAC helper: in the private folder dtk/ beside
// libdtk.so, as installed (lib/<multiarch>/dtk/) and in the build tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/winhttp/pac_script.h"

namespace {

namespace fs = std::filesystem;

class PacHelperPath : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dtk-pac-helper-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    // A file at `relative` under the scratch root, executable or not.
    std::string Put(const std::string& relative, bool executable) {
        fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        chmod(path.c_str(), executable ? 0755 : 0644);
        return path.string();
    }

    fs::path root_;
};

TEST_F(PacHelperPath, FoundInThePrivateFolderBesideTheInstalledLibrary) {
    std::string library = Put("usr/lib/x86_64-linux-gnu/libdtk.so.1", false);
    std::string helper = Put("usr/lib/x86_64-linux-gnu/dtk/dtk-pac-eval", true);
    EXPECT_EQ(platform::winhttp::PacHelperBeside(library), helper);
}

TEST_F(PacHelperPath, FoundFromAProgramInBinThroughTheLibraryFolder) {
    std::string program = Put("build/bin/test_proxy", true);
    Put("build/lib/dtk/dtk-pac-eval", true);
    EXPECT_EQ(fs::weakly_canonical(platform::winhttp::PacHelperBeside(program)),
              root_ / "build/lib/dtk/dtk-pac-eval");
}

TEST_F(PacHelperPath, NotTakenWhenNotExecutableOrNamedRelatively) {
    std::string library = Put("lib/libdtk.so.1", false);
    Put("lib/dtk/dtk-pac-eval", false);
    EXPECT_EQ(platform::winhttp::PacHelperBeside(library), "");
    fs::permissions(root_ / "lib/dtk/dtk-pac-eval", fs::perms::owner_exec, fs::perm_options::add);
    EXPECT_EQ(platform::winhttp::PacHelperBeside("lib/libdtk.so.1"), "");
}

}  // namespace
