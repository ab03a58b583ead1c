#include "winapi_wrapper.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <new>

#include "host_text.h"
#include "platform/computer_name.h"
#include "platform/net_adapters.h"
#include "platform/os_release.h"
#include "platform/utf8.h"

namespace hostkit {
namespace {

thread_local uint32_t t_lastError = 0;

// The value GetRegistryAccess hands out; a registry operator is made only
// from it.
char g_registryAccessTag;

constexpr uint32_t kAfInet = 2;
constexpr uint32_t kAfInet6 = 23;
constexpr uint32_t kSkipUnicast = 0x1;

bool SameText(const wchar_t* a, const wchar_t* b) {
    for (; *a && *b; ++a, ++b)
        if (std::towlower(static_cast<wint_t>(*a)) != std::towlower(static_cast<wint_t>(*b)))
            return false;
    return *a == *b;
}

}  // namespace

bool ComputerName::GetComputerNameExW(uint32_t format, wchar_t* buffer, uint32_t* size) {
    if (!size) {
        t_lastError = kErrorInvalidParameter;
        return false;
    }
    std::string name;
    int rc = platform::ComputerName(format, &name);
    if (rc != 0) {
        t_lastError = rc == EINVAL ? kErrorInvalidParameter : kErrorGenFailure;
        return false;
    }
    std::wstring wide = platform::Utf8ToWide(name);
    if (!buffer || *size < wide.size() + 1) {
        *size = static_cast<uint32_t>(wide.size() + 1);
        t_lastError = kErrorMoreData;
        return false;
    }
    wmemcpy(buffer, wide.c_str(), wide.size() + 1);
    *size = static_cast<uint32_t>(wide.size());
    t_lastError = 0;
    return true;
}

uint32_t ComputerName::GetLastError() const { return t_lastError; }

uint32_t IpHelper::GetAdaptersAddresses(uint32_t family, uint32_t flags, std::vector<AdapterInfo>* adapters) {
    if (!adapters || (family != 0 && family != kAfInet && family != kAfInet6))
        return kErrorInvalidParameter;
    bool withIpv6 = family != kAfInet && !(flags & kSkipUnicast);
    return platform::ListAdapters(adapters, withIpv6) == 0 ? 0 : kErrorGenFailure;
}

uint32_t IpHelper::GetIpAddrTable(IpAddrRow* table, uint32_t* size, uint32_t* count, bool sorted) {
    if (!size || !count)
        return kErrorInvalidParameter;
    std::vector<IpAddrRow> rows;
    if (platform::ListIpv4Rows(&rows, sorted) != 0)
        return kErrorGenFailure;
    size_t needed = std::max<size_t>(rows.size(), 1) * sizeof(IpAddrRow);
    if (!table || *size < needed) {
        *size = static_cast<uint32_t>(needed);
        return kErrorInsufficientBuffer;
    }
    for (size_t i = 0; i < rows.size(); ++i)
        table[i] = rows[i];
    *count = static_cast<uint32_t>(rows.size());
    return 0;
}

RegistryAccess WinApiWrapper::GetRegistryAccess() { return &g_registryAccessTag; }

wchar_t* RegistryOperator::ReadString(uint32_t root, const wchar_t* path, const wchar_t* name) {
    if (root != HKEY_LOCAL_MACHINE_ROOT || !path || !name ||
        !SameText(path, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion") || !SameText(name, L"ProductName"))
        return nullptr;
    platform::OsReleaseFields fields;
    if (!platform::ReadOsRelease(&fields))
        return nullptr;
    auto pretty = fields.find("PRETTY_NAME");
    if (pretty == fields.end() || pretty->second.empty())
        return nullptr;
    return DupWide(platform::Utf8ToWide(pretty->second));
}

void RegistryOperator::FreeString(wchar_t* value) { free(value); }

}  // namespace hostkit

IWinApiWrapper* CreateWinApiWrapper() { return new (std::nothrow) hostkit::WinApiWrapper(); }

void DeleteWinApiWrapper(IWinApiWrapper* wrapper) { delete wrapper; }

IRegistryOperator* CreateRegistryOperator(RegistryAccess access) {
    if (access != static_cast<RegistryAccess>(&hostkit::g_registryAccessTag))
        return nullptr;
    return new (std::nothrow) hostkit::RegistryOperator();
}

void ReleaseRegistryOperator(IRegistryOperator* registry) { delete registry; }
