// Answers that make a registration run start a step over (a GUID that already
// has a certificate, a certificate the cloud refuses) and renewal failures:
// each waits its back-off and counts against the budget, and only
// consecutive renewal failures postpone the renewal.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/tessel_sync.h"
#include "regkit/mgr_fixture.h"

namespace mgr_test {
namespace {

// Every back-off wait is its longest (see mgr_run_test.cpp).
constexpr uint32_t kLongestWaits = 35567;

class RepeatedAnswers : public MgrFixture {};

TEST_F(RepeatedAnswers, DuplicateGuidAnswersWaitAndCountAgainstTheBudget) {
    use_clock(100000, kLongestWaits);
    start_est();
    config_.ekds_version = 1;
    testbed::EstBehaviour duplicate;
    duplicate.status = 423;
    est_.set_behaviour(duplicate);
    host_.next_guid = kSecondAgentGuid;
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), 2), 0);
    ASSERT_TRUE(run_ended(30s)) << log_.dump();
    EXPECT_EQ(statuses(), (std::vector<int>{4, 4, 4}));
    EXPECT_EQ(announced_waits(log_), (std::vector<unsigned>{0, 10}));
    EXPECT_EQ(host_.guid_requests, 2);
    EXPECT_EQ(host_.final_states, std::vector<int>{4});
}

TEST_F(RepeatedAnswers, ACloudThatKeepsRefusingTheCertificateIsRetriedWithBackOff) {
    use_clock(100000, kLongestWaits);
    start_est();
    start_management();
    start_cloud();
    cloud_.set_refuse_client_issuer(true);
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), 2), 0);
    ASSERT_TRUE(run_ended(30s)) << log_.dump();
    // Each refusal (0) starts over from enrolment; the enrolment and
    // management steps that follow do not reset the back-off. The refusal may
    // also surface as a failed connection (9), retried without enrolment:
    // either way three attempts, the budget's, with the waits of the first two
    // failures between them.
    const std::vector<int> seen = statuses();
    EXPECT_GE(std::count(seen.begin(), seen.end(), 0), 1) << testing::PrintToString(seen);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 0) + std::count(seen.begin(), seen.end(), 9), 3)
        << testing::PrintToString(seen);
    for (int state : seen)
        EXPECT_TRUE(state == 0 || state == 6 || state == 8 || state == 9) << state;
    EXPECT_EQ(announced_waits(log_), (std::vector<unsigned>{0, 10}));
    ASSERT_EQ(host_.final_states.size(), 1u);
    EXPECT_EQ(host_.final_states[0], seen.back());
}

TEST_F(RepeatedAnswers, ARenewalSuccessStartsTheFailureCountOver) {
    constexpr int64_t kInterval = 3000;
    // The run's post, three failed renewals, a success, then one failure.
    register_and_renew({200, 500, 500, 500, 200, 500, 200}, kInterval);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(management_.wait_for_posts(7, 60s)) << log_.dump();
    std::vector<int64_t> at;
    {
        std::lock_guard<std::mutex> lock(host_.mutex);
        at = host_.prepared_at;
    }
    ASSERT_GE(at.size(), 7u);
    EXPECT_GE(at[4] - at[3], 300);
    EXPECT_LT(at[4] - at[3], kInterval);
    EXPECT_GE(at[5] - at[4], kInterval);
    // The failure after the success is the first of a new count: retried on the next tick.
    EXPECT_GE(at[6] - at[5], 300);
    EXPECT_LT(at[6] - at[5], kInterval);
}

TEST_F(RepeatedAnswers, TheHostHearsOfEachSuccessfulManagementPostOnly) {
    use_clock(100000, 0);
    start_est();
    start_management();
    start_cloud();
    management_.script({500, 200});
    static std::atomic<int> posted{0};
    posted = 0;
    config_.callbacks.vesta_registered_fn = [](void*) { ++posted; };
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(run_ended()) << log_.dump();
    EXPECT_EQ(statuses(), (std::vector<int>{6, 7, 8, 10}));
    EXPECT_EQ(posted.load(), 1);
}

}  // namespace
}  // namespace mgr_test
