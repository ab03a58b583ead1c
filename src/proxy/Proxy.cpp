#include "proxy/Proxy.h"

#include <algorithm>
#include <optional>
#include <string>

#include "host/IConfig.h"
#include "host/Util.h"
#include "proxy/ProxyConfig.h"
#include "proxy/ProxyPassword.h"
#include "proxy/ProxyStringParser.h"
#include "proxy/WinHttpWrapper.h"

using proxy_config::View;

namespace {

const wchar_t* OrEmpty(const wchar_t* text) { return text ? text : L""; }

// Frees the strings WinHTTP returned, however the caller leaves.
struct ProxyInfoStrings {
    WINHTTP_PROXY_INFO info{};
    ~ProxyInfoStrings() {
        GlobalFree(info.lpszProxy);
        GlobalFree(info.lpszProxyBypass);
    }
};

}  // namespace

Proxy::Proxy(IWinHttpWrapper* winHttp) : m_winHttp(winHttp) {}

uint32_t Proxy::EnabledMethods(IConfig* config) {
    const int32_t flags = proxy_config::ReadInt(config, View::Secure, proxy_config::kSourceFlags);
    return (flags == -1 ? 0u : static_cast<uint32_t>(flags)) | (1u << ProxyInfo::kDirect);
}

int Proxy::GetProxies(ProxyInfoList* proxies) {
    *proxies = m_proxies;
    return m_proxies.empty() ? 0 : 1;
}

void Proxy::Discovery(IConfig* config, uint32_t exclusionMask, const ProxyShutdownCallback& shutdown) {
    m_proxies.clear();
    m_config = config;
    const uint32_t enabled = EnabledMethods(config);
    auto stopping = [&] {
        if (!shutdown || !shutdown()) return false;
        m_proxies.clear();
        return true;
    };
    for (int method : kRunOrder) {
        if (stopping()) return;
        const uint32_t bit = 1u << method;
        if (!(enabled & bit) || (exclusionMask & bit)) continue;
        const int status = RunMethod(method);
        trace(kTesselTraceCategory, "Proxy::Discovery method: %d, size: %d, status: %d", method,
              static_cast<int>(m_proxies.size()), status);
    }
    for (ProxyInfo& info : m_proxies) {
        if (stopping()) return;
        if (info.discoveryMode != ProxyInfo::kDirect) Normalise(&info);
    }
    LimitCandidates();
}

void Proxy::LimitCandidates() {
    // The list protocol is left out of the comparison: once normalised, every
    // proxy has a type, and the list protocol then changes neither the test
    // nor what a save stores ("http=p:3128;https=p:3128" is one proxy).
    auto same = [](const ProxyInfo& a, const ProxyInfo& b) {
        return a.type == b.type && a.server == b.server && a.port == b.port;
    };
    ProxyInfoList kept;
    size_t proxies = 0;
    size_t dropped = 0;
    for (ProxyInfo& info : m_proxies) {
        const bool direct = info.discoveryMode == ProxyInfo::kDirect;
        const bool repeated = std::any_of(kept.begin(), kept.end(), [&](const ProxyInfo& k) {
            return (k.discoveryMode == ProxyInfo::kDirect) == direct && same(k, info);
        });
        if (repeated || (!direct && proxies == kMaxCandidates)) {
            ++dropped;
            continue;
        }
        if (!direct) ++proxies;
        kept.push_back(std::move(info));
    }
    if (dropped)
        trace(kTesselTraceCategory, "Proxy::Discovery: %d repeated or surplus proxies dropped, %d kept",
              static_cast<int>(dropped), static_cast<int>(kept.size()));
    m_proxies = std::move(kept);
}

int Proxy::RunMethod(int method) {
    switch (method) {
    case ProxyInfo::kConfigured:
        return GetSecureProxyInfo();
    case ProxyInfo::kSystem:
        return GetSystemProxyInfo();
    case ProxyInfo::kPacFile:
    case ProxyInfo::kWpadDhcp:
    case ProxyInfo::kWpadDns:
        return GetAutoProxyInfo(method);
    default: {
        ProxyInfo direct;
        direct.discoveryMode = ProxyInfo::kDirect;
        m_proxies.push_back(direct);
        trace(kTesselTraceCategory, "Proxy::Discovery: Add Direct Connection to discovery list");
        return 0;
    }
    }
}

void Proxy::Normalise(ProxyInfo* info) {
    if (info->listProtocol == L"http") info->listProtocol = L"http_proxy";
    if (info->type == L"http") info->type = L"http_proxy";
    // "https=p:3128" names the proxy for https URLs, which is reached by plain
    // HTTP (CONNECT); only a "type://" prefix says otherwise.
    if (info->type.empty()) info->type = L"http_proxy";
}

int Proxy::GetSecureProxyInfo() {
    trace(kTesselTraceCategory, "Proxy::GetSecureProxyInfoENTER");
    ProxyInfo info;
    bool hasType = false;
    bool hasServer = false;
    proxy_config::ReadProxyRecord(m_config, View::Secure, &info, &hasType, &hasServer);
    int result = 1;
    if (hasType && hasServer && !info.server.empty()) {
        if (info.tunnel == -1) info.tunnel = 0;
        if (!info.user.empty() && !LoadProxyPassword(m_config, &info.password, View::Secure))
            error("Proxy::GetSecureProxyInfo: failed to load password");
        info.discoveryMode = ProxyInfo::kConfigured;
        m_proxies.push_back(info);
        trace(kTesselTraceCategory, "Proxy::Discovery: Add Config Proxy %ls:%d to discovery list", info.server.c_str(),
              info.port);
        result = 0;
    }
    trace(kTesselTraceCategory, "Proxy::GetSecureProxyInfoexit (%d)", result);
    return result;
}

int Proxy::GetSystemProxyInfo() {
    ProxyInfoStrings result;
    if (!m_winHttp->WinHttpGetDefaultProxyConfiguration(&result.info)) {
        error("Proxy::GetSystemProxyInfo unable to get proxy using registry\n");
        return -1;
    }
    trace(kTesselTraceCategory, "Proxy::GetSystemProxyInfo %d, %ls, %ls", static_cast<int>(result.info.dwAccessType),
          OrEmpty(result.info.lpszProxy), OrEmpty(result.info.lpszProxyBypass));
    if (result.info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY || !result.info.lpszProxy) return 1;
    return ProxyStringParser::ParseProxyString(result.info.lpszProxy, ProxyInfo::kSystem, &m_proxies) ? 0 : 1;
}

int Proxy::GetAutoProxyInfo(int method) {
    const auto testUrl = proxy_config::ReadStringW(m_config, View::Secure, proxy_config::kTestUrl);
    if (!testUrl || testUrl->empty()) {
        error("Proxy::GetAutoProxyInfo test URL is empty");
        return -1;
    }
    std::optional<std::wstring> pacUrl;
    if (method == ProxyInfo::kPacFile) {
        pacUrl = proxy_config::ReadStringW(m_config, View::Secure, proxy_config::kPacLocation);
        if (!pacUrl || pacUrl->empty()) return 1;
    }
    HINTERNET session = m_winHttp->WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    if (!session) {
        error("Proxy::GetAutoProxyInfo unable to open http connection: %d", static_cast<int>(GetLastError()));
        return -1;
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (method == ProxyInfo::kPacFile) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = pacUrl->c_str();
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags =
            method == ProxyInfo::kWpadDhcp ? WINHTTP_AUTO_DETECT_TYPE_DHCP : WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = false;
    trace(kTesselTraceCategory, "Proxy::GetAutoProxyInfo 0x%x, 0x%x, %ls", options.dwFlags, options.dwAutoDetectFlags,
          OrEmpty(options.lpszAutoConfigUrl));

    int status = 1;
    ProxyInfoStrings result;
    if (!m_winHttp->WinHttpGetProxyForUrl(session, testUrl->c_str(), &options, &result.info)) {
        error("Proxy::GetAutoProxyInfo unable to get proxy using WPAD/PAC file at url: %ls, %d",
              OrEmpty(options.lpszAutoConfigUrl), static_cast<int>(GetLastError()));
        status = -1;
    } else {
        trace(kTesselTraceCategory, "Proxy::GetAutoProxyInfo %d, %ls, %ls ", static_cast<int>(result.info.dwAccessType),
              OrEmpty(result.info.lpszProxy), OrEmpty(result.info.lpszProxyBypass));
        const int32_t source = (options.dwAutoDetectFlags & WINHTTP_AUTO_DETECT_TYPE_DHCP)    ? ProxyInfo::kWpadDhcp
                               : (options.dwAutoDetectFlags & WINHTTP_AUTO_DETECT_TYPE_DNS_A) ? ProxyInfo::kWpadDns
                                                                                               : ProxyInfo::kPacFile;
        if (result.info.lpszProxy && ProxyStringParser::ParseProxyString(result.info.lpszProxy, source, &m_proxies))
            status = 0;
    }
    m_winHttp->WinHttpCloseHandle(session);
    return status;
}

int Proxy::LoadProxyInfo(ProxyInfo* info) {
    // No run yet: the process's configuration.
    IConfig* config = m_config ? m_config : GetGlobalConfig();
    info->Reset();
    bool hasType = false;
    bool hasServer = false;
    proxy_config::ReadProxyRecord(config, View::Local, info, &hasType, &hasServer);
    if (!hasType) {
        trace(kTesselTraceCategory, "Proxy::LoadProxyInfo No proxy settings found in config");
        info->Reset();
        return 1;
    }
    if (!hasServer) {
        trace(kTesselTraceCategory, "Proxy::LoadProxyInfo proxy server is NULL");
        info->Reset();
        return -1;
    }
    info->discoveryMode = proxy_config::ReadInt(config, View::Local, proxy_config::kDiscMode);
    if (!info->user.empty() &&
        !LoadProxyPassword(config, &info->password, View::Local)) {
        error("Proxy::LoadProxyInfo unable to retrieve proxy password");
        return -1;
    }
    return 0;
}
