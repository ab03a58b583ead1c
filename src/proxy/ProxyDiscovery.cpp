#include "proxy/ProxyDiscovery.h"

#include <algorithm>
#include <utility>

#include "host/Util.h"

ProxyDiscovery::ProxyDiscovery(IConfig* config, IProxy* proxy) : m_config(config), m_proxy(proxy) {}

bool ProxyDiscovery::RegisterForProxyNotifications(IProxyConsumer* consumer) {
    std::lock_guard<std::mutex> lock(m_consumerMutex);
    if (!consumer) {
        error("ProxyDiscovery::RegisterForProxyNotifications: Consumer is null");
        return false;
    }
    if (std::find(m_consumers.begin(), m_consumers.end(), consumer) != m_consumers.end()) {
        error("ProxyDiscovery::RegisterForProxyNotifications: Consumer is already registered");
        return false;
    }
    m_consumers.push_back(consumer);
    trace(kTesselTraceCategory, "ProxyDiscovery::RegisterForProxyNotifications: Added consumer %p",
          static_cast<void*>(consumer));
    return true;
}

bool ProxyDiscovery::UnregisterForProxyNotifications(IProxyConsumer* consumer) {
    std::lock_guard<std::mutex> lock(m_consumerMutex);
    if (!consumer) {
        error("ProxyDiscovery::UnregisterForProxyNotifications: Consumer is null");
        return false;
    }
    auto found = std::find(m_consumers.begin(), m_consumers.end(), consumer);
    if (found == m_consumers.end()) return false;
    m_consumers.erase(found);
    trace(kTesselTraceCategory, "ProxyDiscovery::UnregisterForProxyNotifications: Removed consumer %p",
          static_cast<void*>(consumer));
    return true;
}

void ProxyDiscovery::Discover(ProxyInfoList* proxies, IConfig* config, uint32_t exclusionMask) {
    std::lock_guard<std::mutex> lock(m_discoveryMutex);
    m_proxy->Discovery(config, exclusionMask, m_shutdown);
    m_proxy->GetProxies(proxies);
}

void ProxyDiscovery::StartProxyDiscovery() {
    ProxyInfoList proxies;
    Discover(&proxies, m_config, 0);
    trace(kTesselTraceCategory, "ProxyDiscovery::StartProxyDiscovery: Discover %d proxies",
          static_cast<int>(proxies.size()));
    NotifyConsumers(proxies);
}

void ProxyDiscovery::StartProxyDiscoverySync(ProxyInfoList* proxies, IConfig* config, uint32_t exclusionMask) {
    Discover(proxies, config, exclusionMask);
    trace(kTesselTraceCategory, "ProxyDiscovery::StartProxyDiscoverySync: Discover %d proxies",
          static_cast<int>(proxies->size()));
}

void ProxyDiscovery::StartProxyDiscoverySync(ProxyInfoList* proxies) { StartProxyDiscoverySync(proxies, m_config, 0); }

void ProxyDiscovery::SetShutdownCallback(ProxyShutdownCallback callback) {
    std::lock_guard<std::mutex> lock(m_discoveryMutex);
    m_shutdown = std::move(callback);
}

void ProxyDiscovery::NotifyConsumers(const ProxyInfoList& proxies) {
    std::lock_guard<std::mutex> lock(m_consumerMutex);
    for (IProxyConsumer* consumer : m_consumers) {
        trace(kTesselTraceCategory, "ProxyDiscovery::NotifyConsumers: Notify Proxy Consumer %p",
              static_cast<void*>(consumer));
        consumer->ProxiesDiscovered(proxies);
    }
}
