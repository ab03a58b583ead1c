// Registration runs stopped while a network step is in progress, and whole
// runs through real proxies with credentials.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "kit/tessel_sync.h"
#include "regkit/mgr_fixture.h"
#include "testbed/proxies.h"

namespace mgr_test {
namespace {

constexpr char kProxyPassword[] = "proxy-Pa55";
char* proxy_password() { return strdup(kProxyPassword); }
void free_proxy_password(char* p) { free(p); }

class StoppedAndProxiedRuns : public MgrFixture {
protected:
    // A whole run, from no certificate to a cloud connection that answers a
    // lookup, through the proxy of `type` on `port` with credentials. The
    // management server must see the post coming from `outgoing` (the
    // proxy's side), and the proxy's log name every server as `log_prefix`
    // followed by its port.
    void register_through(int32_t type, uint16_t port, const std::string& outgoing,
                          const testbed::ProxyProcess& proxy, const std::string& log_prefix) {
        start_est();
        start_management();
        start_cloud();
        tessel_proxy_t& p = config_.hosts.proxy;
        p.type = type;
        snprintf(p.server, sizeof p.server, "%s", "127.0.0.1");
        p.port = port;
        p.auth = TESSEL_PROXY_AUTH_BASIC;
        p.username = const_cast<char*>("proxyuser");
        p.get_password = proxy_password;
        p.free_password = free_proxy_password;
        config_.client_cert = nullptr;
        ASSERT_NE(make_registration(), nullptr);
        ASSERT_EQ(tessel_registration_start(reg_.get(), 0), 0);
        ASSERT_TRUE(run_ended()) << log_.dump();
        EXPECT_EQ(statuses(), (std::vector<int>{6, 8, 10})) << log_.dump();
        ASSERT_EQ(host_.final_connector, std::vector<bool>{true});
        client_connector* connector = nullptr;
        {
            TESSEL_SCOPED_LOCK(&reg_->mutex);
            connector = reg_->client_connector;
        }
        EXPECT_TRUE(lookup(connector));
        EXPECT_EQ(log_.dump().find(kProxyPassword), std::string::npos) << "proxy password in the log";

        auto posts = management_.posts();
        ASSERT_EQ(posts.size(), 1u);
        EXPECT_EQ(posts[0].peer.rfind(outgoing + ":", 0), 0u) << posts[0].peer;
        const std::string seen = proxy.log_text();
        for (uint16_t server : {est_.port(), management_.port(), cloud_.port()})
            EXPECT_NE(seen.find(log_prefix + std::to_string(server)), std::string::npos) << server << "\n" << seen;
    }
};

TEST_F(StoppedAndProxiedRuns, StopAbortsTheEnrolmentAndTheDomainsProbeInFlight) {
    // A listener that never answers: the enrolment's TLS handshake (EKDSv1)
    // or the "/domains" probe (generation detection) waits on it.
    for (const int32_t version : {1, 0}) {
        for (const bool free_handle : {false, true}) {
            SCOPED_TRACE(testing::Message() << "ekds " << version << (free_handle ? ", free" : ", stop"));
            host_.reset();
            testbed::SilentListener silent;
            ASSERT_NE(silent.port(), 0);
            config_.hosts.cloud_port = silent.port();
            config_.ekds_version = version;
            ASSERT_NE(make_registration(), nullptr);
            ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
            ASSERT_TRUE(silent.wait_for_connection(30s)) << log_.dump();
            stop_in_flight(free_handle);
            // A stop is no failure: the cut step is not reported, nor the
            // connection error it left.
            EXPECT_EQ(statuses(), std::vector<int>{1});
            EXPECT_EQ(host_.est_errors, std::vector<int>{0});
            EXPECT_EQ(host_.final_connector, std::vector<bool>{false});
            reg_.reset();
        }
    }
}

TEST_F(StoppedAndProxiedRuns, AStopAfterTheEnrolmentRequestWasSentKeepsTheIssuedCertificate) {
    // The server may already have issued a certificate for the GUID: the
    // answer is awaited (well within the EST read time-out) and kept, or the
    // next run would be refused with 423 and need a new GUID.
    start_est();
    config_.ekds_version = 1;
    testbed::EstBehaviour slow;
    slow.answer_delay_ms = 1000;
    est_.set_behaviour(slow);
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(eventually([&] { return est_.stats().enroll_requests == 1; }, 30s)) << log_.dump();
    tessel_registration_stop(reg_.get());
    ASSERT_TRUE(run_ended(30s)) << log_.dump();
    EXPECT_EQ(statuses(), (std::vector<int>{6, 1}));
    EXPECT_EQ(host_.certificates, 1);
    EXPECT_EQ(est_.stats().issued, 1);
    EXPECT_EQ(host_.final_states, std::vector<int>{1});
}

TEST_F(StoppedAndProxiedRuns, StopAbortsAnEnrolmentWaitingOnItsProxy) {
    // The enrolment's proxy takes the connection and never answers the CONNECT.
    start_est();
    testbed::SilentListener silent;
    ASSERT_NE(silent.port(), 0);
    tessel_proxy_t& p = config_.hosts.proxy;
    p.type = TESSEL_PROXY_HTTP;
    snprintf(p.server, sizeof p.server, "%s", "127.0.0.1");
    p.port = silent.port();
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(silent.wait_for_connection(30s)) << log_.dump();
    stop_in_flight(false);
    EXPECT_EQ(statuses(), std::vector<int>{1});
    EXPECT_EQ(host_.est_errors, std::vector<int>{0});
    EXPECT_EQ(est_.stats().connections, 0) << "the enrolment went past the proxy";
}

TEST_F(StoppedAndProxiedRuns, StopDuringTheCloudStepEndsTheRunAfterIt) {
    start_est();
    start_management();
    start_cloud();
    // The `reg` answer comes late; the stop arrives while the query waits for it.
    std::atomic<bool> queried{false};
    cloud_.set_hook([&](const testbed::ReceivedQuery&) {
        queried = true;
        return testbed::Reply::defaults()
            .edited([](CorvaneQueryResponse_t& response) { response.header.disposition = 5; })
            .delayed(500ms);
    });
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(eventually([&] { return queried.load(); }, 30s)) << log_.dump();
    tessel_registration_stop(reg_.get());
    ASSERT_TRUE(run_ended(30s)) << log_.dump();
    // The step completes and is reported; the run then ends stopped, and the
    // connector it made is not handed over.
    EXPECT_EQ(statuses(), (std::vector<int>{6, 8, 10, 1}));
    EXPECT_EQ(host_.final_states, std::vector<int>{1});
    EXPECT_EQ(host_.final_connector, std::vector<bool>{false});
    TESSEL_SCOPED_LOCK(&reg_->mutex);
    EXPECT_EQ(reg_->client_connector, nullptr);
}

TEST_F(StoppedAndProxiedRuns, WholeRegistrationThroughTinyproxyWithCredentials) {
    testbed::Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(testbed::ProxyCredentials{"proxyuser", kProxyPassword}, {}, "127.0.0.2"));
    register_through(TESSEL_PROXY_HTTP, proxy.port(), "127.0.0.2", proxy, "CONNECT 127.0.0.1:");
}

TEST_F(StoppedAndProxiedRuns, WholeRegistrationThroughMicrosocksWithCredentials) {
    testbed::Microsocks proxy;
    ASSERT_TRUE(proxy.start(testbed::ProxyCredentials{"proxyuser", kProxyPassword}, "127.0.0.3"));
    register_through(TESSEL_PROXY_SOCKS5, proxy.port(), "127.0.0.3", proxy, "127.0.0.1:");
}

}  // namespace
}  // namespace mgr_test
