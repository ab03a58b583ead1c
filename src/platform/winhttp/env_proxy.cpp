#include "platform/winhttp/env_proxy.h"

#include <cstdlib>
#include <string_view>

#include "platform/winhttp/proxy_list.h"

namespace platform::winhttp {

namespace {

const char* Variable(const char* lower, const char* upper) {
    const char* value = std::getenv(lower);
    if (!value || !*value) value = std::getenv(upper);
    return value && *value ? value : nullptr;
}

void AddVariable(std::string* list, const char* protocol, const char* value) {
    ProxyEntry entry;
    if (!value || !ParseProxyUrl(value, &entry)) return;
    entry.protocol = protocol;
    AppendEntry(list, entry);
}

}  // namespace

EnvProxy ReadEnvProxy() {
    EnvProxy proxy;
    AddVariable(&proxy.list, "https", Variable("https_proxy", "HTTPS_PROXY"));
    AddVariable(&proxy.list, "http", Variable("http_proxy", "HTTP_PROXY"));
    AddVariable(&proxy.list, "", Variable("all_proxy", "ALL_PROXY"));
    if (proxy.list.empty()) return proxy;
    const char* no_proxy = Variable("no_proxy", "NO_PROXY");
    std::string_view bypass = no_proxy ? no_proxy : "";
    while (!bypass.empty()) {
        size_t comma = bypass.find(',');
        std::string_view item = bypass.substr(0, comma);
        bypass = comma == std::string_view::npos ? std::string_view() : bypass.substr(comma + 1);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.empty() || item.find(';') != std::string_view::npos) continue;
        if (!proxy.bypass.empty()) proxy.bypass.push_back(';');
        proxy.bypass.append(item);
    }
    return proxy;
}

}  // namespace platform::winhttp
