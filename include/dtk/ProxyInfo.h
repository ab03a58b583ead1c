// The library's proxy record: how one proxy is reached and how it was found.
// Discovery produces lists of them, the tester picks one and the helper stores
// it under "config/proxy". Defined here in full: hosts copy and destroy
// records, and the library exports no symbols of its own beyond its entry points.
// A plain value: one thread at a time per record; records the instance hands
// out (LoadProxyInfo) go back through ReleaseProxyInfo.
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
    ProxyInfo(const ProxyInfo& other)
        : port(other.port),
          authType(other.authType),
          tunnel(other.tunnel),
          discoveryMode(other.discoveryMode),
          type(other.type),
          server(other.server),
          user(other.user),
          password(other.password),
          listProtocol(other.listProtocol) {}
    ProxyInfo& operator=(const ProxyInfo& other) {
        if (this == &other) return *this;
        // Assigning may move the password to a new buffer: the old one is wiped first.
        ClearPassword();
        port = other.port;
        authType = other.authType;
        tunnel = other.tunnel;
        discoveryMode = other.discoveryMode;
        type = other.type;
        server = other.server;
        user = other.user;
        password = other.password;
        listProtocol = other.listProtocol;
        return *this;
    }
    virtual ~ProxyInfo() { ClearPassword(); }

    // Every field back to its default; the password is wiped first.
    void Reset() {
        ClearPassword();
        *this = ProxyInfo();
    }
    void ClearPassword() { Wipe(&password); }

    // All nine fields, strings exactly.
    bool operator==(const ProxyInfo& other) const {
        return port == other.port && authType == other.authType && tunnel == other.tunnel &&
               discoveryMode == other.discoveryMode && type == other.type && server == other.server &&
               user == other.user && password == other.password && listProtocol == other.listProtocol;
    }
    bool operator!=(const ProxyInfo& other) const { return !(*this == other); }

    // Overwrites every character the string's buffer holds (a shorter value
    // may have followed a longer one), then empties it. The volatile writes
    // cannot be dropped as dead stores.
    static void Wipe(std::wstring* text) {
        text->resize(text->capacity());
        volatile wchar_t* chars = text->data();
        for (size_t i = 0; i < text->size(); ++i) chars[i] = 0;
        text->clear();
    }

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
