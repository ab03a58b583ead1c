// The consumer of background discovery: tests the candidates, stores the first
// that works when it differs from the stored proxy, and restarts registration.
#pragma once

#include "proxy/ProxyDiscovery.h"

class IConfig;
class ITesselProxyHelper;
class ITesselProxyTester;

// What the handler needs of the registration handler: a restart of
// registration from the current configuration (which includes the proxy).
class ITesselRegistrationRestart {
public:
    virtual ~ITesselRegistrationRestart() = default;
    virtual void PerformTesselRegistration() = 0;
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
