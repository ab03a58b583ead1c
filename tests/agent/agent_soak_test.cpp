// Soak of `dtk-agent run` against `dtk-testbed up`, off by default. Run it with
//   DTK_SOAK_SECONDS=1800 build/default/bin/test_agent --gtest_filter='AgentSoak*'
// For that long, in rounds, the servers misbehave in turn while a run holds
// its connection and receives server messages:
//   chaos on the cloud server (drops, half frames, garbage, duplicates, delays),
//   the cloud server restarted, the management and EST servers restarted (a
//   fresh store must then register), tinyproxy stopped and started again on a
//   new port (the PAC file follows it);
// and every round `dtk-agent lookup --json` of a tree must give exactly one
// result line per file. The run's resident set is sampled every round and
// must stay flat; at the end the run is killed with SIGKILL, the store must be
// whole (a certificate only with its key) and a new run must connect again.
// Figures are printed as "soak: ..." lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "testbed_process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using agent_test::Child;
using agent_test::Count;
using agent_test::JsonField;
using agent_test::Result;
using agent_test::Slurp;

namespace {

const std::string kBin = std::string(DTK_BINARY_DIR) + "/bin/";
constexpr int kTreeFiles = 40;
constexpr int kMessagesPerRound = 20;

std::vector<std::string> AgentArgv(const fs::path& store, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kBin + "dtk-agent", "--store", store.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Waits (bounded) until `text` occurs `n` times in `file`.
bool WaitForCount(const fs::path& file, const std::string& text, size_t n, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (Count(Slurp(file), text) < n) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

TEST(AgentSoak, RunSurvivesServerFaultsWithEveryLookupAnsweredOnceAndFlatMemory) {
    const char* seconds = getenv("DTK_SOAK_SECONDS");
    if (!seconds || atoi(seconds) <= 0)
        GTEST_SKIP() << "set DTK_SOAK_SECONDS to run the soak";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(atoi(seconds));

    char pattern[] = "/tmp/dtk-agent-soak-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    agent_test::TestbedProcess testbed;
    std::string why;
    ASSERT_TRUE(testbed.Start(root, {}, &why)) << why;
    const fs::path store = root / "config.db";
    testbed.CopyStore(store);
    Result registered = agent_test::RunProgram(AgentArgv(store, {"register", "--timeout", "60"}), root);
    ASSERT_EQ(registered.exitCode, 0) << registered.out << registered.err;

    std::vector<std::string> tree;
    for (int i = 0; i < kTreeFiles; ++i) {
        tree.push_back((root / "tree" / ("f" + std::to_string(i))).string());
        fs::create_directories(root / "tree");
        std::ofstream(tree.back()) << "soak file " << i << "\n";
    }

    Child run;
    const fs::path runOut = root / "service.out";
    ASSERT_TRUE(run.Start(AgentArgv(store, {"run"}), runOut, root / "service.err"));
    ASSERT_TRUE(WaitForCount(runOut, "cloud connection: connected", 1, 60s)) << Slurp(runOut);

    const std::vector<std::vector<std::string>> faults = {
        {"cloud chaos 1"}, {"cloud calm", "cloud restart"}, {"management restart", "est restart"},
        {"proxy stop"},    {"proxy start"},
    };
    std::vector<long> rss;
    long lookups = 0, answered = 0, failed = 0, registrations = 0, delivered = 0;
    int round = 0;
    for (; std::chrono::steady_clock::now() < deadline; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::vector<std::string>& fault = faults[static_cast<size_t>(round) % faults.size()];
        for (const std::string& command : fault) {
            const std::string line =
                command == "cloud chaos 1" ? "cloud chaos " + std::to_string(round + 1) : command;
            ASSERT_TRUE(testbed.Control(line)) << line << "\n" << testbed.Output();
        }
        if (testbed.Control("cloud deliver " + std::to_string(kMessagesPerRound)))
            delivered += kMessagesPerRound;

        std::vector<std::string> args = {"lookup", "--json"};
        args.insert(args.end(), tree.begin(), tree.end());
        Result result = agent_test::RunProgram(AgentArgv(store, args), root, 300s);
        ASSERT_NE(result.exitCode, -1) << "lookup did not end";
        std::map<std::string, int> seen;
        for (const std::string& line : agent_test::Lines(result.out)) {
            ++seen[JsonField(line, "path")];
            ++lookups;
            if (JsonField(line, "disposition") != "<absent>")
                ++answered;
            else
                ++failed;
        }
        ASSERT_EQ(seen.size(), tree.size()) << result.out << result.err;
        for (const std::string& path : tree)
            ASSERT_EQ(seen[path], 1) << path << "\n" << result.out;

        if (fault.front() == "management restart") {
            // A new endpoint enrols and registers against the restarted servers.
            const fs::path fresh = root / "fresh.db";
            for (const char* suffix : {"", "-wal", "-shm"})
                fs::remove(fresh.string() + suffix);
            testbed.CopyStore(fresh);
            Result again = agent_test::RunProgram(AgentArgv(fresh, {"register", "--timeout", "90"}), root, 120s);
            EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
            ++registrations;
        }
        rss.push_back(agent_test::ProcessMemoryKiB(run.Pid(), "VmRSS"));
        ASSERT_GT(rss.back(), 0) << "the run has ended:\n" << Slurp(runOut) << Slurp(root / "service.err");
    }
    ASSERT_TRUE(testbed.Control("cloud calm"));
    ASSERT_TRUE(testbed.Control("proxy start"));
    const long peak = agent_test::ProcessMemoryKiB(run.Pid(), "VmHWM");
    const std::string runText = Slurp(runOut);

    run.Signal(SIGKILL);
    EXPECT_EQ(run.Wait(10s), 128 + SIGKILL);
    Result status = agent_test::RunProgram(AgentArgv(store, {"status", "--json"}), root);
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(JsonField(status.out, "registered"), "true") << status.out;
    EXPECT_EQ(JsonField(status.out, "certificate"), "true") << status.out;
    EXPECT_EQ(JsonField(status.out, "client_key"), "true") << status.out;
    Child after;
    ASSERT_TRUE(after.Start(AgentArgv(store, {"run"}), root / "after.out", root / "after.err"));
    EXPECT_TRUE(WaitForCount(root / "after.out", "cloud connection: connected", 1, 120s)) << Slurp(root / "after.out");
    after.Signal(SIGTERM);
    EXPECT_EQ(after.Wait(15s), 0);

    // Flat: the largest sample of the last third within 20 % (and 4 MiB) of
    // the largest of the first third, after two rounds of warm-up.
    ASSERT_GE(rss.size(), 6u) << "too short a soak to judge memory";
    const size_t third = (rss.size() - 2) / 3;
    const long early = *std::max_element(rss.begin() + 2, rss.begin() + 2 + static_cast<long>(third));
    const long late = *std::max_element(rss.end() - static_cast<long>(third), rss.end());
    printf("soak: %d rounds, %ld lookups (%ld answered, %ld failed), %ld fresh registrations, %ld server messages "
           "sent to the connected clients, %zu handled by the run, %zu connection lines of the run\n",
           round, lookups, answered, failed, registrations, delivered, Count(runText, "server message: type 1"),
           Count(runText, "cloud connection: connected"));
    printf("soak: run VmRSS first %ld KiB, early max %ld KiB, late max %ld KiB, last %ld KiB; VmHWM %ld KiB\n",
           rss.front(), early, late, rss.back(), peak);
    EXPECT_LE(late, early + std::max(early / 5, 4096L));
    EXPECT_GT(answered, lookups / 2) << "most lookups should be answered despite the faults";
    EXPECT_EQ(testbed.Stop(), 0);
    fs::remove_all(root);
}

}  // namespace
