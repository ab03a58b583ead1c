// What the management registration sends about the endpoint: the OS fields
// and the host block the kit asks for before each management registration.
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/IConfig.h"
#include "host/Util.h"
#include "host/WinApi.h"
#include "registration/TesselExternal.h"
#include "registration/TesselRegistrationHandler.h"
#include "registration/VestaRegistrationDataHandler.h"

namespace {

constexpr int32_t kVestaRegister = 0;
constexpr int32_t kVestaSkip = 1;
constexpr int32_t kVestaFailure = 2;
constexpr uint32_t kOsFieldCount = 14;

using StringUtilsPtr = std::unique_ptr<IStringUtils, void (*)(IStringUtils*)>;

// `text` narrowed through the host's string utilities ("" when it cannot be).
std::string Narrow(IStringUtils* utils, const std::wstring& text) {
    char* narrow = utils ? utils->ToNarrow(text.c_str()) : nullptr;
    std::string copy = narrow ? narrow : "";
    if (narrow) utils->FreeString(narrow);
    return copy;
}

template <size_t N>
void CopyBounded(char (&out)[N], const std::string& text) {
    snprintf(out, N, "%s", text.c_str());
}

void SetNumber(vesta_registration_entry* entry, const char* name, int32_t value) {
    snprintf(entry->key, sizeof entry->key, "%s", name);
    entry->type = VESTA_ENTRY_NUMBER;
    entry->number = static_cast<uint32_t>(value);
}

void SetText(vesta_registration_entry* entry, const char* name, const std::string& value) {
    snprintf(entry->key, sizeof entry->key, "%s", name);
    entry->type = VESTA_ENTRY_TEXT;
    CopyBounded(entry->value, value);
}

}  // namespace

int TesselRegistrationHandler::VestaRegistrationInfoCallback(vesta_registration_info* osFields,
                                                            vesta_host_info* hostInfo) {
    VestaRegistrationData current;
    if (!m_vestaData || !m_vestaData->QueryVestaRegistrationData(&current)) {
        error("TesselRegistrationHandler::VestaRegistrationInfoCallback: Failed to get registration data");
        return kVestaFailure;
    }
    const std::wstring reasons = m_vestaData->GetChangeReasons(current);
    {
        // Recorded as registered only once the post succeeded, so that a
        // change a failed post carried is sent again.
        std::lock_guard<std::mutex> lock(m_vestaSentMutex);
        m_vestaSent = current;
    }
    int result = kVestaRegister;
    if (reasons.empty()) {
        trace(kTesselTraceCategory, "TesselRegistrationHandler::VestaRegistrationInfoCallback: Skipping registration");
        result = kVestaSkip;
    }
    StringUtilsPtr utils(CreateStringUtils(), ReleaseStringUtils);
    if (osFields && !FillOsFields(osFields, utils.get(), current.hardwareId, reasons)) return kVestaFailure;
    if (hostInfo) FillHostInfo(hostInfo, utils.get(), current.adapters);
    return result;
}

void TesselRegistrationHandler::VestaRegistrationPostedCallback() {
    std::lock_guard<std::mutex> lock(m_vestaSentMutex);
    if (!m_vestaData || !m_vestaSent) return;
    m_vestaData->SetLastRegisteredData(*m_vestaSent);
    m_vestaSent.reset();
}

bool TesselRegistrationHandler::FillOsFields(vesta_registration_info* osFields, IStringUtils* utils,
                                             const std::wstring& hardwareId, const std::wstring& reasons) {
    OsInfo os{};
    if (!m_external->GetOSInfo(&os)) {
        error("TesselRegistrationHandler::VestaRegistrationInfoCallback: Failed to get OS information");
        return false;
    }
    std::wstring productName;
    if (!m_external->GetOSProductName(&productName)) {
        error("TesselRegistrationHandler::VestaRegistrationInfoCallback: Failed to get product name");
        productName.clear();
    }
    memset(osFields, 0, sizeof *osFields);
    vesta_registration_entry* e = osFields->entries;
    SetNumber(&e[0], "os[architecture]", os.processorArchitecture);
    SetNumber(&e[1], "os[major]", os.majorVersion);
    SetNumber(&e[2], "os[minor]", os.minorVersion);
    SetNumber(&e[3], "os[build]", os.buildNumber);
    SetNumber(&e[4], "os[platform_id]", os.platformId);
    SetNumber(&e[5], "os[product_info_type]", os.productInfoType);
    SetNumber(&e[6], "os[product_type]", os.productType);
    SetNumber(&e[7], "os[service_pack_major]", os.servicePackMajor);
    SetNumber(&e[8], "os[service_pack_minor]", os.servicePackMinor);
    SetNumber(&e[9], "os[suite_mask]", os.suiteMask);
    SetNumber(&e[10], "os[sm_server_r2]", os.serverR2);
    SetText(&e[11], "os[oriid]", Narrow(utils, hardwareId));
    SetText(&e[12], "os[product_name]", Narrow(utils, productName));
    if (!reasons.empty()) SetText(&e[13], "rrr", Narrow(utils, reasons));
    osFields->count = kOsFieldCount;
    return true;
}

void TesselRegistrationHandler::FillHostInfo(vesta_host_info* hostInfo, IStringUtils* utils,
                                             const NetworkAdapterMap& adapters) {
    memset(hostInfo, 0, sizeof *hostInfo);
    CopyBounded(hostInfo->hostname, m_external->GetHostName(m_config));
    trace(kTesselTraceCategory, "TesselRegistrationHandler::VestaRegistrationInfoCallback: Narrow Hostname: %s",
          hostInfo->hostname);
    for (const auto& item : adapters) {
        const NetworkAdapterInfo& adapter = item.second;
        if (hostInfo->nic_count >= VESTA_NIC_COUNT) {
            trace(kTesselTraceCategory, L"TesselRegistrationHandler::VestaRegistrationInfoCallback: Skipping nic %ls",
                  adapter.friendlyName.c_str());
            continue;
        }
        vesta_nic_info& nic = hostInfo->nics[hostInfo->nic_count++];
        CopyBounded(nic.name, Narrow(utils, adapter.adapterName));
        CopyBounded(nic.friendly_name, Narrow(utils, adapter.friendlyName));
        CopyBounded(nic.mac, Narrow(utils, adapter.macAddress));
        CopyBounded(nic.ip, Narrow(utils, adapter.ipv4Address));
        CopyBounded(nic.ipv6, Narrow(utils, adapter.ipv6Address));
        nic.up = adapter.up;
    }
}
