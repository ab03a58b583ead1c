// The agent's side of the cloud client's ping: the block of callbacks handed
// to the kit, the antivirus statistics put into each ping, the policy
// decision and download, and the retrospective hand-over to the host.
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "CorvaneAgentEngineStatus.h"
#include "CorvaneAgentStatus.h"
#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"
#include "GeneralizedTime.h"
#include "dtk/IHttp.h"
#include "frame/TesselCloudConnectionMgr.h"
#include "host/IConfig.h"
#include "host/Util.h"
#include "platform/private_files.h"
#include "platform/utf8.h"
#include "registration/TesselExternal.h"
#include "registration/TesselRegistrationCallbacksHandler.h"
#include "registration/TesselRegistrationHandler.h"

static_assert(offsetof(TesselAvEngineStats, definitionsVersion) == 4, "engine array layout");
static_assert(offsetof(TesselAvEngineStats, firstUpdateFailureTime) == 72, "engine array layout");
static_assert(offsetof(TesselAvEngineStats, lastUpdateFailureCode) == 80, "engine array layout");
static_assert(offsetof(TesselAvEngineStats, lastUpdateSuccessTime) == 88, "engine array layout");

namespace {

constexpr const char* kPingIntervalKey = "config/agent/hb/interval";
constexpr const char* kPolicyEnabledKey = "config/vesta/policy_enabled";
constexpr const char* kPolicySerialKey = "config/vesta/policy/serial_number";
constexpr const char* kPolicyIdKey = "config/vesta/policy_id";
constexpr const char* kBaseDirectoryKey = "config/agent/directory/base";

constexpr long kDispositionPolicy = 5;
constexpr int32_t kStatusQueryFailed = 4;
constexpr uint32_t kSerialMask = 0x0FFFFFFF;  // the top four bits choose the policy endpoint

TesselRegistrationHandler* HandlerOf(void* ctx) { return static_cast<TesselRegistrationHandler*>(ctx); }

int PolicyThunk(CorvaneQuery* query, CorvaneQueryResponse* response, uint32_t, void* ctx) {
    return ctx ? HandlerOf(ctx)->PolicyCallback(query, response) : -1;
}

int RetrospectiveThunk(CorvaneQuery*, CorvaneQueryResponse* response, uint32_t, void* ctx) {
    return ctx ? HandlerOf(ctx)->RetrospectiveCallback(response) : -1;
}

// `seconds` as a GeneralizedTime of local time, or null.
GeneralizedTime_t* LocalGeneralizedTime(int64_t seconds) {
    time_t when = static_cast<time_t>(seconds);
    struct tm local{};
    if (!localtime_r(&when, &local)) return nullptr;
    return asn_time2GT(nullptr, &local, 0);
}

// The GeneralizedTime's text for traces ("(null)" when unset).
std::string TimeText(const GeneralizedTime_t* time) {
    if (!time || !time->buf) return "(null)";
    return std::string(reinterpret_cast<const char*>(time->buf), time->size);
}

}  // namespace

// ---- The block handed to the kit ------------------------------------------------------

void TesselRegistrationHandler::PopulateRegistrationCallbacks(registration_config* config) {
    registration_callbacks& cb = config->callbacks;
    cb.status_update_fn = [](const tessel_status_update_info* info, void* ctx) {
        if (ctx) HandlerOf(ctx)->RegistrationStatusUpdateCallback(info);
    };
    cb.status_update_ctx = this;
    cb.registration_completed_fn = [](const tessel_registration_run_state* state, void* ctx) {
        if (ctx) HandlerOf(ctx)->RegistrationCompletedCallback(state);
    };
    cb.registration_completed_ctx = this;
    cb.new_certificate_fn = [](X509* cert, void* ctx) {
        if (ctx) HandlerOf(ctx)->NewClientCertAquiredCallback(cert);
    };
    cb.new_certificate_ctx = this;
    cb.new_guid_fn = [](void* ctx) -> uint8_t* { return ctx ? HandlerOf(ctx)->NewGuidRequestedCallback() : nullptr; };
    cb.new_guid_ctx = this;
    cb.prepare_vesta_registration_fn = [](vesta_registration_info* info, vesta_host_info* host, void* ctx) {
        return ctx ? HandlerOf(ctx)->VestaRegistrationInfoCallback(info, host) : 0;
    };
    cb.prepare_vesta_registration_ctx = this;
    cb.dns_resolver_fn = [](void* ctx) {
        if (ctx) HandlerOf(ctx)->DnsResolverCallback();
    };
    cb.dns_resolver_ctx = this;
    cb.vesta_registered_fn = [](void* ctx) {
        if (ctx) HandlerOf(ctx)->VestaRegistrationPostedCallback();
    };
    cb.vesta_registered_ctx = this;
    config->cloud_callbacks = &m_cloudCallbacks;

    std::lock_guard<std::mutex> lock(m_callbackMutex);
    free(m_cloudCallbacks.rcms_callbacks);
    m_cloudCallbacks = registration_cloud_callbacks{};
    if (!m_rcmsHandlers.empty()) {
        auto* pairs = static_cast<registration_rcms_callback*>(
            Util::SafeCalloc(m_rcmsHandlers.size(), sizeof(registration_rcms_callback)));
        for (const auto& handler : m_rcmsHandlers) {
            if (!pairs) break;
            trace(kTesselTraceCategory, "TesselRegistrationHandler::PopulateRegistrationCallbacks: Adding RCMS handler for type %d",
                  handler.first);
            registration_rcms_callback& pair = pairs[m_cloudCallbacks.rcms_callbacks_count++];
            pair.type = static_cast<uint32_t>(handler.first);
            pair.fn = handler.second;
        }
        m_cloudCallbacks.rcms_callbacks = pairs;
    }
    m_cloudCallbacks.policy_fn = PolicyThunk;
    m_cloudCallbacks.policy_ctx = this;
    m_cloudCallbacks.retrospective_fn = RetrospectiveThunk;
    m_cloudCallbacks.retrospective_ctx = this;
    m_cloudCallbacks.ping_prepare_fn = TesselRegistrationCallbacksHandler::PingPrepare;
    m_cloudCallbacks.ping_interval = GetPingInterval();
}

uint32_t TesselRegistrationHandler::GetPingInterval() {
    int32_t interval = m_config->GetInt(kPingIntervalKey);
    if (interval == -1) return 0;
    trace(kTesselTraceCategory, "TesselRegistrationHandler::GetPingInterval Using user specified loop interval: %d", interval);
    return static_cast<uint32_t>(interval);
}

void TesselRegistrationHandler::AddRcmsHandler(int32_t messageType, TesselRcmsHandler handler) {
    if (!handler) return;
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    m_rcmsHandlers[messageType] = handler;
}

void TesselRegistrationHandler::SetRetrospectiveCallback(TesselRetrospectiveCallback callback, int32_t userValue) {
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    m_retrospectiveCallback = callback;
    m_retrospectiveUserValue = userValue;
}

void TesselRegistrationHandler::SetPolicyCallback(TesselPolicyCallback callback, int32_t userValue) {
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    m_policyCallback = callback;
    m_policyUserValue = userValue;
}

void TesselRegistrationHandler::SetAvStatsCallback(TesselAvStatsCallback callback, int32_t userValue) {
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    m_avStatsCallback = callback;
    m_avStatsUserValue = userValue;
}

// ---- Ping ------------------------------------------------------------------------------

int TesselRegistrationHandler::PingPrepareCallback(CorvaneQuery* query) {
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    trace(kTesselTraceCategory, "TesselRegistrationHandler::PingPrepareCallback: ENTER");
    if (m_avStatsCallback && query && query->data.present == CorvaneQueryData_PR_pingRetro) {
        const int64_t now = static_cast<int64_t>(time(nullptr));
        int32_t major = 0, minor = 0, build = 0, count = 0;
        void* engines = nullptr;
        m_avStatsCallback(&major, &minor, &build, &engines, &count, m_avStatsUserValue);
        CorvanePingRetro_t& ping = query->data.choice.pingRetro;
        ping.product = 1;
        ping.versionMajor = major;
        ping.versionMinor = minor;
        ping.versionBuild = build;
        ping.retrospectiveNonce = static_cast<long>(static_cast<uint16_t>(now));
        if (count != 0) {
            CorvaneAgentStatus* status = nullptr;
            if (PrepareAvStats(&status, engines, count)) {
                if (ping.status) ASN_STRUCT_FREE(asn_DEF_CorvaneAgentStatus, ping.status);
                ping.status = status;
            }
        }
        free(engines);
    }
    trace(kTesselTraceCategory, "TesselRegistrationHandler::PingPrepareCallback: EXIT");
    return 0;
}

bool TesselRegistrationHandler::PrepareAvStats(CorvaneAgentStatus** agentStatus, const void* engines, int32_t count) {
    if (!agentStatus) {
        error("TesselRegistrationHandler::PrepareAvStats: ppAgentStatus is invalid");
        return false;
    }
    if (!engines || count <= 0) {
        error("TesselRegistrationHandler::PrepareAvStats: avStats is invalid");
        return false;
    }
    auto* status = static_cast<CorvaneAgentStatus_t*>(calloc(1, sizeof(CorvaneAgentStatus_t)));
    if (!status) {
        error("TesselRegistrationHandler::PrepareAvStats: Could not allocate memory for pAgentStatus");
        return false;
    }
    status->uptime = m_external ? m_external->GetProcessUptime() : 0;
    trace(kTesselTraceCategory, "TesselRegistrationHandler::PrepareAvStats: pAgentStatus->uptime = %ld", status->uptime);
    const auto* stats = static_cast<const TesselAvEngineStats*>(engines);
    int32_t handled = 0;
    for (; handled < count; ++handled) {
        const TesselAvEngineStats& engine = stats[handled];
        auto* item = static_cast<CorvaneAgentEngineStatus_t*>(calloc(1, sizeof(CorvaneAgentEngineStatus_t)));
        if (!item) {
            error("TesselRegistrationHandler::PrepareAvStats: Could not allocate pEngineStatus");
            break;
        }
        item->id = engine.engineId;
        item->lastUpdateFailureCode = engine.lastUpdateFailureCode;
        trace(kTesselTraceCategory, "TesselRegistrationHandler::PrepareAvStats: pEngineStatus->id = %ld", item->id);
        trace(kTesselTraceCategory, "TesselRegistrationHandler::PrepareAvStats: pEngineStatus->lastUpdateFailureCode = %ld",
              item->lastUpdateFailureCode);
        const size_t versionLength = strnlen(engine.definitionsVersion, sizeof engine.definitionsVersion);
        if (versionLength > 0 && OCTET_STRING_fromBuf(&item->defVersion, engine.definitionsVersion,
                                                      static_cast<int>(versionLength)) != 0)
            error("TesselRegistrationHandler::PrepareAvStats: failed to set pEngineStatus->defVersion errno=%i", errno);
        trace(kTesselTraceCategory, "TesselRegistrationHandler::PrepareAvStats: pEngineStatus->defVersion = %s",
              std::string(engine.definitionsVersion, versionLength).c_str());
        if (engine.firstUpdateFailureTime > 0 &&
            !(item->firstUpdateFailureAt = LocalGeneralizedTime(engine.firstUpdateFailureTime)))
            error("TesselRegistrationHandler::PrepareAvStats: Could not set pEngineStatus->firstUpdateFailureAt errno=%i", errno);
        if (engine.lastUpdateSuccessTime > 0 &&
            !(item->lastUpdateSuccessAt = LocalGeneralizedTime(engine.lastUpdateSuccessTime)))
            error("TesselRegistrationHandler::PrepareAvStats: Could not set pEngineStatus->lastUpdateSuccessAt errno=%i", errno);
        trace(kTesselTraceCategory, "TesselRegistrationHandler::PrepareAvStats: pEngineStatus->firstUpdateFailureAt = %s",
              TimeText(item->firstUpdateFailureAt).c_str());
        trace(kTesselTraceCategory, "TesselRegistrationHandler::PrepareAvStats: pEngineStatus->lastUpdateSuccessAt = %s",
              TimeText(item->lastUpdateSuccessAt).c_str());
        if (ASN_SEQUENCE_ADD(&status->engine.list, item) != 0) {
            error("TesselRegistrationHandler::PrepareAvStats: failed to add pEngineStatus to engine.list (errno=%i)", errno);
            ASN_STRUCT_FREE(asn_DEF_CorvaneAgentEngineStatus, item);
        }
    }
    if (handled < count) {
        error("TesselRegistrationHandler::PrepareAvStats: did not add all av engines to agent status. %d of %d were added.",
              handled, count);
        ASN_STRUCT_FREE(asn_DEF_CorvaneAgentStatus, status);
        return false;
    }
    *agentStatus = status;
    return true;
}

// ---- Policy and retrospective -------------------------------------------------------------

void TesselRegistrationHandler::CallPolicyCallback(const wchar_t* path, int32_t serial, int32_t status) {
    m_policyCallback(path, serial, status, m_policyUserValue);
}

std::wstring TesselRegistrationHandler::TemporaryPolicyPath() {
    wchar_t* base = m_config->GetStringW(kBaseDirectoryKey);
    if (!base) return {};
    std::wstring directory = std::wstring(base) + L"/tmp";
    m_config->FreeStringW(base);
    const std::string guid = GenerateNewGuid();
    if (guid.empty()) return {};
    // The directory holds policies before the host takes them: the agent's only.
    std::string why;
    if (!platform::MakePrivateDirectory(platform::WideToUtf8(directory), &why)) {
        error("TesselRegistrationHandler::TemporaryPolicyPath: refusing the scratch folder: %s", why.c_str());
        return {};
    }
    return directory + L"/" + platform::Utf8ToWide(guid) + L".xml";
}

int TesselRegistrationHandler::PolicyCallback(CorvaneQuery* query, CorvaneQueryResponse* response) {
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    int result = -1;
    if (!query) {
        error("TesselRegistrationHandler::PolicyCallback: query is null");
        return result;
    }
    if (!m_policyCallback) {
        error("TesselRegistrationHandler::PolicyCallback: No policy registration callback registered");
        return result;
    }
    const long disposition = response ? response->header.disposition : kStatusQueryFailed;
    if (!response || disposition != kDispositionPolicy ||
        response->data.present != CorvaneQueryResponseData_PR_pingRetroResponse) {
        error("TesselRegistrationHandler::PolicyCallback: Query failed. Terminating early");
        CallPolicyCallback(L"", 0, static_cast<int32_t>(disposition));
        return 0;
    }
    if (m_connectionMgr) m_connectionMgr->ReportCloudConnectionSuccessful();
    const int32_t serial = static_cast<int32_t>(response->data.choice.pingRetroResponse.serialNumber);
    trace(kTesselTraceCategory, "TesselRegistrationHandler::PolicyCallback: New Serial Number: %d %d", serial,
          static_cast<int>(disposition));
    if (serial == 0) {
        error("TesselRegistrationHandler::PolicyCallback: Invalid Policy serial number");
    } else if (m_config->GetInt(kPolicyEnabledKey) != 1) {
        trace(kTesselTraceCategory, "TesselRegistrationHandler::PolicyCallback: vesta policy is disabled. not updating serial: %d",
              serial);
        result = 0;
    } else if (m_config->GetInt(kPolicySerialKey) == static_cast<int32_t>(static_cast<uint32_t>(serial) & kSerialMask)) {
        trace(kTesselTraceCategory, "TesselRegistrationHandler::PolicyCallback: skipping as policy is already up to date %d",
              serial);
        CallPolicyCallback(L"", serial, static_cast<int32_t>(disposition));
        result = 0;
    } else if (int32_t policyId = m_config->GetInt(kPolicyIdKey);
               policyId != -1 && policyId == static_cast<int32_t>(static_cast<uint32_t>(serial) | kSerialMask)) {
        trace(kTesselTraceCategory,
              "TesselRegistrationHandler::PolicyCallback: Policy deployed on agent is current, no need to update.");
        CallPolicyCallback(L"", serial, static_cast<int32_t>(disposition));
        result = 0;
    } else {
        const std::wstring path = TemporaryPolicyPath();
        trace(kTesselTraceCategory, L"TesselRegistrationHandler::PolicyCallback: Temp Policy path created %ls", path.c_str());
        // The download replaces the file only when the policy arrived whole;
        // the stored serial is not written here, so a failure retries on the next ping.
        if (path.empty() || !m_http || !m_http->DownloadPolicy(static_cast<uint32_t>(serial), path.c_str())) {
            error("TesselRegistrationHandler::PolicyCallback: Failed to download Policy %d", serial);
        } else {
            CallPolicyCallback(path.c_str(), serial, static_cast<int32_t>(disposition));
            result = 0;
        }
    }
    trace(kTesselTraceCategory, "TesselRegistrationHandler::PolicyCallback: EXIT (%d)", result);
    return result;
}

int TesselRegistrationHandler::RetrospectiveCallback(CorvaneQueryResponse* response) {
    trace(kTesselTraceCategory, "TesselRegistrationHandler::RetrospectiveCallback: ENTER");
    {
        std::lock_guard<std::mutex> lock(m_callbackMutex);
        if (m_retrospectiveCallback && response &&
            response->data.present == CorvaneQueryResponseData_PR_pingRetroResponse) {
            const CorvanePingRetroResponse_t& retro = response->data.choice.pingRetroResponse;
            std::string name;
            const bool hasName = retro.name.buf && retro.name.size >= 0;
            if (hasName) name.assign(reinterpret_cast<const char*>(retro.name.buf), static_cast<size_t>(retro.name.size));
            m_retrospectiveCallback(static_cast<int32_t>(retro.htype), retro.hash.buf, retro.hash.size,
                                    static_cast<int32_t>(retro.retrospectiveDisposition),
                                    hasName ? name.c_str() : nullptr, m_retrospectiveUserValue);
        }
    }
    trace(kTesselTraceCategory, "TesselRegistrationHandler::RetrospectiveCallback: EXIT");
    return 0;
}
