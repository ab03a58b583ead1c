// Cloud registration against the testbed's cloud server: the `reg` query and
// its answers, the certificate the server rejects, the proxy toggle after
// repeated connection failures, registration through real proxies, and a
// free that no hook of a replaced connection outlives.
#include <cstdlib>

#include "cloud/cloud_client_fixture.h"
#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "kit/registration_manager/certificate_acquisition.h"
#include "kit/registration_manager/cloud_registration.h"
#include "kit/registration_manager/registration_toggle_proxy.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "regkit/steps_fixture.h"
#include "testbed/proxies.h"

namespace steps_test {
namespace {

char* proxy_password() {
    return strdup("proxy-Pa55");
}
void free_proxy_password(char* p) {
    memset(p, 0, strlen(p));
    free(p);
}

class Cloud : public StepsFixture {
protected:
    void SetUp() override {
        StepsFixture::SetUp();
        start_cloud();
        cert_ = issue_cert(kAgentText, 400);
        config_.client_cert = cert_.get();
        config_.cloud_callbacks = &cloud_callbacks_;
        cloud_callbacks_.connection_status_fn = [](int32_t event, tessel_registration_handle*, void* self) {
            auto* f = static_cast<Cloud*>(self);
            std::lock_guard<std::mutex> lock(f->seen_mutex_);
            f->events_.push_back(event);
        };
        cloud_callbacks_.connection_status_ctx = this;
        ASSERT_EQ(tessel_client_connector_new(&connector_), 0);
    }
    void TearDown() override {
        if (reg_) detach_connector();
        if (connector_) tessel_client_connector_free(connector_);
        connector_ = nullptr;
        StepsFixture::TearDown();
    }
    // A cloud handle in the connector, the connector in the handle and the
    // status hooks installed, as after a run; null on failure.
    cv_cloud_handle* attach_cloud_handle(int64_t query_timeout = 60) {
        cv_cloud_handle* cloud = cloud_create_handle(reg_.get(), query_timeout);
        if (!cloud || tessel_client_connector_set_cloud_handle(connector_, cloud) != 0) return nullptr;
        pthread_mutex_lock(&reg_->mutex);
        reg_->client_connector = connector_;
        pthread_mutex_unlock(&reg_->mutex);
        cloud_install_status_hooks(reg_.get());
        return cloud;
    }
    // Registers with the cloud through the fixture's connector and installs
    // the status hooks as a run does.
    int register_cloud() {
        int state = cloud_registration(reg_.get(), connector_);
        pthread_mutex_lock(&reg_->mutex);
        reg_->client_connector = connector_;
        pthread_mutex_unlock(&reg_->mutex);
        cloud_install_status_hooks(reg_.get());
        return state;
    }
    // The handle no longer owns the fixture's connector.
    void detach_connector() {
        pthread_mutex_lock(&reg_->mutex);
        reg_->client_connector = nullptr;
        pthread_mutex_unlock(&reg_->mutex);
    }
    std::vector<int> events() {
        std::lock_guard<std::mutex> lock(seen_mutex_);
        return events_;
    }
    void use_proxy(int32_t type, uint16_t port, bool credentials, bool allow_toggle = false) {
        tessel_proxy_t& p = config_.hosts.proxy;
        p.type = type;
        strcpy(p.server, "127.0.0.1");
        p.port = port;
        p.allow_toggle = allow_toggle;
        if (credentials) {
            p.auth = TESSEL_PROXY_AUTH_BASIC;
            p.username = const_cast<char*>("proxyuser");
            p.get_password = proxy_password;
            p.free_password = free_proxy_password;
        }
    }

    testbed::X509Ptr cert_;
    registration_cloud_callbacks cloud_callbacks_ {};
    client_connector* connector_ = nullptr;
};

TEST_F(Cloud, RegQueryAnswers) {
    config_.hosts.cloud_opt_override = 10;
    ASSERT_NE(make_registration(), nullptr);
    cloud_.set_reg_answers({0});
    EXPECT_EQ(register_cloud(), tessel_cloud_connection_succeeded);
    auto queries = cloud_.queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].type, 1);  // reg
    EXPECT_EQ(queries[0].version, 7);
    EXPECT_TRUE(queries[0].flag & 0x8);
    EXPECT_EQ(queries[0].quuid, testbed::Bytes(kAgentGuid, kAgentGuid + 16));

    // A genResponse error, and success with another disposition, both fail.
    cloud_.set_reg_answers({9});
    EXPECT_EQ(cloud_registration(reg_.get(), connector_), tessel_cloud_connection_failed);
    EXPECT_TRUE(log_.contains(3, "Connection to response_disposition server failed."));
    cloud_.set_reg_answers({0}, 1);
    EXPECT_EQ(cloud_registration(reg_.get(), connector_), tessel_cloud_connection_failed);
    // The connector's connection was made once and reused.
    EXPECT_EQ(cloud_.stats().handshakes, 1);
}

TEST_F(Cloud, RejectedCertificateIsDroppedAndTheRunStartsOver) {
    config_.hosts.cloud_opt_override = 3;
    ASSERT_NE(make_registration(), nullptr);
    // No re-provisioning run from the cloud client's check in this test.
    locked([](auto* h) { return h->shutting_down = 1; });
    cloud_.set_refuse_client_issuer(true);
    EXPECT_EQ(cloud_registration(reg_.get(), connector_), tessel_registration_not_started);
    EXPECT_EQ(locked([](auto* h) { return h->client_cert; }), nullptr);
    EXPECT_TRUE(log_.contains(3, "failed due to invalid certificate. Will reacquire certificate."));
    EXPECT_GE(cloud_.stats().unknown_ca_refusals, 1);
    locked([](auto* h) { return h->shutting_down = 0; });
}

TEST_F(Cloud, ThreeConnectionFailuresToggleToDirect) {
    // A real proxy that has gone away: every connection through it fails.
    testbed::Tinyproxy gone;
    ASSERT_TRUE(gone.start(std::nullopt));
    const uint16_t dead_port = gone.port();
    gone.stop();
    use_proxy(TESSEL_PROXY_HTTP, dead_port, false, true);
    config_.hosts.cloud_opt_override = 60;
    ASSERT_NE(make_registration(), nullptr);
    cloud_.set_reg_answers({0});
    // Hooks first, so the first attempts count.
    ASSERT_NE(attach_cloud_handle(), nullptr);
    EXPECT_EQ(cloud_registration(reg_.get(), connector_), tessel_cloud_connection_succeeded) << log_.dump();
    EXPECT_EQ(locked([](auto* h) { return h->proxy_disabled; }), 1);
    EXPECT_TRUE(log_.contains(5, "Toggling disable proxy to: true"));
    ASSERT_TRUE(eventually([&] { return events().size() >= 2; }, 10s));
    EXPECT_EQ(events(), (std::vector<int> {1, 2}));
}

TEST_F(Cloud, WithoutAllowToggleTheFailuresAreOnlyReported) {
    testbed::Tinyproxy gone;
    ASSERT_TRUE(gone.start(std::nullopt));
    const uint16_t dead_port = gone.port();
    gone.stop();
    use_proxy(TESSEL_PROXY_HTTP, dead_port, false, false);
    ASSERT_NE(make_registration(), nullptr);
    cv_cloud_handle* cloud = attach_cloud_handle();
    ASSERT_NE(cloud, nullptr);
    cloud_.set_reg_answers({0});
    // The query drives the connection attempts.
    std::atomic<int> state {-1};
    std::thread registering([&] { state = cloud_registration(reg_.get(), connector_); });
    EXPECT_TRUE(eventually([&] { return !events().empty(); }, 40s));
    EXPECT_EQ(events().empty() ? 0 : events()[0], 1);
    EXPECT_EQ(locked([](auto* h) { return h->proxy_disabled; }), 0);
    EXPECT_FALSE(log_.contains("Toggling disable proxy"));
    EXPECT_EQ(cloud_.stats().handshakes, 0);
    // Going direct by hand lets the query through.
    tessel_proxy_t direct {};
    direct.type = TESSEL_PROXY_NONE;
    EXPECT_EQ(cloud_set_proxy(cloud, &direct), 0);
    registering.join();
    EXPECT_EQ(state.load(), tessel_cloud_connection_succeeded);
}

TEST_F(Cloud, ProxyAndHostChangesReachALiveConnection) {
    cloud_.set_reg_answers({0});
    // Longer than the reconnect wait, which the lookup after a new proxy meets.
    config_.hosts.cloud_opt_override = 20;
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(register_cloud(), tessel_cloud_connection_succeeded);
    auto lookup_now = [&] {
        cloud_conn* conn = tessel_client_connector_get_cloud_conn(connector_);
        bool ok = conn && lookup(tessel_cloud_connector_get_cloud_handle(conn), 3);
        tessel_cloud_conn_release(conn);
        return ok;
    };

    // A new proxy: the connection is dropped and made again through it.
    testbed::Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(std::nullopt));
    tessel_proxy_t through {};
    through.type = TESSEL_PROXY_HTTP;
    strcpy(through.server, "127.0.0.1");
    through.port = proxy.port();
    EXPECT_EQ(tessel_registration_set_proxy(reg_.get(), &through), 0);
    EXPECT_TRUE(lookup_now());
    EXPECT_NE(proxy.log_text().find("CONNECT"), std::string::npos) << proxy.log_text();
    EXPECT_EQ(cloud_.stats().handshakes, 2);

    // The same hosts: only the ping interval changes, the connection stays.
    registration_hosts hosts = config_.hosts;
    hosts.proxy = through;
    EXPECT_EQ(registration_update_config(reg_.get(), &hosts, 120), 0);
    EXPECT_TRUE(log_.contains(5, "Setting the cloud ping interval to 120"));
    EXPECT_FALSE(log_.contains("tracking cloud handle 2"));

    // A new cloud host: a new connection, and the old one is retired.
    snprintf(hosts.cloud_host, sizeof hosts.cloud_host, "localhost:%u", cloud_.port());
    EXPECT_EQ(registration_update_config(reg_.get(), &hosts, 120), 0);
    EXPECT_TRUE(log_.contains(6, "tracking cloud handle 2"));
    EXPECT_TRUE(eventually([&] { return log_.contains(7, "retired cloud handle 1"); }, 20s));
    EXPECT_TRUE(lookup_now());

    // A host change that cannot make a cloud handle (no certificate) puts the
    // old host back and keeps the connection.
    give_cert(nullptr);
    registration_hosts other = hosts;
    snprintf(other.cloud_host, sizeof other.cloud_host, "127.0.0.1:%u", cloud_.port());
    EXPECT_EQ(registration_update_config(reg_.get(), &other, 120), -1);
    EXPECT_EQ(locked([](auto* h) { return std::string(h->hosts.cloud_host); }), std::string(hosts.cloud_host));
    EXPECT_FALSE(log_.contains("tracking cloud handle 3"));
    EXPECT_TRUE(lookup_now());
}

TEST_F(Cloud, AProxyTheCloudClientRefusesIsReportedAndNotToggled) {
    use_proxy(TESSEL_PROXY_HTTP, 1, false, true);
    ASSERT_NE(make_registration(), nullptr);
    // The cloud client takes a proxy only for its TLS stream method: a
    // (synchronous) handle of another method refuses every proxy.
    cv_cloud_opts opts;
    ASSERT_EQ(cv_cloud_initialize_opts(CV_QUERY_METHOD_TCP, &opts), 0);
    std::string server = "127.0.0.1:" + std::to_string(cloud_.port());
    cv_cloud_handle* refusing = _cv_cloud_create(CV_QUERY_METHOD_TCP + 1, &opts, kAgentGuid, server.c_str(),
                                                 key_.get(), cert_.get(), nullptr, false);
    cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
    ASSERT_NE(refusing, nullptr);
    ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, refusing), 0);
    locked([&](auto* h) { return h->client_connector = connector_; });

    tessel_proxy_t direct {};
    direct.type = TESSEL_PROXY_NONE;
    EXPECT_EQ(cloud_set_proxy(refusing, &direct), -1);
    EXPECT_TRUE(log_.contains(3, "failed to set cloud proxy"));

    // The toggle keeps its flag while the connection keeps its proxy.
    registration_toggle_proxy(reg_.get(), nullptr);
    EXPECT_EQ(locked([](auto* h) { return h->proxy_disabled; }), 0);
    EXPECT_TRUE(log_.contains(3, "failed to setup cloud proxy"));
    EXPECT_FALSE(log_.contains("Toggling disable proxy"));
    // A new proxy record says so too.
    EXPECT_EQ(tessel_registration_set_proxy(reg_.get(), &direct), -1);
}

TEST_F(Cloud, NoHookReachesTheHandleOnceItsFreeHasBegun) {
    ASSERT_NE(make_registration(), nullptr);
    cv_cloud_handle* old = attach_cloud_handle(8);
    ASSERT_NE(old, nullptr);
    // The server closes the connection on every lookup: the old connection
    // keeps its lookups and connects again (asking the kit's hooks) until
    // they time out.
    cloud_.set_hook([](const testbed::ReceivedQuery& q) {
        return q.type == 6 ? testbed::Reply::close() : testbed::Reply::defaults();
    });
    constexpr int kLookups = 4;
    std::atomic<int> finished {0};
    auto done = [](CorvaneQuery_t* query, CorvaneQueryResponse_t*, uint32_t, void* data) {
        cloud_client_test::free_query(query);
        static_cast<std::atomic<int>*>(data)->fetch_add(1);
        return 0;
    };
    for (int i = 0; i < kLookups; i++) {
        CorvaneQuery_t* query = cloud_client_test::file_query(i);
        if (cv_cloud_query_async(old, query, done, &finished) < 0) {
            cloud_client_test::free_query(query);
            ADD_FAILURE() << "lookup " << i << " refused";
        }
    }
    ASSERT_TRUE(eventually([&] { return cloud_.queries_of_type(6) >= 1; }, 10s));

    // A new cloud host replaces the connection; the handle is freed at once.
    registration_hosts hosts = config_.hosts;
    snprintf(hosts.cloud_host, sizeof hosts.cloud_host, "localhost:%u", cloud_.port());
    ASSERT_EQ(registration_update_config(reg_.get(), &hosts, 0), 0);
    connector_ = nullptr;  // the handle frees it
    reg_.reset();

    // The free waited for the replaced connection: its lookups were failed
    // once each and its threads are gone.
    EXPECT_TRUE(log_.contains(7, "retired cloud handle 1"));
    EXPECT_EQ(finished.load(), kLookups);
    // Had it not, the old connection's next attempt would run the hooks on
    // the freed handle (and its provisioning check start a run there).
    EXPECT_TRUE(eventually([&] { return log_.contains(7, "retired cloud handle 1"); }, 20s)) << log_.dump();
    EXPECT_FALSE(log_.contains("registration requested")) << log_.dump();
    EXPECT_EQ(finished.load(), kLookups);
}

class Proxied : public Cloud {
protected:
    // Enrols (first generation) and registers with the cloud through the proxy.
    void enrol_and_register() {
        config_.client_cert = nullptr;
        config_.hosts.cloud_opt_override = 10;
        ASSERT_NE(make_registration(), nullptr);
        testbed::EstBehaviour b;
        b.auth = testbed::EstAuth::Basic;
        b.verify_guid_signature = true;
        est_.set_behaviour(b);
        cloud_.set_reg_answers({0});
        EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_succeeded) << log_.dump();
        EXPECT_EQ(est_.stats().guid_verified, 1);
        EXPECT_TRUE(log_.contains(5, "Will apply proxy to connection"));
        EXPECT_EQ(register_cloud(), tessel_cloud_connection_succeeded) << log_.dump();
    }
};

TEST_F(Proxied, TinyproxyWithCredentials) {
    start_est();
    testbed::Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(testbed::ProxyCredentials {"proxyuser", "proxy-Pa55"}));
    use_proxy(TESSEL_PROXY_HTTP, proxy.port(), true);
    enrol_and_register();
    const std::string seen = proxy.log_text();
    EXPECT_NE(seen.find("CONNECT"), std::string::npos) << seen;
    EXPECT_NE(seen.find(std::to_string(est_.port())), std::string::npos) << seen;
    EXPECT_NE(seen.find(std::to_string(cloud_.port())), std::string::npos) << seen;
}

TEST_F(Proxied, MicrosocksWithCredentials) {
    start_est();
    testbed::Microsocks proxy;
    ASSERT_TRUE(proxy.start(testbed::ProxyCredentials {"proxyuser", "proxy-Pa55"}));
    use_proxy(TESSEL_PROXY_SOCKS5, proxy.port(), true);
    enrol_and_register();
}

TEST_F(Proxied, ProxyNeedingAUserNameIsNotUsedForEnrolment) {
    start_est();
    use_proxy(TESSEL_PROXY_HTTP, 1, false);
    config_.hosts.proxy.auth = TESSEL_PROXY_AUTH_NTLM;  // mask set, no user name
    config_.client_cert = nullptr;
    ASSERT_NE(make_registration(), nullptr);
    testbed::EstBehaviour b;
    b.auth = testbed::EstAuth::Basic;
    b.verify_guid_signature = true;
    est_.set_behaviour(b);
    // The proxy port is closed: only a direct enrolment can succeed.
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_succeeded);
    EXPECT_TRUE(log_.contains(3, " proxy username is not set, ignoring proxy configuration"));
}

}  // namespace
}  // namespace steps_test
