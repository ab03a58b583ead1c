// Host facts for the management registration: computer names, the fully
// qualified name, the OS product name and the network adapters, gathered
// through the host's operating-system wrapper.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/WinApi.h"

// One network adapter as the management registration reports it.
struct NetworkAdapterInfo {
    std::wstring adapterName;   // the system's adapter identifier
    std::wstring friendlyName;
    std::wstring ipv4Address;   // dotted decimal
    std::wstring ipv6Address;   // not gathered: stays empty
    std::wstring macAddress;    // "00:1a:2b:3c:4d:5e"
    uint32_t interfaceIndex = 0;
    uint8_t up = 0;             // 1 when operationally up
};

// Adapters keyed, and so ordered, by interface index.
using NetworkAdapterMap = std::map<uint32_t, NetworkAdapterInfo>;

namespace vgn {

// Results of the functions below. The names of failure follow the platform's
// standard codes where the platform has them.
constexpr uint32_t kNoComputerName = 0xC1040003;
constexpr uint32_t kNotEnoughMemory = 8;
constexpr int32_t kFail = static_cast<int32_t>(0x80004005);        // E_FAIL
constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057);  // E_INVALIDARG

// The computer's name in `format` (a ComputerNameFormat). `out` is "UNKNOWN"
// unless the call succeeds. 1 on success, 0 otherwise.
int GetComputerNameExW(uint32_t format, std::wstring* out);

// The DNS fully qualified name, else the DNS host name. 0 or kNoComputerName.
uint32_t GetFQDomainName(std::wstring* out);

// The operating system's product name ("Debian GNU/Linux 12 (bookworm)"). 0 or kFail.
int32_t GetOSProductName(std::wstring* out);

// The adapters worth reporting: up, not loopback, with a hardware address and
// an IPv4 address other than 127.0.0.1. 0, kNotEnoughMemory or kNoComputerName
// (the adapter list could not be read).
uint32_t DumpNetworkInfo(NetworkAdapterMap* out);

// The selection step of DumpNetworkInfo over an adapter list and IPv4 address
// table as the IP helper answers them; a later row for an index replaces an
// earlier one.
void MapNetworkAdapters(const std::vector<AdapterInfo>& adapters, const std::vector<IpAddrRow>& rows,
                        NetworkAdapterMap* out);

// "00:1a:2b:3c:4d:5e": each byte as two lower-case hexadecimal digits.
std::wstring FormatMacAddress(const std::vector<uint8_t>& bytes);

}  // namespace vgn
