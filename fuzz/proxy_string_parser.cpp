// Proxy lists as the system, a PAC script or WPAD return them: untrusted text.
// Every entry the parser keeps must carry the source as its discovery mode and
// bounded strings, and success must mean at least one entry.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host_log.h"
#include "proxy/ProxyStringParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (hostkit::SetLogSink([](hostkit::LogKind, uint64_t, const std::string&) {}), true);
    (void)quiet;
    if (size > 16384) return 0;
    // Bytes as characters, so every separator and delimiter is one byte away;
    // pairs of 0xFF lead to wide characters beyond one byte.
    std::wstring text;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            text.push_back(static_cast<wchar_t>(data[i + 1] << 8 | data[i + 2]));
            i += 2;
        } else {
            text.push_back(static_cast<wchar_t>(data[i]));
        }
    }
    ProxyInfoList list;
    const bool parsed = ProxyStringParser::ParseProxyString(text, 4, &list);
    if (parsed == list.empty()) abort();
    for (const ProxyInfo& info : list) {
        if (info.discoveryMode != 4) abort();
        if (info.server.size() > 2048 || info.type.size() > 2048 || info.listProtocol.size() > 2048) abort();
        if (info.server.size() > text.size()) abort();
    }
    return 0;
}
