// The instance: owns every component of the library and forwards each
// operation of ITesselInstance to the component that serves it.
#pragma once

#include <cstdint>
#include <memory>

#include "dtk/ITesselInstance.h"
#include "frame/TesselRegistrationEntity.h"

class IConfig;
class IWinApiWrapper;
class IRegistryOperator;
class IPersistentConfig;
class ITesselCloudConnectionMgr;
class TesselExternal;
class ProxyContainer;
class TesselProxyHelper;
class VestaRegistrationDataHandler;
class ConfigIdentitySource;
class HelperProxySource;
class TesselHttp;
class TesselRegistrationHandler;
class HttpHandleSource;
class TesselProxyTester;
class TesselProxyHandler;
class TesselProxyDiscovery;
class TesselCloudWrapper;

class TesselWrapper : public ITesselInstance {
public:
    TesselWrapper(IConfig* pConfig, IWinApiWrapper* pWinApiWrapper, ITesselRegistrationEntity* entity);
    ~TesselWrapper() override;
    TesselWrapper(const TesselWrapper&) = delete;
    TesselWrapper& operator=(const TesselWrapper&) = delete;

    void PerformTesselRegistration() override;
    bool IsRegistrationComplete() override;
    bool DownloadPolicy(uint32_t fetchBits, const wchar_t* path) override;
    void AddRcmsHandler(int32_t messageType, TesselRcmsHandler handler) override;
    void SetRetrospectiveCallback(TesselRetrospectiveCallback callback, int32_t userValue) override;
    void SetPolicyCallback(TesselPolicyCallback callback, int32_t userValue) override;
    void SetAvStatsCallback(TesselAvStatsCallback callback, int32_t userValue) override;
    void UpdateConfiguration() override;
    void RestartPeriodicFast() override;
    void ReportCloudConnectionFailure() override;
    void ReportCloudConnectionSuccessful() override;
    bool IsCloudConnected() override;
    bool RegisterObserver(ITesselCloudConnectionObserver* observer) override;
    bool RemoveObserver(ITesselCloudConnectionObserver* observer) override;
    IHttp* CreateHttp() override;
    void ReleaseHttp(IHttp* http) override;
    ProxyInfo* LoadProxyInfo() override;
    void ReleaseProxyInfo(ProxyInfo* proxy) override;
    bool TestProxy(const ProxyInfo* proxy, IConfig* config) override;
    bool DiscoverAndSaveProxy() override;
    bool DiscoverValidProxy(IConfig* config) override;
    void DiscoverProxies(ProxyInfoList* proxies) override;
    void StartProxyDiscovery() override;
    ITesselCloudWrapper* GetCloudWrapper() override;

    // The kit log-callback id, -1 when none is registered.
    int32_t LogCallbackId() const { return m_logCallbackId; }

private:
    // Host objects are created and released through the host's paired functions.
    template <typename T>
    using HostObject = std::unique_ptr<T, void (*)(T*)>;

    void Destroy();

    // In order of construction; Destroy takes them down in reverse.
    IConfig* m_pConfig;
    IWinApiWrapper* m_pWinApiWrapper;
    ITesselRegistrationEntity* m_entity;  // not owned
    std::unique_ptr<ITesselCloudConnectionMgr> m_connectionMgr;
    HostObject<IRegistryOperator> m_registryOperator;
    HostObject<IPersistentConfig> m_persistentConfig;
    std::unique_ptr<TesselExternal> m_external;
    std::unique_ptr<ProxyContainer> m_proxyContainer;
    std::unique_ptr<TesselProxyHelper> m_proxyHelper;
    std::unique_ptr<VestaRegistrationDataHandler> m_vestaData;
    // What every TesselHttp of the instance (its own and the host's) gets its
    // identity and proxy from.
    std::unique_ptr<ConfigIdentitySource> m_httpIdentity;
    std::unique_ptr<HelperProxySource> m_httpProxy;
    std::unique_ptr<TesselHttp> m_http;
    std::unique_ptr<TesselRegistrationHandler> m_registrationHandler;
    std::unique_ptr<HttpHandleSource> m_testerHandles;
    std::unique_ptr<TesselProxyTester> m_proxyTester;
    std::unique_ptr<TesselProxyHandler> m_proxyHandler;
    std::unique_ptr<TesselProxyDiscovery> m_proxyDiscovery;
    std::unique_ptr<TesselCloudWrapper> m_cloudWrapper;
    int32_t m_logCallbackId = -1;
};
