// PAC answers and proxy environment values converted into the list form:
// every entry must come out in a shape the proxy string parser reads as one
// whole entry.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "platform/winhttp/proxy_list.h"

namespace {

void CheckProxy(std::string_view item) {
    size_t scheme = item.find("://");
    if (scheme != std::string_view::npos) {
        static const std::set<std::string_view> types = {"http", "https", "socks4", "socks4a", "socks5",
                                                         "socks5_hostname"};
        if (!types.count(item.substr(0, scheme))) abort();
        item.remove_prefix(scheme + 3);
    }
    size_t colon = item.find(':');
    if (colon == 0 || colon == std::string_view::npos || item.find(':', colon + 1) != std::string_view::npos) abort();
    for (char c : item.substr(0, colon))
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') abort();
    std::string port(item.substr(colon + 1));
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) abort();
    long value = std::strtol(port.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) abort();
}

void CheckList(const std::string& list) {
    if (list.find_first_of(" \t\r\n=") != std::string::npos) abort();
    std::set<std::string> seen;
    for (size_t pos = 0; pos <= list.size() && !list.empty();) {
        size_t end = list.find(';', pos);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(pos, end - pos);
        if (item.empty() || !seen.insert(item).second) abort();
        CheckProxy(item);
        pos = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    bool direct = false;
    CheckList(platform::winhttp::PacAnswerToList(text, &direct));
    platform::winhttp::ProxyEntry entry;
    if (platform::winhttp::ParseProxyUrl(text, &entry)) {
        std::string list;
        if (!platform::winhttp::AppendEntry(&list, entry)) abort();
        CheckList(list);
    }
    return 0;
}
