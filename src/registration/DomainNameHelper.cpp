#include "registration/DomainNameHelper.h"

#include "host/IConfig.h"
#include "host/Util.h"
#include "host/WinApi.h"
#include "registration/vgn.h"

namespace {

constexpr const char* kCachedHostnameKey = "config/agent/cachedhostname";

std::wstring ReadCachedName(IConfig* config) {
    if (!config) {
        trace(kTesselTraceCategory, "DomainNameHelper::GetFQDomainName: Config object is null, skipping caching...");
        return std::wstring();
    }
    wchar_t* cached = config->GetStringW(kCachedHostnameKey);
    std::wstring name = cached ? cached : L"";
    if (cached)
        config->FreeStringW(cached);
    else
        trace(kTesselTraceCategory, "DomainNameHelper::GetFQDomainName: couldn't find %s in config", kCachedHostnameKey);
    return name;
}

void StoreCachedName(IConfig* config, const std::wstring& name) {
    if (config->SetStringW(kCachedHostnameKey, name.c_str()) || config->CreateStringW(kCachedHostnameKey, name.c_str()))
        return;
    error(L"DomainNameHelper::GetFQDomainName: Couldn't save VGN_SET_PATH_CACHED_HOSTNAME=%ls to config", name.c_str());
}

}  // namespace

int32_t DomainNameHelper::GetFQDomainName(ComputerNameGetter getter, IConfig* config, std::wstring* out) {
    if (!getter) {
        error("DomainNameHelper::GetFQDomainName: Invalid Method to get Computer name passed");
        return vgn::kInvalidArg;
    }
    const std::wstring cached = ReadCachedName(config);
    bool found = false;
    for (uint32_t format : {ComputerNameDnsFullyQualified, ComputerNameDnsHostname}) {
        if (!getter(format, out))
            continue;
        if (out->empty()) {
            error("DomainNameHelper::GetFQDomainName: GetComputerNameEx() returned an empty string");
            continue;
        }
        found = true;
        break;
    }
    if (found && *out != cached) {
        trace(kTesselTraceCategory, L"DomainNameHelper::GetFQDomainName: Cached hostname: %ls, Actual hostname: %ls",
              cached.c_str(), out->c_str());
        if (config)
            StoreCachedName(config, *out);
    }
    if (!found) {
        // A getter that fails leaves its placeholder in `out`: only a name the
        // system answered as empty is replaced by the cached one.
        if (cached.empty() || !out->empty()) {
            error("DomainNameHelper::GetFQDomainName: Could not determine computer name");
            return vgn::kNoComputerName;
        }
        error(L"DomainNameHelper::GetFQDomainName: Calls to GetComputerNameEx() failed using cached hostname=%ls instead",
              cached.c_str());
        *out = cached;
    }
    trace(kTesselTraceCategory, L"DomainNameHelper::GetFQDomainName: returning %ls", out->c_str());
    return 0;
}
