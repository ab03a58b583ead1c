// A registration the handler stops (a restart, a teardown) while it waits to
// retry an enrolment the network refused: the stop is reported as such, not
// as one more network failure.
#include <chrono>
#include <string>
#include <thread>

#include "reghandler/reghandler_fixture.h"
#include "testbed/est_server.h"

namespace reghandler_test {
namespace {

constexpr const char* kDiscoveryLine = "starting proxy discovery";
constexpr const char* kFailureLine = "TesselCloudConnectionMgr::ReportCloudConnectionFailure: m_failureCount";

class StopTest : public HandlerFixture {
protected:
    // Waits (bounded) until `substring` was logged `n` times.
    bool WaitForCount(const std::string& substring, size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (log_.count(substring) < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
};

TEST_F(StopTest, AStopDuringTheBackOffIsNoNetworkFailure) {
    StartRegistrationServers();
    servers_.est->stop();  // every enrolment is refused its connection
    stack_->handler->PerformTesselRegistration();
    // The first failure retries at once, the second waits 5 to 10 s: the
    // stop below comes during that wait.
    ASSERT_TRUE(WaitForCount(kDiscoveryLine, 2));
    ASSERT_TRUE(WaitForCount(kFailureLine, 2));

    log_.clear();
    stack_->DestroyHandler();
    EXPECT_TRUE(log_.containsTrace(
        "TesselRegistrationHandler::RegistrationCompletedCallback: Registration Completed! Current State: "
        "tessel_registration_stopped"));
    std::string seen;
    for (const std::string& line : log_.lines()) seen += line + "\n";
    EXPECT_EQ(log_.count(kDiscoveryLine), 0u) << seen;
    EXPECT_EQ(log_.count(kFailureLine), 0u) << seen;
}

}  // namespace
}  // namespace reghandler_test
