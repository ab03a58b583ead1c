// Testing and selection against real proxies: tinyproxy (HTTP CONNECT) and
// microsocks (SOCKS5), both optionally with credentials, and the testbed's
// HTTPS server as the test URL.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <string>

#include "proxy/ProxyContainer.h"
#include "proxy/TesselProxyHandler.h"
#include "proxy/TesselProxyHelper.h"
#include "proxy/TesselProxyTester.h"
#include "support/log_capture.h"
#include "support/testbed_kit.h"
#include "testbed/http_file_server.h"
#include "testbed/https_server.h"
#include "testbed/pki.h"
#include "testbed/proxies.h"
#include "core_proxy_fixture.h"

namespace {

// Kit handles trusting the test CA, as the HTTP facade would hand them out.
// `beforeRelease` runs while the test that took the handle is still going.
class TestbedHandles : public IHttpClientHandleSource {
public:
    explicit TestbedHandles(testbed::Pki& pki) : pki_(pki) {}
    http_client_handle* GetHttpClientHandle() override { return testbed::make_handle(pki_).release(); }
    void ReleaseHttpClientHandle(http_client_handle* handle) override {
        if (beforeRelease) beforeRelease(handle);
        http_client_handle_free(handle);
    }
    std::function<void(http_client_handle*)> beforeRelease;

private:
    testbed::Pki& pki_;
};

class CountingRegistration : public ITesselRegistrationRestart {
public:
    void PerformTesselRegistration() override { ++restarts; }
    bool RunsThroughOtherProxy(const ProxyInfo&) override { return false; }
    std::atomic<int> restarts{0};
};

class ProxySelectionTest : public ProxyStoreTest {
protected:
    static void SetUpTestSuite() {
        pki_ = new testbed::Pki();
        server_ = new testbed::HttpsServer();
        testbed::TlsServerOptions options;
        options.identity = &pki_->server();
        ASSERT_TRUE(server_->start(options));
    }
    static void TearDownTestSuite() {
        delete server_;
        delete pki_;
    }
    void SetUp() override {
        ProxyStoreTest::SetUp();
        ASSERT_TRUE(store->SetSecureString(proxy_config::kTestUrl, server_->url("/status/200").c_str()));
    }

    static ProxyInfo Proxy(const wchar_t* type, uint16_t port, int32_t mode = ProxyInfo::kSystem) {
        ProxyInfo info;
        info.type = type;
        info.server = L"127.0.0.1";
        info.port = port;
        info.discoveryMode = mode;
        return info;
    }
    static void ExpectSaved(TesselProxyHelper& helper, const ProxyInfo& expected) {
        ProxyInfo saved;
        ASSERT_TRUE(helper.LoadProxyFromConfig(&saved));
        EXPECT_TRUE(saved == expected) << "saved " << saved.discoveryMode << " " << saved.port;
    }
    void SetPolicyCredentials(const char* user, const std::string& password) {
        ASSERT_TRUE(store->SetSecureString(proxy_config::kUserName, user));
        SetPolicyPassword(password);
    }

    static testbed::Pki* pki_;
    static testbed::HttpsServer* server_;
    testbed::KitLogCapture kitLog_;
    ProxyEnvironment env_;
    LogCapture log_;
    TestbedHandles handles_{*pki_};
};

testbed::Pki* ProxySelectionTest::pki_ = nullptr;
testbed::HttpsServer* ProxySelectionTest::server_ = nullptr;

TEST_F(ProxySelectionTest, FirstWorkingEntryIsChosen) {
    testbed::Tinyproxy tinyproxy;
    ASSERT_TRUE(tinyproxy.start(std::nullopt, {server_->port()}));
    TesselProxyHelper helper(store.get());
    TesselProxyTester tester(&helper, &handles_);

    ProxyInfo tooLong = Proxy(L"http_proxy", tinyproxy.port());
    tooLong.server = std::wstring(65, L'a');
    ProxyInfoList list = {tooLong, Proxy(L"http_proxy", testbed::free_loopback_port()),
                          Proxy(L"http_proxy", tinyproxy.port()), ProxyInfo()};
    ProxyInfo* chosen = tester.FindFirstValidProxy(list, store.get());
    ASSERT_EQ(chosen, &*std::next(list.begin(), 2));
    EXPECT_TRUE(*chosen == Proxy(L"http_proxy", tinyproxy.port()));  // untouched without a retry
    EXPECT_TRUE(log_.containsError(
        "TesselProxyTester::TestProxyInternal: Proxy server name is too long.  Maximum length is 64."));
    EXPECT_EQ(log_.count("TesselProxyTester::TestProxyInternal: Testing Proxy"), 2u);  // not the long one
    EXPECT_TRUE(log_.containsTrace("TesselProxyTester::TestProxyInternal: Proxy Test Status: 7"));
    EXPECT_TRUE(log_.containsTrace("TesselProxyTester::TestProxyInternal: Proxy Test Status: 0"));
    EXPECT_NE(tinyproxy.log_text().find("CONNECT 127.0.0.1:" + std::to_string(server_->port())), std::string::npos);

    // The direct connection is a candidate like any other.
    EXPECT_TRUE(tester.TestProxy(ProxyInfo(), store.get()));

    // Without a test URL nothing is valid.
    ASSERT_TRUE(store->DeleteKey(hostkit::ConfigView::Secure, proxy_config::kTestUrl));
    EXPECT_EQ(tester.FindFirstValidProxy(list, store.get()), nullptr);
    EXPECT_FALSE(tester.TestProxy(list.back(), store.get()));
    EXPECT_TRUE(log_.containsError("TesselProxyTester::FindFirstValidProxy: testUrl is null.  Proxy tests not possible"));
    EXPECT_TRUE(log_.containsError("TesselProxyTester::TestProxy: testUrl is null.  Proxy tests not possible"));
}

// Whether a request after the first `skip` offered the proxy credentials.
bool OfferedCredentials(const testbed::HttpFileServer& proxy, size_t skip) {
    const auto heads = proxy.heads();
    for (size_t i = skip; i < heads.size(); ++i)
        if (heads[i].find("Proxy-Authorization:") != std::string::npos) return true;
    return false;
}

TEST_F(ProxySelectionTest, PolicyCredentialsGoOnlyToProxiesPolicyNames) {
    const std::string password = "Named-Only-Pass-5521";
    testbed::Tinyproxy configured;
    ASSERT_TRUE(configured.start(testbed::ProxyCredentials{"agent", password}, {server_->port()}));
    testbed::HttpFileServer stranger;  // answers 407 with Basic, as a proxy that wants the password would
    stranger.challenge_as_proxy();
    ASSERT_TRUE(stranger.start());
    ASSERT_TRUE(store->SetSecureString(proxy_config::kType, "http_proxy"));
    ASSERT_TRUE(store->SetSecureString(proxy_config::kServer, "127.0.0.1"));
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kPort, configured.port()));
    SetPolicyCredentials("agent", password);
    TesselProxyHelper helper(store.get());
    TesselProxyTester tester(&helper, &handles_);
    const std::string strangerPort = std::to_string(stranger.port());

    struct Row {
        const char* credentialHosts;  // null: not set
        bool strangerNamed;
    };
    const Row rows[] = {
        {nullptr, false},
        {"", false},
        {"127.0.0.2", false},
        {"127.0.0.1:1", false},
        {"proxy.example.com;localhost", false},
        {"127.0.0.1", true},
        {"proxy.example.com 127.0.0.1:<port>", true},
    };
    for (const Row& row : rows) {
        std::string hosts = row.credentialHosts ? row.credentialHosts : "";
        if (const size_t at = hosts.find("<port>"); at != std::string::npos) hosts.replace(at, 6, strangerPort);
        SCOPED_TRACE(row.credentialHosts ? "credhosts \"" + hosts + "\"" : "no credhosts");
        if (row.credentialHosts)
            ASSERT_TRUE(store->SetSecureString(proxy_config::kCredentialHosts, hosts.c_str()));
        else
            store->DeleteKey(hostkit::ConfigView::Secure, proxy_config::kCredentialHosts);
        const size_t before = stranger.heads().size();

        // A PAC file's proxy asking for Basic, then policy's own proxy found
        // by the same PAC file.
        ProxyInfoList list = {Proxy(L"http_proxy", stranger.port(), ProxyInfo::kPacFile),
                              Proxy(L"http_proxy", configured.port(), ProxyInfo::kPacFile)};
        ProxyInfo* chosen = tester.FindFirstValidProxy(list, store.get());
        ASSERT_EQ(chosen, &list.back()) << "policy's proxy passes with policy's credentials";
        EXPECT_EQ(chosen->user, L"agent");
        EXPECT_FALSE(tester.TestProxy(list.front(), store.get()));

        EXPECT_GT(stranger.heads().size(), before) << "the stranger was tested";
        EXPECT_EQ(OfferedCredentials(stranger, before), row.strangerNamed);
    }
}

TEST_F(ProxySelectionTest, NamedHostListKeepsWellFormedEntriesOnly) {
    using proxy_config::NamedHost;
    const std::pair<const char*, std::vector<NamedHost>> rows[] = {
        {"", {}},
        {" ;, \t\r\n", {}},
        {"Proxy.Example.COM.", {{"proxy.example.com", std::nullopt}}},
        {"a:8080,b:1;c:65535 d", {{"a", 8080}, {"b", 1}, {"c", 65535}, {"d", std::nullopt}}},
        {"a:0 b:65536 c: d:8x e:-1 :80 f", {{"f", std::nullopt}}},
        {"bad/host user@host h%41 [::1] [::1]:3128 ::1 [x]", {{"::1", std::nullopt}, {"::1", 3128}, {"::1", std::nullopt}}},
        {"[::1]x:80 [::1", {}},
    };
    for (const auto& [text, expected] : rows) EXPECT_EQ(proxy_config::ParseNamedHosts(text), expected) << text;

    std::string many;
    for (int i = 0; i < 100; ++i) many += "h" + std::to_string(i) + " ";
    EXPECT_EQ(proxy_config::ParseNamedHosts(many).size(), proxy_config::kMaxNamedHosts);
    const std::string past = std::string(proxy_config::kMaxNamedHostsText, ' ') + "late";
    EXPECT_TRUE(proxy_config::ParseNamedHosts(past).empty()) << "text past the bound is not read";
}

TEST_F(ProxySelectionTest, DiscoveredProxyNeedingPolicyCredentialsIsSavedEncipheredAndOnlyOnce) {
    const std::string password = "Tiny-Pass-7781";
    testbed::Tinyproxy tinyproxy;
    ASSERT_TRUE(tinyproxy.start(testbed::ProxyCredentials{"agent", password}, {server_->port()}));
    const uint16_t dead = testbed::free_loopback_port();

    // Configured proxy (tried first): dead. System proxy: tinyproxy, which
    // wants the credentials policy configures.
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kSourceFlags, 6));
    ASSERT_TRUE(store->SetSecureString(proxy_config::kType, "http_proxy"));
    ASSERT_TRUE(store->SetSecureString(proxy_config::kServer, "127.0.0.1"));
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kPort, dead));
    SetPolicyCredentials("agent", password);
    // Policy names the system proxy as one its credentials may go to.
    ASSERT_TRUE(store->SetSecureString(proxy_config::kCredentialHosts,
                                       ("proxy.example.com, 127.0.0.1:" + std::to_string(tinyproxy.port())).c_str()));
    env_.Set("http_proxy", "http://127.0.0.1:" + std::to_string(tinyproxy.port()));
    env_.Set("https_proxy", "http://127.0.0.1:" + std::to_string(tinyproxy.port()));

    TesselProxyHelper helper(store.get());
    TesselProxyTester tester(&helper, &handles_);
    CountingRegistration registration;
    ProxyContainer container(store.get());
    ThreadedProxyDiscovery* discovery = container.GetProxyDiscovery();
    {
        TesselProxyHandler handler(&registration, &helper, store.get(), &tester, discovery);
        ASSERT_TRUE(discovery->RegisterForProxyNotifications(&handler));

        discovery->StartProxyDiscovery();
        ASSERT_TRUE(WaitUntil([&] { return log_.contains("exiting proxy discovery thread"); }));
        // Configured, system (one entry serves both schemes), direct.
        EXPECT_TRUE(log_.containsTrace("TesselProxyHandler::ProxiesDiscovered: Enter Proxy Count 3"));
        EXPECT_TRUE(log_.containsTrace("TesselProxyHandler::ProxiesDiscovered: Proxy saved to config"));
        EXPECT_EQ(registration.restarts.load(), 1);

        ProxyInfo expected = Proxy(L"http_proxy", tinyproxy.port(), ProxyInfo::kSystem);
        expected.user = L"agent";
        expected.password = std::wstring(password.begin(), password.end());
        ExpectSaved(helper, expected);
        store->Checkpoint();
        EXPECT_EQ(StoreBytes().find(password), std::string::npos);
        for (const std::string& line : log_.lines()) EXPECT_EQ(line.find(password), std::string::npos) << line;
        for (const auto& line : kitLog_.lines()) EXPECT_EQ(line.text.find(password), std::string::npos) << line.text;

        // The same choice again: nothing saved, no restart.
        log_.clear();
        discovery->StartProxyDiscovery();
        ASSERT_TRUE(WaitUntil([&] { return log_.contains("exiting proxy discovery thread"); }));
        EXPECT_TRUE(log_.containsTrace(
            "TesselProxyHandler::ProxiesDiscovered: Proxy has not changed. Skipping registration"));
        EXPECT_FALSE(log_.contains("Proxy saved to config"));
        EXPECT_EQ(registration.restarts.load(), 1);
    }
    // The handler unregistered itself: a later run notifies nobody.
    log_.clear();
    discovery->StartProxyDiscovery();
    ASSERT_TRUE(WaitUntil([&] { return log_.contains("exiting proxy discovery thread"); }));
    EXPECT_FALSE(log_.contains("ProxyDiscovery::NotifyConsumers"));
}

TEST_F(ProxySelectionTest, PacFileCandidatesAreTestedInTheScriptsOrder) {
    testbed::Microsocks socks;
    ASSERT_TRUE(socks.start(std::nullopt));
    const uint16_t dead = testbed::free_loopback_port();
    testbed::HttpFileServer pacServer;
    pacServer.serve("/proxy.pac", "function FindProxyForURL(url, host) { return \"PROXY 127.0.0.1:" +
                                      std::to_string(dead) + "; SOCKS5 127.0.0.1:" + std::to_string(socks.port()) +
                                      "; DIRECT\"; }");
    ASSERT_TRUE(pacServer.start());
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kSourceFlags, 1 << ProxyInfo::kPacFile));
    ASSERT_TRUE(store->SetSecureString(proxy_config::kPacLocation, pacServer.url("/proxy.pac").c_str()));

    ProxyContainer container(store.get());
    ProxyInfoList list;
    container.GetProxyDiscovery()->StartProxyDiscoverySync(&list);
    ASSERT_GE(list.size(), 3u);
    auto entry = list.begin();
    EXPECT_EQ(entry->discoveryMode, ProxyInfo::kPacFile);
    EXPECT_EQ(entry->type, L"http_proxy");
    EXPECT_EQ(entry->port, dead);
    ++entry;
    EXPECT_EQ(entry->discoveryMode, ProxyInfo::kPacFile);
    EXPECT_EQ(entry->type, L"socks5");
    EXPECT_EQ(entry->port, socks.port());
    EXPECT_EQ(list.back().discoveryMode, ProxyInfo::kDirect);

    TesselProxyHelper helper(store.get());
    TesselProxyTester tester(&helper, &handles_);
    CountingRegistration registration;
    TesselProxyHandler handler(&registration, &helper, store.get(), &tester, nullptr);
    handler.ProxiesDiscovered(list);
    EXPECT_EQ(registration.restarts.load(), 1);
    ExpectSaved(helper, Proxy(L"socks5", socks.port(), ProxyInfo::kPacFile));
}

TEST_F(ProxySelectionTest, EverySendOfOneTestGetsTheWholePassword) {
    const std::string password = "socks-Secret-42";
    testbed::Microsocks socks;
    ASSERT_TRUE(socks.start(testbed::ProxyCredentials{"sockuser", password}));
    TesselProxyHelper helper(store.get());
    TesselProxyTester tester(&helper, &handles_);

    // A second request through the same handle while the test still holds
    // the password, as a kit user that sends twice would.
    int secondStatus = -1;
    handles_.beforeRelease = [&](http_client_handle* handle) {
        auto req = testbed::make_request(handle);
        auto resp = testbed::send(req.get(), server_->url("/status/200"));
        secondStatus = resp ? resp->status : 0;
    };
    ProxyInfo info = Proxy(L"socks5", socks.port(), ProxyInfo::kConfigured);
    info.user = L"sockuser";
    info.password = std::wstring(password.begin(), password.end());
    EXPECT_TRUE(tester.TestProxy(info, store.get()));
    EXPECT_EQ(secondStatus, 200);

    // A wrong password fails, and no policy credentials means no retry.
    info.password = L"wrong";
    secondStatus = -1;
    EXPECT_FALSE(tester.TestProxy(info, store.get()));
    EXPECT_NE(secondStatus, 200);
    EXPECT_FALSE(log_.contains("No password. Anonymous connection"));

    // Policy names a user but no password: the retry to policy's own proxy
    // goes without one.
    ASSERT_TRUE(store->SetSecureString(proxy_config::kUserName, "sockuser"));
    ASSERT_TRUE(store->SetSecureString(proxy_config::kServer, "127.0.0.1"));
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kPort, socks.port()));
    handles_.beforeRelease = nullptr;
    EXPECT_FALSE(tester.TestProxy(info, store.get()));
    EXPECT_TRUE(log_.containsTrace("TesselProxyTester::TestProxyInternal: No password. Anonymous connection"));
    for (const std::string& line : log_.lines()) EXPECT_EQ(line.find(password), std::string::npos) << line;
}

TEST_F(ProxySelectionTest, AProxyThatPassesOnceTeardownBeganIsNeitherSavedNorRestarted) {
    ProxyContainer container(store.get());
    ThreadedProxyDiscovery* discovery = container.GetProxyDiscovery();
    TesselProxyHelper helper(store.get());
    TesselProxyTester tester(&helper, &handles_);
    CountingRegistration registration;
    TesselProxyHandler handler(&registration, &helper, store.get(), &tester, discovery);

    // The teardown begins while the direct connection, which works, is tested.
    handles_.beforeRelease = [discovery](http_client_handle*) { discovery->Shutdown(); };
    ProxyInfo direct;
    direct.discoveryMode = ProxyInfo::kDirect;
    handler.ProxiesDiscovered({direct});
    EXPECT_TRUE(log_.containsTrace("TesselProxyTester::TestProxyInternal: Proxy Test Status: 0"));
    EXPECT_EQ(registration.restarts.load(), 0);
    ProxyInfo stored;
    EXPECT_FALSE(helper.LoadProxyFromConfig(&stored)) << "nothing is saved";
}

}  // namespace
