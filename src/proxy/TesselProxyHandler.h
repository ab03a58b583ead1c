// The consumer of background discovery: tests the candidates, stores the first
// that works when it differs from the stored proxy, and restarts registration;
// also restarts it when the store already holds that proxy but the running
// registration went out through another (the store may be written by paths
// that do not restart registration).
#pragma once

#include "proxy/ProxyDiscovery.h"

class IConfig;
class ITesselProxyHelper;
class ITesselProxyTester;

// What the handler needs of the registration handler: a restart of
// registration from the current configuration (which includes the proxy), and
// which proxy the running registration took at its start.
class ITesselRegistrationRestart {
public:
    virtual ~ITesselRegistrationRestart() = default;
    virtual void PerformTesselRegistration() = 0;
    // True when a registration is running and took a proxy record other than
    // `proxy` (in stored form) at its start; false when none is running.
    virtual bool RunsThroughOtherProxy(const ProxyInfo& proxy) = 0;
};

class TesselProxyHandler : public IProxyConsumer {
public:
    // Nothing is owned. The caller registers the handler with `discovery`.
    TesselProxyHandler(ITesselRegistrationRestart* registration, ITesselProxyHelper* helper, IConfig* config,
                       ITesselProxyTester* tester, IProxyDiscovery* discovery);
    // Unregisters from the discovery (waiting for a notification in progress).
    ~TesselProxyHandler() override;
    TesselProxyHandler(const TesselProxyHandler&) = delete;
    TesselProxyHandler& operator=(const TesselProxyHandler&) = delete;

    void ProxiesDiscovered(const ProxyInfoList& proxies) override;

private:
    ITesselRegistrationRestart* m_registration;
    ITesselProxyHelper* m_helper;
    IConfig* m_config;
    ITesselProxyTester* m_tester;
    IProxyDiscovery* m_discovery;
};
