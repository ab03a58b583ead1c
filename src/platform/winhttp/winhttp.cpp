// The WinHTTP proxy calls over this platform's own sources (winhttp.h).
#include "platform/winhttp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "kit/tessel_logger.h"
#include "platform/utf8.h"
#include "platform/winhttp/dhcp_lease.h"
#include "platform/winhttp/env_proxy.h"
#include "platform/winhttp/pac_script.h"
#include "platform/winhttp/proxy_list.h"
#include "platform/winhttp/wpad_dns.h"

using platform::WinHttpSettings;
using namespace platform::winhttp;

namespace {

constexpr size_t MAX_URL = 8192;

thread_local uint32_t last_error = 0;

std::mutex settings_mutex;
WinHttpSettings& CurrentSettings() {
    static WinHttpSettings settings;
    return settings;
}

struct Session {
    std::string agent;
};

// Live sessions: a handle is checked here before it is used, so a stale or
// foreign handle is refused instead of dereferenced.
std::mutex sessions_mutex;
std::set<Session*>& Sessions() {
    static std::set<Session*> sessions;
    return sessions;
}

bool Fail(uint32_t error) {
    last_error = error;
    return false;
}

wchar_t* CopyWide(const std::string& text) {
    if (text.empty()) return nullptr;
    std::wstring wide = platform::Utf8ToWide(text);
    auto* copy = static_cast<wchar_t*>(std::malloc((wide.size() + 1) * sizeof(wchar_t)));
    if (copy) std::memcpy(copy, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    return copy;
}

// Fills `info`; false (out of memory) leaves it empty.
bool SetInfo(WINHTTP_PROXY_INFO* info, uint32_t access, const std::string& proxy, const std::string& bypass) {
    info->dwAccessType = access;
    info->lpszProxy = CopyWide(proxy);
    info->lpszProxyBypass = CopyWide(bypass);
    if ((proxy.empty() || info->lpszProxy) && (bypass.empty() || info->lpszProxyBypass)) return true;
    GlobalFree(info->lpszProxy);
    GlobalFree(info->lpszProxyBypass);
    *info = WINHTTP_PROXY_INFO{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
}

Deadline After(uint32_t ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

// One PAC file: fetched, then evaluated for `url`, each in its own budget and
// both before `outer`. 0 with the answer, or the failure's code.
uint32_t RunPacFile(const std::string& pac_url, const std::string& url, const std::string& agent,
                    const WinHttpSettings& settings, Deadline outer, std::string* answer) {
    std::string script;
    uint32_t rc = FetchPacScript(pac_url, agent, settings, std::min(After(settings.pacFetchMs), outer), &script);
    if (rc != 0) return rc;
    return EvaluatePac(script, url, settings, std::min(After(settings.pacEvalMs), outer), answer);
}

// WPAD: the DHCP lease's URL, then the DNS candidates, within one budget.
// 0 with the first answer a script gives, or the failure's code.
uint32_t AutoDetect(uint32_t detect, const std::string& url, const std::string& agent,
                    const WinHttpSettings& settings, std::string* answer) {
    Deadline deadline = After(settings.autoDetectMs);
    uint32_t rc = ERROR_WINHTTP_AUTODETECTION_FAILED;
    if (detect & WINHTTP_AUTO_DETECT_TYPE_DHCP) {
        std::string pac_url = FindWpadInLeases(settings);
        TLOG_DEBUG("WPAD by DHCP: %s", pac_url.empty() ? "no lease carries a URL" : pac_url.c_str());
        if (!pac_url.empty() && (rc = RunPacFile(pac_url, url, agent, settings, deadline, answer)) == 0) return 0;
    }
    if (detect & WINHTTP_AUTO_DETECT_TYPE_DNS_A) {
        std::string fqdn = settings.hostFqdn;
        if (fqdn.empty()) fqdn = HostFqdnBefore(std::min(After(settings.dnsResolveMs), deadline));
        for (const std::string& name : WpadCandidates(fqdn, ReadSearchList(settings.resolvConfPath))) {
            if (std::chrono::steady_clock::now() >= deadline) return ERROR_WINHTTP_TIMEOUT;
            bool found = ResolvesBefore(name, std::min(After(settings.dnsResolveMs), deadline));
            TLOG_DEBUG("WPAD by DNS: %s %s", name.c_str(), found ? "resolves" : "does not resolve");
            if (!found) continue;
            uint32_t candidate = RunPacFile("http://" + name + "/wpad.dat", url, agent, settings, deadline, answer);
            if (candidate == 0) return 0;
            // A script found but failing says more than one never found.
            if (rc == ERROR_WINHTTP_AUTODETECTION_FAILED) rc = candidate;
        }
    }
    return rc;
}

}  // namespace

bool WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info) {
    if (!info) return Fail(ERROR_INVALID_PARAMETER);
    EnvProxy proxy = ReadEnvProxy();
    if (proxy.list.empty()) return SetInfo(info, WINHTTP_ACCESS_TYPE_NO_PROXY, "", "");
    return SetInfo(info, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.list, proxy.bypass);
}

HINTERNET WinHttpOpen(const wchar_t* agent, uint32_t accessType, const wchar_t*, const wchar_t*, uint32_t) {
    if (accessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY && accessType != WINHTTP_ACCESS_TYPE_NO_PROXY &&
        accessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* session = new Session{agent ? platform::WideToUtf8(agent) : std::string()};
    std::lock_guard<std::mutex> lock(sessions_mutex);
    Sessions().insert(session);
    return session;
}

bool WinHttpGetProxyForUrl(HINTERNET handle, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options,
                           WINHTTP_PROXY_INFO* info) {
    std::string agent;
    {
        std::lock_guard<std::mutex> lock(sessions_mutex);
        auto it = Sessions().find(static_cast<Session*>(handle));
        if (it == Sessions().end()) return Fail(ERROR_INVALID_HANDLE);
        agent = (*it)->agent;
    }
    if (!url || !options || !info) return Fail(ERROR_INVALID_PARAMETER);
    const bool detect = options->dwFlags & WINHTTP_AUTOPROXY_AUTO_DETECT;
    const bool config = options->dwFlags & WINHTTP_AUTOPROXY_CONFIG_URL;
    if ((!detect && !config) || (detect && !options->dwAutoDetectFlags) || (config && !options->lpszAutoConfigUrl))
        return Fail(ERROR_INVALID_PARAMETER);
    std::string target = platform::WideToUtf8(url);
    // The URL travels to the PAC helper on its command line.
    if (target.size() > MAX_URL || UrlHost(target).empty()) return Fail(ERROR_WINHTTP_INVALID_URL);
    WinHttpSettings settings = platform::WinHttpGetSettings();

    std::string answer;
    uint32_t rc = ERROR_WINHTTP_AUTODETECTION_FAILED;
    if (detect) rc = AutoDetect(options->dwAutoDetectFlags, target, agent, settings, &answer);
    if (rc != 0 && config) {
        std::string pac_url = platform::WideToUtf8(options->lpszAutoConfigUrl);
        rc = RunPacFile(pac_url, target, agent, settings, After(settings.pacFetchMs + settings.pacEvalMs), &answer);
    }
    if (rc != 0) return Fail(rc);
    bool direct = false;
    std::string list = PacAnswerToList(answer, &direct);
    if (!list.empty()) return SetInfo(info, WINHTTP_ACCESS_TYPE_NAMED_PROXY, list, "");
    if (direct) return SetInfo(info, WINHTTP_ACCESS_TYPE_NO_PROXY, "", "");
    TLOG_NOTICE("PAC answer without a usable proxy: %.200s", answer.c_str());
    return Fail(ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT);
}

bool WinHttpCloseHandle(HINTERNET handle) {
    std::lock_guard<std::mutex> lock(sessions_mutex);
    auto it = Sessions().find(static_cast<Session*>(handle));
    if (it == Sessions().end()) return Fail(ERROR_INVALID_HANDLE);
    delete *it;
    Sessions().erase(it);
    return true;
}

void GlobalFree(void* memory) { std::free(memory); }

uint32_t GetLastError() { return last_error; }

namespace platform {

void WinHttpSetSettings(const WinHttpSettings& settings) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    CurrentSettings() = settings;
}

WinHttpSettings WinHttpGetSettings() {
    std::lock_guard<std::mutex> lock(settings_mutex);
    return CurrentSettings();
}

}  // namespace platform
