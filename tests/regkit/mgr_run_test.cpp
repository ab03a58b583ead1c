// Registration runs against the testbed's EST, management and cloud servers:
// the status sequence, failures and their retries, the back-off schedule with
// the kit clock, stopping, and the periodic renewal.
#include <openssl/x509.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/tessel_sync.h"
#include "kit/tessel_time.h"
#include "regkit/mgr_fixture.h"

namespace mgr_test {
namespace {

// A random value v with v mod (c + 1) == c for every back-off ceiling c
// (35568 is a multiple of 6, 16, 36, 76 and 156): every wait is its longest.
constexpr uint32_t kLongestWaits = 35567;

class RegistrationRun : public MgrFixture {};

TEST_F(RegistrationRun, FromAnEmptyStoreToACloudConnection) {
    start_est();
    start_management();
    start_cloud();
    memset(config_.identity.agent_guid, 0, 16);  // a first start: the host has no GUID yet
    // The host's own reference to the root goes once the handle is made:
    // every TLS step verifies with the handle's.
    X509* host_root = X509_dup(pki().ca().cert());
    ASSERT_NE(host_root, nullptr);
    roots_[0] = host_root;
    ASSERT_NE(make_registration(), nullptr);
    X509_free(host_root);
    roots_[0] = pki().ca().cert();
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(run_ended()) << log_.dump();

    EXPECT_EQ(statuses(), (std::vector<int>{6, 8, 10}));
    EXPECT_EQ(host_.final_states, std::vector<int>{10});
    EXPECT_EQ(host_.final_connector, std::vector<bool>{true});
    EXPECT_EQ(host_.guid_requests, 1);
    EXPECT_EQ(host_.certificates, 1);
    EXPECT_EQ(est_.stats().issued, 1);

    // The management server saw the enrolled certificate and every field.
    auto posts = management_.posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_NE(posts[0].client_subject.find(kAgentText), std::string::npos) << posts[0].client_subject;
    EXPECT_EQ(posts[0].field("agent_guid"), kAgentText);
    EXPECT_EQ(posts[0].field("business_guid"), kBusinessText);
    EXPECT_EQ(posts[0].field("affiliate_guid"), kAffiliateText);
    EXPECT_EQ(posts[0].field("itoken"), kActcodeText);
    EXPECT_EQ(posts[0].field("hostname"), "endpoint-7.example");
    EXPECT_EQ(posts[0].field("os[name]"), "Test OS & Friends 11");
    EXPECT_EQ(posts[0].field("nics[2][mac]"), "00:11:22:33:44:02");

    // The connector the host keeps answers lookups; the periodic task runs.
    client_connector* connector = nullptr;
    {
        TESSEL_SCOPED_LOCK(&reg_->mutex);
        connector = reg_->client_connector;
    }
    ASSERT_NE(connector, nullptr);
    EXPECT_TRUE(lookup(connector));
    EXPECT_EQ(tessel_periodic_start(reg_.get()), -1);
    EXPECT_TRUE(log_.contains(5, "Registration Completed Successfully"));
}

TEST_F(RegistrationRun, FailuresBackOffAndProgressResetsTheSchedule) {
    use_clock(100000, kLongestWaits);  // a kit second lasts 0.1 ms
    start_est();
    start_management();
    start_cloud();
    management_.script({500, 500, 500});
    cloud_.set_reg_answers({9, 0});  // one genResponse error, then success
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(run_ended()) << log_.dump();

    EXPECT_EQ(statuses(), (std::vector<int>{6, 7, 7, 7, 8, 9, 10}));
    EXPECT_EQ(host_.final_states, std::vector<int>{10});
    // Management failures wait 0, 5-10 and 5-20 s; the progress to 8 starts over at 0.
    EXPECT_EQ(announced_waits(log_), (std::vector<unsigned>{0, 10, 20, 0}));
    EXPECT_EQ(management_.post_count(), 4u);
}

TEST_F(RegistrationRun, BackOffSequenceAndRetryBudget) {
    config_.ekds_version = -1;  // every certificate acquisition fails (state 3)
    {
        use_clock(100000, kLongestWaits);
        ASSERT_NE(make_registration(), nullptr);
        ASSERT_EQ(tessel_registration_start(reg_.get(), 7), 0);
        ASSERT_TRUE(run_ended()) << log_.dump();
        EXPECT_EQ(statuses(), std::vector<int>(8, 3));
        EXPECT_EQ(announced_waits(log_), (std::vector<unsigned>{0, 10, 20, 40, 80, 160, 160}));
        EXPECT_EQ(host_.final_states, std::vector<int>{3});
        EXPECT_EQ(host_.final_connector, std::vector<bool>{false});  // a failed first run keeps none
    }
    {
        // The shortest waits, and a run with no retries ends after one report without waiting.
        use_clock(100000, 0);
        for (int32_t retries : {3, 0}) {
            SCOPED_TRACE(retries);
            log_.clear();
            host_.reset();
            {
                TESSEL_SCOPED_LOCK(&reg_->mutex);
                reg_->attempt = 0;
            }
            ASSERT_EQ(tessel_registration_start(reg_.get(), retries), 0);
            ASSERT_TRUE(run_ended());
            EXPECT_EQ(statuses(), std::vector<int>(static_cast<size_t>(retries) + 1, 3));
            EXPECT_EQ(announced_waits(log_), retries ? (std::vector<unsigned>{0, 5, 5}) : std::vector<unsigned>{});
        }
    }
    EXPECT_EQ(tessel_registration_start(reg_.get(), -2), -1);
}

TEST_F(RegistrationRun, StopAndFreeEndABackOffWaitAtOnce) {
    config_.ekds_version = -1;
    use_clock(1000000000, kLongestWaits);  // real seconds: the second wait is 10 s
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(eventually([&] { return announced_waits(log_).size() == 2; }, 10s)) << log_.dump();
    // A second run on the same handle is refused while one is active.
    EXPECT_EQ(tessel_registration_start(reg_.get(), -1), -1);

    auto before = std::chrono::steady_clock::now();
    tessel_registration_stop(reg_.get());
    ASSERT_TRUE(run_ended(5s));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(host_.final_states, std::vector<int>{1});
    EXPECT_EQ(statuses().back(), 1);
    EXPECT_TRUE(log_.contains(5, "received stop for thread"));

    // Freeing the handle during a wait returns at once too. The handle's
    // attempt count carries over, so the new run's first wait is the 10 s one.
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(eventually([&] { return announced_waits(log_).size() == 3; }, 10s));
    EXPECT_EQ(announced_waits(log_).back(), 10u);
    before = std::chrono::steady_clock::now();
    reg_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(host_.final_states, (std::vector<int>{1, 1}));
}

TEST_F(RegistrationRun, StopAndFreeAbortTheManagementPostInFlight) {
    start_est();
    start_management();
    start_cloud();
    for (const bool free_handle : {false, true}) {
        SCOPED_TRACE(free_handle ? "free" : "stop");
        host_.reset();
        // The post is held by the server until release(), far past the bound.
        management_.script({0});
        ASSERT_NE(make_registration(), nullptr);
        ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
        ASSERT_TRUE(management_.wait_for_posts(free_handle ? 2 : 1, 30s)) << log_.dump();
        ASSERT_TRUE(management_.wait_for_held(30s)) << log_.dump();
        stop_in_flight(free_handle);
        management_.release();
        // The cut post is not reported as a failure, only the stop: no cloud registration.
        EXPECT_EQ(statuses(), (std::vector<int>{6, 1}));
        EXPECT_EQ(host_.final_connector, std::vector<bool>{false});
        reg_.reset();
    }
    EXPECT_EQ(cloud_.stats().handshakes, 0);
}

TEST_F(RegistrationRun, ForbiddenDuplicateGuidAndMissingActivationCode) {
    start_est();
    start_management();
    start_cloud();
    config_.ekds_version = 2;
    testbed::EstBehaviour forbidden;
    forbidden.status = 403;
    est_.set_behaviour(forbidden);
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(run_ended());
    EXPECT_EQ(statuses(), std::vector<int>{2});
    EXPECT_EQ(host_.final_states, std::vector<int>{2});
    reg_.reset();

    // 423: the GUID already has a certificate; a new GUID is asked for and enrolled.
    host_.reset();
    host_.next_guid = kSecondAgentGuid;
    config_.ekds_version = 1;
    testbed::EstBehaviour duplicate;
    duplicate.status = 423;
    est_.set_behaviour(duplicate);
    host_.on_status = [&](int state) {
        if (state == 4) est_.set_behaviour(testbed::EstBehaviour{});
    };
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(run_ended()) << log_.dump();
    EXPECT_EQ(statuses(), (std::vector<int>{4, 6, 8, 10}));
    EXPECT_EQ(host_.guid_requests, 1);
    auto posts = management_.posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].field("agent_guid"), kSecondAgentText);
    reg_.reset();

    // No activation code for the second generation: 5, then the run ends stopped.
    host_.reset();
    host_.on_status = nullptr;
    config_.ekds_version = 2;
    memset(config_.identity.actcode, 0, 16);
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(run_ended());
    EXPECT_EQ(statuses(), std::vector<int>{5});
    EXPECT_EQ(host_.final_states, std::vector<int>{1});
    EXPECT_TRUE(log_.contains("Missing actcode, not able to register with EKDSV2"));
}

TEST_F(RegistrationRun, HostSwitchOverAndRollback) {
    start_est();
    start_management();
    start_cloud();
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(run_ended()) << log_.dump();
    ASSERT_EQ(host_.final_states, std::vector<int>{10});
    client_connector* connector;
    {
        TESSEL_SCOPED_LOCK(&reg_->mutex);
        connector = reg_->client_connector;
    }

    // Same cloud host: only the ping interval changes.
    registration_hosts hosts = config_.hosts;
    ASSERT_EQ(registration_update_config(reg_.get(), &hosts, 600), 0);
    EXPECT_TRUE(log_.contains(5, "Setting the cloud ping interval to 600"));

    // A new cloud host: a new cloud handle that answers lookups there.
    testbed::CloudServer second;
    testbed::CloudServerOptions options;
    options.identity = &pki().server();
    options.client_ca = pki().ca().cert();
    ASSERT_TRUE(second.start(options));
    snprintf(hosts.cloud_host, sizeof hosts.cloud_host, "127.0.0.1:%u", second.port());
    ASSERT_EQ(registration_update_config(reg_.get(), &hosts, 600), 0);
    EXPECT_TRUE(log_.contains(5, "new cloud handle instantiated"));
    EXPECT_TRUE(lookup(connector));
    EXPECT_GE(second.stats().queries, 1);

    // A host whose cloud handle cannot be built (an unusable proxy type): the
    // previous cloud host and port come back, the rest of the record stays.
    registration_hosts broken = hosts;
    snprintf(broken.cloud_host, sizeof broken.cloud_host, "%s", "127.0.0.1:2");
    broken.cloud_port = 444;
    broken.proxy.type = 3;
    snprintf(broken.proxy.server, sizeof broken.proxy.server, "%s", "127.0.0.1");
    EXPECT_EQ(registration_update_config(reg_.get(), &broken, 30), -1);
    EXPECT_TRUE(log_.contains("failed to replace cloud handle"));
    EXPECT_STREQ(reg_->hosts.cloud_host, hosts.cloud_host);
    EXPECT_EQ(reg_->hosts.cloud_port, hosts.cloud_port);
    EXPECT_EQ(reg_->hosts.proxy.type, 3);
    EXPECT_TRUE(lookup(connector));
    second.stop();
}

TEST_F(RegistrationRun, PeriodicRenewalIsSkippedUntilDueAndPostponedAfterFourFailures) {
    constexpr int64_t kInterval = 3000;
    register_and_renew({200, 500, 500, 500, 500, 200}, kInterval);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(management_.wait_for_posts(6, 60s)) << log_.dump();
    // The next renewal (an interval later) is held: freeing the handle stops
    // the task, which aborts the post instead of waiting for its time-out.
    management_.script({0});

    std::vector<int64_t> at;
    {
        std::lock_guard<std::mutex> lock(host_.mutex);
        at = host_.prepared_at;
    }
    ASSERT_GE(at.size(), 6u);
    // Nothing is posted before the interval has passed; ticks in between skip.
    EXPECT_GE(at[1] - at[0], kInterval);
    EXPECT_TRUE(log_.contains(6, "Skipping Vesta registration because the Vesta reregistration interval has not elapsed."));
    // Failures are retried on the next ticks ...
    for (size_t i = 2; i <= 4; ++i) {
        EXPECT_GE(at[i] - at[i - 1], 300) << i;
        EXPECT_LT(at[i] - at[i - 1], kInterval) << i;
    }
    // ... and after the fourth the next attempt waits a whole interval.
    EXPECT_GE(at[5] - at[4], kInterval);
    auto posts = management_.posts();
    EXPECT_EQ(posts[5].status, 200);
    EXPECT_EQ(posts[5].field("agent_guid"), kAgentText);

    ASSERT_TRUE(management_.wait_for_posts(7, 60s)) << log_.dump();
    ASSERT_TRUE(management_.wait_for_held(30s)) << log_.dump();
    const auto start = std::chrono::steady_clock::now();
    reg_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    management_.release();
}

TEST_F(RegistrationRun, WithoutACompletionCallbackTheRunReleasesItsConnector) {
    start_est();
    start_management();
    start_cloud();
    config_.callbacks.registration_completed_fn = nullptr;
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(host_.wait([&] { return !host_.statuses.empty() && host_.statuses.back() == 10; }, 60s))
        << log_.dump();
    ASSERT_TRUE(eventually([&] {
        TESSEL_SCOPED_LOCK(&reg_->mutex);
        return reg_->thread_ctx == nullptr;
    }, 60s));
    // No host took the connector: the run let it go rather than keep it unowned.
    {
        TESSEL_SCOPED_LOCK(&reg_->mutex);
        EXPECT_EQ(reg_->client_connector, nullptr);
    }
    EXPECT_EQ(management_.posts().size(), 1u);
    EXPECT_TRUE(host_.final_states.empty());
}

TEST_F(RegistrationRun, AHostWithNothingNewRegistersOnTheFirstRunAndSkipsTheRenewalForAnInterval) {
    constexpr int64_t kInterval = 3000;
    host_.prepare_result = 1;  // "nothing changed"
    register_and_renew({200}, kInterval);
    if (HasFatalFailure()) return;
    // The run posts all the same: the server has never heard of the endpoint.
    EXPECT_EQ(host_.final_states, std::vector<int>{10});
    EXPECT_EQ(management_.posts().size(), 1u);
    EXPECT_TRUE(log_.contains(
        6, "Ignoring return from prepare_vesta_registration_fn callback to skip on initial registration."));

    // The renewals that come due post nothing, and each skip counts as a
    // registration: the next one is asked for a whole interval later.
    ASSERT_TRUE(host_.wait([&] { return host_.prepared_at.size() >= 3; }, 60s)) << log_.dump();
    std::vector<int64_t> at;
    {
        std::lock_guard<std::mutex> lock(host_.mutex);
        at = host_.prepared_at;
    }
    EXPECT_GE(at[2] - at[1], kInterval);
    EXPECT_TRUE(log_.contains(
        6, "Skipping Vesta registration because of return from prepare_vesta_registration_fn callback"));
    EXPECT_EQ(management_.posts().size(), 1u);
}

TEST_F(RegistrationRun, ALastRegistrationInTheFutureCountsFromNow) {
    constexpr int64_t kInterval = 3000;
    register_and_renew({200, 200}, kInterval);
    if (HasFatalFailure()) return;
    // The clock went back: the last renewal now lies ten intervals ahead.
    int64_t set_at;
    {
        TESSEL_SCOPED_LOCK(&reg_->mutex);
        set_at = tessel_time_now();
        reg_->last_vesta_registration = set_at + 10 * kInterval;
    }
    // It is taken as now, so the renewal comes one interval on, not eleven.
    ASSERT_TRUE(management_.wait_for_posts(2, 60s)) << log_.dump();
    std::vector<int64_t> at;
    {
        std::lock_guard<std::mutex> lock(host_.mutex);
        at = host_.prepared_at;
    }
    ASSERT_GE(at.size(), 2u);
    EXPECT_GE(at[1] - set_at, kInterval);
    EXPECT_LT(at[1] - set_at, 5 * kInterval);
}

}  // namespace
}  // namespace mgr_test
