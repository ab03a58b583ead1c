// The proxy services of WinHTTP as this platform answers them: the default
// proxy comes from the proxy environment variables, a PAC file is fetched and
// evaluated in a short-lived helper process, and WPAD finds its file through
// the DHCP leases (option 252) or through DNS (wpad.<domain>). Every source
// is bounded in time by the budgets below.
//
// Strings are wide (wchar_t, one code point each). The strings a call returns
// in a WINHTTP_PROXY_INFO are the caller's, freed with GlobalFree.
//
// Proxy lists are returned in the list form the proxy string parser reads:
// entries separated by ";" without spaces, each "host:port" (an HTTP proxy),
// "type://host:port" (type "http", "https", "socks4", "socks4a", "socks5" or
// "socks5_hostname"), or, from the environment, "protocol=type://host:port"
// where protocol names the URL scheme the proxy serves ("http", "https").
// See platform/winhttp/proxy_list.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using HINTERNET = void*;

struct WINHTTP_PROXY_INFO {
    uint32_t dwAccessType;
    wchar_t* lpszProxy;        // list form above; null when there is none
    wchar_t* lpszProxyBypass;  // ";"-separated hosts/suffixes; null when none
};

struct WINHTTP_AUTOPROXY_OPTIONS {
    uint32_t dwFlags;
    uint32_t dwAutoDetectFlags;
    const wchar_t* lpszAutoConfigUrl;
    void* lpvReserved;
    uint32_t dwReserved;
    bool fAutoLogonIfChallenged;
};

constexpr uint32_t WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;
constexpr uint32_t WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
constexpr uint32_t WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;

constexpr uint32_t WINHTTP_AUTOPROXY_AUTO_DETECT = 1;
constexpr uint32_t WINHTTP_AUTOPROXY_CONFIG_URL = 2;

constexpr uint32_t WINHTTP_AUTO_DETECT_TYPE_DHCP = 1;
constexpr uint32_t WINHTTP_AUTO_DETECT_TYPE_DNS_A = 2;

// Codes GetLastError reports after a failed call.
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_WINHTTP_TIMEOUT = 12002;
constexpr uint32_t ERROR_WINHTTP_INVALID_URL = 12005;
constexpr uint32_t ERROR_WINHTTP_OPERATION_CANCELLED = 12017;
constexpr uint32_t ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT = 12166;
constexpr uint32_t ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT = 12167;
constexpr uint32_t ERROR_WINHTTP_AUTODETECTION_FAILED = 12180;

// The proxy of the environment (https_proxy, http_proxy, all_proxy and
// no_proxy, lower case first). Access type NAMED_PROXY with the list, or
// NO_PROXY with null strings when none is set. False only on bad arguments.
bool WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info);

// A session handle; the agent name and the proxy settings are kept but not
// used by the auto-proxy calls. Null (GetLastError set) on bad arguments.
HINTERNET WinHttpOpen(const wchar_t* agent, uint32_t accessType,
                      const wchar_t* proxy, const wchar_t* bypass,
                      uint32_t flags);

// The proxies for `url` from the PAC file at the options' configuration URL,
// or found by WPAD through DHCP and/or DNS. On success the access type is
// NAMED_PROXY with the list, or NO_PROXY (null strings) when the script
// answers DIRECT only. False with GetLastError set on failure.
bool WinHttpGetProxyForUrl(HINTERNET session, const wchar_t* url,
                           WINHTTP_AUTOPROXY_OPTIONS* options,
                           WINHTTP_PROXY_INFO* info);

bool WinHttpCloseHandle(HINTERNET handle);

// Frees a string returned in a WINHTTP_PROXY_INFO; null is ignored.
void GlobalFree(void* memory);

// The code of the calling thread's last failed call (0 when none).
uint32_t GetLastError();

namespace platform {

// Budgets and places the calls above use. The defaults suit a host; tests
// point the paths at their own files and shorten the budgets.
struct WinHttpSettings {
    // Fetch of one PAC or wpad.dat file, connection and transfer together.
    uint32_t pacFetchMs = 5000;
    // One evaluation of a PAC script (helper start, parse and call). A
    // script still running then is killed.
    uint32_t pacEvalMs = 2000;
    // Address-space limit of the evaluating process.
    uint64_t pacMemoryBytes = 256ull << 20;
    // PEM file of the authorities an https PAC server is checked against;
    // empty: the system's trust store.
    std::string pacTrustFile;
    // Largest PAC file accepted.
    uint32_t pacMaxBytes = 1u << 20;
    // WPAD through DNS: resolving one candidate name.
    uint32_t dnsResolveMs = 2000;
    // The whole of one auto-detection (all candidates of DHCP or DNS).
    uint32_t autoDetectMs = 10000;
    // The PAC evaluation helper; empty: "dtk-pac-eval" beside the module
    // that holds this code, or in ../lib from there.
    std::string pacHelperPath;
    // DHCP lease sources: dhclient lease files (and directories searched for
    // *.lease / *.leases), systemd-networkd's lease directory and
    // NetworkManager's directory of internal-client lease files.
    std::vector<std::string> dhclientLeasePaths = {"/var/lib/dhcp", "/var/lib/dhclient"};
    std::string networkdLeaseDir = "/run/systemd/netif/leases";
    std::string networkManagerDir = "/var/lib/NetworkManager";
    // Where the DNS search list is read.
    std::string resolvConfPath = "/etc/resolv.conf";
    // The fully qualified host name; empty: the host's own.
    std::string hostFqdn;
};

// Replaces the settings for later calls (calls in progress keep theirs).
void WinHttpSetSettings(const WinHttpSettings& settings);
WinHttpSettings WinHttpGetSettings();

}  // namespace platform
