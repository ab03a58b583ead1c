// Registration runs stopped while a network step is in progress, and whole
// runs through real proxies with credentials.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
    // Waits (bounded) until the run reported its end and its thread let go of the handle.
    bool run_ended(std::chrono::milliseconds bound) {
        if (!host_.wait([&] { return !host_.final_states.empty(); }, bound)) return false;
        return eventually([&] {
            TESSEL_SCOPED_LOCK(&reg_->mutex);
            return reg_->thread_ctx == nullptr;
        }, bound);
    }
    std::vector<int> statuses() {
        std::lock_guard<std::mutex> lock(host_.mutex);
        return host_.statuses;
    }
    void use_proxy(int32_t type, uint16_t port) {
        tessel_proxy_t& p = config_.hosts.proxy;
        p.type = type;
        snprintf(p.server, sizeof p.server, "%s", "127.0.0.1");
        p.port = port;
        p.auth = TESSEL_PROXY_AUTH_BASIC;
        p.username = const_cast<char*>("proxyuser");
        p.get_password = proxy_password;
        p.free_password = free_proxy_password;
    }
    // A whole run from no certificate to a cloud connection that answers a lookup.
    void register_fully() {
        config_.client_cert = nullptr;
        ASSERT_NE(make_registration(), nullptr);
        ASSERT_EQ(tessel_registration_start(reg_.get(), 0), 0);
        ASSERT_TRUE(run_ended(60s)) << log_.dump();
        EXPECT_EQ(statuses(), (std::vector<int>{6, 8, 10})) << log_.dump();
        ASSERT_EQ(host_.final_connector, std::vector<bool>{true});
        client_connector* connector = nullptr;
        {
            TESSEL_SCOPED_LOCK(&reg_->mutex);
            connector = reg_->client_connector;
        }
        EXPECT_TRUE(lookup(connector));
        EXPECT_EQ(log_.dump().find(kProxyPassword), std::string::npos) << "proxy password in the log";
    }
    // The management server saw the post coming from `address`, the proxy's outgoing side.
    void expect_post_from(const std::string& address) {
        auto posts = management_.posts();
        ASSERT_EQ(posts.size(), 1u);
        EXPECT_EQ(posts[0].peer.rfind(address + ":", 0), 0u) << posts[0].peer;
    }
};

TEST_F(StoppedAndProxiedRuns, StopDuringEnrolmentEndsTheRunWhenTheStepGivesUp) {
    // An EST address that accepts connections and never answers: the
    // enrolment waits on it until the listener goes away.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    config_.hosts.cloud_port = ntohs(addr.sin_port);
    start_management();
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);

    pollfd pfd{listener, POLLIN, 0};
    const bool connected = poll(&pfd, 1, 30000) == 1;
    tessel_registration_stop(reg_.get());
    close(listener);  // resets the waiting connection: the step fails now
    ASSERT_TRUE(connected) << log_.dump();
    ASSERT_TRUE(run_ended(30s)) << log_.dump();
    EXPECT_EQ(statuses(), (std::vector<int>{3, 1}));
    EXPECT_EQ(host_.final_states, std::vector<int>{1});
    EXPECT_EQ(host_.final_connector, std::vector<bool>{false});
    EXPECT_EQ(management_.post_count(), 0u);
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
    start_est();
    start_management();
    start_cloud();
    testbed::Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(testbed::ProxyCredentials{"proxyuser", kProxyPassword}, {}, "127.0.0.2"));
    use_proxy(TESSEL_PROXY_HTTP, proxy.port());
    register_fully();
    expect_post_from("127.0.0.2");
    // Enrolment and cloud connection went through the proxy too.
    const std::string seen = proxy.log_text();
    for (uint16_t port : {est_.port(), management_.port(), cloud_.port()})
        EXPECT_NE(seen.find("CONNECT 127.0.0.1:" + std::to_string(port)), std::string::npos) << port << "\n" << seen;
}

TEST_F(StoppedAndProxiedRuns, WholeRegistrationThroughMicrosocksWithCredentials) {
    start_est();
    start_management();
    start_cloud();
    testbed::Microsocks proxy;
    ASSERT_TRUE(proxy.start(testbed::ProxyCredentials{"proxyuser", kProxyPassword}, "127.0.0.3"));
    use_proxy(TESSEL_PROXY_SOCKS5, proxy.port());
    register_fully();
    expect_post_from("127.0.0.3");
    const std::string seen = proxy.log_text();
    for (uint16_t port : {est_.port(), management_.port(), cloud_.port()})
        EXPECT_NE(seen.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << port << "\n" << seen;
}

}  // namespace
}  // namespace mgr_test
