// Discovery and test in one call for the host: find the candidates, test them
// in order, and either store the first that works or only say whether one does.
#pragma once

#include <cstdint>

class IConfig;
class IProxyDiscovery;
class ITesselProxyTester;
class ITesselProxyHelper;

class TesselProxyDiscovery {
public:
    // The system proxy and both WPAD sources are left out of a discovery for a
    // given configuration: only the configured proxy, the PAC file and the
    // direct connection are candidates.
    static constexpr uint32_t kConfigExclusionMask = (1u << 1) | (1u << 4) | (1u << 5);

    // Nothing is owned.
    TesselProxyDiscovery(IConfig* config, IProxyDiscovery* discovery, ITesselProxyTester* tester,
                         ITesselProxyHelper* helper);

    // Discovers with the library's configuration and saves the first valid
    // proxy; true when one was found and saved.
    bool DiscoverAndSaveProxy();
    // Discovers and tests under `config`; true when a valid proxy exists.
    // Nothing is saved.
    bool DiscoverValidProxy(IConfig* config);

private:
    IConfig* m_config;
    IProxyDiscovery* m_discovery;
    ITesselProxyTester* m_tester;
    ITesselProxyHelper* m_helper;
};
