// The proxy's keys under "config/proxy" and small typed accessors over IConfig:
// reads copy the library-owned value and hand it back at once; writes try the
// library's two write operations in turn.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class IConfig;

namespace proxy_config {

inline constexpr const char* kRoot = "config/proxy";
inline constexpr const char* kType = "config/proxy/type";
inline constexpr const char* kPort = "config/proxy/port";
inline constexpr const char* kTunnel = "config/proxy/tunnel";
inline constexpr const char* kAuthType = "config/proxy/authtype";
inline constexpr const char* kDiscMode = "config/proxy/discmode";
inline constexpr const char* kServer = "config/proxy/server";
inline constexpr const char* kUserName = "config/proxy/username";
inline constexpr const char* kPassword = "config/proxy/password";
inline constexpr const char* kTestUrl = "config/proxy/testurl";
inline constexpr const char* kPacLocation = "config/proxy/pacloc";
inline constexpr const char* kSourceFlags = "config/proxy/srcfl";
// Secure view only: further proxies that may receive policy's proxy user and
// password, as "host" (any port) or "host:port" ("[v6]:port" for an IPv6
// address), separated by ';', ',' or white space.
inline constexpr const char* kCredentialHosts = "config/proxy/credhosts";

// Local: what this library stored. Secure: what policy delivered.
enum class View { Local, Secure };

std::optional<std::wstring> ReadStringW(IConfig* config, View view, const char* key);
std::optional<std::string> ReadString(IConfig* config, View view, const char* key);
// -1 when missing.
int32_t ReadInt(IConfig* config, View view, const char* key);
// false when missing. The library-owned copy is wiped before it is handed back.
bool ReadBinary(IConfig* config, View view, const char* key, std::vector<uint8_t>* out);

bool WriteStringW(IConfig* config, const char* key, const wchar_t* value);
bool WriteInt(IConfig* config, const char* key, int32_t value);
bool WriteBinary(IConfig* config, const char* key, const uint8_t* data, uint32_t size);

}  // namespace proxy_config

class ProxyInfo;

namespace proxy_config {

// Reads type, port, tunnel, auth type, server and user of `view` into `info`
// (not the discovery mode, not the password). A missing port reads as 0 and a
// missing auth type as 0, as a save leaves them out; a missing tunnel stays -1.
// *hasType and *hasServer tell whether those keys exist.
void ReadProxyRecord(IConfig* config, View view, ProxyInfo* info, bool* hasType, bool* hasServer);

// One entry of kCredentialHosts; no port means any port.
struct NamedHost {
    std::string host;  // lower case, without brackets or a final dot
    std::optional<uint16_t> port;
    bool operator==(const NamedHost&) const = default;
};
// At most kMaxNamedHosts entries of the first kMaxNamedHostsText characters;
// an entry that is not a host name, an address or one of those with a port
// from 1 to 65535 is left out.
inline constexpr size_t kMaxNamedHosts = 32;
inline constexpr size_t kMaxNamedHostsText = 4096;
std::vector<NamedHost> ParseNamedHosts(std::string_view text);

// Whether policy's proxy credentials may be offered to `proxy`: the proxy
// policy configures (same server and port) or one kCredentialHosts names.
// Credentials go only where the administrator sent them.
bool MayReceivePolicyCredentials(IConfig* config, const ProxyInfo& proxy);

}  // namespace proxy_config
