// Building a registration handle from the host's configuration, and changing
// its proxy and hosts before it is connected.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "regkit/mgr_fixture.h"
#include "support/core_exclusion.h"

namespace mgr_test {
namespace {

using ConfigHandle = MgrFixture;

TEST_F(ConfigHandle, RefusesIncompleteConfigurations) {
    struct Case {
        const char* expected_log;
        std::function<void(registration_config&)> change;
    };
    const std::vector<Case> cases = {
        {"business guid is null", [](registration_config& c) { memset(c.identity.business_guid, 0, 16); }},
        {"affiliate guid is null", [](registration_config& c) { memset(c.identity.affiliate_guid, 0, 16); }},
        {"user agent is empty", [](registration_config& c) { c.identity.user_agent[0] = '\0'; }},
        {"failed to copy devid from identity to handle",
         [](registration_config& c) { memset(c.identity.devid, 'd', sizeof c.identity.devid); }},
        {"client keypair unavailable", [](registration_config& c) { c.client_keypair = nullptr; }},
        {"Did not expect NULL certificate in source",
         [](registration_config& c) {
             static X509* none[1] = {nullptr};
             c.system_trust_root_certs = none;
         }},
        {"proxy proto set but proxy server is empty", [](registration_config& c) { c.hosts.proxy.type = 0; }},
        {"No callback set to request a new GUID", [](registration_config& c) { c.callbacks.new_guid_fn = nullptr; }},
        {"No callback set for retreiving info for vesta registration",
         [](registration_config& c) { c.callbacks.prepare_vesta_registration_fn = nullptr; }},
        {"Invalid ekds_version", [](registration_config& c) { c.ekds_version = 3; }},
        {"failed to obtain a agent guid from callback",
         [](registration_config& c) {
             memset(c.identity.agent_guid, 0, 16);
             c.callbacks.new_guid_fn = [](void*) -> uint8_t* { return static_cast<uint8_t*>(calloc(1, 16)); };
         }},
    };
    EXPECT_EQ(tessel_registration_new(nullptr), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected_log);
        registration_config config = config_;
        c.change(config);
        log_.clear();
        EXPECT_EQ(tessel_registration_new(&config), nullptr);
        EXPECT_TRUE(log_.contains(3, c.expected_log)) << log_.dump();
    }
}

TEST_F(ConfigHandle, CopiesTheConfigurationAndAsksOnceForAMissingGuid) {
    memset(config_.identity.agent_guid, 0, 16);
    memset(config_.identity.actcode, 0, 16);
    testbed::PKeyPtr legacy = testbed::generate_key(testbed::KeyType::RSA2048);
    config_.legacy_client_keypair = legacy.get();
    config_.ekds_version = -1;  // refused only when certificates are acquired
    config_.last_vesta_registration = tessel_time_now() + 3600;
    config_.last_cloud_registration = 1000;
    char username[] = "proxy-user";
    config_.hosts.proxy.type = TESSEL_PROXY_HTTP;
    snprintf(config_.hosts.proxy.server, sizeof config_.hosts.proxy.server, "%s", "127.0.0.1");
    config_.hosts.proxy.username = username;
    registration_rcms_callback rcms[2] = {{7, nullptr}, {9, nullptr}};
    registration_cloud_callbacks cloud = {};
    cloud.rcms_callbacks = rcms;
    cloud.rcms_callbacks_count = 2;
    cloud.ping_interval = 60;
    config_.cloud_callbacks = &cloud;

    // A root only the host holds, dropped once the handle is made.
    X509* host_root = X509_dup(pki().ca().cert());
    ASSERT_NE(host_root, nullptr);
    roots_[0] = host_root;

    tessel_registration_handle* h = make_registration();
    ASSERT_NE(h, nullptr) << log_.dump();
    // The host may change or drop everything it passed in.
    X509_free(host_root);
    roots_[0] = pki().ca().cert();
    memset(username, 'x', sizeof username - 1);
    rcms[0].type = 99;
    cloud.ping_interval = 0;
    config_.identity.user_agent[0] = 'X';

    EXPECT_EQ(host_.guid_requests, 1);
    EXPECT_EQ(memcmp(h->agent_guid, kAgentGuid, 16), 0);
    EXPECT_TRUE(log_.contains(4, "activation code is null"));
    EXPECT_TRUE(testsupport::LeftOutOfCores(h->actcode)) << "the handle's activation code may reach a core file";
    EXPECT_TRUE(log_.contains("last vesta registration in the future"));
    EXPECT_EQ(h->last_vesta_registration, 0);
    EXPECT_EQ(h->last_cloud_registration, 1000);
    EXPECT_EQ(h->ekds_version, -1);
    EXPECT_STREQ(h->user_agent, "dtk-mgr-test/1.0");
    EXPECT_STREQ(h->product_version, "8.4.2.77");
    ASSERT_NE(h->hosts.proxy.username, nullptr);
    EXPECT_STREQ(h->hosts.proxy.username, "proxy-user");
    ASSERT_NE(h->cloud_callbacks, nullptr);
    EXPECT_NE(h->cloud_callbacks->rcms_callbacks, rcms);
    EXPECT_EQ(h->cloud_callbacks->rcms_callbacks[0].type, 7u);
    EXPECT_EQ(h->cloud_callbacks->ping_interval, 60u);
    // Roots and keys are shared, each with a reference of the handle's own
    // (a root is never re-decoded); a legacy key is re-wrapped.
    ASSERT_EQ(h->system_trust_root_certs_count, 1u);
    EXPECT_EQ(h->system_trust_root_certs[0], host_root);
    EXPECT_EQ(X509_cmp(h->system_trust_root_certs[0], pki().ca().cert()), 0);
    EXPECT_EQ(h->client_keypair, key_.get());
    ASSERT_NE(h->legacy_client_keypair, nullptr);
    EXPECT_NE(h->legacy_client_keypair, legacy.get());
    EXPECT_EQ(EVP_PKEY_eq(h->legacy_client_keypair, legacy.get()), 1);
    EXPECT_EQ(h->vesta_reregistration_interval, 21600);
    EXPECT_EQ(h->retry_exponent_cap, 5u);
}

TEST_F(ConfigHandle, ProxyChangesResetTheConnectionState) {
    tessel_registration_handle* h = make_registration();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(tessel_registration_set_proxy(h, nullptr), -1);
    EXPECT_EQ(tessel_registration_set_proxy(nullptr, &config_.hosts.proxy), -1);
    h->proxy_disabled = 1;
    h->connection_failures = 2;
    char username[] = "someone";
    tessel_proxy_t proxy = {};
    proxy.type = TESSEL_PROXY_SOCKS5;
    snprintf(proxy.server, sizeof proxy.server, "%s", "127.0.0.1");
    proxy.port = 1080;
    proxy.username = username;
    ASSERT_EQ(tessel_registration_set_proxy(h, &proxy), 0);
    EXPECT_EQ(h->proxy_disabled, 0);
    EXPECT_EQ(h->connection_failures, 0u);
    EXPECT_EQ(h->hosts.proxy.type, TESSEL_PROXY_SOCKS5);
    EXPECT_NE(h->hosts.proxy.username, username);
    EXPECT_STREQ(h->hosts.proxy.username, "someone");
    EXPECT_TRUE(log_.contains(5, "Clear connection failure count and disable proxy for new proxy"));
}

TEST_F(ConfigHandle, HostUpdatesAreCheckedAndStoredBeforeAConnection) {
    tessel_registration_handle* h = make_registration();
    ASSERT_NE(h, nullptr);
    struct Case {
        const char* expected_log;
        std::function<void(registration_hosts&)> change;
    };
    const std::vector<Case> cases = {
        {"cloud port is 0, expected 443 or other non-zero port", [](registration_hosts& x) { x.cloud_port = 0; }},
        {"cloud_hosts is empty", [](registration_hosts& x) { x.cloud_host[0] = '\0'; }},
        {"est_host is empty", [](registration_hosts& x) { x.est_host[0] = '\0'; }},
        {"vesta management URL is empty", [](registration_hosts& x) { x.vesta_mgmt_url[0] = '\0'; }},
        {"invalid proxy type, 8", [](registration_hosts& x) { x.proxy.type = 8; }},
        {"proxy proto was specified but proxy server is not defined!",
         [](registration_hosts& x) { x.proxy.type = TESSEL_PROXY_SOCKS4; }},
    };
    EXPECT_EQ(registration_update_config(nullptr, &config_.hosts, 0), -1);
    EXPECT_EQ(registration_update_config(h, nullptr, 0), -1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected_log);
        registration_hosts hosts = config_.hosts;
        c.change(hosts);
        EXPECT_EQ(registration_update_config(h, &hosts, 0), -1);
        EXPECT_TRUE(log_.contains(3, c.expected_log));
        EXPECT_STREQ(h->hosts.cloud_host, "127.0.0.1:1");
    }
    registration_hosts hosts = config_.hosts;
    snprintf(hosts.cloud_host, sizeof hosts.cloud_host, "%s", "cloud.example:8443");
    ASSERT_EQ(registration_update_config(h, &hosts, 120), 0);
    EXPECT_STREQ(h->hosts.cloud_host, "cloud.example:8443");
    EXPECT_TRUE(log_.contains(7, "Hosts updated but we're not connected yet."));
}

}  // namespace
}  // namespace mgr_test
