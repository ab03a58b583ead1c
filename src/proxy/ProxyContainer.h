// Owns the proxy discovery objects of one library instance.
#pragma once

#include <memory>

#include "proxy/Proxy.h"
#include "proxy/ProxyDiscovery.h"
#include "proxy/ThreadedProxyDiscovery.h"
#include "proxy/WinHttpWrapper.h"

class IConfig;

class ProxyContainer {
public:
    explicit ProxyContainer(IConfig* config);
    // With another implementation of the WinHTTP calls.
    ProxyContainer(IConfig* config, std::unique_ptr<IWinHttpWrapper> winHttp);
    // Stops a running background discovery first (waits for its thread).
    ~ProxyContainer();
    ProxyContainer(const ProxyContainer&) = delete;
    ProxyContainer& operator=(const ProxyContainer&) = delete;

    // The discovery the instance uses: background runs, synchronous runs and
    // consumers all go through it.
    ThreadedProxyDiscovery* GetProxyDiscovery() const { return m_threadedDiscovery.get(); }
    // The first step of teardown: discovery and its consumers wind down now,
    // so that nothing destroyed before the container waits for them.
    void Shutdown() { m_threadedDiscovery->Shutdown(); }

private:
    // Declared in creation order; destroyed in reverse.
    std::unique_ptr<IWinHttpWrapper> m_winHttp;
    std::unique_ptr<Proxy> m_proxy;
    std::unique_ptr<ProxyDiscovery> m_discovery;
    std::unique_ptr<ThreadedProxyDiscovery> m_threadedDiscovery;
};
