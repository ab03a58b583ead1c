// dtk-agent run while the back ends misbehave: the cloud server restarted
// under it, the management server answering 500 for a while.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "testbed_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using agent_test::Child;
using agent_test::Count;
using agent_test::Result;
using agent_test::Slurp;

namespace {

class AgentRecovery : public agent_test::TestbedSuite {
protected:
    // Waits (bounded) until `text` occurs `n` times in the run's output.
    bool WaitForCount(const std::string& text, size_t n, std::chrono::seconds bound) const {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (Count(Slurp(dir / "service.out"), text) < n) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    // The testbed refuses to deliver while no agent is connected: retried
    // (bounded) until the run has its connection back.
    static bool DeliverOnceConnected(std::chrono::seconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (!s_testbed->Control("cloud deliver 1")) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(200ms);
        }
        return true;
    }

    void StopRun(Child* run) const {
        run->Signal(SIGTERM);
        EXPECT_EQ(run->Wait(15s), 0) << Slurp(dir / "service.out") << Slurp(dir / "service.err");
    }
};

TEST_F(AgentRecovery, CloudServerRestartedUnderARunningAgentLookupsAcrossAndAfterItAreAnswered) {
    Child run;
    ASSERT_TRUE(run.Start(AgentArgv({"run", "--keepalive", "10"}), dir / "service.out", dir / "service.err"));
    ASSERT_TRUE(WaitForCount("cloud connection: connected", 1, 60s)) << Slurp(dir / "service.out") << Slurp(dir / "service.err");

    std::ofstream(dir / "sample.txt") << "looked up around the restart\n";
    const std::vector<std::string> lookup = AgentArgv({"lookup", (dir / "sample.txt").string()});
    Result before = agent_test::RunProgram(lookup, dir, 60s);
    ASSERT_EQ(before.exitCode, 0) << before.out << before.err;

    // A lookup in flight while the server goes away and comes back on its port.
    Child during;
    std::vector<std::string> many = AgentArgv({"lookup", "--json"});
    for (int i = 0; i < 200; ++i)
        many.push_back((dir / "sample.txt").string());
    ASSERT_TRUE(during.Start(many, dir / "during.out", dir / "during.err"));
    ASSERT_TRUE(s_testbed->Control("cloud restart")) << s_testbed->Output();
    EXPECT_NE(during.Wait(120s), -1) << "a lookup across the restart must end";
    EXPECT_EQ(agent_test::Lines(Slurp(dir / "during.out")).size(), 200u) << Slurp(dir / "during.err");

    Result after = agent_test::RunProgram(lookup, dir, 60s);
    EXPECT_EQ(after.exitCode, 0) << after.out << after.err;
    EXPECT_NE(after.out.find("1 of 1 files answered"), std::string::npos) << after.out;
    // The service lives through it, never told its certificate is refused.
    EXPECT_EQ(Slurp(dir / "service.out").find("forbidden"), std::string::npos) << Slurp(dir / "service.out");
    StopRun(&run);
}

TEST_F(AgentRecovery, RunGetsItsConnectionBackByItselfAndReceivesWhatTheServerPushesThen) {
    Child run;
    ASSERT_TRUE(run.Start(AgentArgv({"run", "--keepalive", "10"}), dir / "service.out", dir / "service.err"));
    ASSERT_TRUE(WaitForCount("cloud connection: connected", 1, 60s)) << Slurp(dir / "service.out") << Slurp(dir / "service.err");
    ASSERT_TRUE(s_testbed->Control("cloud deliver 1")) << s_testbed->Output();
    ASSERT_TRUE(WaitForCount("server message: type 1", 1, 30s)) << Slurp(dir / "service.out");

    // Restarted: no lookup and no ping of the library's due (its first comes
    // a minute after it connected, the next after 15), yet the server soon has
    // a connection to push to again.
    ASSERT_TRUE(s_testbed->Control("cloud restart")) << s_testbed->Output();
    EXPECT_TRUE(DeliverOnceConnected(30s)) << Slurp(dir / "service.out") << s_testbed->Output();
    EXPECT_TRUE(WaitForCount("server message: type 1", 2, 30s)) << Slurp(dir / "service.out");

    // Away for a while: the run says so, and says when the cloud answers again.
    ASSERT_TRUE(s_testbed->Control("cloud stop")) << s_testbed->Output();
    EXPECT_TRUE(WaitForCount("cloud connection: not answering", 1, 60s)) << Slurp(dir / "service.out");
    ASSERT_TRUE(s_testbed->Control("cloud start")) << s_testbed->Output();
    EXPECT_TRUE(WaitForCount("cloud connection: answering again", 1, 60s)) << Slurp(dir / "service.out");
    EXPECT_TRUE(DeliverOnceConnected(60s)) << Slurp(dir / "service.out") << s_testbed->Output();
    EXPECT_TRUE(WaitForCount("server message: type 1", 3, 30s)) << Slurp(dir / "service.out");
    const std::string out = Slurp(dir / "service.out");
    EXPECT_LT(out.find("cloud connection: not answering"), out.find("cloud connection: answering again")) << out;
    EXPECT_EQ(out.find("forbidden"), std::string::npos) << out;
    StopRun(&run);
}

TEST_F(AgentRecovery, ManagementServerAnswering500IsRetriedWithBackOffUntilItAccepts) {
    // Two refusals: the first retry is immediate, the second after a back-off of 5 to 10 s.
    ASSERT_TRUE(s_testbed->Control("management status 500 2")) << s_testbed->Output();
    Child run;
    ASSERT_TRUE(run.Start(AgentArgv({"run"}), dir / "service.out", dir / "service.err"));
    ASSERT_TRUE(WaitForCount("cloud connection succeeded", 1, 90s)) << Slurp(dir / "service.out") << Slurp(dir / "service.err");
    const std::string out = Slurp(dir / "service.out");
    // Each refusal says what the server answered.
    const std::string refused = "management registration failed: management server answered 500 (127.0.0.1:";
    EXPECT_EQ(Count(out, refused), 2u) << out;
    EXPECT_LT(out.rfind(refused), out.find("management registration succeeded\n")) << out;
    EXPECT_LT(out.find("management registration succeeded\n"), out.find("cloud connection succeeded\n")) << out;
    StopRun(&run);
}

}  // namespace
