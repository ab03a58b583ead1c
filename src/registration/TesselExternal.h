// The host-information adapter: operating-system facts, host name, adapters,
// hardware identity and names, as the registration handler and the Vesta data
// handler use them. Stateless.
#pragma once

#include <cstdint>
#include <string>

#include "host/Util.h"
#include "registration/vgn.h"

class IConfig;

class ITesselExternal {
public:
    virtual ~ITesselExternal() = default;
    // The host's OS information record; true when it could be read.
    virtual bool GetOSInfo(OsInfo* info) = 0;
    // The host name (cached in `config` when given), UTF-8; empty on failure.
    virtual std::string GetHostName(IConfig* config) = 0;
    virtual bool GetNetworkInfo(NetworkAdapterMap* adapters) = 0;
    virtual int32_t GetProcessUptime() = 0;
    // The hardware identity; false when the host has none.
    virtual bool GetOriUniqueId(std::wstring* id) = 0;
    virtual bool GetOSProductName(std::wstring* name) = 0;
    virtual bool GetFQDomainName(std::wstring* name) = 0;
};

class TesselExternal : public ITesselExternal {
public:
    bool GetOSInfo(OsInfo* info) override;
    std::string GetHostName(IConfig* config) override;
    bool GetNetworkInfo(NetworkAdapterMap* adapters) override;
    int32_t GetProcessUptime() override;
    bool GetOriUniqueId(std::wstring* id) override;
    bool GetOSProductName(std::wstring* name) override;
    bool GetFQDomainName(std::wstring* name) override;
};
