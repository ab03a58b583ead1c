#include "registration/vgn.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "host/Util.h"

namespace vgn {
namespace {

using WinApi = std::unique_ptr<IWinApiWrapper, void (*)(IWinApiWrapper*)>;
using Registry = std::unique_ptr<IRegistryOperator, void (*)(IRegistryOperator*)>;

WinApi MakeWinApi() { return WinApi(CreateWinApiWrapper(), DeleteWinApiWrapper); }

constexpr uint32_t kIfTypeSoftwareLoopback = 24;
constexpr uint32_t kIfOperStatusUp = 1;
// Every list but the adapters' own: no unicast, anycast, multicast or DNS
// server lists; prefixes included.
constexpr uint32_t kAdapterFlags = 0x1F;
constexpr uint32_t kFamilyUnspecified = 0;
// The IPv4 table may grow between the size probe and the read.
constexpr int kIpTableAttempts = 3;

std::wstring Ipv4Text(uint32_t networkOrder) {
    in_addr address{};
    address.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address, text, sizeof text))
        return std::wstring();
    return std::wstring(text, text + strlen(text));
}

// The IPv4 address table by the IP helper's protocol: probe the size, then
// read. Empty when the table cannot be read.
std::vector<IpAddrRow> ReadIpAddrTable(IIpHelper* ipHelper) {
    std::vector<IpAddrRow> rows;
    uint32_t size = 0;
    uint32_t count = 0;
    uint32_t rc = ipHelper->GetIpAddrTable(nullptr, &size, &count, false);
    for (int attempt = 0; attempt < kIpTableAttempts && rc == kErrorInsufficientBuffer; ++attempt) {
        rows.resize(size / sizeof(IpAddrRow) + 1);
        size = static_cast<uint32_t>(rows.size() * sizeof(IpAddrRow));
        count = 0;
        rc = ipHelper->GetIpAddrTable(rows.data(), &size, &count, false);
    }
    rows.resize(rc == 0 ? std::min<size_t>(count, rows.size()) : 0);
    return rows;
}

}  // namespace

std::wstring FormatMacAddress(const std::vector<uint8_t>& bytes) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text;
    for (uint8_t byte : bytes) {
        if (!text.empty())
            text += L':';
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0F];
    }
    return text;
}

int GetComputerNameExW(uint32_t format, std::wstring* out) {
    *out = L"UNKNOWN";
    WinApi winApi = MakeWinApi();
    if (!winApi) {
        error("vgn::GetComputerNameExW: failed to get WinApiWrapper");
        return 0;
    }
    IComputerName* names = winApi->GetComputerNameObject();
    uint32_t size = 0;
    if (names->GetComputerNameExW(format, nullptr, &size)) {
        error("vgn::GetComputerNameExW: Suspicious: GetComputerNameEx() returned TRUE with NULL buffer");
    } else if (names->GetLastError() != kErrorMoreData) {
        error("vgn::GetComputerNameExW: GetComputerNameEx ( %u ) last error not ERROR_MORE_DATA", format);
        return 0;
    }
    if (size == 0) {
        error("vgn::GetComputerNameExW: Invalid buffer size for GetComputerNameEx( %u )", format);
        return 0;
    }
    bool overflow = false;
    Util::SafeMul(size, sizeof(wchar_t), &overflow);
    if (overflow) {
        error("vgn::GetComputerNameExW: Multiplication overflow");
        return 0;
    }
    std::unique_ptr<wchar_t, void (*)(void*)> buffer(
        static_cast<wchar_t*>(Util::SafeCalloc(size, sizeof(wchar_t))), Util::FreeMem);
    if (!buffer) {
        error("vgn::GetComputerNameExW: Couldn't allocate memory for tszFqName");
        return 0;
    }
    uint32_t length = size;
    if (!names->GetComputerNameExW(format, buffer.get(), &length) || length >= size) {
        error("vgn::GetComputerNameExW: GetComputerNameEx(%u, ...) failed", format);
        return 0;
    }
    out->assign(buffer.get(), length);
    return 1;
}

uint32_t GetFQDomainName(std::wstring* out) {
    if (GetComputerNameExW(ComputerNameDnsFullyQualified, out) || GetComputerNameExW(ComputerNameDnsHostname, out))
        return 0;
    error("vgn::GetFQDomainName: Could not determine computer name");
    return kNoComputerName;
}

int32_t GetOSProductName(std::wstring* out) {
    WinApi winApi = MakeWinApi();
    if (!winApi) {
        error("vgn::GetOSProductName: failed to get WinApiWrapper");
        return kFail;
    }
    Registry registry(CreateRegistryOperator(winApi->GetRegistryAccess()), ReleaseRegistryOperator);
    if (!registry) {
        error("vgn::GetOSProductName: failed to get Registry Operator");
        return kFail;
    }
    wchar_t* name = registry->ReadString(HKEY_LOCAL_MACHINE_ROOT, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                         L"ProductName");
    if (!name) {
        error("vgn::GetOSProductName: failed to get ProductName from registry");
        return kFail;
    }
    out->assign(name);
    registry->FreeString(name);
    return 0;
}

void MapNetworkAdapters(const std::vector<AdapterInfo>& adapters, const std::vector<IpAddrRow>& rows,
                        NetworkAdapterMap* out) {
    NetworkAdapterMap candidates;
    for (const AdapterInfo& adapter : adapters) {
        if (adapter.ifType == kIfTypeSoftwareLoopback || adapter.operStatus != kIfOperStatusUp)
            continue;
        NetworkAdapterInfo& entry = candidates[adapter.ifIndex];
        entry.adapterName.assign(adapter.adapterName.begin(), adapter.adapterName.end());
        entry.friendlyName = adapter.friendlyName;
        entry.macAddress = FormatMacAddress(adapter.physicalAddress);
        entry.interfaceIndex = adapter.ifIndex;
        entry.up = 1;
    }
    for (const IpAddrRow& row : rows) {
        auto found = candidates.find(row.ifIndex);
        if (found != candidates.end())
            found->second.ipv4Address = Ipv4Text(row.address);
    }
    out->clear();
    for (auto& [index, entry] : candidates) {
        if (entry.ipv4Address == L"127.0.0.1" || entry.macAddress.empty() ||
            (entry.ipv4Address.empty() && entry.ipv6Address.empty()))
            continue;
        out->emplace(index, std::move(entry));
    }
}

uint32_t DumpNetworkInfo(NetworkAdapterMap* out) {
    WinApi winApi = MakeWinApi();
    if (!winApi) {
        error("vgn::DumpNetworkInfo not enough memory");
        return kNotEnoughMemory;
    }
    out->clear();
    IIpHelper* ipHelper = winApi->GetIpHelperObject();
    std::vector<AdapterInfo> adapters;
    if (ipHelper->GetAdaptersAddresses(kFamilyUnspecified, kAdapterFlags, &adapters) != 0)
        return kNoComputerName;
    MapNetworkAdapters(adapters, ReadIpAddrTable(ipHelper), out);
    return 0;
}

}  // namespace vgn
