// The agent's side of registration: drives the kit's registration manager on
// behalf of the host and turns each kit callback into effects on the host
// (status in the entity, flags, GUID and certificate in the store, host data
// for the management registration, proxy discovery and the cloud connection
// verdict). It also carries the host's policy, retrospective and antivirus
// statistics callbacks and the server-message handlers to the cloud client.
//
// Threads: PerformTesselRegistration, UpdateConfiguration and the setters run
// on host threads; the kit callbacks on the kit's registration thread; the
// ping-prepare, policy and retrospective callbacks on the cloud client's
// worker. Host callbacks are read and written under m_callbackMutex only.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "dtk/ITesselInstance.h"
#include "kit/registration_manager/tessel_registration_manager.h"
#include "proxy/TesselProxyHandler.h"
#include "registration/VestaRegistrationDataHandler.h"
#include "registration/vgn.h"

class IConfig;
class IPersistentConfig;
class ITesselRegistrationEntity;
class ITesselCloudConnectionMgr;
class ITesselHttp;
class ITesselExternal;
class ITesselProxyHelper;
class IProxyDiscovery;
class IVestaRegistrationDataHandler;
class IStringUtils;
struct CorvaneQuery;
struct CorvaneQueryResponse;
struct CorvaneAgentStatus;

// One element of the engine array the host's antivirus-statistics callback
// returns (96 bytes).
struct TesselAvEngineStats {
    int32_t engineId;
    char definitionsVersion[68];       // zero-terminated
    int64_t firstUpdateFailureTime;    // seconds since the epoch; <= 0: none
    int32_t lastUpdateFailureCode;
    int32_t padding;
    int64_t lastUpdateSuccessTime;     // seconds since the epoch; <= 0: none
};
static_assert(sizeof(TesselAvEngineStats) == 96, "the host's engine array has 96-byte elements");

// Registration status names as traced ("Unknown State" outside the table).
const char* TesselRegistrationStatusName(int32_t status);

// The restart operation comes first, so the proxy handler can restart
// registration through this interface.
class ITesselRegistrationHandler : public ITesselRegistrationRestart {
public:
    ~ITesselRegistrationHandler() override = default;
    // PerformTesselRegistration (from ITesselRegistrationRestart): (re)start
    // registration from the current configuration.
    virtual void RegistrationStatusUpdateCallback(const tessel_status_update_info* statusUpdateInfo) = 0;
    virtual void RegistrationCompletedCallback(const tessel_registration_run_state* registrationStatus) = 0;
    virtual void NewClientCertAquiredCallback(X509* certificate) = 0;
    // A malloc'ed 16-byte GUID (freed by the caller with free), or null.
    virtual uint8_t* NewGuidRequestedCallback() = 0;
    // 0 register, 1 skip (nothing changed), 2 failure.
    virtual int VestaRegistrationInfoCallback(vesta_registration_info* osFields, vesta_host_info* hostInfo) = 0;
    virtual void DnsResolverCallback() = 0;
    virtual int PingPrepareCallback(CorvaneQuery* query) = 0;
    virtual void AddRcmsHandler(int32_t messageType, TesselRcmsHandler handler) = 0;
    virtual void SetRetrospectiveCallback(TesselRetrospectiveCallback callback, int32_t userValue) = 0;
    virtual void SetPolicyCallback(TesselPolicyCallback callback, int32_t userValue) = 0;
    virtual void SetAvStatsCallback(TesselAvStatsCallback callback, int32_t userValue) = 0;
    virtual void UpdateConfiguration() = 0;
};

class TesselRegistrationHandler : public ITesselRegistrationHandler, public ITesselCloudConnectionObserver {
public:
    // Nothing is owned; every object must outlive the handler. The handler
    // registers itself as an observer of `connectionMgr` (and removes itself
    // when destroyed). Registration is not started here.
    TesselRegistrationHandler(IConfig* config, IPersistentConfig* persistent, ITesselRegistrationEntity* entity,
                              ITesselCloudConnectionMgr* connectionMgr, ITesselHttp* http,
                              ITesselExternal* external, ITesselProxyHelper* proxyHelper,
                              IProxyDiscovery* proxyDiscovery, IVestaRegistrationDataHandler* vestaData);
    // Stops and frees the registration handle held by the entity.
    ~TesselRegistrationHandler() override;
    TesselRegistrationHandler(const TesselRegistrationHandler&) = delete;
    TesselRegistrationHandler& operator=(const TesselRegistrationHandler&) = delete;

    // ITesselRegistrationHandler
    void PerformTesselRegistration() override;
    bool RunsThroughOtherProxy(const ProxyInfo& proxy) override;
    void RegistrationStatusUpdateCallback(const tessel_status_update_info* statusUpdateInfo) override;
    void RegistrationCompletedCallback(const tessel_registration_run_state* registrationStatus) override;
    void NewClientCertAquiredCallback(X509* certificate) override;
    uint8_t* NewGuidRequestedCallback() override;
    int VestaRegistrationInfoCallback(vesta_registration_info* osFields, vesta_host_info* hostInfo) override;
    void DnsResolverCallback() override;
    int PingPrepareCallback(CorvaneQuery* query) override;
    void AddRcmsHandler(int32_t messageType, TesselRcmsHandler handler) override;
    void SetRetrospectiveCallback(TesselRetrospectiveCallback callback, int32_t userValue) override;
    void SetPolicyCallback(TesselPolicyCallback callback, int32_t userValue) override;
    void SetAvStatsCallback(TesselAvStatsCallback callback, int32_t userValue) override;
    void UpdateConfiguration() override;

    // ITesselCloudConnectionObserver
    void ConnectionStateChanged(int32_t state) override;

    // The cloud client's callbacks (run on its worker): 0, or -1 when refused.
    int PolicyCallback(CorvaneQuery* query, CorvaneQueryResponse* response);
    int RetrospectiveCallback(CorvaneQueryResponse* response);
    // Builds the agent status of a ping from the host's engine array (96-byte
    // elements); false (and *agentStatus untouched) when it cannot be built whole.
    bool PrepareAvStats(CorvaneAgentStatus** agentStatus, const void* engines, int32_t count);

    // The kit's word that a management post succeeded: the host data it
    // carried becomes the last registered data.
    void VestaRegistrationPostedCallback();

    // "config/agent/hb/interval", 0 when absent.
    uint32_t GetPingInterval();
    // The block handed to the kit with the next registration handle.
    const registration_cloud_callbacks& CloudCallbacks() const { return m_cloudCallbacks; }
    // Fills the kit callback table of `config` and the cloud callback block.
    void PopulateRegistrationCallbacks(registration_config* config);

private:
    void GetNewRegistrationHandle();
    void RegistrationConnect();
    void RegistrationStop();
    void ReleaseRegistrationHandle();
    void ApplyStoredProxy();
    // Takes the stored proxy for the running registration: remembered as
    // applied and converted into `record` (type -1 when there is none). True
    // when `record` holds a proxy, to be freed with FreeTesselProxyType.
    bool TakeStoredProxy(tessel_proxy_t* record);
    void WriteAgentDisabledToConfig(int32_t value);
    void RemoveOldLegacyClientCertificate();
    void GetCloudConnectionFromTessel();
    bool SaveClientCertificate(X509* certificate);
    // A new GUID in text form ("" on failure).
    std::string GenerateNewGuid();
    // False when the OS information cannot be read.
    bool FillOsFields(vesta_registration_info* osFields, IStringUtils* utils, const std::wstring& hardwareId,
                      const std::wstring& reasons);
    void FillHostInfo(vesta_host_info* hostInfo, IStringUtils* utils, const NetworkAdapterMap& adapters);
    // A fresh "<base>/tmp/<guid>.xml" (its directory made when absent); empty on failure.
    std::wstring TemporaryPolicyPath();
    // With m_callbackMutex held.
    void CallPolicyCallback(const wchar_t* path, int32_t serial, int32_t status);

    IConfig* m_config;
    IPersistentConfig* m_persistent;
    ITesselRegistrationEntity* m_entity;
    ITesselCloudConnectionMgr* m_connectionMgr;
    ITesselHttp* m_http;
    ITesselExternal* m_external;
    ITesselProxyHelper* m_proxyHelper;
    IProxyDiscovery* m_proxyDiscovery;
    IVestaRegistrationDataHandler* m_vestaData;

    registration_cloud_callbacks m_cloudCallbacks{};  // m_cloudCallbacks.rcms_callbacks owned
    std::map<int32_t, TesselRcmsHandler> m_rcmsHandlers;
    // Serialises the host-facing operations (start, restart, update) against
    // each other and against destruction.
    std::mutex m_registrationMutex;
    // Guards the entity's connector, cloud reference and completed status
    // between the kit's completion and a release: a completion that arrives
    // once the handle is being released (m_connectorAccepted false) stores
    // nothing, so no connector or reference outlives the handle (freeing it
    // waits for every reference) and "complete" is never read without them.
    std::mutex m_connectorMutex;
    bool m_connectorAccepted = false;
    // The stored proxy record the running registration took at its start
    // (none while no handle is held). A leaf lock: read from the discovery
    // thread, which must not wait for a restart in progress to learn it.
    std::mutex m_appliedProxyMutex;
    std::optional<ProxyInfo> m_appliedProxy;
    // Set by a stop the handler asked for, cleared by the next start: a run
    // that ends stopped then is no failure of the cloud connection.
    std::atomic<bool> m_stopRequested{false};
    // The host data of the management post in progress; it becomes the last
    // registered data only once the post succeeded. A leaf lock.
    std::mutex m_vestaSentMutex;
    std::optional<VestaRegistrationData> m_vestaSent;
    std::mutex m_callbackMutex;
    TesselRetrospectiveCallback m_retrospectiveCallback = nullptr;
    int32_t m_retrospectiveUserValue = 0;
    TesselPolicyCallback m_policyCallback = nullptr;
    int32_t m_policyUserValue = 0;
    TesselAvStatsCallback m_avStatsCallback = nullptr;
    int32_t m_avStatsUserValue = 0;
};
