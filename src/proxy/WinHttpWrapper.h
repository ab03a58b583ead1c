// WinHTTP's proxy services behind an interface, so discovery can be handed
// another implementation of the same calls.
#pragma once

#include <cstdint>

#include "platform/winhttp.h"

class IWinHttpWrapper {
public:
    virtual ~IWinHttpWrapper() = default;
    virtual bool WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info) = 0;
    virtual HINTERNET WinHttpOpen(const wchar_t* agent, uint32_t accessType, const wchar_t* proxy,
                                  const wchar_t* bypass, uint32_t flags) = 0;
    virtual bool WinHttpGetProxyForUrl(HINTERNET session, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options,
                                       WINHTTP_PROXY_INFO* info) = 0;
    virtual bool WinHttpCloseHandle(HINTERNET handle) = 0;
};

// Forwards each call to the platform's function of the same name.
class WinHttpWrapper : public IWinHttpWrapper {
public:
    bool WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info) override;
    HINTERNET WinHttpOpen(const wchar_t* agent, uint32_t accessType, const wchar_t* proxy, const wchar_t* bypass,
                          uint32_t flags) override;
    bool WinHttpGetProxyForUrl(HINTERNET session, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options,
                               WINHTTP_PROXY_INFO* info) override;
    bool WinHttpCloseHandle(HINTERNET handle) override;
};
