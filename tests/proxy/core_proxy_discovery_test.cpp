// Discovery: which sources run, in which order, and the background thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "proxy/ProxyContainer.h"
#include "support/log_capture.h"
#include "testbed/http_file_server.h"
#include "core_proxy_fixture.h"

namespace {

// The real system-proxy source, held at its start until the test lets it go.
class GatedWinHttp : public WinHttpWrapper {
public:
    bool WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++entered_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(30), [this] { return open_; });
        lock.unlock();
        return WinHttpWrapper::WinHttpGetDefaultProxyConfiguration(info);
    }
    bool WaitEntered(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return entered_ >= count; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool open_ = false;
};

class RecordingConsumer : public IProxyConsumer {
public:
    RecordingConsumer(std::string name, std::vector<std::string>* order, std::mutex* mutex)
        : name_(std::move(name)), order_(order), mutex_(mutex) {}
    void ProxiesDiscovered(const ProxyInfoList& proxies) override {
        std::lock_guard<std::mutex> lock(*mutex_);
        order_->push_back(name_ + ":" + std::to_string(proxies.size()));
    }

private:
    std::string name_;
    std::vector<std::string>* order_;
    std::mutex* mutex_;
};

class ProxyDiscoveryTest : public ProxyStoreTest {
protected:
    void SetConfiguredProxy(const std::string& server, int32_t port) {
        ASSERT_TRUE(store->SetSecureString(proxy_config::kType, "http_proxy"));
        ASSERT_TRUE(store->SetSecureString(proxy_config::kServer, server.c_str()));
        ASSERT_TRUE(store->SetSecureInt(proxy_config::kPort, port));
    }
    std::vector<int32_t> Modes(const ProxyInfoList& list) {
        std::vector<int32_t> modes;
        for (const ProxyInfo& info : list) modes.push_back(info.discoveryMode);
        return modes;
    }

    // A container whose only source besides the direct connection is the
    // system proxy, held by `gated` until the test opens it.
    std::unique_ptr<ProxyContainer> GatedContainer() {
        auto gate = std::make_unique<GatedWinHttp>();
        gated = gate.get();
        EXPECT_TRUE(store->SetSecureInt(proxy_config::kSourceFlags, 2));
        env.Set("https_proxy", "http://127.0.0.1:1111");
        return std::make_unique<ProxyContainer>(store.get(), std::move(gate));
    }
    std::vector<std::string> Order() {
        std::lock_guard<std::mutex> lock(orderMutex);
        return order;
    }

    ProxyEnvironment env;
    LogCapture log;
    GatedWinHttp* gated = nullptr;
    std::mutex orderMutex;
    std::vector<std::string> order;  // consumer:entries, as notified
};

TEST_F(ProxyDiscoveryTest, SourceMaskAndRunOrder) {
    ProxyContainer container(store.get());
    IProxyDiscovery* discovery = container.GetProxyDiscovery();
    ProxyInfoList list;

    // No "config/proxy/srcfl": the direct connection alone, even with a
    // configured and a system proxy at hand.
    SetConfiguredProxy("configured.example", 2222);
    env.Set("http_proxy", "http://127.0.0.1:1111");
    discovery->StartProxyDiscoverySync(&list);
    EXPECT_EQ(Modes(list), (std::vector<int32_t>{0}));
    ProxyInfo direct;
    direct.discoveryMode = ProxyInfo::kDirect;
    EXPECT_TRUE(list.front() == direct);
    EXPECT_TRUE(log.containsTrace("ProxyDiscovery::StartProxyDiscoverySync: Discover 1 proxies"));

    // Bit 1 enables the system proxy only, bit 2 the configured proxy, which
    // adds nothing while none is configured.
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kSourceFlags, 2));
    discovery->StartProxyDiscoverySync(&list);
    EXPECT_EQ(Modes(list), (std::vector<int32_t>{1, 0}));
    ASSERT_TRUE(store->DeleteKey(hostkit::ConfigView::Secure, proxy_config::kServer));
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kSourceFlags, 4));
    discovery->StartProxyDiscoverySync(&list);
    EXPECT_EQ(Modes(list), (std::vector<int32_t>{0}));
    SetConfiguredProxy("configured.example", 2222);

    // 6: configured proxy, then system proxy, then the direct connection.
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kSourceFlags, 6));
    log.clear();
    discovery->StartProxyDiscoverySync(&list);
    ASSERT_EQ(Modes(list), (std::vector<int32_t>{2, 1, 0}));
    const ProxyInfo& configured = list.front();
    EXPECT_EQ(configured.server, L"configured.example");
    EXPECT_EQ(configured.port, 2222);
    EXPECT_EQ(configured.type, L"http_proxy");
    EXPECT_EQ(configured.tunnel, 0);  // not configured: 0
    const ProxyInfo& system = *std::next(list.begin());
    EXPECT_EQ(system.server, L"127.0.0.1");
    EXPECT_EQ(system.port, 1111);
    EXPECT_EQ(system.listProtocol, L"http_proxy");  // "http" normalised
    EXPECT_EQ(system.type, L"http_proxy");
    const auto lines = log.lines();
    std::vector<std::string> methods;
    for (const std::string& line : lines)
        if (line.rfind("Proxy::Discovery method: ", 0) == 0) methods.push_back(line.substr(25, 1));
    EXPECT_EQ(methods, (std::vector<std::string>{"2", "1", "0"}));
    EXPECT_TRUE(log.containsTrace("Proxy::Discovery: Add Config Proxy configured.example:2222 to discovery list"));

    // The exclusion mask removes the configured proxy; the direct connection
    // can be excluded too.
    discovery->StartProxyDiscoverySync(&list, store.get(), 1u << 2);
    EXPECT_EQ(Modes(list), (std::vector<int32_t>{1, 0}));
    discovery->StartProxyDiscoverySync(&list, store.get(), (1u << 1) | 1u);
    EXPECT_EQ(Modes(list), (std::vector<int32_t>{2}));

    // The automatic sources need the test URL.
    ASSERT_TRUE(store->SetSecureInt(proxy_config::kSourceFlags, 0x38));
    discovery->StartProxyDiscoverySync(&list);
    EXPECT_EQ(Modes(list), (std::vector<int32_t>{0}));
    EXPECT_EQ(log.count("Proxy::GetAutoProxyInfo test URL is empty"), 3u);
}

TEST_F(ProxyDiscoveryTest, RepeatedProxiesAreDroppedAndALongListIsCut) {
    // A PAC answer of 600 entries naming 20 proxies over and over.
    testbed::HttpFileServer pacServer;
    pacServer.serve("/proxy.pac",
                    "function FindProxyForURL(url, host) { var list = \"\"; for (var i = 0; i < 600; i++) "
                    "list += \"PROXY 127.0.0.1:\" + (2000 + i % 20) + \"; \"; return list + \"DIRECT\"; }");
    ASSERT_TRUE(pacServer.start());
    ASSERT_TRUE(store->SetSecureString(proxy_config::kTestUrl, "https://127.0.0.1:1/"));
    ASSERT_TRUE(store->SetSecureString(proxy_config::kPacLocation, pacServer.url("/proxy.pac").c_str()));
    ASSERT_TRUE(
        store->SetSecureInt(proxy_config::kSourceFlags, (1 << ProxyInfo::kSystem) | (1 << ProxyInfo::kPacFile)));
    // The system proxy is the PAC file's first one, listed for both schemes.
    env.Set("http_proxy", "http://127.0.0.1:2000");
    env.Set("https_proxy", "http://127.0.0.1:2000");

    ProxyContainer container(store.get());
    ProxyInfoList list;
    container.GetProxyDiscovery()->StartProxyDiscoverySync(&list);

    // Each proxy once, where it was first found, the list cut after the
    // first few; the direct connection stays last.
    std::vector<std::pair<int32_t, int>> expected{{ProxyInfo::kSystem, 2000}};
    for (int port = 2001; expected.size() < Proxy::kMaxCandidates; ++port)
        expected.emplace_back(ProxyInfo::kPacFile, port);
    expected.emplace_back(ProxyInfo::kDirect, 0);
    std::vector<std::pair<int32_t, int>> found;
    for (const ProxyInfo& info : list) found.emplace_back(info.discoveryMode, info.port);
    EXPECT_EQ(found, expected);
}

TEST_F(ProxyDiscoveryTest, BackgroundDiscoveryNotifiesInOrderAndRunsOnce) {
    RecordingConsumer first("first", &order, &orderMutex), second("second", &order, &orderMutex),
        third("third", &order, &orderMutex);
    {
        auto container = GatedContainer();
        ThreadedProxyDiscovery* discovery = container->GetProxyDiscovery();
        EXPECT_TRUE(discovery->RegisterForProxyNotifications(&first));
        EXPECT_TRUE(discovery->RegisterForProxyNotifications(&second));
        EXPECT_TRUE(discovery->RegisterForProxyNotifications(&third));
        EXPECT_FALSE(discovery->RegisterForProxyNotifications(&second));
        EXPECT_FALSE(discovery->RegisterForProxyNotifications(nullptr));
        EXPECT_TRUE(discovery->UnregisterForProxyNotifications(&second));
        EXPECT_FALSE(discovery->UnregisterForProxyNotifications(&second));
        EXPECT_TRUE(discovery->RegisterForProxyNotifications(&second));
        EXPECT_TRUE(log.containsError("ProxyDiscovery::RegisterForProxyNotifications: Consumer is already registered"));
        discovery->SetShutdownCallback([] { return true; });
        EXPECT_TRUE(log.containsTrace("ThreadedProxyDiscovery::SetShutdownCallback: Not allowed"));

        discovery->StartProxyDiscovery();
        ASSERT_TRUE(gated->WaitEntered(1));
        discovery->StartProxyDiscovery();  // ignored while the first runs
        EXPECT_TRUE(log.containsTrace(
            "ThreadedProxyDiscovery::StartProxyDiscovery: Proxy discovery thread already running"));
        gated->Open();
        ASSERT_TRUE(WaitUntil([&] { return !discovery->IsRunning(); }));
        EXPECT_TRUE(log.containsTrace("ThreadedProxyDiscovery::DiscoveryThread: exiting proxy discovery thread"));
        EXPECT_EQ(Order(), (std::vector<std::string>{"first:2", "third:2", "second:2"}));
        // Idle again: a new start runs.
        discovery->StartProxyDiscovery();
        ASSERT_TRUE(WaitUntil([&] { return Order().size() == 6; }));
        ASSERT_TRUE(WaitUntil([&] { return !discovery->IsRunning(); }));
        EXPECT_TRUE(discovery->UnregisterForProxyNotifications(&first));
        EXPECT_TRUE(discovery->UnregisterForProxyNotifications(&second));
        EXPECT_TRUE(discovery->UnregisterForProxyNotifications(&third));
    }
    EXPECT_EQ(log.count("ProxyDiscovery::NotifyConsumers: Notify Proxy Consumer"), 6u);
}

TEST_F(ProxyDiscoveryTest, DestructionStopsASlowDiscoveryBeforeItsNextSource) {
    RecordingConsumer consumer("consumer", &order, &orderMutex);
    auto container = GatedContainer();
    ThreadedProxyDiscovery* discovery = container->GetProxyDiscovery();
    ASSERT_TRUE(discovery->RegisterForProxyNotifications(&consumer));
    discovery->StartProxyDiscovery();
    ASSERT_TRUE(gated->WaitEntered(1));

    // The destructor flags the shutdown and waits for the thread, which is
    // held inside the system-proxy source.
    auto destroyed = std::async(std::launch::async, [&] { container.reset(); });
    ASSERT_TRUE(WaitUntil([&] { return discovery->IsShuttingDown(); }));
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    gated->Open();
    ASSERT_EQ(destroyed.wait_for(std::chrono::seconds(20)), std::future_status::ready);

    // The run stopped before the direct connection and handed on nothing.
    EXPECT_FALSE(log.contains("Proxy::Discovery: Add Direct Connection to discovery list"));
    EXPECT_FALSE(log.contains("Proxy::Discovery method: 0"));
    EXPECT_EQ(Order(), (std::vector<std::string>{"consumer:0"}));
}

}  // namespace
