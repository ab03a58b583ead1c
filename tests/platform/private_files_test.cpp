// Folders that hold the agent's secrets: its own, or refused.
#include "platform/private_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

mode_t Mode(const fs::path& path) {
    struct stat info{};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(PrivateDirectory, IsCreatedPrivateTightenedWhenOursAndRefusedOtherwise) {
    char pattern[] = "/tmp/dtk-private-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path base = pattern;
    std::string why;

    EXPECT_TRUE(platform::MakePrivateDirectory((base / "new").string(), &why)) << why;
    EXPECT_EQ(Mode(base / "new"), 0700u);
    fs::create_directory(base / "loose");
    ASSERT_EQ(chmod((base / "loose").c_str(), 0777), 0);
    EXPECT_TRUE(platform::MakePrivateDirectory((base / "loose").string(), &why)) << why;
    EXPECT_EQ(Mode(base / "loose"), 0700u);

    // A link to a folder someone else chose, or a file, is never taken.
    fs::create_directory_symlink(base / "new", base / "link");
    EXPECT_FALSE(platform::MakePrivateDirectory((base / "link").string(), &why));
    EXPECT_NE(why.find("is not a folder"), std::string::npos) << why;
    fs::create_directory(base / "lent");
    ASSERT_EQ(chmod((base / "lent").c_str(), 0755), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown((base / "lent").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(platform::MakePrivateDirectory((base / "lent").string(), &why));
        EXPECT_NE(why.find("not to this agent's user"), std::string::npos) << why;
        EXPECT_EQ(Mode(base / "lent"), 0755u);
    }
    fs::remove_all(base);
}

}  // namespace
