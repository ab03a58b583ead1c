// DHCP lease files (dhclient's syntax and the KEY=VALUE files of networkd and
// NetworkManager's internal client) and the choice of the current lease:
// whatever they hold, a URL comes out only as a printable http(s) URL of
// bounded length, and only from the newest lease of its interface while that
// lease lasts. An input starting "@<seconds>\n" sets the clock; the rest is
// the lease text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/winhttp/dhcp_lease.h"

namespace {

using platform::winhttp::DhcpLease;

void Check(const std::string& url) {
    if (url.empty()) return;
    if (url.size() > 2048 || platform::winhttp::CheckWpadUrl(url) != url) abort();
}

// The clock an input sets, the lease text left in `text`.
int64_t TakeClock(std::string_view* text) {
    constexpr int64_t DEFAULT_NOW = 1796126400;
    size_t nl = text->find('\n');
    if (text->empty() || text->front() != '@' || nl == std::string_view::npos || nl > 19) return DEFAULT_NOW;
    std::string_view digits = text->substr(1, nl - 1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return DEFAULT_NOW;
    text->remove_prefix(nl + 1);
    return std::stoll(std::string(digits));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace platform::winhttp;
    if (size > 1 << 20) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const int64_t now = TakeClock(&text);

    std::vector<DhcpLease> leases = ReadDhclientLeases(text);
    if (leases.size() > 64) abort();
    for (size_t i = 0; i < leases.size(); ++i) {
        Check(leases[i].wpadUrl);
        if (leases[i].interface.size() > 64) abort();
        for (size_t j = i + 1; j < leases.size(); ++j)
            if (leases[i].interface == leases[j].interface) abort();  // one lease per interface
    }
    DhcpLease key_value = ReadKeyValueLease(text, now);
    Check(key_value.wpadUrl);
    if (key_value.expires != 0 && key_value.expires < now) abort();  // a lifetime never runs backwards

    // Newest first, as the search hands them over; the text read a second
    // time stands for an older file of the same interfaces.
    std::vector<DhcpLease> newest_first(leases.rbegin(), leases.rend());
    newest_first.push_back(key_value);
    newest_first.insert(newest_first.end(), leases.begin(), leases.end());
    const std::string url = CurrentWpadUrl(newest_first, now);
    Check(url);
    if (url.empty()) return 0;
    for (size_t i = 0; i < newest_first.size(); ++i) {
        const DhcpLease& lease = newest_first[i];
        bool newest = std::none_of(newest_first.begin(), newest_first.begin() + static_cast<long>(i),
                                   [&](const DhcpLease& other) { return other.interface == lease.interface; });
        if (newest && lease.wpadUrl == url && lease.expires > now) return 0;
    }
    abort();  // the URL came from history or from an ended lease
}
