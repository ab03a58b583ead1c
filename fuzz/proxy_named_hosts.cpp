// The list of proxies policy's credentials may go to ("config/proxy/credhosts"):
// text from a policy document. Every kept entry must be a bounded, lower-case
// host without separators, with a port from 1 to 65535 when it has one, and
// the count and the text read must stay within their bounds.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "proxy/ProxyConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto hosts = proxy_config::ParseNamedHosts(text);
    if (hosts.size() > proxy_config::kMaxNamedHosts) abort();
    for (const auto& named : hosts) {
        if (named.host.empty() || named.host.size() > 253) abort();
        if (named.port && *named.port == 0) abort();
        for (char c : named.host) {
            if (std::isupper(static_cast<unsigned char>(c)) || c == ';' || c == ',' || c == ' ' || c == '[' ||
                c == ']' || c == '/' || c == '@' || static_cast<unsigned char>(c) < 0x21 ||
                static_cast<unsigned char>(c) > 0x7e)
                abort();
        }
        if (text.substr(0, proxy_config::kMaxNamedHostsText).find(named.host) == std::string_view::npos &&
            !std::any_of(text.begin(), text.end(), [](char c) { return std::isupper(static_cast<unsigned char>(c)); }))
            abort();
    }
    return 0;
}
