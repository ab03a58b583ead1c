// dtk-agent as a user runs it: a real process, a real store on disk.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DtkAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dtk-agent-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        store = dir / "config.db";
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs dtk-agent with `args` (already quoted for the shell).
    Result Run(const std::string& args) {
        fs::path out = dir / "stdout", err = dir / "stderr";
        std::string command = std::string(DTK_BINARY_DIR) + "/bin/dtk-agent " + args + " >" + out.string() +
                              " 2>" + err.string() + " </dev/null";
        int status = std::system(command.c_str());
        Result result;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = Slurp(out);
        result.err = Slurp(err);
        return result;
    }
    Result Config(const std::string& args) { return Run("--store " + store.string() + " config " + args); }

    fs::path dir;
    fs::path store;
};

TEST_F(DtkAgentTest, SelftestDrivesTheLibraryLifecycleAndShowsItsLogLines) {
    Result result = Run("selftest");
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("selftest passed"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("FAIL"), std::string::npos) << result.out;
    // The refusals come back through the host's error function.
    EXPECT_NE(result.out.find("log error: CreateTesselWrapper: Tessel has not been initialized"), std::string::npos);
    EXPECT_NE(result.out.find("log error: InitTesselWrapper: already initialized"), std::string::npos);
    EXPECT_NE(result.out.find("log error: DeinitTesselWrapper: _refCount is 1"), std::string::npos);
    // A kit line travels through the log bridge to the host's trace function.
    EXPECT_NE(result.out.find("log trace 0x1000: [TESSEL-WIN][tessel_init.cpp@"), std::string::npos) << result.out;
}

TEST_F(DtkAgentTest, HelpAndVersion) {
    Result help = Run("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("config set"), std::string::npos);
    Result version = Run("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("dtk-agent ", 0), 0u) << version.out;
    EXPECT_EQ(Run("frobnicate").exitCode, 2);
}

TEST_F(DtkAgentTest, ConfigValuesRoundTripThroughTheStore) {
    ASSERT_EQ(Config("set config/proxy/server proxy.example").exitCode, 0);
    ASSERT_EQ(Config("set --int config/proxy/port 3128").exitCode, 0);
    ASSERT_EQ(Config("set --binary-hex config/proxy/password 00ff10").exitCode, 0);
    EXPECT_EQ(Config("get config/proxy/server").out, "proxy.example\n");
    EXPECT_EQ(Config("get config/proxy/port").out, "3128\n");
    EXPECT_EQ(Config("get config/proxy/password").out, "00ff10\n");

    // A policy value (secure view) wins in the general view; the local one stays.
    ASSERT_EQ(Config("set --secure config/proxy/server policy.example").exitCode, 0);
    EXPECT_EQ(Config("get config/proxy/server").out, "policy.example\n");
    EXPECT_EQ(Config("get --view local config/proxy/server").out, "proxy.example\n");

    Result list = Config("list config/proxy");
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.out.find("config/proxy/port = 3128"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("secure"), std::string::npos) << list.out;

    ASSERT_EQ(Config("delete config/proxy").exitCode, 0);
    Result gone = Config("get --view local config/proxy/port");
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_NE(gone.err.find("config/proxy/port is not set"), std::string::npos) << gone.err;
}

TEST_F(DtkAgentTest, BadKeysAndValuesAreRefusedClearly) {
    struct Case {
        const char* args;
        const char* message;
    } cases[] = {
        {"set 'config//x' 1", "invalid key 'config//x'"},
        {"set '/config/x' 1", "invalid key '/config/x'"},
        {"set 'config/a b' 1", "invalid key 'config/a b'"},
        {"set --int config/x 12abc", "'12abc' is not a 32-bit integer"},
        {"set --int config/x 2147483648", "'2147483648' is not a 32-bit integer"},
        {"set --binary-hex config/x abc", "'abc' is not hexadecimal bytes"},
        {"set --binary-hex config/x zz", "'zz' is not hexadecimal bytes"},
        {"set config/x", "config set takes a key and a value"},
        {"explode", "unknown config command 'explode'"},
    };
    for (const Case& c : cases) {
        Result result = Config(c.args);
        EXPECT_EQ(result.exitCode, 2) << c.args;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.args << ": " << result.err;
    }
    // Nothing was written by any of them.
    EXPECT_EQ(Config("list").out, "");
}

TEST_F(DtkAgentTest, MissingCorruptOrUnusableStoresGiveErrorsNotCrashes) {
    Result missing = Config("get config/x");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find(store.string()), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(store)) << "reading must not create the store";

    Result noDirectory = Run("--store " + (dir / "nowhere" / "config.db").string() + " config set config/x 1");
    EXPECT_EQ(noDirectory.exitCode, 1);
    EXPECT_NE(noDirectory.err.find("dtk-agent: "), std::string::npos);

    Result directory = Run("--store " + dir.string() + " config set config/x 1");
    EXPECT_EQ(directory.exitCode, 1);
    EXPECT_NE(directory.err.find("dtk-agent: "), std::string::npos);

    // A file that is not a store is reported and left exactly as it was.
    std::string garbage(4096, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) % 251);
    std::ofstream(store, std::ios::binary) << garbage;
    for (const char* args : {"get config/x", "set config/x 1", "list", "delete config/x"}) {
        Result result = Config(args);
        EXPECT_EQ(result.exitCode, 1) << args;
        EXPECT_FALSE(result.err.empty()) << args;
    }
    EXPECT_EQ(Slurp(store), garbage);
}

}  // namespace
