// The proxy's keys under "config/proxy" and small typed accessors over IConfig:
// reads copy the library-owned value and hand it back at once; writes try the
// library's two write operations in turn.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

}  // namespace proxy_config
