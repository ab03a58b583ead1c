// The HTTP objects and the proxy operations of the instance, against the
// testbed's HTTPS server and a real tinyproxy.
#include <future>
#include <string>
#include <vector>

#include "dtk/IHttp.h"
#include "dtk/ProxyInfo.h"
#include "instance/instance_fixture.h"
#include "proxy/ProxyConfig.h"
#include "proxy/core_proxy_fixture.h"
#include "testbed/http_file_server.h"
#include "testbed/https_server.h"
#include "testbed/proxies.h"

namespace instance_test {
namespace {

class HttpProxyTest : public InstanceTest {
protected:
    void SetUp() override {
        InstanceTest::SetUp();
        ConfigureAgent();
        server_.on("/form", [this](const testbed::HttpRequest& request, testbed::HttpExchange& exchange) {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            exchange.respond(200, "accepted");
        });
        server_.on("/status/200", [](const testbed::HttpRequest&, testbed::HttpExchange& exchange) {
            exchange.respond(200, "ok");
        });
        testbed::TlsServerOptions options;
        options.identity = &pki().server();
        ASSERT_TRUE(server_.start(options));
        ASSERT_TRUE(store_->SetSecureString(proxy_config::kTestUrl, server_.url("/status/200").c_str()));
    }
    void TearDown() override {
        InstanceTest::TearDown();
        server_.stop();
    }

    std::vector<testbed::HttpRequest> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    // A proxy as the host stores it in its configuration.
    void StoreProxy(uint16_t port) {
        ASSERT_TRUE(store_->SetInt(proxy_config::kDiscMode, ProxyInfo::kConfigured, true));
        ASSERT_TRUE(store_->SetStringW(proxy_config::kType, L"http_proxy", true));
        ASSERT_TRUE(store_->SetStringW(proxy_config::kServer, L"127.0.0.1", true));
        ASSERT_TRUE(store_->SetInt(proxy_config::kPort, port, true));
    }

    testbed::HttpsServer server_;
    std::mutex mutex_;
    std::vector<testbed::HttpRequest> requests_;
    ProxyEnvironment env_;
};

TEST_F(HttpProxyTest, CreateHttpPostsAFormWithTheAgentsIdentityThroughTheStoredProxy) {
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);
    IHttp* http = instance->CreateHttp();
    ASSERT_NE(http, nullptr);
    ASSERT_EQ(http->Init("POST", server_.url("/form").c_str(), nullptr, 0, 0), S_OK);
    ASSERT_EQ(http->AddPostNameValue(L"name", L"a b&c"), S_OK);
    ASSERT_EQ(http->AddPostNameValue(L"count", static_cast<uint32_t>(7)), S_OK);
    int32_t status = 0;
    char* body = nullptr;
    ASSERT_EQ(http->MakeRequest(&status, &body), S_OK);
    EXPECT_EQ(status, 200);
    ASSERT_NE(body, nullptr);
    EXPECT_STREQ(body, "accepted");
    free(body);
    instance->ReleaseHttp(http);

    auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "name=a%20b%26c&count=7");
    EXPECT_EQ(requests[0].header("User-Agent"), "VigilonProtect/8.4.2") << "the agent's version from its configuration";

    // A proxy stored afterwards carries the next object's request.
    testbed::Tinyproxy tinyproxy;
    ASSERT_TRUE(tinyproxy.start(std::nullopt, {server_.port()}));
    StoreProxy(tinyproxy.port());
    http = instance->CreateHttp();
    ASSERT_EQ(http->Init("POST", server_.url("/form").c_str(), nullptr, 0, 0), S_OK);
    ASSERT_EQ(http->AddPostNameValue(L"via", L"proxy"), S_OK);
    ASSERT_EQ(http->MakeRequest(&status, &body), S_OK);
    free(body);
    instance->ReleaseHttp(http);
    EXPECT_NE(tinyproxy.log_text().find("CONNECT 127.0.0.1:" + std::to_string(server_.port())), std::string::npos);
    ASSERT_EQ(Requests().size(), 2u);
    EXPECT_EQ(Requests()[1].body, "via=proxy");
}

TEST_F(HttpProxyTest, ProxiesAreLoadedTestedAndDiscoveredThroughTheInstance) {
    testbed::Tinyproxy tinyproxy;
    ASSERT_TRUE(tinyproxy.start(std::nullopt, {server_.port()}));
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);

    // Nothing was stored: the start stored the direct connection.
    ProxyInfo* direct = instance->LoadProxyInfo();
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(direct->discoveryMode, ProxyInfo::kDirect);
    EXPECT_TRUE(instance->TestProxy(direct, store_.get()));
    instance->ReleaseProxyInfo(direct);

    StoreProxy(tinyproxy.port());
    ProxyInfo* stored = instance->LoadProxyInfo();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->server, L"127.0.0.1");
    EXPECT_EQ(stored->port, tinyproxy.port());
    EXPECT_TRUE(instance->TestProxy(stored, store_.get()));
    EXPECT_NE(tinyproxy.log_text().find("CONNECT 127.0.0.1:" + std::to_string(server_.port())), std::string::npos);
    stored->port = testbed::free_loopback_port();
    EXPECT_FALSE(instance->TestProxy(stored, store_.get())) << "nothing listens there";
    instance->ReleaseProxyInfo(stored);

    // The system proxy (from the environment) is among the discovered
    // candidates, and the direct connection always is.
    ASSERT_TRUE(store_->SetSecureInt(proxy_config::kSourceFlags, (1 << ProxyInfo::kSystem) | (1 << ProxyInfo::kConfigured)));
    for (const char* name : {"http_proxy", "https_proxy"})
        env_.Set(name, "http://127.0.0.1:" + std::to_string(tinyproxy.port()));
    ProxyInfoList found;
    instance->DiscoverProxies(&found);
    bool system = false, directFound = false;
    for (const ProxyInfo& proxy : found) {
        system |= proxy.discoveryMode == ProxyInfo::kSystem && proxy.port == tinyproxy.port();
        directFound |= proxy.discoveryMode == ProxyInfo::kDirect;
    }
    EXPECT_TRUE(system);
    EXPECT_TRUE(directFound);

    // Discover and save: the first valid candidate is stored.
    EXPECT_TRUE(instance->DiscoverAndSaveProxy());
    ProxyInfo* saved = instance->LoadProxyInfo();
    EXPECT_EQ(saved->port, tinyproxy.port());
    EXPECT_EQ(saved->discoveryMode, ProxyInfo::kSystem);
    instance->ReleaseProxyInfo(saved);

    // For a configuration: the system proxy is left out, nothing is saved.
    tinyproxy.stop();
    for (const char* name : {"http_proxy", "https_proxy"})
        unsetenv(name);
    EXPECT_TRUE(instance->DiscoverValidProxy(store_.get())) << "the direct connection works";
    ASSERT_TRUE(store_->SetSecureString(proxy_config::kTestUrl, "https://127.0.0.1:1/status/200"));
    EXPECT_FALSE(instance->DiscoverValidProxy(store_.get()));
    // A host's null pointers are refused, not followed.
    EXPECT_FALSE(instance->DiscoverValidProxy(nullptr));
    instance->DiscoverProxies(nullptr);
}

TEST_F(HttpProxyTest, DeinitDuringADiscoveryOfBlackHoledProxiesReturnsPromptlyAndRestartsNothing) {
    // The PAC file names two proxies that take connections and never answer;
    // the direct connection after them would pass.
    testbed::SilentListener first, second;
    ASSERT_NE(first.port(), 0);
    ASSERT_NE(second.port(), 0);
    testbed::HttpFileServer pacServer;
    pacServer.serve("/proxy.pac", "function FindProxyForURL(url, host) { return \"PROXY 127.0.0.1:" +
                                      std::to_string(first.port()) + "; PROXY 127.0.0.1:" +
                                      std::to_string(second.port()) + "\"; }");
    ASSERT_TRUE(pacServer.start());
    ASSERT_TRUE(store_->SetSecureInt(proxy_config::kSourceFlags, 1 << ProxyInfo::kPacFile));
    ASSERT_TRUE(store_->SetSecureString(proxy_config::kPacLocation, pacServer.url("/proxy.pac").c_str()));

    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);
    instance->StartProxyDiscovery();
    ASSERT_TRUE(first.wait_for_connection(30s)) << "the first candidate is being tested";
    lib_.Release(instance);
    instance_ = nullptr;

    auto deinit = std::async(std::launch::async, [this] { lib_.Deinit(); });
    EXPECT_EQ(deinit.wait_for(8s), std::future_status::ready) << "teardown waited for the candidates' tests";
    ASSERT_EQ(deinit.wait_for(120s), std::future_status::ready);
    EXPECT_FALSE(log_.contains("TesselProxyHandler::ProxiesDiscovered: Proxy saved to config"));
    EXPECT_FALSE(log_.contains("Restarting registration"));
    EXPECT_FALSE(second.wait_for_connection(0ms)) << "no candidate is tested once teardown began";
}

}  // namespace
}  // namespace instance_test
