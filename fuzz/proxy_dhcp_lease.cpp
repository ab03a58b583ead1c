// DHCP lease files (dhclient's syntax and the KEY=VALUE files of networkd and
// NetworkManager's internal client): whatever they hold, a URL comes out only
// as a printable http(s) URL of bounded length.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/winhttp/dhcp_lease.h"

namespace {

void Check(const std::string& url) {
    if (url.empty()) return;
    if (url.size() > 2048 || platform::winhttp::CheckWpadUrl(url) != url) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Check(platform::winhttp::WpadFromDhclientLease(text));
    Check(platform::winhttp::WpadFromKeyValueLease(text));
    return 0;
}
