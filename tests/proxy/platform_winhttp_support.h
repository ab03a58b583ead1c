// Calls of the WinHTTP proxy services as tests make them: the answer copied
// into plain strings, the returned memory freed, settings and environment
// restored afterwards.
#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "platform/utf8.h"
#include "platform/winhttp.h"

namespace proxytest {

struct Answer {
    bool ok = false;
    uint32_t error = 0;
    uint32_t access = 0;
    std::string proxy;   // "" for a null string
    std::string bypass;  // "" for a null string
};

inline Answer Take(bool ok, WINHTTP_PROXY_INFO& info) {
    Answer answer;
    answer.ok = ok;
    answer.error = ok ? 0 : GetLastError();
    if (ok) {
        answer.access = info.dwAccessType;
        if (info.lpszProxy) answer.proxy = platform::WideToUtf8(info.lpszProxy);
        if (info.lpszProxyBypass) answer.bypass = platform::WideToUtf8(info.lpszProxyBypass);
        GlobalFree(info.lpszProxy);
        GlobalFree(info.lpszProxyBypass);
    }
    return answer;
}

inline Answer DefaultProxy() {
    WINHTTP_PROXY_INFO info{};
    bool ok = WinHttpGetDefaultProxyConfiguration(&info);
    return Take(ok, info);
}

// One auto-proxy lookup on a session of its own, as the discovery makes it.
inline Answer ProxyForUrl(const std::string& url, uint32_t flags, uint32_t detect, const std::string& pac_url = "") {
    HINTERNET session = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    std::wstring wide_pac = platform::Utf8ToWide(pac_url);
    WINHTTP_AUTOPROXY_OPTIONS options{flags, detect, pac_url.empty() ? nullptr : wide_pac.c_str(), nullptr, 0, false};
    WINHTTP_PROXY_INFO info{};
    bool ok = WinHttpGetProxyForUrl(session, platform::Utf8ToWide(url).c_str(), &options, &info);
    Answer answer = Take(ok, info);
    WinHttpCloseHandle(session);
    return answer;
}

inline Answer PacFor(const std::string& url, const std::string& pac_url) {
    return ProxyForUrl(url, WINHTTP_AUTOPROXY_CONFIG_URL, 0, pac_url);
}

// Restores the settings when the test ends.
class SettingsScope {
public:
    SettingsScope() : saved_(platform::WinHttpGetSettings()) {}
    ~SettingsScope() { platform::WinHttpSetSettings(saved_); }
    SettingsScope(const SettingsScope&) = delete;
    SettingsScope& operator=(const SettingsScope&) = delete;

private:
    platform::WinHttpSettings saved_;
};

// Sets or clears environment variables and restores them when the test ends.
class EnvScope {
public:
    EnvScope() = default;
    ~EnvScope() {
        for (auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;

    void set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) setenv(name.c_str(), value->c_str(), 1);
        else unsetenv(name.c_str());
    }
    // Clears every proxy variable, both spellings.
    void clear_proxies() {
        for (const char* name : {"https_proxy", "http_proxy", "all_proxy", "no_proxy", "HTTPS_PROXY", "HTTP_PROXY",
                                 "ALL_PROXY", "NO_PROXY"})
            set(name, std::nullopt);
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace proxytest
