// Every path that reaches the network decides its proxy itself: the proxy
// variables of the environment point at a recording proxy, and neither the
// direct connection nor a chosen proxy may be turned by them. The paths: the
// PAC fetch, the proxy test, the HTTP facade, and a registration from scratch
// (the kit's HTTP client for the domain probe and management post, the EST
// client, the cloud connection).
#include <chrono>
#include <string>

#include "frame/HelperProxySource.h"
#include "frame/HttpHandleSource.h"
#include "platform/winhttp.h"
#include "platform/winhttp/pac_script.h"
#include "proxy/ProxyConfig.h"
#include "proxy/TesselProxyTester.h"
#include "proxy/platform_winhttp_support.h"
#include "reghandler/reghandler_fixture.h"
#include "testbed/est_server.h"
#include "testbed/http_file_server.h"
#include "testbed/https_server.h"
#include "testbed/proxies.h"

namespace reghandler_test {
namespace {

constexpr auto kRegistrationBound = 90s;

ProxyInfo Direct() {
    ProxyInfo info;
    info.discoveryMode = ProxyInfo::kDirect;
    return info;
}

bool Tunnelled(const testbed::Tinyproxy& proxy, uint16_t port) {
    return proxy.log_text().find("CONNECT 127.0.0.1:" + std::to_string(port)) != std::string::npos;
}

class HostileEnvironmentTest : public HandlerFixture {
protected:
    // The PAC fetch goes direct: the file server sees it.
    void FetchPac(testbed::HttpFileServer& pacServer) {
        const size_t before = pacServer.hosts_asking("/proxy.pac").size();
        std::string script;
        EXPECT_EQ(platform::winhttp::FetchPacScript(pacServer.url("/proxy.pac"), "dtk-test", platform::WinHttpSettings{},
                                                    std::chrono::steady_clock::now() + 5s, &script),
                  0u);
        EXPECT_EQ(script, kScript);
        EXPECT_EQ(pacServer.hosts_asking("/proxy.pac").size(), before + 1);
    }
    bool Download(TesselHttp& facade, const std::string& url) {
        int32_t status = 0;
        const std::string file = dir_.file("download");
        const std::wstring path(file.begin(), file.end());
        return facade.DownloadFile(url.c_str(), path.c_str(), &status) && status == 200;
    }
    // A registration from scratch: certificate enrolment included.
    void Register() {
        stack_->persistent.Delete("config/agent/client_cert", "client_cert");
        stack_->persistent.Commit(1);
        stack_->handler->PerformTesselRegistration();
    }

    static constexpr const char* kScript = "function FindProxyForURL(url, host) { return \"DIRECT\"; }";
};

TEST_F(HostileEnvironmentTest, EveryTransferDecidesItsOwnProxyWhateverTheEnvironmentSays) {
    StartRegistrationServers();
    testbed::HttpFileServer environmentProxy;  // records what reaches it
    environmentProxy.challenge_as_proxy();
    ASSERT_TRUE(environmentProxy.start());
    testbed::HttpsServer testServer;
    testbed::TlsServerOptions options;
    options.identity = &pki().server();
    ASSERT_TRUE(testServer.start(options));
    testbed::HttpFileServer pacServer;
    pacServer.serve("/proxy.pac", kScript);
    ASSERT_TRUE(pacServer.start());
    ASSERT_TRUE(store_->SetSecureString(proxy_config::kTestUrl, testServer.url("/status/200").c_str()));

    HelperProxySource storedProxy(&stack_->proxyHelper);
    TesselHttp facade(store_.get(), &stack_->identity, &storedProxy);
    HttpHandleSource handles(&facade);
    TesselProxyTester tester(&stack_->proxyHelper, &handles);

    proxytest::EnvScope env;
    env.clear_proxies();
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        env.set(name, "http://127.0.0.1:" + std::to_string(environmentProxy.port()));

    // Direct means direct.
    ASSERT_TRUE(stack_->proxyHelper.SaveProxyToConfig(Direct()));
    FetchPac(pacServer);
    EXPECT_TRUE(tester.TestProxy(Direct(), store_.get()));
    EXPECT_TRUE(Download(facade, testServer.url("/status/200")));
    Register();
    EXPECT_TRUE(stack_->WaitRegistered(kRegistrationBound));
    EXPECT_EQ(environmentProxy.heads().size(), 0u) << "a direct transfer went to the environment's proxy";

    // A chosen proxy is always used, whatever no_proxy exempts.
    stack_->DestroyHandler();
    env.set("no_proxy", "*");
    env.set("NO_PROXY", "*");
    stack_->MakeHandler();
    testbed::Tinyproxy chosen;
    ASSERT_TRUE(chosen.start(std::nullopt));
    EXPECT_FALSE(tester.TestProxy(HttpProxy(testbed::free_loopback_port()), store_.get()))
        << "a dead proxy tested as working";
    ASSERT_TRUE(stack_->proxyHelper.SaveProxyToConfig(HttpProxy(chosen.port())));
    FetchPac(pacServer);
    EXPECT_TRUE(Download(facade, testServer.url("/status/200")));
    EXPECT_TRUE(Tunnelled(chosen, testServer.port())) << "the facade's download";
    Register();
    EXPECT_TRUE(stack_->WaitRegistered(kRegistrationBound));
    for (uint16_t port : {servers_.est->port(), servers_.management->port(), servers_.cloud->port()})
        EXPECT_TRUE(Tunnelled(chosen, port)) << "enrolment, management and cloud through the chosen proxy: " << port;
    stack_->DestroyHandler();
    EXPECT_EQ(environmentProxy.heads().size(), 0u);
}

}  // namespace
}  // namespace reghandler_test
