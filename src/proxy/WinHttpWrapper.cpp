#include "proxy/WinHttpWrapper.h"

bool WinHttpWrapper::WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info) {
    return ::WinHttpGetDefaultProxyConfiguration(info);
}

HINTERNET WinHttpWrapper::WinHttpOpen(const wchar_t* agent, uint32_t accessType, const wchar_t* proxy,
                                      const wchar_t* bypass, uint32_t flags) {
    return ::WinHttpOpen(agent, accessType, proxy, bypass, flags);
}

bool WinHttpWrapper::WinHttpGetProxyForUrl(HINTERNET session, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options,
                                           WINHTTP_PROXY_INFO* info) {
    return ::WinHttpGetProxyForUrl(session, url, options, info);
}

bool WinHttpWrapper::WinHttpCloseHandle(HINTERNET handle) { return ::WinHttpCloseHandle(handle); }
