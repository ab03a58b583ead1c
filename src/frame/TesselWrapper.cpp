#include "frame/TesselWrapper.h"

#include "frame/ConfigIdentitySource.h"
#include "frame/HelperProxySource.h"
#include "frame/HttpHandleSource.h"
#include "frame/TesselCloudConnectionMgr.h"
#include "frame/TesselCloudWrapper.h"
#include "frame/TesselLogBridge.h"
#include "host/IConfig.h"
#include "host/Util.h"
#include "host/WinApi.h"
#include "http/TesselHttp.h"
#include "kit/tessel_init.h"
#include "kit/tessel_logger.h"
#include "proxy/ProxyContainer.h"
#include "proxy/TesselProxyDiscovery.h"
#include "proxy/TesselProxyHandler.h"
#include "proxy/TesselProxyHelper.h"
#include "proxy/TesselProxyTester.h"
#include "registration/TesselExternal.h"
#include "registration/TesselRegistrationCallbacksHandler.h"
#include "registration/TesselRegistrationHandler.h"
#include "registration/VestaRegistrationDataHandler.h"

namespace {

// What the host created through the instance and gives back: destroyed
// through its virtual destructor.
template <typename T>
void DestroyObject(T* object) {
    delete object;
}

}  // namespace

// Components are created in a fixed order and destroyed in the reverse order.
TesselWrapper::TesselWrapper(IConfig* pConfig, IWinApiWrapper* pWinApiWrapper, ITesselRegistrationEntity* entity)
    // 1. The host's objects and the registration entity.
    : m_pConfig(pConfig),
      m_pWinApiWrapper(pWinApiWrapper),
      m_entity(entity),
      m_registryOperator(nullptr, ReleaseRegistryOperator),
      m_persistentConfig(nullptr, ReleasePersistentConfig) {
    try {
        // 2. Cloud connection manager.
        m_connectionMgr = std::make_unique<TesselCloudConnectionMgr>(m_pConfig);
        // 3. The host's registry operator.
        m_registryOperator.reset(CreateRegistryOperator(m_pWinApiWrapper->GetRegistryAccess()));
        // 4. The host's persistent configuration.
        m_persistentConfig.reset(CreatePersistentConfig(m_pConfig, m_registryOperator.get()));
        // 5. Host-information adapter.
        m_external = std::make_unique<TesselExternal>();
        // 6. Proxy container with the threaded proxy discovery.
        m_proxyContainer = std::make_unique<ProxyContainer>(m_pConfig);
        ThreadedProxyDiscovery* discovery = m_proxyContainer->GetProxyDiscovery();
        // 7. Proxy helper.
        m_proxyHelper = std::make_unique<TesselProxyHelper>(m_pConfig);
        // 8. Vesta registration data handler.
        m_vestaData = std::make_unique<VestaRegistrationDataHandler>(m_external.get());
        // 9. HTTP facade, with the configuration reader's identity and the helper's proxy.
        m_httpIdentity = std::make_unique<ConfigIdentitySource>(m_pConfig, m_persistentConfig.get());
        m_httpProxy = std::make_unique<HelperProxySource>(m_proxyHelper.get());
        m_http = std::make_unique<TesselHttp>(m_pConfig, m_httpIdentity.get(), m_httpProxy.get());
        // 10. Registration handler (observes the cloud connection manager).
        m_registrationHandler = std::make_unique<TesselRegistrationHandler>(
            m_pConfig, m_persistentConfig.get(), m_entity, m_connectionMgr.get(), m_http.get(), m_external.get(),
            m_proxyHelper.get(), discovery, m_vestaData.get());
        // 11. Proxy tester, whose kit handles come from the HTTP facade.
        m_testerHandles = std::make_unique<HttpHandleSource>(m_http.get());
        m_proxyTester = std::make_unique<TesselProxyTester>(m_proxyHelper.get(), m_testerHandles.get());
        m_proxyTester->SetShutdownCheck([discovery] { return discovery->IsShuttingDown(); });
        // 12. Proxy handler (consumer of discovered proxies).
        m_proxyHandler = std::make_unique<TesselProxyHandler>(m_registrationHandler.get(), m_proxyHelper.get(),
                                                              m_pConfig, m_proxyTester.get(), discovery);
        discovery->RegisterForProxyNotifications(m_proxyHandler.get());
        // 13. Proxy discovery.
        m_proxyDiscovery = std::make_unique<TesselProxyDiscovery>(m_pConfig, discovery, m_proxyTester.get(),
                                                                  m_proxyHelper.get());
        // 14. Cloud wrapper.
        m_cloudWrapper = std::make_unique<TesselCloudWrapper>(m_entity);
        m_logCallbackId = -1;

        // 15. The kit logger and the bridge to the host's log functions.
        tessel_logger_init();
        m_logCallbackId = tessel_logger_register_callback(TesselLogBridge, nullptr);
        if (m_logCallbackId == -1)
            error("TesselWrapper::TesselWrapper: Failed to register Tessel log callback");

        // 16. The kit's one-time global initialisation.
        tessel_init();

        // 17. The configured proxy.
        if (!m_proxyHelper->InitializeConfigProxy())
            error("TesselWrapper::TesselWrapper: InitializeConfigProxy failed");

        // 18. The registration-callbacks singleton points at the registration handler.
        TesselRegistrationCallbacksHandler::Instance().SetRegistrationHandler(m_registrationHandler.get());
    } catch (...) {
        Destroy();
        throw;
    }
}

TesselWrapper::~TesselWrapper() { Destroy(); }

void TesselWrapper::Destroy() {
    // Discovery winds down first: its consumer's proxy tests (each up to a
    // time-out of its own, per candidate) hold the consumer lock that the
    // proxy handler's destruction below waits for.
    if (m_proxyContainer)
        m_proxyContainer->Shutdown();
    // Downloads in flight end first: a policy download on a cloud worker would
    // otherwise hold up the join of that worker below until its time-out.
    if (m_http)
        m_http->Shutdown();
    // 1. The log bridge goes first, so no kit line reaches a half-destroyed host.
    if (m_logCallbackId != -1) {
        tessel_logger_unregister_callback(m_logCallbackId);
        m_logCallbackId = 0;
    }
    // 2. The kit logger.
    tessel_logger_deinit();
    // The singleton lets go of the handler before it goes, so a ping of a
    // connection still winding down cannot reach it.
    if (m_registrationHandler)
        TesselRegistrationCallbacksHandler::Instance().ClearRegistrationHandler(m_registrationHandler.get());
    // 3. The components in reverse order of construction; the registration
    //    handler stops registration, the proxy container stops discovery.
    m_cloudWrapper.reset();
    m_proxyDiscovery.reset();
    m_proxyHandler.reset();
    m_proxyTester.reset();
    m_testerHandles.reset();
    m_registrationHandler.reset();
    m_http.reset();
    m_httpProxy.reset();
    m_httpIdentity.reset();
    m_vestaData.reset();
    m_proxyHelper.reset();
    m_proxyContainer.reset();
    m_external.reset();
    m_persistentConfig.reset();
    m_registryOperator.reset();
    m_connectionMgr.reset();
}

void TesselWrapper::PerformTesselRegistration() { m_registrationHandler->PerformTesselRegistration(); }

bool TesselWrapper::IsRegistrationComplete() { return m_entity->IsRegistrationComplete(); }

bool TesselWrapper::DownloadPolicy(uint32_t fetchBits, const wchar_t* path) {
    return m_http->DownloadPolicy(fetchBits, path);
}

void TesselWrapper::AddRcmsHandler(int32_t messageType, TesselRcmsHandler handler) {
    m_registrationHandler->AddRcmsHandler(messageType, handler);
}

void TesselWrapper::SetRetrospectiveCallback(TesselRetrospectiveCallback callback, int32_t userValue) {
    m_registrationHandler->SetRetrospectiveCallback(callback, userValue);
}

void TesselWrapper::SetPolicyCallback(TesselPolicyCallback callback, int32_t userValue) {
    m_registrationHandler->SetPolicyCallback(callback, userValue);
}

void TesselWrapper::SetAvStatsCallback(TesselAvStatsCallback callback, int32_t userValue) {
    m_registrationHandler->SetAvStatsCallback(callback, userValue);
}

void TesselWrapper::UpdateConfiguration() {
    m_connectionMgr->ReloadMaxFailures();
    m_registrationHandler->UpdateConfiguration();
}

void TesselWrapper::RestartPeriodicFast() { m_cloudWrapper->RestartPeriodicFast(); }

void TesselWrapper::ReportCloudConnectionFailure() { m_connectionMgr->ReportCloudConnectionFailure(false); }

void TesselWrapper::ReportCloudConnectionSuccessful() { m_connectionMgr->ReportCloudConnectionSuccessful(); }

bool TesselWrapper::IsCloudConnected() { return m_connectionMgr->IsCloudConnected(); }

bool TesselWrapper::RegisterObserver(ITesselCloudConnectionObserver* observer) {
    return m_connectionMgr->RegisterObserver(observer);
}

bool TesselWrapper::RemoveObserver(ITesselCloudConnectionObserver* observer) {
    return m_connectionMgr->RemoveObserver(observer);
}

IHttp* TesselWrapper::CreateHttp() { return new TesselHttp(m_pConfig, m_httpIdentity.get(), m_httpProxy.get()); }

void TesselWrapper::ReleaseHttp(IHttp* http) { DestroyObject(http); }

ProxyInfo* TesselWrapper::LoadProxyInfo() {
    auto* proxy = new ProxyInfo();
    m_proxyHelper->LoadProxyFromConfig(proxy);
    return proxy;
}

void TesselWrapper::ReleaseProxyInfo(ProxyInfo* proxy) { DestroyObject(proxy); }

bool TesselWrapper::TestProxy(const ProxyInfo* proxy, IConfig* config) {
    // A host's null record is refused rather than followed.
    return proxy && m_proxyTester->TestProxy(*proxy, config);
}

bool TesselWrapper::DiscoverAndSaveProxy() { return m_proxyDiscovery->DiscoverAndSaveProxy(); }

bool TesselWrapper::DiscoverValidProxy(IConfig* config) {
    if (!config) {
        error("TesselWrapper::DiscoverValidProxy: config is null");
        return false;
    }
    return m_proxyDiscovery->DiscoverValidProxy(config);
}

void TesselWrapper::DiscoverProxies(ProxyInfoList* proxies) {
    if (!proxies) {
        error("TesselWrapper::DiscoverProxies: proxies is null");
        return;
    }
    m_proxyContainer->GetProxyDiscovery()->StartProxyDiscoverySync(proxies);
}

void TesselWrapper::StartProxyDiscovery() { m_proxyContainer->GetProxyDiscovery()->StartProxyDiscovery(); }

ITesselCloudWrapper* TesselWrapper::GetCloudWrapper() { return m_cloudWrapper.get(); }
