// A suite of dtk-agent cases against one `dtk-testbed up`: the testbed starts
// once per suite, each case gets its own folder and a fresh copy of the
// store the testbed configured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_process.h"
#include "testbed_process.h"

namespace agent_test {

class TestbedSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/dtk-agent-suite-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_root = pattern;
        s_testbed = new TestbedProcess();
        std::string why;
        ASSERT_TRUE(s_testbed->Start(s_root, {}, &why)) << why;
    }

    static void TearDownTestSuite() {
        if (s_testbed) {
            EXPECT_EQ(s_testbed->Stop(), 0) << s_testbed->Output();
        }
        delete s_testbed;
        s_testbed = nullptr;
        std::filesystem::remove_all(s_root);
    }

    void SetUp() override {
        ASSERT_NE(s_testbed, nullptr);
        dir = s_root / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directories(dir);
        store = dir / "config.db";
        s_testbed->CopyStore(store);
    }

    std::vector<std::string> AgentArgv(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {std::string(DTK_BINARY_DIR) + "/bin/dtk-agent", "--store", store.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    Result Agent(const std::vector<std::string>& args,
                 std::chrono::milliseconds timeout = std::chrono::seconds(120)) const {
        return RunProgram(AgentArgv(args), dir, timeout);
    }

    // Shared by the suites deriving from this one; each suite sets them up anew.
    static inline std::filesystem::path s_root;
    static inline TestbedProcess* s_testbed = nullptr;
    std::filesystem::path dir;
    std::filesystem::path store;
};

}  // namespace agent_test
