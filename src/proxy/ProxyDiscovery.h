// Discovery on demand (into the caller's list) or with the result pushed to
// registered consumers.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "dtk/ITesselInstance.h"
#include "proxy/Proxy.h"

class IConfig;

class IProxyConsumer {
public:
    virtual ~IProxyConsumer() = default;
    // Called on the discovering thread with the consumers' lock held: must not
    // register or unregister consumers.
    virtual void ProxiesDiscovered(const ProxyInfoList& proxies) = 0;
};

class IProxyDiscovery {
public:
    virtual ~IProxyDiscovery() = default;
    virtual bool RegisterForProxyNotifications(IProxyConsumer* consumer) = 0;
    virtual bool UnregisterForProxyNotifications(IProxyConsumer* consumer) = 0;
    // Discovers with the stored configuration and notifies the consumers.
    virtual void StartProxyDiscovery() = 0;
    virtual void StartProxyDiscoverySync(ProxyInfoList* proxies, IConfig* config, uint32_t exclusionMask) = 0;
    virtual void StartProxyDiscoverySync(ProxyInfoList* proxies) = 0;
    virtual void SetShutdownCallback(ProxyShutdownCallback callback) = 0;
    // True once the owner is being torn down (a discovery that has no such
    // notion never is).
    virtual bool IsShuttingDown() const { return false; }
};

class ProxyDiscovery : public IProxyDiscovery {
public:
    ProxyDiscovery(IConfig* config, IProxy* proxy);
    ~ProxyDiscovery() override = default;
    ProxyDiscovery(const ProxyDiscovery&) = delete;
    ProxyDiscovery& operator=(const ProxyDiscovery&) = delete;

    bool RegisterForProxyNotifications(IProxyConsumer* consumer) override;
    bool UnregisterForProxyNotifications(IProxyConsumer* consumer) override;
    void StartProxyDiscovery() override;
    void StartProxyDiscoverySync(ProxyInfoList* proxies, IConfig* config, uint32_t exclusionMask) override;
    void StartProxyDiscoverySync(ProxyInfoList* proxies) override;
    void SetShutdownCallback(ProxyShutdownCallback callback) override;

private:
    void Discover(ProxyInfoList* proxies, IConfig* config, uint32_t exclusionMask);
    void NotifyConsumers(const ProxyInfoList& proxies);

    std::vector<IProxyConsumer*> m_consumers;  // registration order, no duplicates
    std::mutex m_discoveryMutex;               // one run at a time; guards m_shutdown too
    std::mutex m_consumerMutex;
    IConfig* m_config;
    IProxy* m_proxy;
    ProxyShutdownCallback m_shutdown;
};
