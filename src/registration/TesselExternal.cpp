#include "registration/TesselExternal.h"

#include <memory>

#include "host/WinApi.h"
#include "registration/DomainNameHelper.h"

bool TesselExternal::GetOSInfo(OsInfo* info) { return Util::GetOsInfo(info) == 0; }

std::string TesselExternal::GetHostName(IConfig* config) {
    std::wstring wide;
    if (DomainNameHelper::GetFQDomainName(vgn::GetComputerNameExW, config, &wide) != 0) {
        error("TesselExternal::GetHostName: Failed to get hostname");
        return std::string();
    }
    std::unique_ptr<char, void (*)(void*)> narrow(Util::ConvertWCHARToString(wide.c_str()), Util::FreeMem);
    return narrow ? std::string(narrow.get()) : std::string();
}

bool TesselExternal::GetNetworkInfo(NetworkAdapterMap* adapters) {
    if (vgn::DumpNetworkInfo(adapters) == 0)
        return true;
    error("TesselExternal::GetNetworkInfo: Failed to map network info for Vesta registration");
    return false;
}

int32_t TesselExternal::GetProcessUptime() { return static_cast<int32_t>(Util::GetProcessUptime()); }

bool TesselExternal::GetOriUniqueId(std::wstring* id) {
    id->clear();
    std::unique_ptr<IOriUniqueIdentifier, void (*)(IOriUniqueIdentifier*)> identifier(GetOriUniqueIdentifier(),
                                                                                    ReleaseOriUniqueIdentifier);
    const char* text = identifier ? identifier->GetText() : nullptr;
    if (text && *text) {
        std::unique_ptr<wchar_t, void (*)(void*)> wide(Util::ConvertStringToWCHAR(text), Util::FreeMem);
        if (wide)
            id->assign(wide.get());
    }
    if (id->empty()) {
        error("TesselExternal::GetOriUniqueId: Could not get ori id");
        return false;
    }
    return true;
}

bool TesselExternal::GetOSProductName(std::wstring* name) {
    if (vgn::GetOSProductName(name) == 0)
        return true;
    error("TesselExternal::GetOSProductName: Failed to get user friendly OS name for Vesta registration");
    return false;
}

bool TesselExternal::GetFQDomainName(std::wstring* name) {
    if (vgn::GetFQDomainName(name) == 0)
        return true;
    error("TesselExternal::GetFQDomainName: Failed to get FQDN");
    return false;
}
