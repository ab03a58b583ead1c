// Tests proxies by fetching "config/proxy/testurl" through them, retrying once
// with the user and password that policy configures when the proxy is one
// policy names (its configured proxy or "config/proxy/credhosts").
#pragma once

#include <functional>
#include <string>

#include "dtk/ITesselInstance.h"
#include "dtk/ProxyInfo.h"
#include "kit/http_client/http_client.h"

class IConfig;
class ITesselProxyHelper;

// Where the tester gets a kit HTTP client handle for each test (the HTTP
// facade's handle carries its user agent and trust settings).
class IHttpClientHandleSource {
public:
    virtual ~IHttpClientHandleSource() = default;
    // A new handle, or null.
    virtual http_client_handle* GetHttpClientHandle() = 0;
    virtual void ReleaseHttpClientHandle(http_client_handle* handle) = 0;
};

class ITesselProxyTester {
public:
    virtual ~ITesselProxyTester() = default;
    virtual bool TestProxy(const ProxyInfo& proxy, IConfig* config) = 0;
    // The first entry of `proxies` that passes, or null. An entry that passes
    // only with policy's credentials takes them, so that saving it keeps what
    // made it work. The pointer is into `proxies`.
    virtual ProxyInfo* FindFirstValidProxy(ProxyInfoList& proxies, IConfig* config) = 0;
};

class TesselProxyTester : public ITesselProxyTester {
public:
    static constexpr size_t kMaxServerLength = 64;

    TesselProxyTester(ITesselProxyHelper* helper, IHttpClientHandleSource* http);
    ~TesselProxyTester() override = default;

    bool TestProxy(const ProxyInfo& proxy, IConfig* config) override;
    ProxyInfo* FindFirstValidProxy(ProxyInfoList& proxies, IConfig* config) override;

    // True once the library is being torn down: no further candidate or retry
    // is tried, and a test in progress aborts at its next progress report.
    // Set before any test runs.
    void SetShutdownCheck(std::function<bool()> shuttingDown) { m_shuttingDown = std::move(shuttingDown); }

private:
    bool ShuttingDown() const { return m_shuttingDown && m_shuttingDown(); }

    // One record, then (on failure) its copy with policy's credentials, which
    // lands in *retried when that passes.
    bool TestWithRetry(const ProxyInfo& proxy, const std::string& testUrl, IConfig* config, ProxyInfo* retried,
                       bool* usedRetry);
    // One kit proxy test under the process-wide test lock; the kit's status.
    int TestProxyInternal(const ProxyInfo& proxy, const std::string& testUrl);

    ITesselProxyHelper* m_helper;
    IHttpClientHandleSource* m_http;
    std::function<bool()> m_shuttingDown;
};
