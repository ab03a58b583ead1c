// The operating-system wrapper the host hands to the library: computer names,
// network adapters and the IPv4 table (over the platform layer) and access to
// the few registry facts this platform can answer.
#pragma once

#include "WinApi.h"

namespace hostkit {

constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorGenFailure = 31;

// GetComputerNameExW over platform::ComputerName. The last error is per
// thread, as the caller's probing protocol expects.
class ComputerName final : public IComputerName {
public:
    bool GetComputerNameExW(uint32_t format, wchar_t* buffer, uint32_t* size) override;
    uint32_t GetLastError() const override;
};

class IpHelper final : public IIpHelper {
public:
    // `family` 0 (any) or 2 (IPv4) or 23 (IPv6); IPv6 addresses are listed
    // unless family is 2 or `flags` has 0x1 (skip unicast addresses).
    uint32_t GetAdaptersAddresses(uint32_t family, uint32_t flags, std::vector<AdapterInfo>* adapters) override;
    // Needs at least one row's room even when there are no rows, so that a
    // probe never asks the caller for a zero-sized allocation.
    uint32_t GetIpAddrTable(IpAddrRow* table, uint32_t* size, uint32_t* count, bool sorted) override;
};

class WinApiWrapper final : public IWinApiWrapper {
public:
    IComputerName* GetComputerNameObject() override { return &computerName_; }
    IIpHelper* GetIpHelperObject() override { return &ipHelper_; }
    RegistryAccess GetRegistryAccess() override;

private:
    ComputerName computerName_;
    IpHelper ipHelper_;
};

// Registry reads answered from the system's own facts: "ProductName" under
// HKEY_LOCAL_MACHINE "SOFTWARE\Microsoft\Windows NT\CurrentVersion" is the
// PRETTY_NAME of os-release (path and name compared without regard to case,
// as the registry does); every other value is absent.
class RegistryOperator final : public IRegistryOperator {
public:
    wchar_t* ReadString(uint32_t root, const wchar_t* path, const wchar_t* name) override;
    void FreeString(wchar_t* value) override;
};

}  // namespace hostkit
