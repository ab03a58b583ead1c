// The host's operating-system wrapper and registry access, as the library uses
// them: computer names, network adapters, the IPv4 address table and string
// values of the system registry (on this platform: a few well-known facts).
// Every object here may be used from several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Name formats of GetComputerNameExW.
enum ComputerNameFormat : uint32_t {
    ComputerNameNetBIOS = 0,
    ComputerNameDnsHostname = 1,
    ComputerNameDnsDomain = 2,
    ComputerNameDnsFullyQualified = 3,
};

constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorInsufficientBuffer = 122;

class IComputerName {
public:
    virtual ~IComputerName() = default;
    // With a null buffer, or a size too small for the name and its terminator,
    // fails with the last error kErrorMoreData and sets *size to the number of
    // wide characters needed (terminator included). On success *size is the
    // length without the terminator.
    virtual bool GetComputerNameExW(uint32_t format, wchar_t* buffer, uint32_t* size) = 0;
    virtual uint32_t GetLastError() const = 0;
};

// One network adapter, with the fields the library reads.
struct AdapterInfo {
    uint32_t ifIndex = 0;
    uint32_t ifType = 0;  // 24: software loopback
    uint32_t operStatus = 0;  // 1: up
    std::string adapterName;
    std::wstring friendlyName;
    std::vector<uint8_t> physicalAddress;
    std::vector<std::string> ipv6Addresses;
};

// One row of the IPv4 address table: address in network byte order.
struct IpAddrRow {
    uint32_t address = 0;
    uint32_t ifIndex = 0;
    uint32_t mask = 0;
};

class IIpHelper {
public:
    virtual ~IIpHelper() = default;
    // 0 on success.
    virtual uint32_t GetAdaptersAddresses(uint32_t family, uint32_t flags,
                                          std::vector<AdapterInfo>* adapters) = 0;
    // With a null table or a *size below what the rows need, answers
    // kErrorInsufficientBuffer and sets *size to the bytes needed; otherwise
    // fills up to *size / sizeof(IpAddrRow) rows, sets *count and answers 0.
    virtual uint32_t GetIpAddrTable(IpAddrRow* table, uint32_t* size, uint32_t* count,
                                    bool sorted) = 0;
};

// An opaque value from which the registry operator is made.
using RegistryAccess = void*;

// What the host hands to InitTesselWrapper. The objects it answers are its
// own and live as long as it does.
class IWinApiWrapper {
public:
    virtual ~IWinApiWrapper() = default;
    virtual IComputerName* GetComputerNameObject() = 0;
    virtual IIpHelper* GetIpHelperObject() = 0;
    virtual RegistryAccess GetRegistryAccess() = 0;
};

// The host components' wrapper: new (null when out of memory), deleted with
// DeleteWinApiWrapper after DeinitTesselWrapper returned.
IWinApiWrapper* CreateWinApiWrapper();
void DeleteWinApiWrapper(IWinApiWrapper* wrapper);

enum RegistryRoot : uint32_t {
    HKEY_LOCAL_MACHINE_ROOT = 0x80000002,
};

class IRegistryOperator {
public:
    virtual ~IRegistryOperator() = default;
    // The string value `name` under `root`\`path`, newly allocated (FreeString), or null.
    virtual wchar_t* ReadString(uint32_t root, const wchar_t* path, const wchar_t* name) = 0;
    virtual void FreeString(wchar_t* value) = 0;
};

// New objects, each released with its Release function.
IRegistryOperator* CreateRegistryOperator(RegistryAccess access);
void ReleaseRegistryOperator(IRegistryOperator* registry);

// Narrow (UTF-8) and wide conversions; results are freed with FreeString.
class IStringUtils {
public:
    virtual ~IStringUtils() = default;
    virtual wchar_t* ToWide(const char* text) = 0;
    virtual char* ToNarrow(const wchar_t* text) = 0;
    virtual void FreeString(void* text) = 0;
};

IStringUtils* CreateStringUtils();
void ReleaseStringUtils(IStringUtils* utils);

// The hardware identity library.
class IOriUniqueIdentifier {
public:
    virtual ~IOriUniqueIdentifier() = default;
    // The endpoint's hardware identity as text; owned by the object.
    virtual const char* GetText() = 0;
};

IOriUniqueIdentifier* GetOriUniqueIdentifier();
void ReleaseOriUniqueIdentifier(IOriUniqueIdentifier* identifier);
