#include "frame/TesselWrapper.h"

#include "frame/TesselLogBridge.h"
#include "host/IConfig.h"
#include "host/Util.h"
#include "host/WinApi.h"
#include "kit/tessel_init.h"
#include "kit/tessel_logger.h"

namespace {

// Operations whose component has not been built into the library yet.
void NotAvailable(const char* operation) { error("TesselWrapper::%s: not available", operation); }

}  // namespace

// Components are created in a fixed order and destroyed in the reverse order.
// The numbered steps name every component of the instance; a step without code
// belongs to a component that this build does not contain yet.
TesselWrapper::TesselWrapper(IConfig* pConfig, IWinApiWrapper* pWinApiWrapper, ITesselRegistrationEntity* entity)
    // 1. The host's objects and the registration entity.
    : m_pConfig(pConfig),
      m_pWinApiWrapper(pWinApiWrapper),
      m_entity(entity),
      m_registryOperator(nullptr, ReleaseRegistryOperator),
      m_persistentConfig(nullptr, ReleasePersistentConfig) {
    try {
        // 2. Cloud connection manager.
        // 3. The host's registry operator.
        m_registryOperator.reset(CreateRegistryOperator(m_pWinApiWrapper->GetRegistryAccess()));
        // 4. The host's persistent configuration.
        m_persistentConfig.reset(CreatePersistentConfig(m_pConfig, m_registryOperator.get()));
        // 5. Host-information adapter.
        // 6. Proxy container with the threaded proxy discovery.
        // 7. Proxy helper.
        // 8. Vesta registration data handler.
        // 9. HTTP facade.
        // 10. Registration handler (observes the cloud connection manager).
        // 11. Proxy tester.
        // 12. Proxy handler (consumer of discovered proxies).
        // 13. Proxy discovery.
        // 14. Cloud wrapper.

        // 15. The kit logger and the bridge to the host's log functions.
        tessel_logger_init();
        m_logCallbackId = tessel_logger_register_callback(TesselLogBridge, nullptr);
        if (m_logCallbackId == -1)
            error("TesselWrapper::TesselWrapper: Failed to register Tessel log callback");

        // 16. The kit's one-time global initialisation.
        tessel_init();

        // 17. The configured proxy.
        // 18. The registration-callbacks singleton points at the registration handler.
    } catch (...) {
        Destroy();
        throw;
    }
}

TesselWrapper::~TesselWrapper() { Destroy(); }

void TesselWrapper::Destroy() {
    // 1. The log bridge goes first, so no kit line reaches a half-destroyed host.
    if (m_logCallbackId != -1) {
        tessel_logger_unregister_callback(m_logCallbackId);
        m_logCallbackId = 0;
    }
    // 2. The kit logger.
    tessel_logger_deinit();
    // 3. The components in reverse order of construction: cloud wrapper, proxy
    //    discovery, proxy handler, proxy tester, registration handler, HTTP
    //    facade, registration data handler, proxy helper, proxy container,
    //    host-information adapter; then the persistent configuration and the
    //    registry operator; the cloud connection manager last.
    m_persistentConfig.reset();
    m_registryOperator.reset();
}

void TesselWrapper::PerformTesselRegistration() { NotAvailable("PerformTesselRegistration"); }

bool TesselWrapper::IsRegistrationComplete() { return m_entity->IsRegistrationComplete(); }

bool TesselWrapper::DownloadPolicy(uint32_t, const wchar_t*) {
    NotAvailable("DownloadPolicy");
    return false;
}

void TesselWrapper::AddRcmsHandler(int32_t, TesselRcmsHandler) { NotAvailable("AddRcmsHandler"); }

void TesselWrapper::SetRetrospectiveCallback(TesselRetrospectiveCallback, int32_t) {
    NotAvailable("SetRetrospectiveCallback");
}

void TesselWrapper::SetPolicyCallback(TesselPolicyCallback, int32_t) { NotAvailable("SetPolicyCallback"); }

void TesselWrapper::SetAvStatsCallback(TesselAvStatsCallback, int32_t) { NotAvailable("SetAvStatsCallback"); }

void TesselWrapper::UpdateConfiguration() { NotAvailable("UpdateConfiguration"); }

void TesselWrapper::RestartPeriodicFast() { NotAvailable("RestartPeriodicFast"); }

void TesselWrapper::ReportCloudConnectionFailure() { NotAvailable("ReportCloudConnectionFailure"); }

void TesselWrapper::ReportCloudConnectionSuccessful() { NotAvailable("ReportCloudConnectionSuccessful"); }

bool TesselWrapper::IsCloudConnected() {
    NotAvailable("IsCloudConnected");
    return false;
}

bool TesselWrapper::RegisterObserver(ITesselCloudConnectionObserver*) {
    NotAvailable("RegisterObserver");
    return false;
}

bool TesselWrapper::RemoveObserver(ITesselCloudConnectionObserver*) {
    NotAvailable("RemoveObserver");
    return false;
}

IHttp* TesselWrapper::CreateHttp() {
    NotAvailable("CreateHttp");
    return nullptr;
}

void TesselWrapper::ReleaseHttp(IHttp*) { NotAvailable("ReleaseHttp"); }

ProxyInfo* TesselWrapper::LoadProxyInfo() {
    NotAvailable("LoadProxyInfo");
    return nullptr;
}

void TesselWrapper::ReleaseProxyInfo(ProxyInfo*) { NotAvailable("ReleaseProxyInfo"); }

bool TesselWrapper::TestProxy(const ProxyInfo*, IConfig*) {
    NotAvailable("TestProxy");
    return false;
}

bool TesselWrapper::DiscoverAndSaveProxy() {
    NotAvailable("DiscoverAndSaveProxy");
    return false;
}

bool TesselWrapper::DiscoverValidProxy(IConfig*) {
    NotAvailable("DiscoverValidProxy");
    return false;
}

void TesselWrapper::DiscoverProxies(ProxyInfoList*) { NotAvailable("DiscoverProxies"); }

void TesselWrapper::StartProxyDiscovery() { NotAvailable("StartProxyDiscovery"); }

ITesselCloudWrapper* TesselWrapper::GetCloudWrapper() {
    NotAvailable("GetCloudWrapper");
    return nullptr;
}
