#include "registration/TesselRegistrationHandler.h"

#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>

#include "frame/TesselCloudConnectionMgr.h"
#include "frame/TesselRegistrationEntity.h"
#include "host/IConfig.h"
#include "host/Util.h"
#include "kit/registration_manager/tessel_registration_certificate.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/util/guid_text.h"
#include "platform/secret_memory.h"
#include "proxy/TesselProxyHelper.h"
#include "registration/TesselConfigReader.h"
#include "registration/crypto_pem.h"

namespace {

constexpr const char* kAgentRegisteredKey = "config/agent/agent_registered";
constexpr const char* kAgentDisabledKey = "config/agent/agent_disabled";
constexpr const char* kAgentUuidKey = "config/agent/uuid";
constexpr const char* kAgentUuidValue = "guid";
constexpr const char* kClientCertKey = "config/agent/client_cert";
constexpr const char* kClientCertValue = "client_cert";
constexpr const char* kLegacyKeypairKey = "config/agent/client_prvkey";
constexpr const char* kLegacyKeypairValue = "legacy_keypair";

// EST failures a proxy can explain: the client's authentication failed, the
// server's name did not resolve, the server was unreachable.
bool IsProxyExplainableEstError(int32_t code) {
    return code == TESSEL_EST_AUTH_FAIL || code == TESSEL_EST_IP_GETADDR || code == TESSEL_EST_IP_CONNECT;
}

using RegistrationConfigPtr = platform::SecretPtr<registration_config>;

// The record holds the activation code: it lives in secret memory, out of
// core files, and is wiped when freed.
RegistrationConfigPtr NewRegistrationConfig() {
    RegistrationConfigPtr config = platform::MakeSecret<registration_config>();
    if (!config) error("TesselRegistrationHandler: no memory for the registration configuration");
    return config;
}

}  // namespace

const char* TesselRegistrationStatusName(int32_t status) {
    static const char* const kNames[] = {
        "tessel_registration_not_started",
        "tessel_registration_stopped",
        "tessel_certificate_acquisition_failed_forbidden",
        "tessel_certificate_acquisition_failed",
        "tessel_certificate_acquisition_duplicate_guid",
        "tessel_certificate_acquisition_missing_actcode",
        "tessel_certificate_acquisition_succeeded",
        "tessel_vesta_registration_failed",
        "tessel_vesta_registration_succeeded",
        "tessel_cloud_connection_failed",
        "tessel_cloud_connection_succeeded",
        "tessel_registration_status_max_count",
    };
    if (status < 0 || static_cast<size_t>(status) >= sizeof kNames / sizeof kNames[0]) return "Unknown State";
    return kNames[status];
}

TesselRegistrationHandler::TesselRegistrationHandler(IConfig* config, IPersistentConfig* persistent,
                                                     ITesselRegistrationEntity* entity,
                                                     ITesselCloudConnectionMgr* connectionMgr, ITesselHttp* http,
                                                     ITesselExternal* external, ITesselProxyHelper* proxyHelper,
                                                     IProxyDiscovery* proxyDiscovery,
                                                     IVestaRegistrationDataHandler* vestaData)
    : m_config(config),
      m_persistent(persistent),
      m_entity(entity),
      m_connectionMgr(connectionMgr),
      m_http(http),
      m_external(external),
      m_proxyHelper(proxyHelper),
      m_proxyDiscovery(proxyDiscovery),
      m_vestaData(vestaData) {
    if (m_connectionMgr) m_connectionMgr->RegisterObserver(this);
}

TesselRegistrationHandler::~TesselRegistrationHandler() {
    {
        std::lock_guard<std::mutex> lock(m_registrationMutex);
        RegistrationStop();
        ReleaseRegistrationHandle();
    }
    free(m_cloudCallbacks.rcms_callbacks);
    m_cloudCallbacks.rcms_callbacks = nullptr;
    if (m_connectionMgr) m_connectionMgr->RemoveObserver(this);
}

// ---- Start, stop, restart ---------------------------------------------------------

void TesselRegistrationHandler::PerformTesselRegistration() {
    trace(kTesselTraceCategory, "TesselRegistrationHandler::PerformTesselRegistration: Enter");
    std::lock_guard<std::mutex> lock(m_registrationMutex);
    if (m_entity->GetRegistrationHandle()) {
        RegistrationStop();
        m_entity->SetStatus(tessel_registration_not_started);
        ReleaseRegistrationHandle();
    }
    GetNewRegistrationHandle();
    ApplyStoredProxy();
    RegistrationConnect();
    trace(kTesselTraceCategory, "TesselRegistrationHandler::PerformTesselRegistration: Exit");
}

bool TesselRegistrationHandler::TakeStoredProxy(tessel_proxy_t* record) {
    ProxyInfo proxy;
    const bool loaded = m_proxyHelper && m_proxyHelper->LoadProxyFromConfig(&proxy);
    if (m_entity->GetRegistrationHandle()) {
        std::lock_guard<std::mutex> lock(m_appliedProxyMutex);
        m_appliedProxy = loaded ? proxy : ProxyInfo();
    }
    trace(kTesselTraceCategory, L"TesselRegistrationHandler::PerformTesselRegistration: Set Proxy %ls:%d for registration",
          proxy.server.c_str(), static_cast<int>(proxy.port));
    *record = tessel_proxy_t{};
    record->type = TESSEL_PROXY_NONE;
    if (!loaded || proxy.server.empty()) return false;
    m_proxyHelper->ConvertProxyInfoToTesselProxyType(record, proxy);
    return true;
}

void TesselRegistrationHandler::ApplyStoredProxy() {
    tessel_proxy_t record{};
    if (!TakeStoredProxy(&record)) return;
    if (tessel_registration_set_proxy(m_entity->GetRegistrationHandle(), &record) != 0)
        error("TesselRegistrationHandler::PerformTesselRegistration: tessel_registration_set_proxy failed");
    FreeTesselProxyType(&record);
}

bool TesselRegistrationHandler::RunsThroughOtherProxy(const ProxyInfo& proxy) {
    std::lock_guard<std::mutex> lock(m_appliedProxyMutex);
    return m_appliedProxy && *m_appliedProxy != proxy;
}

void TesselRegistrationHandler::GetNewRegistrationHandle() {
    if (m_entity->GetRegistrationHandle()) return;
    trace(kTesselTraceCategory, "TesselRegistrationHandler::GetNewRegistrationHandle: About to get new registation handle");
    RegistrationConfigPtr held = NewRegistrationConfig();
    if (!held) return;
    registration_config& config = *held;
    uint8_t guidMissing = 0;
    TesselConfigReader reader(m_config, m_persistent);
    reader.PopulateTesselConfiguationInfo(&config, &guidMissing);
    if (guidMissing) {
        uint8_t* guid = NewGuidRequestedCallback();
        if (guid) {
            memcpy(config.identity.agent_guid, guid, TESSEL_GUID_SIZE);
            free(guid);
        } else {
            error("TesselRegistrationHandler::GetNewRegistrationHandle: Failed to create new agent guid");
        }
    }
    PopulateRegistrationCallbacks(&config);
    tessel_registration_handle* handle = tessel_registration_new(&config);
    if (!handle) error("TesselRegistrationHandler::GetNewRegistrationHandle: Failed to register new configuration");
    m_entity->SetRegistrationHandle(handle);
    {
        std::lock_guard<std::mutex> lock(m_connectorMutex);
        m_connectorAccepted = handle != nullptr;
    }
    TesselConfigReader::ReleaseTesselConfiguration(&config);
    trace(kTesselTraceCategory, "TesselRegistrationHandler::GetNewRegistrationHandle: finished getting new registation handle");
}

void TesselRegistrationHandler::RegistrationConnect() {
    trace(kTesselTraceCategory, "TesselRegistrationHandler::RegistrationConnect: Enter");
    tessel_registration_handle* handle = m_entity->GetRegistrationHandle();
    if (!handle) {
        error("TesselRegistrationHandler::RegistrationConnect:  no registration handle, call ProvisionClient first");
        return;
    }
    trace(kTesselTraceCategory, "TesselRegistrationHandler::RegistrationConnect: about to connect.");
    m_stopRequested = false;
    int result = tessel_registration_start(handle, -1);
    trace(kTesselTraceCategory, "TesselRegistrationHandler::RegistrationConnect: Status of connect %d", result);
}

void TesselRegistrationHandler::RegistrationStop() {
    trace(kTesselTraceCategory, "TesselRegistrationHandler::RegistrationStop: Enter");
    tessel_registration_handle* handle = m_entity->GetRegistrationHandle();
    if (!handle) {
        // Nothing to stop or free (no registration was asked for): a normal shutdown.
        trace(kTesselTraceCategory, "TesselRegistrationHandler::RegistrationStop:  no registration handle, call ProvisionClient first");
        return;
    }
    m_stopRequested = true;
    tessel_registration_stop(handle);
    trace(kTesselTraceCategory, "TesselRegistrationHandler::RegistrationStop: Exit");
}

void TesselRegistrationHandler::ReleaseRegistrationHandle() {
    {
        // From here until the free below joins the run, a completion stores
        // nothing; status and connector go together, so "complete" is never
        // read without a connector.
        std::lock_guard<std::mutex> lock(m_connectorMutex);
        m_connectorAccepted = false;
        if (m_entity->IsRegistrationComplete()) m_entity->SetStatus(tessel_registration_not_started);
        if (m_entity->GetClientConnector()) m_entity->SetClientConnector(nullptr);
        if (cloud_conn* reference = m_entity->GetCloudReference()) {
            m_entity->SetCloudReference(nullptr);
            tessel_cloud_conn_release(reference);
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_appliedProxyMutex);
        m_appliedProxy.reset();
    }
    tessel_registration_handle* handle = m_entity->GetRegistrationHandle();
    if (!handle) {
        // Nothing to free: a normal shutdown of an instance that never registered.
        trace(kTesselTraceCategory, "TesselRegistrationHandler::ReleaseRegistrationHandle:  no registration handle, call ProvisionClient first");
        return;
    }
    // Freeing stops and joins the registration thread, so no kit callback
    // runs after it.
    m_stopRequested = true;
    tessel_registration_free(handle);
    m_entity->SetRegistrationHandle(nullptr);
}

void TesselRegistrationHandler::UpdateConfiguration() {
    std::unique_lock<std::mutex> lock(m_registrationMutex);
    tessel_registration_handle* handle = m_entity->GetRegistrationHandle();
    if (!handle) {
        trace(kTesselTraceCategory,
              "TesselRegistrationHandler::UpdateConfiguration: registration handle is null. Tessel not initiailed");
        return;
    }
    RegistrationConfigPtr held = NewRegistrationConfig();
    if (!held) return;
    registration_config& config = *held;
    TesselConfigReader reader(m_config, m_persistent);
    reader.PopulateTesselConfiguationInfo(&config);
    const bool hasCertificate = config.client_cert != nullptr;
    if (hasCertificate) {
        uint32_t interval = GetPingInterval();
        m_cloudCallbacks.ping_interval = interval;
        trace(kTesselTraceCategory, "TesselRegistrationHandler::UpdateConfiguration: Setting Ping interval to %d",
              static_cast<int>(interval));
        // The kit takes the whole hosts record, proxy included: the stored
        // proxy goes with it, as at a start, or lookups would go direct.
        const bool withProxy = TakeStoredProxy(&config.hosts.proxy);
        int result = registration_update_config(handle, &config.hosts, interval);
        if (result != 0) {
            error("TesselRegistrationHandler::UpdateConfiguration: registration_update_config returned %d", result);
        } else {
            // A new cloud host means a new connection: the reference to the
            // old one goes now, so that it can retire.
            std::lock_guard<std::mutex> connectorLock(m_connectorMutex);
            if (m_connectorAccepted && m_entity->GetClientConnector()) GetCloudConnectionFromTessel();
        }
        if (withProxy) FreeTesselProxyType(&config.hosts.proxy);
    }
    TesselConfigReader::ReleaseTesselConfiguration(&config);
    if (!hasCertificate) {
        trace(kTesselTraceCategory, "TesselRegistrationHandler::UpdateConfiguration: Cert was cleared. restarting registration");
        lock.unlock();
        PerformTesselRegistration();
    }
}

// ---- Kit callbacks (registration thread) ---------------------------------------------

void TesselRegistrationHandler::RegistrationStatusUpdateCallback(const tessel_status_update_info* info) {
    if (!info) {
        error("TesselRegistrationHandler::RegistrationStatusUpdateCallback: status_update_info is NULL");
        return;
    }
    // Complete is published by the completion, once the connector is there:
    // a host that reads it complete can look up at once.
    if (info->state != tessel_cloud_connection_succeeded) m_entity->SetStatus(info->state);
    trace(kTesselTraceCategory, "TesselRegistrationHandler::RegistrationStatusUpdateCallback: Current Registration state is %s",
          TesselRegistrationStatusName(info->state));
    if (info->state == tessel_certificate_acquisition_failed || IsProxyExplainableEstError(info->last_est_error)) {
        error("TesselRegistrationHandler::RegistrationStatusUpdateCallbackHit error %s, starting proxy discovery ",
              tessel_est_error_message(info->last_est_error));
        if (m_proxyDiscovery) m_proxyDiscovery->StartProxyDiscovery();
        if (m_connectionMgr) m_connectionMgr->ReportCloudConnectionFailure(true);
    }
}

void TesselRegistrationHandler::RegistrationCompletedCallback(const tessel_registration_run_state* state) {
    if (!state) {
        error("TesselRegistrationHandler::RegistrationCompletedCallback: registrationStatus is NULL");
        return;
    }
    trace(kTesselTraceCategory,
          "TesselRegistrationHandler::RegistrationCompletedCallback: Registration Completed! Current State: %s",
          TesselRegistrationStatusName(state->state));
    if (state->state == tessel_cloud_connection_succeeded) {
        {
            // A handle being released takes nothing: a completion it discards
            // records no registration and reports no success. The flag is
            // written under the lock so that no release starts in between.
            std::lock_guard<std::mutex> lock(m_connectorMutex);
            if (!m_connectorAccepted) {
                trace(kTesselTraceCategory,
                      "TesselRegistrationHandler::RegistrationCompletedCallback: handle is being released, completion discarded");
                return;
            }
            if (!m_config->SetInt(kAgentRegisteredKey, 1, true))
                error("TesselRegistrationHandler::RegistrationCompletedCallback: Could neither create nor set %s in config",
                      kAgentRegisteredKey);
            trace(kTesselTraceCategory, "TesselRegistrationHandler::RegistrationCompletedCallback: Setting client_connector %p",
                  static_cast<void*>(state->connector));
            // The store, then the connector, then the status: a host that
            // reads "complete" finds the store saying so too.
            RemoveOldLegacyClientCertificate();
            WriteAgentDisabledToConfig(0);
            m_entity->SetClientConnector(state->connector);
            GetCloudConnectionFromTessel();
            m_entity->SetStatus(tessel_cloud_connection_succeeded);
        }
        if (m_connectionMgr) m_connectionMgr->ReportCloudConnectionSuccessful();
    } else if (state->state == tessel_certificate_acquisition_failed_forbidden) {
        WriteAgentDisabledToConfig(1);
        if (m_connectionMgr) m_connectionMgr->ReportCloudConnectionForbidden();
    } else if (state->state == tessel_registration_stopped && m_stopRequested) {
        // A restart or teardown ended the run: the connection did not fail.
    } else if (m_connectionMgr) {
        m_connectionMgr->ReportCloudConnectionFailure(true);
    }
}

void TesselRegistrationHandler::WriteAgentDisabledToConfig(int32_t value) {
    if (m_config->SetInt(kAgentDisabledKey, value) || m_config->CreateInt(kAgentDisabledKey, value)) return;
    error("TesselRegistrationHandler::WriteAgentDisabledToConfig: Could neither create nor set %s in config",
          kAgentDisabledKey);
}

void TesselRegistrationHandler::RemoveOldLegacyClientCertificate() {
    if (m_persistent->Exists(kLegacyKeypairKey, kLegacyKeypairValue) &&
        m_persistent->Delete(kLegacyKeypairKey, kLegacyKeypairValue))
        trace(kTesselTraceCategory,
              "TesselRegistrationHandler::RemoveOldLegacyClientCertificate: Deleted Legacy client certificates successfully.");
}

void TesselRegistrationHandler::GetCloudConnectionFromTessel() {
    client_connector* connector = m_entity->GetClientConnector();
    if (!connector) {
        error("TesselRegistrationHandler::GetCloudConnectionFromTessel: No client connector yet.  Registration not complete");
        return;
    }
    if (cloud_conn* old = m_entity->GetCloudReference()) {
        m_entity->SetCloudReference(nullptr);
        tessel_cloud_conn_release(old);
    }
    cloud_conn* reference = tessel_client_connector_get_cloud_conn(connector);
    if (!reference) error("TesselRegistrationHandler::GetCloudConnectionFromTessel: Failed to get cloud ref");
    m_entity->SetCloudReference(reference);
}

std::string TesselRegistrationHandler::GenerateNewGuid() {
    uint8_t bytes[TESSEL_GUID_SIZE];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        error("TesselRegistrationHandler::GenerateNewGuid: UuidCreate");
        return {};
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[GUID_TEXT_SIZE];
    guid_to_text(bytes, text, false);
    return text;
}

uint8_t* TesselRegistrationHandler::NewGuidRequestedCallback() {
    trace(kTesselTraceCategory, "TesselRegistrationHandler::NewGuidRequestedCallback: New Guid Requested");
    std::string text = GenerateNewGuid();
    if (text.empty()) return nullptr;
    trace(kTesselTraceCategory, "TesselRegistrationHandler::NewGuidRequestedCallback:  New guid computed: %s", text.c_str());
    if (!m_persistent->WriteString(kAgentUuidKey, kAgentUuidValue, text.c_str()) || !m_persistent->Commit(1))
        error("TesselRegistrationHandler::NewGuidRequestedCallback: could not save guid %s", text.c_str());
    auto* guid = static_cast<uint8_t*>(malloc(TESSEL_GUID_SIZE));
    if (guid && guid_parse(text.c_str(), text.size(), guid) != 0) {
        free(guid);
        guid = nullptr;
    }
    return guid;
}

void TesselRegistrationHandler::NewClientCertAquiredCallback(X509* certificate) {
    if (!certificate) {
        error("TesselRegistrationHandler::NewClientCertAquiredCallback:  new client certificate is NULL");
        return;
    }
    trace(kTesselTraceCategory, "TesselRegistrationHandler::NewClientCertAquiredCallback: New Client Cert Acquired. Saving to %s",
          kClientCertKey);
    if (!SaveClientCertificate(certificate))
        error("TesselRegistrationHandler::NewClientCertAquiredCallback: Failed to write certificate");
}

// The store's write replaces the value in one step, so a failed write leaves
// the previous certificate in place instead of none.
bool TesselRegistrationHandler::SaveClientCertificate(X509* certificate) {
    char* pem = nullptr;
    size_t length = 0;
    if (crypto_x509_to_pem(certificate, &pem, &length) != 0) return false;
    bool saved = m_persistent->WriteString(kClientCertKey, kClientCertValue, pem) && m_persistent->Commit(1);
    free(pem);
    return saved;
}

void TesselRegistrationHandler::DnsResolverCallback() {
    trace(kTesselTraceCategory, "TesselRegistrationHandler::DnsResolverCallback: Not implemented");
}

void TesselRegistrationHandler::ConnectionStateChanged(int32_t state) {
    trace(kTesselTraceCategory, "TesselRegistrationHandler::ConnectionStateChanged: Connection state is: %d", state);
    if (state != TesselCloudDisconnected) return;
    trace(kTesselTraceCategory, "TesselRegistrationHandler::ConnectionStateChanged: Starting Proxy Discovery");
    if (m_proxyDiscovery) m_proxyDiscovery->StartProxyDiscovery();
}
