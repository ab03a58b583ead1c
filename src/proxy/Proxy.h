// One discovery run: gathers candidate proxies from the sources that
// "config/proxy/srcfl" enables, in the order configured proxy (2), system
// proxy (1), PAC file (3), WPAD by DHCP (4), WPAD by DNS (5), direct
// connection (0, always enabled).
#pragma once

#include <cstdint>
#include <functional>

#include "dtk/ITesselInstance.h"
#include "dtk/ProxyInfo.h"

class IConfig;
class IWinHttpWrapper;

// Returns true when the run should stop (the library is shutting down).
using ProxyShutdownCallback = std::function<bool()>;

class IProxy {
public:
    virtual ~IProxy() = default;
    // Copies the last run's result into `proxies`; 0 when it was empty, 1 otherwise.
    virtual int GetProxies(ProxyInfoList* proxies) = 0;
    // The stored proxy (local view): 0 found, 1 none stored, -1 unusable.
    virtual int LoadProxyInfo(ProxyInfo* info) = 0;
    // Methods whose bit is set in `exclusionMask` are skipped. A shutdown stops
    // the run before its next method or entry and leaves the result empty.
    virtual void Discovery(IConfig* config, uint32_t exclusionMask, const ProxyShutdownCallback& shutdown) = 0;
};

class Proxy : public IProxy {
public:
    static constexpr int kRunOrder[] = {ProxyInfo::kConfigured, ProxyInfo::kSystem, ProxyInfo::kPacFile,
                                        ProxyInfo::kWpadDhcp, ProxyInfo::kWpadDns, ProxyInfo::kDirect};
    // Most proxies a run hands on, besides the direct connection. Each may
    // cost two tests of up to 15 s (the second with policy's credentials), and
    // the sources legitimately name a few: the configured proxy, the system's
    // one or two, a PAC or WPAD answer's first choice and its fallbacks. A
    // longer list (a hostile or broken PAC answer) is cut after the first
    // ones, which keeps the sources' order of preference.
    static constexpr size_t kMaxCandidates = 8;

    explicit Proxy(IWinHttpWrapper* winHttp);
    ~Proxy() override = default;

    int GetProxies(ProxyInfoList* proxies) override;
    int LoadProxyInfo(ProxyInfo* info) override;
    void Discovery(IConfig* config, uint32_t exclusionMask, const ProxyShutdownCallback& shutdown) override;

    // The methods a run with `config` enables: "config/proxy/srcfl" of the
    // secure view (missing: none) with the direct connection always added.
    static uint32_t EnabledMethods(IConfig* config);

private:
    int RunMethod(int method);
    int GetSecureProxyInfo();
    int GetSystemProxyInfo();
    int GetAutoProxyInfo(int method);
    void Normalise(ProxyInfo* info);
    // Drops repeated proxies (same type, server and port, after
    // normalisation: the first kept) and those past kMaxCandidates.
    void LimitCandidates();

    IConfig* m_config = nullptr;  // of the current run
    IWinHttpWrapper* m_winHttp;
    ProxyInfoList m_proxies;
};
