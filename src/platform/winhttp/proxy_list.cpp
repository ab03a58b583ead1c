#include "platform/winhttp/proxy_list.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace platform::winhttp {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// Names and IPv4 addresses only: anything else would split differently in
// the proxy string parser (":" "/" "=" ";" and spaces are its separators).
bool UsableHost(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    return std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_';
    });
}

// "host[:port]" with `fallback` for a missing port. False when malformed.
bool SplitHostPort(std::string_view text, uint16_t fallback, std::string* host, uint16_t* port) {
    size_t colon = text.rfind(':');
    *port = fallback;
    if (colon != std::string_view::npos) {
        std::string_view digits = text.substr(colon + 1);
        unsigned value = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value == 0 ||
            value > 65535)
            return false;
        *port = static_cast<uint16_t>(value);
        text = text.substr(0, colon);
    }
    if (!UsableHost(text)) return false;
    host->assign(text);
    return true;
}

// Port a proxy of this type listens on when none is given (libcurl's own
// defaults, which is what the environment variables were written for).
uint16_t DefaultPort(std::string_view type) { return type == "https" ? 443 : 1080; }

}  // namespace

bool AppendEntry(std::string* list, const ProxyEntry& entry) {
    if (!UsableHost(entry.host) || entry.port == 0) return false;
    std::string proxy;
    if (!entry.type.empty()) proxy.append(entry.type).append("://");
    proxy.append(entry.host).append(":").append(std::to_string(entry.port));
    // The same proxy for another protocol is the same candidate.
    size_t pos = 0;
    while (pos < list->size()) {
        size_t end = list->find(';', pos);
        if (end == std::string::npos) end = list->size();
        std::string_view item(list->data() + pos, end - pos);
        size_t eq = item.find('=');
        if (eq != std::string_view::npos) item.remove_prefix(eq + 1);
        if (item == proxy) return false;
        pos = end + 1;
    }
    if (!list->empty()) list->push_back(';');
    if (!entry.protocol.empty()) list->append(entry.protocol).append("=");
    list->append(proxy);
    return true;
}

std::string PacAnswerToList(std::string_view answer, bool* direct) {
    std::string list;
    *direct = false;
    while (!answer.empty()) {
        size_t semi = answer.find(';');
        std::string_view item = Trim(answer.substr(0, semi));
        answer = semi == std::string_view::npos ? std::string_view() : answer.substr(semi + 1);
        size_t space = item.find_first_of(" \t");
        std::string keyword = Lower(item.substr(0, space));
        std::string_view where = space == std::string_view::npos ? std::string_view() : Trim(item.substr(space));
        ProxyEntry entry;
        if (keyword == "direct") {
            *direct = true;
            continue;
        } else if (keyword == "proxy" || keyword == "http") {
            entry.type = "";
        } else if (keyword == "https") {
            entry.type = "https";
        } else if (keyword == "socks" || keyword == "socks4") {
            entry.type = "socks4";
        } else if (keyword == "socks5") {
            entry.type = "socks5";
        } else {
            continue;  // unknown kinds are skipped, as a browser would
        }
        uint16_t fallback = keyword == "https" ? 443 : (entry.type.empty() ? 80 : 1080);
        if (SplitHostPort(where, fallback, &entry.host, &entry.port)) AppendEntry(&list, entry);
    }
    return list;
}

bool ParseProxyUrl(std::string_view value, ProxyEntry* entry) {
    value = Trim(value);
    std::string type = "http";
    size_t scheme = value.find("://");
    if (scheme != std::string_view::npos) {
        type = Lower(value.substr(0, scheme));
        value.remove_prefix(scheme + 3);
    }
    if (type == "socks5h") type = "socks5_hostname";
    if (type == "socks") type = "socks4";
    if (type != "http" && type != "https" && type != "socks4" && type != "socks4a" && type != "socks5" &&
        type != "socks5_hostname")
        return false;
    size_t path = value.find_first_of("/?#");
    if (path != std::string_view::npos) value = value.substr(0, path);
    size_t at = value.rfind('@');
    if (at != std::string_view::npos) value.remove_prefix(at + 1);
    entry->type = type;
    return SplitHostPort(value, DefaultPort(type), &entry->host, &entry->port);
}

}  // namespace platform::winhttp
