#include "registration/VestaRegistrationDataHandler.h"

#include "host/Util.h"
#include "registration/TesselExternal.h"

namespace {

// Only the first adapters are reported to the management service, so only
// their addresses count as a change.
constexpr size_t kReportedAdapters = 3;

bool AdapterAddressesChanged(const NetworkAdapterMap& last, const NetworkAdapterMap& current) {
    size_t walked = 0;
    for (auto it = last.begin(); it != last.end() && walked < kReportedAdapters; ++it, ++walked) {
        auto now = current.find(it->first);
        if (now != current.end() &&
            (now->second.ipv4Address != it->second.ipv4Address || now->second.macAddress != it->second.macAddress))
            return true;
    }
    return false;
}

}  // namespace

bool VestaRegistrationDataHandler::QueryVestaRegistrationData(VestaRegistrationData* data) {
    bool ok = true;
    if (!m_external->GetFQDomainName(&data->fqdn)) {
        error("VestaRegistrationDataHandler::QueryVestaRegistrationData: Failed to get FQDN for Vesta registration");
        ok = false;
    }
    NetworkAdapterMap adapters;
    if (m_external->GetNetworkInfo(&adapters)) {
        trace(kTesselTraceCategory,
              "VestaRegistrationDataHandler::QueryVestaRegistrationData: Got network info. Number of adapters %d",
              static_cast<int>(adapters.size()));
        data->adapters = std::move(adapters);
    } else {
        error("VestaRegistrationDataHandler::QueryVestaRegistrationData: Failed to map network info for Vesta registration");
        ok = false;
    }
    if (!m_external->GetOriUniqueId(&data->hardwareId)) {
        error("VestaRegistrationDataHandler::QueryVestaRegistrationData: Failed to get ori id");
        ok = false;
    }
    return ok;
}

void VestaRegistrationDataHandler::SetLastRegisteredData(const VestaRegistrationData& data) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_last = data;
}

std::wstring VestaRegistrationDataHandler::GetChangeReasons(const VestaRegistrationData& current) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::wstring reasons;
    if (m_last.fqdn != current.fqdn)
        reasons += L"/hnm";
    if (m_last.adapters.size() != current.adapters.size())
        reasons += L"/nic_c";
    else if (!current.adapters.empty() && AdapterAddressesChanged(m_last.adapters, current.adapters))
        reasons += L"/nic_info";
    if (m_last.hardwareId != current.hardwareId)
        reasons += L"/hwid";
    return reasons;
}
