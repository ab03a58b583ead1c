// The proxy list forms WinHTTP, PAC conversions and the environment produce.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/ProxyStringParser.h"
#include "support/log_capture.h"

namespace {

struct Expected {
    std::wstring listProtocol;
    std::wstring type;
    std::wstring server;
    uint16_t port;
};

struct Case {
    const wchar_t* input;
    std::vector<Expected> entries;
};

std::vector<Expected> Parse(const std::wstring& input, bool* parsed) {
    ProxyInfoList list;
    *parsed = ProxyStringParser::ParseProxyString(input, 3, &list);
    std::vector<Expected> out;
    for (const ProxyInfo& info : list) {
        EXPECT_EQ(info.discoveryMode, 3) << std::string(input.begin(), input.end());
        out.push_back({info.listProtocol, info.type, info.server, info.port});
    }
    return out;
}

bool operator==(const Expected& a, const Expected& b) {
    return a.listProtocol == b.listProtocol && a.type == b.type && a.server == b.server && a.port == b.port;
}

void PrintTo(const Expected& e, std::ostream* os) {
    *os << "{" << std::string(e.listProtocol.begin(), e.listProtocol.end()) << ", "
        << std::string(e.type.begin(), e.type.end()) << ", " << std::string(e.server.begin(), e.server.end()) << ", "
        << e.port << "}";
}

TEST(ProxyStringParser, EveryFormAndListSeparator) {
    LogCapture log;
    const std::vector<Case> cases = {
        {L"proxy", {{L"", L"", L"proxy", 0}}},
        {L"proxy:3128", {{L"", L"", L"proxy", 3128}}},
        {L"10.0.0.1:8080", {{L"", L"", L"10.0.0.1", 8080}}},
        {L"http=proxy1:8080", {{L"http", L"", L"proxy1", 8080}}},
        {L"socks5://s.example:1080", {{L"", L"socks5", L"s.example", 1080}}},
        {L"https=https://p:443", {{L"https", L"https", L"p", 443}}},
        {L"socks5://s", {{L"", L"socks5", L"s", 0}}},
        // Lists: ";" (WinHTTP, the platform's PAC and environment answers),
        // white space (also WinHTTP), or both mixed.
        {L"http=proxy1:8080;https=proxy2:8443", {{L"http", L"", L"proxy1", 8080}, {L"https", L"", L"proxy2", 8443}}},
        {L"a:80;b:81", {{L"", L"", L"a", 80}, {L"", L"", L"b", 81}}},
        {L"a:80 b:81", {{L"", L"", L"a", 80}, {L"", L"", L"b", 81}}},
        {L"a:80; b:81", {{L"", L"", L"a", 80}, {L"", L"", L"b", 81}}},
        {L"a:80;b:81 c:82", {{L"", L"", L"a", 80}, {L"", L"", L"b", 81}, {L"", L"", L"c", 82}}},
        {L" a:80 ;;\tb:81; ", {{L"", L"", L"a", 80}, {L"", L"", L"b", 81}}},
        // A port takes its leading digits; one beyond 16 bits is refused.
        {L"a:80x", {{L"", L"", L"a", 80}}},
        {L"a:65535;b:65536", {{L"", L"", L"a", 65535}}},
        // Invalid forms yield no entry; their neighbours still do.
        {L"a:/b;ok:1", {{L"", L"", L"ok", 1}}},
        {L"a=b=c;x/y;p:80/path", {}},
        {L"", {}},
        {L";  ;", {}},
    };
    for (const Case& c : cases) {
        bool parsed = false;
        const auto entries = Parse(c.input, &parsed);
        EXPECT_EQ(entries, c.entries) << std::string(c.input, c.input + wcslen(c.input));
        EXPECT_EQ(parsed, !c.entries.empty()) << std::string(c.input, c.input + wcslen(c.input));
    }
    EXPECT_TRUE(log.containsTrace("ProxyStringParser::ParseProxyString: Add Proxy proxy1:8080 to discovery list"));
    EXPECT_TRUE(log.containsTrace("ProxyStringParser::ProcessState reached invalid state: 5, prev: 1"));
}

TEST(ProxyStringParser, LongPiecesAreBounded) {
    const std::wstring longHost(5000, L'h');
    ProxyInfo info;
    ASSERT_TRUE(ProxyStringParser::ParseProxyToken(longHost + L":80", &info));
    EXPECT_EQ(info.server.size(), 2048u);
    EXPECT_EQ(info.port, 80);
}

}  // namespace
