// Proxy discovery against a running registration: when another path (a
// discovery that only saves, another process) already stored the working
// proxy, the registration still on its old, dead proxy is restarted through
// the stored one; a discovery of the proxy it already uses changes nothing.
#include "frame/HttpHandleSource.h"
#include "kit/tessel_sync.h"
#include "proxy/ProxyConfig.h"
#include "proxy/TesselProxyHandler.h"
#include "proxy/TesselProxyTester.h"
#include "reghandler/reghandler_fixture.h"
#include "testbed/https_server.h"
#include "testbed/proxies.h"

namespace reghandler_test {
namespace {

constexpr auto kRegistrationBound = 90s;

// Tunnels the proxy opened to the cloud server so far.
size_t CloudTunnels(const testbed::Tinyproxy& proxy, uint16_t cloudPort) {
    const std::string line = "CONNECT 127.0.0.1:" + std::to_string(cloudPort);
    const std::string text = proxy.log_text();
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

class ProxyRestartTest : public HandlerFixture {};

TEST_F(ProxyRestartTest, StoredProxyTheRunningRegistrationDoesNotUseRestartsItThroughThatProxy) {
    StartRegistrationServers();
    testbed::HttpsServer testServer;
    testbed::TlsServerOptions options;
    options.identity = &pki().server();
    ASSERT_TRUE(testServer.start(options));
    ASSERT_TRUE(store_->SetSecureString(proxy_config::kTestUrl, testServer.url("/status/200").c_str()));
    testbed::Tinyproxy first;
    testbed::Tinyproxy second;
    ASSERT_TRUE(first.start(std::nullopt));
    ASSERT_TRUE(second.start(std::nullopt));
    const uint16_t cloudPort = servers_.cloud->port();

    ASSERT_TRUE(stack_->proxyHelper.SaveProxyToConfig(HttpProxy(first.port())));
    stack_->handler->PerformTesselRegistration();
    ASSERT_TRUE(stack_->WaitRegistered(kRegistrationBound));
    EXPECT_GE(CloudTunnels(first, cloudPort), 1u);

    // The first proxy dies; the second is stored behind the handler's back.
    first.stop();
    ASSERT_TRUE(stack_->proxyHelper.SaveProxyToConfig(HttpProxy(second.port())));

    HttpHandleSource handles(&stack_->http);
    TesselProxyTester tester(&stack_->proxyHelper, &handles);
    TesselProxyHandler proxyHandler(stack_->handler.get(), &stack_->proxyHelper, store_.get(), &tester, nullptr);
    log_.clear();
    proxyHandler.ProxiesDiscovered({HttpProxy(first.port()), HttpProxy(second.port())});
    EXPECT_TRUE(log_.containsTrace(
        "TesselProxyHandler::ProxiesDiscovered: Proxy already saved but registration uses another. Restarting registration"));
    EXPECT_FALSE(log_.contains("Proxy has not changed"));
    EXPECT_FALSE(log_.contains("Proxy saved to config"));
    EXPECT_TRUE(log_.containsTrace("TesselRegistrationHandler::RegistrationStop: Exit"));
    ASSERT_TRUE(stack_->WaitRegistered(kRegistrationBound));
    EXPECT_GE(CloudTunnels(second, cloudPort), 1u);

    // The proxy in the store and in use is found again: no restart.
    const size_t tunnels = CloudTunnels(second, cloudPort);
    log_.clear();
    proxyHandler.ProxiesDiscovered({HttpProxy(second.port())});
    EXPECT_TRUE(log_.containsTrace("TesselProxyHandler::ProxiesDiscovered: Proxy has not changed. Skipping registration"));
    EXPECT_FALSE(log_.contains("Restarting registration"));
    EXPECT_FALSE(log_.contains("RegistrationStop"));
    EXPECT_TRUE(stack_->entity.IsRegistrationComplete());
    EXPECT_EQ(CloudTunnels(second, cloudPort), tunnels);
}

TEST_F(ProxyRestartTest, UpdateConfigurationKeepsTheStoredProxyOfTheRunningRegistration) {
    StartRegistrationServers();
    testbed::Tinyproxy proxy;
    ASSERT_TRUE(proxy.start(std::nullopt));
    ASSERT_TRUE(stack_->proxyHelper.SaveProxyToConfig(HttpProxy(proxy.port())));
    stack_->handler->PerformTesselRegistration();
    ASSERT_TRUE(stack_->WaitRegistered(kRegistrationBound));

    stack_->handler->UpdateConfiguration();
    tessel_registration_handle* handle = stack_->entity.GetRegistrationHandle();
    ASSERT_NE(handle, nullptr);
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        TESSEL_SCOPED_READ_LOCK(&handle->data.lock);
        EXPECT_EQ(handle->hosts.proxy.type, TESSEL_PROXY_HTTP);
        EXPECT_STREQ(handle->hosts.proxy.server, "127.0.0.1");
        EXPECT_EQ(handle->hosts.proxy.port, proxy.port());
    }
    // What the handler believes applied is what the registration uses: a
    // discovery of the stored proxy has nothing to do.
    EXPECT_FALSE(stack_->handler->RunsThroughOtherProxy(HttpProxy(proxy.port())));
}

}  // namespace
}  // namespace reghandler_test
