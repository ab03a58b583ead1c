#include "proxy/TesselProxyHandler.h"

#include "host/Util.h"
#include "proxy/TesselProxyHelper.h"
#include "proxy/TesselProxyTester.h"

TesselProxyHandler::TesselProxyHandler(ITesselRegistrationRestart* registration, ITesselProxyHelper* helper,
                                       IConfig* config, ITesselProxyTester* tester, IProxyDiscovery* discovery)
    : m_registration(registration), m_helper(helper), m_config(config), m_tester(tester), m_discovery(discovery) {}

TesselProxyHandler::~TesselProxyHandler() {
    if (m_discovery) m_discovery->UnregisterForProxyNotifications(this);
}

void TesselProxyHandler::ProxiesDiscovered(const ProxyInfoList& proxies) {
    trace(kTesselTraceCategory, "TesselProxyHandler::ProxiesDiscovered: Enter Proxy Count %d",
          static_cast<int>(proxies.size()));
    ProxyInfoList candidates(proxies);
    const ProxyInfo* chosen = m_tester->FindFirstValidProxy(candidates, m_config);
    if (!chosen) return;
    // Teardown began during the tests: a restart now would start a
    // registration that the teardown then has to stop again, and the next
    // start finds the proxy again.
    if (m_discovery && m_discovery->IsShuttingDown()) {
        trace(kTesselTraceCategory,
              "TesselProxyHandler::ProxiesDiscovered: Shutting down. Proxy neither saved nor registration restarted");
        return;
    }
    trace(kTesselTraceCategory, "TesselProxyHandler::ProxiesDiscovered: Proxy %ls verified", chosen->server.c_str());

    // Compared in the form a save would leave, or a list entry would always
    // look changed.
    const ProxyInfo wanted = TesselProxyHelper::StoredForm(*chosen);
    ProxyInfo stored;
    if (m_helper->LoadProxyFromConfig(&stored) && stored == wanted) {
        // Another path may have stored it without restarting registration,
        // which would then stay on its old (perhaps dead) proxy for good.
        if (m_registration && m_registration->RunsThroughOtherProxy(wanted)) {
            trace(kTesselTraceCategory,
                  "TesselProxyHandler::ProxiesDiscovered: Proxy already saved but registration uses another. Restarting registration");
            m_registration->PerformTesselRegistration();
            return;
        }
        trace(kTesselTraceCategory, "TesselProxyHandler::ProxiesDiscovered: Proxy has not changed. Skipping registration");
        return;
    }
    if (!m_helper->SaveProxyToConfig(*chosen)) return;
    trace(kTesselTraceCategory, "TesselProxyHandler::ProxiesDiscovered: Proxy saved to config");
    if (m_registration) m_registration->PerformTesselRegistration();
}
