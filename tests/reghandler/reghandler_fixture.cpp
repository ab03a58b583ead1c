#include "reghandler/reghandler_fixture.h"

namespace reghandler_test {

testbed::Pki& pki() {
    static testbed::Pki instance;
    return instance;
}

ProxyInfo HttpProxy(uint16_t port) {
    ProxyInfo info;
    info.type = L"http_proxy";
    info.server = L"127.0.0.1";
    info.port = port;
    info.discoveryMode = ProxyInfo::kConfigured;
    return info;
}

void DiscoveryCounter::ProxiesDiscovered(const ProxyInfoList&) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_count;
    m_changed.notify_all();
}

bool DiscoveryCounter::WaitFor(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_count >= n; });
}

int DiscoveryCounter::Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

void HandlerFixture::SetUp() {
    std::string reason;
    store_ = hostkit::ConfigStore::Open(dir_.file("config.db"), &reason);
    ASSERT_TRUE(store_) << reason;
    stack_ = std::make_unique<testbed::RegistrationStack>(store_.get(), pki());
    ASSERT_TRUE(stack_->proxies.GetProxyDiscovery()->RegisterForProxyNotifications(&discovered_));
}

void HandlerFixture::TearDown() {
    if (stack_) {
        stack_->DestroyHandler();
        stack_->proxies.GetProxyDiscovery()->UnregisterForProxyNotifications(&discovered_);
    }
    servers_.Stop();
    stack_.reset();
    for (const char* secret : {kActcodeText, "PRIVATE KEY"})
        EXPECT_FALSE(log_.contains(secret)) << "secret in the log: " << secret;
}

void HandlerFixture::StartRegistrationServers() {
    ASSERT_TRUE(servers_.Start(pki()));
    ASSERT_TRUE(servers_.StoreConfig(store_.get(), &stack_->persistent, pki(), kActcodeText));
}

}  // namespace reghandler_test
