// The library's proxy record: how one proxy is reached and how it was found.
// Discovery produces lists of them, the tester picks one and the helper stores
// it under "config/proxy".
#pragma once

#include <cstdint>
#include <string>

class ProxyInfo {
public:
    // How a proxy was found; also the bit index of its source in "config/proxy/srcfl".
    enum DiscoveryMode : int32_t {
        kUnset = -1,
        kDirect = 0,
        kSystem = 1,
        kConfigured = 2,
        kPacFile = 3,
        kWpadDhcp = 4,
        kWpadDns = 5,
    };

    ProxyInfo() = default;
    // Copies carry the password; every copy wipes its own when it goes.
    ProxyInfo(const ProxyInfo& other);
    ProxyInfo& operator=(const ProxyInfo& other);
    virtual ~ProxyInfo();

    // Every field back to its default; the password is wiped first.
    void Reset();
    // Wipes the password's characters, then empties it.
    void ClearPassword();

    // All nine fields, strings exactly.
    bool operator==(const ProxyInfo& other) const;
    bool operator!=(const ProxyInfo& other) const { return !(*this == other); }

    uint16_t port = 0;
    int32_t authType = 0;       // handed to the kit unchanged (1 basic, 8 NTLM)
    int32_t tunnel = 0;         // -1: not set, not saved
    int32_t discoveryMode = kUnset;
    std::wstring type;          // "http_proxy", "https", "socks4", "socks5", "socks4a", "socks5_hostname"
    std::wstring server;
    std::wstring user;
    std::wstring password;      // clear text in memory only
    std::wstring listProtocol;  // the key before "=" in a discovered list entry ("http_proxy", "https")
};
