// The current proxy under "config/proxy": conversion to the kit's record,
// save, load, and the repair of the stored record at start.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "dtk/ProxyInfo.h"
#include "kit/http_client/http_client.h"

class IConfig;
class IStringUtils;

class ITesselProxyHelper {
public:
    virtual ~ITesselProxyHelper() = default;
    // Fills `proxy` from `info`. Its `username` is allocated here: release the
    // record with FreeTesselProxyType.
    virtual void ConvertProxyInfoToTesselProxyType(tessel_proxy_t* proxy, const ProxyInfo& info) = 0;
    virtual bool SaveProxyToConfig(const ProxyInfo& info) = 0;
    virtual bool LoadProxyFromConfig(ProxyInfo* info) = 0;
    virtual bool InitializeConfigProxy() = 0;
};

class TesselProxyHelper : public ITesselProxyHelper {
public:
    explicit TesselProxyHelper(IConfig* config);
    ~TesselProxyHelper() override;
    TesselProxyHelper(const TesselProxyHelper&) = delete;
    TesselProxyHelper& operator=(const TesselProxyHelper&) = delete;

    void ConvertProxyInfoToTesselProxyType(tessel_proxy_t* proxy, const ProxyInfo& info) override;
    // Replaces the whole subtree in one store transaction: a reader sees the
    // old proxy or the new one, never a part; false when a value cannot be
    // written, and the old proxy then stays.
    bool SaveProxyToConfig(const ProxyInfo& info) override;
    // The local view (what SaveProxyToConfig wrote).
    bool LoadProxyFromConfig(ProxyInfo* info) override;
    bool InitializeConfigProxy() override;

    // The policy's proxy (secure view), with discovery mode 2.
    bool LoadProxyFromSecureConfig(ProxyInfo* info);
    bool DeleteConfigProxyInfo();
    bool SaveDirectConnection();

    // What LoadProxyFromConfig yields after SaveProxyToConfig(info): the list
    // protocol stands in for an empty type, a password is only read back with
    // a user, a direct connection keeps only its server.
    static ProxyInfo StoredForm(const ProxyInfo& info);

private:
    // The delete and the writes of a save; false (logged) at the first value
    // that cannot be written.
    bool WriteProxy(const ProxyInfo& info);

    IConfig* m_config;
    IStringUtils* m_stringUtils;
    std::mutex m_saveMutex;
};

// The kit's proxy type for a protocol string (exact, case-sensitive); -1 for
// anything else.
int32_t ConvertProtcolStringToEnum(const std::wstring& type);

// The protocol the proxy is reached with: its type, or the list protocol it was
// listed under when it has no type (how it is also saved).
const std::wstring& EffectiveProxyType(const ProxyInfo& info);

// Frees what ConvertProxyInfoToTesselProxyType allocated in `proxy`.
void FreeTesselProxyType(tessel_proxy_t* proxy);
// The release function of every password handed to the kit: wipes, then frees.
void FreeProxyPasswordCopy(char* password);
