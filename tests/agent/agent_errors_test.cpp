// dtk-agent tells its user why it failed, in words, at once, and says nothing
// alarming when all is well: real testbed servers (one with an expired
// certificate), real stores, the real program.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <utility>
#include <functional>
#include <string>
#include <vector>

#include "agent_process.h"
#include "config_store.h"
#include "testbed_process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using agent_test::Child;
using agent_test::JsonField;
using agent_test::Lines;
using agent_test::Result;
using agent_test::Slurp;

namespace {

const std::string kBin = std::string(DTK_BINARY_DIR) + "/bin/";
// Every failure below must be told well within this.
constexpr auto kPrompt = 15s;

class AgentErrors : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/dtk-agent-errors-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_root = pattern;
        fs::create_directories(s_root / "healthy");
        fs::create_directories(s_root / "expired");
        std::string why;
        s_healthy = new agent_test::TestbedProcess();
        ASSERT_TRUE(s_healthy->Start(s_root / "healthy", {}, &why)) << why;
        s_expired = new agent_test::TestbedProcess();
        ASSERT_TRUE(s_expired->Start(s_root / "expired", {"--expired-server"}, &why)) << why;
    }

    static void TearDownTestSuite() {
        for (agent_test::TestbedProcess** testbed : {&s_healthy, &s_expired}) {
            if (*testbed) {
                EXPECT_EQ((*testbed)->Stop(), 0) << (*testbed)->Output();
            }
            delete *testbed;
            *testbed = nullptr;
        }
        fs::remove_all(s_root);
    }

    void SetUp() override {
        ASSERT_NE(s_healthy, nullptr);
        ASSERT_NE(s_expired, nullptr);
        dir = s_root / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir);
        store = dir / "config.db";
        s_healthy->CopyStore(store);
    }

    std::vector<std::string> AgentArgv(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {kBin + "dtk-agent", "--store", store.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    Result Agent(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 120s) const {
        return agent_test::RunProgram(AgentArgv(args), dir, timeout);
    }

    // Opens the case's store to change it before the agent runs.
    std::unique_ptr<hostkit::ConfigStore> OpenStore() const {
        std::string error;
        std::unique_ptr<hostkit::ConfigStore> opened = hostkit::ConfigStore::Open(store.string(), &error);
        EXPECT_NE(opened, nullptr) << error;
        return opened;
    }

    static std::string TestbedUrl(agent_test::TestbedProcess* testbed, const std::string& path) {
        for (const std::string& line : Lines(testbed->Output()))
            if (line.rfind("https server:", 0) == 0) {
                const std::string::size_type start = line.find("https://");
                return line.substr(start, line.find('/', start + 8) - start) + path;
            }
        return "";
    }

    static std::string PkiFile(const std::string& name) {
        for (const std::string& line : Lines(s_healthy->Output()))
            if (line.rfind("pki directory:", 0) == 0)
                return Slurp(fs::path(line.substr(line.find('/'))) / name);
        return "";
    }

    static fs::path s_root;
    static agent_test::TestbedProcess* s_healthy;
    static agent_test::TestbedProcess* s_expired;
    fs::path dir;
    fs::path store;
};

fs::path AgentErrors::s_root;
agent_test::TestbedProcess* AgentErrors::s_healthy = nullptr;
agent_test::TestbedProcess* AgentErrors::s_expired = nullptr;

TEST_F(AgentErrors, EachNetworkFailureGivesItsCauseInWordsAtOnce) {
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::function<std::vector<std::string>()> args;
        std::string cause;
    };
    const std::vector<Case> cases = {
        {"refused port", nullptr, [] { return std::vector<std::string>{"http", "get", "https://127.0.0.1:1/x"}; },
         "could not be reached: connection refused (127.0.0.1:1)"},
        {"refused proxy", nullptr, [] { return std::vector<std::string>{"proxy", "test", "http://127.0.0.1:1"}; },
         "fails: proxy refused the connection (127.0.0.1:1)"},
        {"name not resolved", nullptr,
         [] { return std::vector<std::string>{"http", "get", "https://nothing.invalid/x"}; },
         "could not be reached: name not resolved (nothing.invalid:443)"},
        // The expired testbed has a PKI of its own, which its store trusts.
        {"expired certificate, https", [this] { s_expired->CopyStore(store); },
         [] { return std::vector<std::string>{"http", "get", TestbedUrl(s_expired, "/files/hello.txt")}; },
         "could not be reached: server certificate has expired (127.0.0.1:"},
        {"expired certificate, enrolment",
         [this] { s_expired->CopyStore(store); },
         [] { return std::vector<std::string>{"register", "--timeout", "3"}; },
         "certificate acquisition failed: server certificate has expired (127.0.0.1:"},
        {"unknown CA",
         [this] {
             // The test CA is no longer trusted: only a foreign one is.
             hostkit::ConfigEntry roots;
             roots.view = hostkit::ConfigView::Secure;
             roots.key = "config/agent/cloud/trustedcerts/cert";
             roots.text = PkiFile("foreign-ca.crt");
             ASSERT_FALSE(roots.text.empty());
             ASSERT_TRUE(OpenStore()->Put(roots));
         },
         [] { return std::vector<std::string>{"http", "get", TestbedUrl(s_healthy, "/files/hello.txt")}; },
         "could not be reached: server certificate is from an unknown CA (127.0.0.1:"},
        {"management 403", [] { ASSERT_TRUE(s_healthy->Control("management status 403 100")); },
         [] { return std::vector<std::string>{"register", "--timeout", "3"}; },
         "management registration failed: management server answered 403 (127.0.0.1:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        s_healthy->CopyStore(store);
        if (c.prepare)
            c.prepare();
        const auto start = std::chrono::steady_clock::now();
        Result result = Agent(c.args(), 60s);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_NE(result.exitCode, 0) << result.out << result.err;
        EXPECT_NE(result.exitCode, -1) << "still running after 60 s";
        EXPECT_LT(took, kPrompt);
        EXPECT_NE((result.out + result.err).find(c.cause), std::string::npos) << result.out << result.err;
        // A user reads words, not a result code.
        EXPECT_EQ(result.err.find("0x8"), std::string::npos) << result.err;
    }
    ASSERT_TRUE(s_healthy->Control("management status 200 0"));
}

TEST_F(AgentErrors, MissingBusinessGuidStopsRegisterRunAndLookupAtOnceWithTheCause) {
    ASSERT_TRUE(OpenStore()->DeleteKey(hostkit::ConfigView::Secure, "config/vesta/business/uuid"));
    const std::string file = (dir / "a.txt").string();
    std::ofstream(file) << "a\n";
    // register and run check the store first; lookup meets the library's own
    // refusal to start a run.
    const std::vector<std::pair<std::vector<std::string>, const char*>> rows = {
        {{"register"}, "config/vesta/business/uuid is missing"},
        {{"run"}, "config/vesta/business/uuid is missing"},
        {{"lookup", file}, "not registered with the cloud: registration could not start: Failed to read business_guid"},
    };
    for (const auto& [command, cause] : rows) {
        SCOPED_TRACE(command[0]);
        const auto start = std::chrono::steady_clock::now();
        Result result = Agent(command, 60s);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kPrompt);
        EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
        EXPECT_NE(result.err.find(cause), std::string::npos) << result.err;
    }
}

TEST_F(AgentErrors, HealthyRegisterRunAndStopLogNoError) {
    // A first registration: no certificate and no client key yet.
    Result registered = Agent({"--verbose", "register", "--timeout", "60"});
    ASSERT_EQ(registered.exitCode, 0) << registered.out << registered.err;
    EXPECT_EQ(registered.err.find("ERROR"), std::string::npos) << registered.err;

    Child service;
    ASSERT_TRUE(service.Start(AgentArgv({"--verbose", "run"}), dir / "service.out", dir / "service.err"));
    ASSERT_TRUE(Child::WaitForText(dir / "service.out", "cloud connection: connected", 60s))
        << Slurp(dir / "service.out") << Slurp(dir / "service.err");
    service.Signal(SIGTERM);
    ASSERT_EQ(service.Wait(30s), 0) << Slurp(dir / "service.err");
    // --verbose shows every error line the library logs (see the journal case).
    const std::string log = Slurp(dir / "service.err");
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

TEST_F(AgentErrors, LookupWithAStalledCloudNamesEveryUnansweredFile) {
    ASSERT_EQ(Agent({"register", "--timeout", "60"}).exitCode, 0);
    const std::vector<fs::path> files = {dir / "a.txt", dir / "b.txt", dir / "c.txt"};
    for (const fs::path& file : files)
        std::ofstream(file) << file.filename().string() << "\n";
    ASSERT_TRUE(s_healthy->Control("cloud stall"));
    const std::vector<std::string> paths = {files[0].string(), files[1].string(), files[2].string()};

    std::vector<std::string> text = {"lookup", "--timeout", "3"};
    text.insert(text.end(), paths.begin(), paths.end());
    const auto start = std::chrono::steady_clock::now();
    Result plain = Agent(text, 60s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kPrompt);
    std::vector<std::string> json = {"lookup", "--json", "--timeout", "3"};
    json.insert(json.end(), paths.begin(), paths.end());
    Result objects = Agent(json, 60s);
    ASSERT_TRUE(s_healthy->Control("cloud answer"));

    EXPECT_EQ(plain.exitCode, 1) << plain.out << plain.err;
    EXPECT_NE(plain.out.find("0 of 3 files answered"), std::string::npos) << plain.out;
    for (const std::string& path : paths)
        EXPECT_NE(plain.err.find("dtk-agent: " + path + ": no answer within 3 s"), std::string::npos) << plain.err;

    EXPECT_EQ(objects.exitCode, 1) << objects.out << objects.err;
    const std::vector<std::string> lines = Lines(objects.out);
    ASSERT_EQ(lines.size(), paths.size()) << objects.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(JsonField(lines[i], "path"), paths[i]);
        EXPECT_EQ(JsonField(lines[i], "error"), "no answer within 3 s") << lines[i];
        EXPECT_EQ(JsonField(lines[i], "disposition"), "<absent>") << lines[i];
    }
}

TEST_F(AgentErrors, LinesCarryJournalPrioritiesWhenStandardErrorIsTheJournal) {
    // The journal is a file here: JOURNAL_STREAM names the one standard error gets.
    const fs::path err = dir / "run.err";
    std::ofstream(err).close();
    struct stat info {};
    ASSERT_EQ(stat(err.c_str(), &info), 0);
    const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    ASSERT_EQ(setenv("JOURNAL_STREAM", stream.c_str(), 1), 0);
    Result result = Agent({"--verbose", "http", "get", "https://127.0.0.1:1/x"}, 60s);
    unsetenv("JOURNAL_STREAM");

    EXPECT_EQ(result.exitCode, 1) << result.err;
    const std::vector<std::string> lines = Lines(result.err);
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        ASSERT_GE(line.size(), 3u) << line;
        const std::string priority = line.substr(0, 3);
        EXPECT_TRUE(priority == "<3>" || priority == "<7>") << line;
        // Errors are the lines `journalctl -p err` shows, and only they.
        EXPECT_EQ(priority == "<3>", line.find(" ERROR ") != std::string::npos || line.find("dtk-agent:") != std::string::npos)
            << line;
    }
    EXPECT_NE(result.err.find("<3>dtk-agent: https://127.0.0.1:1/x could not be reached: connection refused"),
              std::string::npos)
        << result.err;
    // --verbose shows the library's error lines, with their priority.
    EXPECT_NE(result.err.find("<3>20"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(" ERROR [TESSEL-WIN]"), std::string::npos) << result.err;
}

}  // namespace
