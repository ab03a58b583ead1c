#include "proxy/TesselProxyDiscovery.h"

#include "proxy/ProxyDiscovery.h"
#include "proxy/TesselProxyHelper.h"
#include "proxy/TesselProxyTester.h"

TesselProxyDiscovery::TesselProxyDiscovery(IConfig* config, IProxyDiscovery* discovery, ITesselProxyTester* tester,
                                           ITesselProxyHelper* helper)
    : m_config(config), m_discovery(discovery), m_tester(tester), m_helper(helper) {}

bool TesselProxyDiscovery::DiscoverAndSaveProxy() {
    ProxyInfoList proxies;
    m_discovery->StartProxyDiscoverySync(&proxies);
    ProxyInfo* valid = m_tester->FindFirstValidProxy(proxies, m_config);
    return valid && m_helper->SaveProxyToConfig(*valid);
}

bool TesselProxyDiscovery::DiscoverValidProxy(IConfig* config) {
    ProxyInfoList proxies;
    m_discovery->StartProxyDiscoverySync(&proxies, config, kConfigExclusionMask);
    return m_tester->FindFirstValidProxy(proxies, config) != nullptr;
}
