// Pings, retrospective work and server messages against the testbed server.
#include <gtest/gtest.h>

#include <type_traits>

#include "cloud/cloud_client_fixture.h"
#include "cloud/cloud_test_util.h"
#include "dtk/ITesselInstance.h"

using namespace cloud_client_test;

static_assert(std::is_same_v<cv_cloud_msg_cb, TesselRcmsHandler>, "message handlers are the host's RCMS handlers");
static_assert(std::is_same_v<cv_cloud_query_cb, TesselQueryCallback>, "query callbacks are the host's completion callbacks");

namespace {

std::vector<testbed::QueryPtr> decoded_of_type(testbed::CloudServer& server, int type) {
    std::vector<testbed::QueryPtr> out;
    for (const auto& q : server.queries())
        if (q.type == type)
            out.push_back(testbed::decode_query(q.der));
    return out;
}

// Policy and retrospective callbacks with counters; the retrospective one
// refuses its first piece of work and takes the rest.
struct PingCallbacks {
    std::atomic<int> policy{0};
    std::atomic<int> retro{0};
    std::atomic<int> prepared{0};
    static int on_policy(CorvaneQuery_t*, CorvaneQueryResponse_t* r, uint32_t, void* self) {
        EXPECT_EQ(r->data.present, CorvaneQueryResponseData_PR_pingRetroResponse);
        static_cast<PingCallbacks*>(self)->policy++;
        return 0;
    }
    static int on_retro(CorvaneQuery_t*, CorvaneQueryResponse_t* r, uint32_t, void* self) {
        EXPECT_NE(r->data.choice.pingRetroResponse.retrospectiveDisposition, testbed::kRetroNoWork);
        return ++static_cast<PingCallbacks*>(self)->retro == 1 ? 1 : 0;
    }
};

PingCallbacks* g_prepare_target = nullptr;
int on_prepare(CorvaneQuery_t* query) {
    if (g_prepare_target)
        g_prepare_target->prepared++;
    if (query->data.present == CorvaneQueryData_PR_ping)
        query->data.choice.ping.versionBuild = 77;
    return 0;
}

}  // namespace

TEST_F(CloudClientTest, PlainPingsFollowTheScheduleUntilDisabled) {
    auto opts = options();
    opts.flags = CV_OPT_FLAG_PING_ON_INIT;
    opts.ping_early_interval = {0, 100000};
    opts.ping_interval = {0, 300000};
    opts.product = 9;
    opts.version_major = 3;
    opts.version_minor = 4;
    opts.ping_prepare_cb = on_prepare;
    PingCallbacks counters;
    g_prepare_target = &counters;
    start(opts);
    ASSERT_TRUE(server_.wait_until([&] { return server_.queries_of_type(CorvaneQueryData_PR_ping) >= 3; }, 5s));
    auto pings = decoded_of_type(server_, CorvaneQueryData_PR_ping);
    ASSERT_GE(pings.size(), 3u);
    const CorvanePing_t& ping = pings[0]->data.choice.ping;
    EXPECT_EQ(ping.product, 9);
    EXPECT_EQ(ping.versionMajor, 3);
    EXPECT_EQ(ping.versionMinor, 4);
    EXPECT_EQ(ping.versionBuild, 77);  // the ping-prepare callback's word is final
    EXPECT_GE(counters.prepared.load(), 3);
    EXPECT_EQ(server_.queries_of_type(CorvaneQueryData_PR_pingRetro), 0);

    cv_cloud_disable_ping(handle_.get());
    std::this_thread::sleep_for(250ms);  // a tick that fired just before has submitted its ping
    ASSERT_EQ(cv_cloud_async_wait(handle_.get()), 0);
    ASSERT_TRUE(server_.wait_until([&] { return server_.stats().responses >= server_.stats().queries; }, 3s));
    const long before = server_.queries_of_type(CorvaneQueryData_PR_ping);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(server_.queries_of_type(CorvaneQueryData_PR_ping), before);

    cv_cloud_set_ping_interval(handle_.get(), 0, 200000);
    ASSERT_TRUE(server_.wait_until([&] { return server_.queries_of_type(CorvaneQueryData_PR_ping) > before; }, 3s));
    g_prepare_target = nullptr;
}

TEST_F(CloudClientTest, Ping2WithoutRetrospectiveCallbackSendsNonceZero) {
    PingCallbacks counters;
    auto opts = options();
    opts.flags = CV_OPT_FLAG_PING_ON_INIT;
    opts.ping_early_interval = {0, 100000};
    opts.policy_cb = PingCallbacks::on_policy;
    opts.policy_data = &counters;
    cv_log_capture log;
    start(opts);
    ASSERT_TRUE(server_.wait_until([&] { return counters.policy.load() >= 1; }, 5s));
    auto pings = decoded_of_type(server_, CorvaneQueryData_PR_pingRetro);
    ASSERT_EQ(pings.size(), 1u);
    EXPECT_EQ(pings[0]->data.choice.pingRetro.retrospectiveNonce, 0);
    EXPECT_TRUE(log.contains("_cv_ping_prepare(): WARNING: Issuing PING2 without retrospective callback!"));
}

TEST_F(CloudClientTest, RetrospectiveWorkBringsTheNextPingAtOnce) {
    PingCallbacks counters;
    auto opts = options();
    opts.flags = CV_OPT_FLAG_PING_ON_INIT;
    opts.ping_early_interval = {0, 100000};
    opts.ping_interval = {3600, 0};  // only work brings another ping
    opts.policy_cb = PingCallbacks::on_policy;
    opts.policy_data = &counters;
    opts.retrospective_cb = PingCallbacks::on_retro;
    opts.retrospective_data = &counters;
    server_.add_retro_work(2);
    start(opts);
    // Work (refused), work (taken), then no work: three pings, then quiet.
    ASSERT_TRUE(server_.wait_until([&] { return counters.policy.load() >= 3; }, 5s));
    std::this_thread::sleep_for(300ms);
    auto pings = decoded_of_type(server_, CorvaneQueryData_PR_pingRetro);
    ASSERT_EQ(pings.size(), 3u);
    EXPECT_EQ(counters.retro.load(), 2);
    EXPECT_EQ(counters.policy.load(), 3);
    const long n0 = pings[0]->data.choice.pingRetro.retrospectiveNonce;
    const long n1 = pings[1]->data.choice.pingRetro.retrospectiveNonce;
    const long n2 = pings[2]->data.choice.pingRetro.retrospectiveNonce;
    EXPECT_NE(n0, 0);
    EXPECT_EQ(n1, n0);  // the same nonce until the work is taken
    EXPECT_NE(n2, 0);   // then a fresh one
    EXPECT_EQ(cv_cloud_get_stats(handle_.get()).retro_received, 2u);
}

TEST_F(CloudClientTest, FailedPingDropsItsConnection) {
    auto opts = options();
    opts.flags = CV_OPT_FLAG_PING_ON_INIT;
    opts.ping_early_interval = {0, 100000};
    opts.timeout = {0, 500000};
    server_.set_hook([](const testbed::ReceivedQuery& q) {
        return q.type == CorvaneQueryData_PR_ping ? testbed::Reply::drop() : testbed::Reply::defaults();
    });
    cv_log_capture log;
    start(opts);
    ASSERT_TRUE(server_.wait_for_closed(1, 5s));
    EXPECT_TRUE(log.contains("_cv_ping_callback(): ping failed without response, disconnecting"));
    cv_cloud_disable_ping(handle_.get());
    handle_.reset();  // its workers log into `log` until they stop
}

TEST_F(CloudClientTest, DeliveredMessagesAreAcknowledgedWithTheHandlersCode) {
    struct Seen {
        std::mutex mutex;
        std::vector<std::string> bodies;
        std::vector<uint32_t> types;
    } seen;
    auto handler = [](cv_cloud_handle*, const uint8_t* dst, const uint8_t* id, uint32_t type, const uint8_t* data,
                      size_t length, void* user) -> uint16_t {
        auto* s = static_cast<Seen*>(user);
        std::lock_guard<std::mutex> guard(s->mutex);
        s->bodies.emplace_back(reinterpret_cast<const char*>(data), length);
        s->types.push_back(type);
        EXPECT_EQ(dst[0], 0xd0);
        EXPECT_EQ(id[0], type);
        return type == 9 ? CV_ACK_TEMPORARY_REJECT : 0x1234;
    };
    auto opts = options();
    ASSERT_TRUE(cv_cloud_add_message_callback(&opts, 7, handler, &seen));
    ASSERT_TRUE(cv_cloud_add_message_callback(&opts, 9, handler, &seen));
    start(opts);
    ASSERT_EQ(submit(file_query(1), 1), 1);  // connects
    ASSERT_TRUE(recorder_.wait_for(1, 5s));

    auto message = [](uint8_t type, const std::string& body) {
        testbed::Deliver d;
        d.id.fill(type);
        d.dst.fill(0xd0);
        d.type = type;
        d.data.assign(body.begin(), body.end());
        return d;
    };
    ASSERT_EQ(server_.deliver(message(9, "later")), 1);
    ASSERT_EQ(server_.deliver(message(7, "policy")), 1);
    ASSERT_EQ(server_.deliver(message(8, "nobody")), 1);
    ASSERT_TRUE(server_.wait_for_acks(2, 5s));
    auto acks = server_.acks();
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].return_code, 0x1234);
    EXPECT_EQ(acks[0].id[0], 7);
    EXPECT_EQ(acks[0].dst[0], 0xd0);
    EXPECT_EQ(acks[1].return_code, CV_ACK_UNHANDLED);  // 57007
    EXPECT_EQ(acks[1].id[0], 8);
    std::lock_guard<std::mutex> guard(seen.mutex);
    EXPECT_EQ(seen.bodies, (std::vector<std::string>{"later", "policy"}));
}

TEST_F(CloudClientTest, GeneralHandlerTakesUnclaimedMessages) {
    std::atomic<int> general{0};
    auto opts = options();
    opts.general_msg_cb = [](cv_cloud_handle*, const uint8_t*, const uint8_t*, uint32_t type, const uint8_t*, size_t,
                             void* user) -> uint16_t {
        ++*static_cast<std::atomic<int>*>(user);
        return static_cast<uint16_t>(type + 1);
    };
    opts.general_msg_data = &general;
    start(opts);
    ASSERT_EQ(submit(file_query(1), 1), 1);
    ASSERT_TRUE(recorder_.wait_for(1, 5s));
    testbed::Deliver d;
    d.type = 41;
    ASSERT_EQ(server_.deliver(d), 1);
    ASSERT_TRUE(server_.wait_for_acks(1, 5s));
    EXPECT_EQ(server_.acks().at(0).return_code, 42);
    EXPECT_EQ(general.load(), 1);
}
