// The list form the proxy services return, and the conversions into it.
//
// List form: entries separated by ";" (no spaces), each one of
//   host:port                      an HTTP proxy
//   type://host:port               type "http", "https", "socks4", "socks4a",
//                                  "socks5" or "socks5_hostname"
//   protocol=type://host:port      the proxy for URLs of that scheme only
// Hosts are names or IPv4 addresses; entries whose host would not survive
// the proxy string parser (IPv6 literals, separators) are left out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::winhttp {

// One proxy for the list. `type` empty means an HTTP proxy.
struct ProxyEntry {
    std::string protocol;
    std::string type;
    std::string host;
    uint16_t port = 0;
};

// Appends `entry` to `list` unless the host is unusable or the same
// type/host/port is already listed. False when it was left out.
bool AppendEntry(std::string* list, const ProxyEntry& entry);

// A PAC answer ("PROXY h:p; SOCKS5 h:p; DIRECT") in list form, in the
// script's order. DIRECT is not a proxy: it only sets `*direct`.
std::string PacAnswerToList(std::string_view answer, bool* direct);

// "[scheme://][user[:password]@]host[:port][/...]" as written in the proxy
// environment variables. Credentials are dropped (the list has no place for
// them). False for an unusable value.
bool ParseProxyUrl(std::string_view value, ProxyEntry* entry);

}  // namespace platform::winhttp
