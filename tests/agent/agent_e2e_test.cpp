// dtk-agent end to end: the real program against every testbed server, run
// by `dtk-testbed up` as a user would run it.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "testbed/https_server.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using agent_test::Child;
using agent_test::JsonField;
using agent_test::Lines;
using agent_test::Result;
using agent_test::Slurp;

namespace {

const std::string kBin = std::string(DTK_BINARY_DIR) + "/bin/";

std::string Sha256Hex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    char text[2 * SHA256_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i)
        snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

// What the cloud testbed is told to answer: path in the tree -> (disposition, name).
struct Expected {
    long disposition;
    std::string name;
};

class AgentEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/dtk-agent-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_root = pattern;
        MakeTree();
        s_testbed = new Child();
        ASSERT_TRUE(s_testbed->Start({kBin + "dtk-testbed", "up", "--store", (s_root / "template.db").string(),
                                      "--answers", (s_root / "answers").string()},
                                     s_root / "testbed.out", s_root / "testbed.err"));
        ASSERT_TRUE(Child::WaitForText(s_root / "testbed.out", "testbed ready", 60s))
            << Slurp(s_root / "testbed.out") << Slurp(s_root / "testbed.err");
    }

    static void TearDownTestSuite() {
        if (s_testbed) {
            s_testbed->Signal(SIGTERM);
            EXPECT_EQ(s_testbed->Wait(30s), 0) << Slurp(s_root / "testbed.err");
            delete s_testbed;
            s_testbed = nullptr;
        }
        fs::remove_all(s_root);
    }

    static void MakeTree() {
        const std::map<std::string, std::string> files = {
            {"tree/report.txt", "quarterly numbers\n"},
            {"tree/bin/tool.sh", "#!/bin/sh\necho tool\n"},
            {"tree/bin/deep/sample.bin", std::string("\x7f" "ELF sample", 11)},
        };
        std::ofstream answers(s_root / "answers");
        for (const auto& [path, content] : files) {
            fs::create_directories((s_root / path).parent_path());
            std::ofstream(s_root / path, std::ios::binary) << content;
            s_expected[(s_root / path).string()] = {1, ""};
        }
        answers << Sha256Hex(files.at("tree/bin/deep/sample.bin")) << " 3 Test.Sample.A\n";
        answers << "# comment lines are skipped\n" << Sha256Hex(files.at("tree/bin/tool.sh")) << " 2 Tool.Demo\n";
        s_expected[(s_root / "tree/bin/deep/sample.bin").string()] = {3, "Test.Sample.A"};
        s_expected[(s_root / "tree/bin/tool.sh").string()] = {2, "Tool.Demo"};
    }

    void SetUp() override {
        ASSERT_NE(s_testbed, nullptr);
        dir = s_root / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir);
        store = dir / "config.db";
        for (const char* suffix : {"", "-wal", "-shm"})
            if (fs::exists(s_root / ("template.db" + std::string(suffix))))
                fs::copy_file(s_root / ("template.db" + std::string(suffix)), dir / ("config.db" + std::string(suffix)));
    }

    std::vector<std::string> AgentArgv(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {kBin + "dtk-agent", "--store", store.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    Result Agent(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 120s) const {
        return agent_test::RunProgram(AgentArgv(args), dir, timeout);
    }
    void Register() const {
        Result result = Agent({"register", "--timeout", "60"});
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    }
    static std::string TestbedLine(const std::string& label) {
        for (const std::string& line : Lines(Slurp(s_root / "testbed.out")))
            if (line.rfind(label, 0) == 0)
                return line;
        return "";
    }

    static fs::path s_root;
    static Child* s_testbed;
    static std::map<std::string, Expected> s_expected;
    fs::path dir;
    fs::path store;
};

fs::path AgentEndToEnd::s_root;
Child* AgentEndToEnd::s_testbed = nullptr;
std::map<std::string, Expected> AgentEndToEnd::s_expected;

TEST_F(AgentEndToEnd, RegisterOnAnEmptyStoreThenStatusTellsWhatItGot) {
    Result before = Agent({"status", "--json"});
    ASSERT_EQ(before.exitCode, 0) << before.err;
    EXPECT_EQ(JsonField(before.out, "registered"), "false") << before.out;

    Result result = Agent({"register", "--timeout", "60"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    // One line per state, in the order they happen.
    size_t cert = result.out.find("certificate acquired\n");
    size_t mgmt = result.out.find("management registration succeeded\n");
    size_t cloud = result.out.find("cloud connection succeeded\n");
    ASSERT_NE(cert, std::string::npos) << result.out;
    ASSERT_NE(mgmt, std::string::npos) << result.out;
    ASSERT_NE(cloud, std::string::npos) << result.out;
    EXPECT_LT(cert, mgmt);
    EXPECT_LT(mgmt, cloud);
    EXPECT_EQ(result.out.find("PRIVATE KEY"), std::string::npos);

    Result status = Agent({"status", "--json"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(JsonField(status.out, "registered"), "true") << status.out;
    EXPECT_EQ(JsonField(status.out, "guid").size(), 36u) << status.out;
    EXPECT_EQ(JsonField(status.out, "certificate"), "true") << status.out;
    EXPECT_EQ(JsonField(status.out, "client_key"), "true") << status.out;
    EXPECT_NE(JsonField(status.out, "certificate_subject"), "") << status.out;
    EXPECT_EQ(JsonField(status.out, "certificate_expiry").size(), 20u) << status.out;
    EXPECT_NE(JsonField(status.out, "cloud").find("127.0.0.1:"), std::string::npos) << status.out;
}

TEST_F(AgentEndToEnd, LookupOfATreeGivesTheAnswersTheCloudWasToldToGive) {
    Register();
    const std::string missing = (dir / "no-such-file").string();
    // Named on the command line, neither a FIFO nor a device is read (for ever).
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Result result = Agent({"lookup", "--json", (s_root / "tree").string(), missing, fifo, "/dev/zero"}, 60s);
    // Every file of the tree answered; the others reported, hence exit 1.
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    std::map<std::string, std::string> byPath;
    for (const std::string& line : Lines(result.out))
        byPath[JsonField(line, "path")] = line;
    ASSERT_EQ(byPath.size(), s_expected.size() + 3) << result.out;
    EXPECT_EQ(JsonField(byPath[fifo], "error"), "cannot read: not a regular file") << byPath[fifo];
    EXPECT_EQ(JsonField(byPath["/dev/zero"], "error"), "cannot read: not a regular file") << byPath["/dev/zero"];
    for (const auto& [path, expected] : s_expected) {
        const std::string& line = byPath[path];
        EXPECT_EQ(JsonField(line, "sha256"), Sha256Hex(Slurp(path))) << line;
        EXPECT_EQ(JsonField(line, "disposition"), std::to_string(expected.disposition)) << line;
        EXPECT_EQ(JsonField(line, "name"), expected.name) << line;
        EXPECT_EQ(JsonField(line, "first_seen").size(), 20u) << line;
    }
    EXPECT_NE(JsonField(byPath[missing], "error").find("cannot read"), std::string::npos) << byPath[missing];
    EXPECT_EQ(JsonField(byPath[missing], "disposition"), "<absent>");

    Result plain = Agent({"lookup", (s_root / "tree").string()});
    EXPECT_EQ(plain.exitCode, 0) << plain.out << plain.err;
    EXPECT_NE(plain.out.find("3 of 3 files answered"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("Test.Sample.A"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.err.find('\r'), std::string::npos) << "no progress when piped: " << plain.err;

    // On a terminal the progress shows, and is wiped before the results.
    Result shown = agent_test::RunWithTerminal(AgentArgv({"lookup", (s_root / "tree").string()}), dir);
    EXPECT_EQ(shown.exitCode, 0) << shown.out << shown.err;
    EXPECT_NE(shown.err.find("/3"), std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.back(), '\r') << shown.err;
    EXPECT_EQ(shown.out, plain.out);
}

// More files than the hashed-but-unsent queue and the window of results
// waiting for their line hold: every file still gets one answered line, in
// the order of its whole path ("a-b/..." before "a/...").
TEST_F(AgentEndToEnd, LookupOfATreeLargerThanItsQueuesAnswersEachFileOnceInPathOrder) {
    Register();
    const fs::path tree = dir / "many";
    std::vector<std::string> paths;
    for (int i = 0; i < 10000; ++i) {
        const fs::path path = tree / (i % 2 ? "a" : "a-b") / ("d" + std::to_string(i % 37)) / ("f" + std::to_string(i));
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "file " << i << "\n";
        paths.push_back(path.string());
    }
    std::sort(paths.begin(), paths.end());
    Result result = Agent({"lookup", "--json", tree.string()}, 120s);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_EQ(lines.size(), paths.size()) << result.err;
    size_t misplaced = 0, unanswered = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        misplaced += JsonField(lines[i], "path") != paths[i];
        unanswered += JsonField(lines[i], "disposition") != "1" ||
                      JsonField(lines[i], "sha256") != Sha256Hex("file " + paths[i].substr(paths[i].rfind('f') + 1) + "\n");
    }
    EXPECT_EQ(misplaced, 0u);
    EXPECT_EQ(unanswered, 0u);
}

TEST_F(AgentEndToEnd, PolicyAndFilesDownloadOverHttps) {
    Register();
    Result policy = Agent({"policy", "download", "--out", (dir / "policy.xml").string()});
    ASSERT_EQ(policy.exitCode, 0) << policy.out << policy.err;
    EXPECT_NE(Slurp(dir / "policy.xml").find("<policy serial=\"1\">"), std::string::npos);

    // The proxy test URL is the testbed's small file.
    Result testUrl = Agent({"config", "get", "config/proxy/testurl"});
    ASSERT_EQ(testUrl.exitCode, 0);
    const std::string url = testUrl.out.substr(0, testUrl.out.size() - 1);
    Result body = Agent({"http", "get", url});
    EXPECT_EQ(body.exitCode, 0) << body.err;
    EXPECT_EQ(body.out, "hello from the testbed\n");
    Result saved = Agent({"http", "get", url, "-o", (dir / "hello.txt").string()});
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    EXPECT_EQ(Slurp(dir / "hello.txt"), "hello from the testbed\n");
    // A large file: on a terminal the amount received shows and is wiped;
    // with --quiet or piped nothing but results; the file whole every time.
    const std::string large = url.substr(0, url.rfind('/')) + "/large.bin";
    const std::string expected = testbed::large_download();
    Result shown = agent_test::RunWithTerminal(AgentArgv({"http", "get", large, "-o", (dir / "shown.bin").string()}), dir);
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.err.find(" received"), std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.back(), '\r') << shown.err;
    EXPECT_TRUE(Slurp(dir / "shown.bin") == expected);
    Result quiet = agent_test::RunWithTerminal(
        AgentArgv({"http", "get", large, "-o", (dir / "quiet.bin").string(), "--quiet"}), dir);
    EXPECT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
    EXPECT_TRUE(Slurp(dir / "quiet.bin") == expected);
    Result piped = Agent({"http", "get", large, "-o", (dir / "piped.bin").string()});
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(piped.err, "");
    EXPECT_TRUE(Slurp(dir / "piped.bin") == expected);
    // To standard output too, NUL bytes and all.
    Result toOutput = Agent({"http", "get", large});
    EXPECT_EQ(toOutput.exitCode, 0) << toOutput.err;
    EXPECT_EQ(toOutput.out.size(), expected.size());
    EXPECT_TRUE(toOutput.out == expected);

    // A path the server does not have: an error, and no file.
    Result absent = Agent({"http", "get", url + ".absent", "-o", (dir / "absent.txt").string()});
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_NE(absent.err.find("HTTP 404"), std::string::npos) << absent.err;
    EXPECT_FALSE(fs::exists(dir / "absent.txt"));
}

TEST_F(AgentEndToEnd, ProxyDiscoveryFindsTheTestbedProxyThroughThePacFile) {
    const std::string tinyproxy = TestbedLine("tinyproxy:");
    ASSERT_NE(tinyproxy, "");
    const std::string port = tinyproxy.substr(tinyproxy.rfind(':') + 1);
    Result result = Agent({"proxy", "discover", "--save"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    bool found = false;
    for (const std::string& line : Lines(result.out))
        found = found || (line.rfind("PAC file", 0) == 0 && line.find("127.0.0.1:" + port) != std::string::npos &&
                          line.find("works") != std::string::npos);
    EXPECT_TRUE(found) << result.out;
    Result shown = Agent({"proxy", "show"});
    EXPECT_NE(shown.out.find("127.0.0.1:" + port), std::string::npos) << shown.out;

    // An unreachable proxy: a clear failure, not a hang.
    Result dead = Agent({"proxy", "test", "http://127.0.0.1:1"});
    EXPECT_EQ(dead.exitCode, 1) << dead.out << dead.err;
    EXPECT_NE(dead.out.find("fails"), std::string::npos) << dead.out;
}

TEST_F(AgentEndToEnd, RunStopsCleanlyOnSigtermAndTheStoreStaysWhole) {
    Child run;
    ASSERT_TRUE(run.Start(AgentArgv({"run"}), dir / "run.out", dir / "run.err"));
    ASSERT_TRUE(Child::WaitForText(dir / "run.out", "cloud connection succeeded", 60s))
        << Slurp(dir / "run.out") << Slurp(dir / "run.err");
    run.Signal(SIGHUP);
    ASSERT_TRUE(Child::WaitForText(dir / "run.out", "configuration reloaded", 10s)) << Slurp(dir / "run.out");
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(15s), 0) << Slurp(dir / "run.out") << Slurp(dir / "run.err");
    EXPECT_NE(Slurp(dir / "run.out").find("stopped\n"), std::string::npos);

    Result status = Agent({"status", "--json"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(JsonField(status.out, "registered"), "true") << status.out;
    EXPECT_EQ(JsonField(status.out, "certificate"), "true") << status.out;
    EXPECT_EQ(JsonField(status.out, "client_key"), "true") << status.out;
}

// The running agent holds the client key and the activation code: a crash
// must not write them to disk unless the user asked for core files.
TEST_F(AgentEndToEnd, ACrashWritesNoCoreFileUnlessCoreDumpsAreAllowed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer runtimes decide about core files themselves";
#endif
    const std::string pattern = Slurp("/proc/sys/kernel/core_pattern");
    if (pattern.empty() || pattern[0] == '|' || pattern[0] == '/')
        GTEST_SKIP() << "the core pattern '" << pattern << "' writes no file in the process's folder";
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_CORE, &saved), 0);
    if (saved.rlim_max == 0)
        GTEST_SKIP() << "core files are forbidden here (hard limit 0)";
    // The system's most generous setting, inherited by the agent.
    const rlimit generous{saved.rlim_max, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &generous), 0);
    auto cores = [](const fs::path& folder) {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(folder))
            count += entry.path().filename().string().rfind("core", 0) == 0;
        return count;
    };
    auto crash = [&](const std::vector<std::string>& options, const std::string& name) {
        const fs::path folder = dir / name;
        fs::create_directories(folder);
        std::vector<std::string> argv = AgentArgv(options);
        argv.push_back("run");
        Child run;
        EXPECT_TRUE(run.Start(argv, folder / "run.out", folder / "run.err", folder));
        EXPECT_TRUE(Child::WaitForText(folder / "run.out", "cloud connection succeeded", 60s))
            << Slurp(folder / "run.out") << Slurp(folder / "run.err");
        run.Signal(SIGABRT);
        EXPECT_EQ(run.Wait(60s), 128 + SIGABRT);
        return cores(folder);
    };
    const int allowed = crash({"--allow-core-dumps"}, "allowed");
    const int refused = crash({}, "default");
    setrlimit(RLIMIT_CORE, &saved);
    if (allowed == 0)
        GTEST_SKIP() << "this system wrote no core file even when allowed";
    EXPECT_EQ(refused, 0) << "the agent left a core file holding its secrets";
}

TEST_F(AgentEndToEnd, KillNineDuringRegistrationNeverLeavesAStoreTheNextStartRefuses) {
    std::mt19937 random(static_cast<unsigned>(time(nullptr)));
    // Registration takes well under a second on loopback: most kills land inside it.
    std::uniform_int_distribution<int> delayMs(0, 800);
    for (int round = 0; round < 6; ++round) {
        const int delay = delayMs(random);
        SCOPED_TRACE("round " + std::to_string(round) + ", killed after " + std::to_string(delay) + " ms");
        Child registering;
        ASSERT_TRUE(registering.Start(AgentArgv({"register", "--timeout", "60"}), dir / "reg.out", dir / "reg.err"));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        registering.Signal(SIGKILL);
        int code = registering.Wait(10s);
        ASSERT_TRUE(code == 128 + SIGKILL || code == 0) << code;

        Result status = Agent({"status", "--json"});
        ASSERT_EQ(status.exitCode, 0) << status.err;
        if (JsonField(status.out, "certificate") == "true") {
            EXPECT_EQ(JsonField(status.out, "client_key"), "true") << "a certificate without its key: " << status.out;
        }
    }
    Result last = Agent({"register", "--timeout", "60"});
    EXPECT_EQ(last.exitCode, 0) << last.out << last.err;
}

// A testbed killed outright (a crashed test) takes its proxies with it: no
// orphaned tinyproxy or microsocks keeps its port.
TEST(TestbedProcess, ProxiesDieWithATestbedThatIsKilled) {
    char pattern[] = "/tmp/dtk-testbed-kill-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    Child testbed;
    ASSERT_TRUE(testbed.Start({kBin + "dtk-testbed", "up", "--store", (root / "store.db").string()}, root / "out",
                              root / "err"));
    ASSERT_TRUE(Child::WaitForText(root / "out", "testbed ready", 60s)) << Slurp(root / "err");
    std::vector<uint16_t> ports;
    for (const std::string& line : Lines(Slurp(root / "out")))
        if (line.rfind("tinyproxy:", 0) == 0 || line.rfind("microsocks:", 0) == 0)
            ports.push_back(static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1))));
    ASSERT_EQ(ports.size(), 2u) << Slurp(root / "out");
    auto accepting = [](uint16_t port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return connected;
    };
    for (uint16_t port : ports)
        EXPECT_TRUE(accepting(port)) << port;
    testbed.Signal(SIGKILL);
    EXPECT_EQ(testbed.Wait(10s), 128 + SIGKILL);
    for (uint16_t port : ports) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (accepting(port) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(accepting(port)) << "a proxy outlived its testbed on port " << port;
    }
    fs::remove_all(root);
}

}  // namespace
