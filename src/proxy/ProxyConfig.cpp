#include "proxy/ProxyConfig.h"

#include "host/IConfig.h"
#include "host/Util.h"

namespace proxy_config {

std::optional<std::wstring> ReadStringW(IConfig* config, View view, const char* key) {
    wchar_t* value = view == View::Local ? config->GetLocalStringW(key) : config->GetSecureStringW(key);
    if (!value) return std::nullopt;
    std::wstring copy(value);
    config->FreeStringW(value);
    return copy;
}

std::optional<std::string> ReadString(IConfig* config, View view, const char* key) {
    char* value = view == View::Local ? config->GetLocalString(key) : config->GetSecureString(key);
    if (!value) return std::nullopt;
    std::string copy(value);
    config->FreeString(value);
    return copy;
}

int32_t ReadInt(IConfig* config, View view, const char* key) {
    return view == View::Local ? config->GetLocalInt(key) : config->GetSecureInt(key);
}

bool ReadBinary(IConfig* config, View view, const char* key, std::vector<uint8_t>* out) {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    const bool found = view == View::Local ? config->GetLocalBinary(key, &data, &size)
                                           : config->GetSecureBinary(key, &data, &size);
    if (!found || !data) return false;
    out->assign(data, data + size);
    Util::RtlSecureZeroMemory(data, size);
    config->FreeBinary(data);
    return true;
}

bool WriteStringW(IConfig* config, const char* key, const wchar_t* value) {
    return config->SetStringW(key, value) || config->CreateStringW(key, value);
}

bool WriteInt(IConfig* config, const char* key, int32_t value) {
    return config->SetInt(key, value) || config->CreateInt(key, value);
}

bool WriteBinary(IConfig* config, const char* key, const uint8_t* data, uint32_t size) {
    return config->SetBinary(key, data, size) || config->CreateBinary(key, data, size);
}

}  // namespace proxy_config

#include "dtk/ProxyInfo.h"

namespace proxy_config {

void ReadProxyRecord(IConfig* config, View view, ProxyInfo* info, bool* hasType, bool* hasServer) {
    auto type = ReadStringW(config, view, kType);
    *hasType = type.has_value();
    info->type = type.value_or(L"");
    const int32_t authType = ReadInt(config, view, kAuthType);
    info->authType = authType == -1 ? 0 : authType;
    const int32_t port = ReadInt(config, view, kPort);
    info->port = port == -1 ? 0 : static_cast<uint16_t>(port);
    info->tunnel = ReadInt(config, view, kTunnel);
    auto server = ReadStringW(config, view, kServer);
    *hasServer = server.has_value();
    info->server = server.value_or(L"");
    info->user = ReadStringW(config, view, kUserName).value_or(L"");
}

}  // namespace proxy_config

#include <algorithm>
#include <cctype>

namespace proxy_config {

namespace {

bool IsSeparator(char c) { return c == ';' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Lower case without brackets or a final dot; empty when `host` is neither a
// name nor an address (brackets only around an IPv6 address).
std::string NormaliseHost(std::string_view host) {
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    const bool v6 = bracketed || std::count(host.begin(), host.end(), ':') > 1;
    if (!host.empty() && host.back() == '.' && !v6) host.remove_suffix(1);
    if (host.empty() || host.size() > 253) return {};
    std::string out;
    for (char c : host) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool ok = v6 ? (std::isxdigit(u) || c == ':' || c == '.')
                                  : (std::isalnum(u) || c == '.' || c == '-' || c == '_');
        if (!ok) return {};
        out += static_cast<char>(std::tolower(u));
    }
    return out;
}

std::optional<uint16_t> ParsePort(std::string_view digits) {
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    uint32_t port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    return static_cast<uint16_t>(port);
}

std::optional<NamedHost> ParseEntry(std::string_view entry) {
    NamedHost named;
    std::string_view host = entry;
    // host:port, [v6] or [v6]:port; a bare IPv6 address has more than one colon.
    const size_t close = entry.front() == '[' ? entry.find(']') : std::string_view::npos;
    const size_t colon = close != std::string_view::npos ? entry.find(':', close) : entry.find(':');
    const bool hasPort = colon != std::string_view::npos &&
                         (close != std::string_view::npos ? colon == close + 1 : entry.find(':', colon + 1) == std::string_view::npos);
    if (hasPort) {
        named.port = ParsePort(entry.substr(colon + 1));
        if (!named.port) return std::nullopt;
        host = entry.substr(0, colon);
    }
    named.host = NormaliseHost(host);
    if (named.host.empty()) return std::nullopt;
    return named;
}

// The proxy's server in the form NormaliseHost gives; empty when it has none
// or it is not plain ASCII.
std::string ServerOf(const ProxyInfo& proxy) {
    std::string narrow;
    for (wchar_t c : proxy.server) {
        if (c <= 0 || c > 0x7e) return {};
        narrow += static_cast<char>(c);
    }
    return NormaliseHost(narrow);
}

}  // namespace

std::vector<NamedHost> ParseNamedHosts(std::string_view text) {
    std::vector<NamedHost> hosts;
    text = text.substr(0, std::min(text.size(), kMaxNamedHostsText));
    size_t at = 0;
    while (at < text.size() && hosts.size() < kMaxNamedHosts) {
        while (at < text.size() && IsSeparator(text[at])) ++at;
        size_t end = at;
        while (end < text.size() && !IsSeparator(text[end])) ++end;
        if (end > at)
            if (auto entry = ParseEntry(text.substr(at, end - at))) hosts.push_back(*entry);
        at = end;
    }
    return hosts;
}

bool MayReceivePolicyCredentials(IConfig* config, const ProxyInfo& proxy) {
    const std::string server = ServerOf(proxy);
    if (!config || server.empty()) return false;

    ProxyInfo configured;
    bool hasType = false;
    bool hasServer = false;
    ReadProxyRecord(config, View::Secure, &configured, &hasType, &hasServer);
    if (hasServer && ServerOf(configured) == server && configured.port == proxy.port) return true;

    const auto listed = ReadString(config, View::Secure, kCredentialHosts);
    if (!listed) return false;
    const auto hosts = ParseNamedHosts(*listed);
    return std::any_of(hosts.begin(), hosts.end(), [&](const NamedHost& named) {
        return named.host == server && (!named.port || *named.port == proxy.port);
    });
}

}  // namespace proxy_config
