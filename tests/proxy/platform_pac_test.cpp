// PAC files fetched from a real HTTP server on loopback and evaluated in the
// helper process: rules, fallbacks, failing and endless scripts, servers that
// fail or never answer.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "proxy/platform_winhttp_support.h"
#include "testbed/http_file_server.h"

namespace {

using proxytest::Answer;
using proxytest::PacFor;

constexpr const char* RULES = R"(
function FindProxyForURL(url, host) {
    if (host == "exact.test") return "PROXY exact-proxy.test:3128";
    if (dnsDomainIs(host, ".corp.test")) return "PROXY corp-proxy.test:8080; DIRECT";
    if (shExpMatch(url, "http://*/downloads/*")) return "SOCKS5 socks.test:1080; PROXY exact-proxy.test:3128";
    if (isInNet(dnsResolve(host), "127.0.0.0", "255.0.0.0")) return "HTTPS loop-proxy.test:8443";
    return "DIRECT";
}
)";

class PlatformPac : public ::testing::Test {
protected:
    void SetUp() override {
        platform::WinHttpSettings settings = platform::WinHttpGetSettings();
        settings.pacFetchMs = 3000;
        settings.pacEvalMs = 3000;
        platform::WinHttpSetSettings(settings);
        server_.serve("/rules.pac", RULES);
        ASSERT_TRUE(server_.start());
    }

    Answer Script(const std::string& body, const std::string& url = "https://exact.test/") {
        server_.serve("/script.pac", body);
        return PacFor(url, server_.url("/script.pac"));
    }

    proxytest::SettingsScope settings_scope_;
    testbed::HttpFileServer server_;
};

TEST_F(PlatformPac, RulesByHostDomainPatternAndNetwork) {
    struct Case {
        const char* url;
        const char* proxy;
    } cases[] = {
        {"https://exact.test/path", "exact-proxy.test:3128"},
        {"https://host.corp.test/", "corp-proxy.test:8080"},
        {"http://files.test/downloads/a.bin", "socks5://socks.test:1080;exact-proxy.test:3128"},
        {"https://localhost:8443/x", "https://loop-proxy.test:8443"},
    };
    for (const Case& c : cases) {
        Answer a = PacFor(c.url, server_.url("/rules.pac"));
        ASSERT_TRUE(a.ok) << c.url << " error " << a.error;
        EXPECT_EQ(a.access, WINHTTP_ACCESS_TYPE_NAMED_PROXY) << c.url;
        EXPECT_EQ(a.proxy, c.proxy) << c.url;
        EXPECT_EQ(a.bypass, "");
    }
    // Nothing matches: DIRECT only is success without a proxy.
    Answer direct = PacFor("https://192.0.2.1/", server_.url("/rules.pac"));
    ASSERT_TRUE(direct.ok);
    EXPECT_EQ(direct.access, WINHTTP_ACCESS_TYPE_NO_PROXY);
    EXPECT_EQ(direct.proxy, "");
}

TEST_F(PlatformPac, BrokenScriptsFail) {
    const char* scripts[] = {
        "function FindProxyForURL(url, host) { throw 'no proxy for you'; }",
        "function FindProxyForURL(url, host { return 'DIRECT'; }",    // syntax error
        "var nothing = 1;",                                            // no function at all
        "function FindProxyForURL(url, host) { return 'BANANA 1'; }",  // no usable kind
    };
    for (const char* script : scripts) {
        Answer a = Script(script);
        EXPECT_FALSE(a.ok) << script;
        EXPECT_EQ(a.error, ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT) << script;
    }
}

TEST_F(PlatformPac, EndlessOrHungryScriptIsStoppedWithinItsBudget) {
    platform::WinHttpSettings settings = platform::WinHttpGetSettings();
    settings.pacEvalMs = 1000;
    settings.pacMemoryBytes = 64ull << 20;
    platform::WinHttpSetSettings(settings);
    const char* scripts[] = {
        "function FindProxyForURL(url, host) { for (;;) {} }",
        "function FindProxyForURL(url, host) { var a = []; for (;;) a.push('x' + a.length); }",
        "for (;;) {}",  // never finishes loading
    };
    for (const char* script : scripts) {
        auto start = std::chrono::steady_clock::now();
        Answer a = Script(script);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(a.ok) << script;
        EXPECT_EQ(a.error, ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT) << script;
        EXPECT_LT(took, std::chrono::seconds(5)) << script;  // failure bound, not a timing
    }
    // The next script is served as usual.
    EXPECT_EQ(Script("function FindProxyForURL(u, h) { return 'PROXY after.test:1'; }").proxy, "after.test:1");
}

TEST_F(PlatformPac, UnreachableMissingOrSilentServersFail) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    close(probe);  // nothing listens there now
    std::string closed = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/proxy.pac";

    Answer a = PacFor("https://exact.test/", closed);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT);
    a = PacFor("https://exact.test/", server_.url("/missing.pac"));
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT);
    a = PacFor("https://exact.test/", "file:///etc/hostname");  // only http(s) is fetched
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT);

    platform::WinHttpSettings settings = platform::WinHttpGetSettings();
    settings.pacFetchMs = 1000;
    platform::WinHttpSetSettings(settings);
    server_.stall("/silent.pac");
    auto start = std::chrono::steady_clock::now();
    a = PacFor("https://exact.test/", server_.url("/silent.pac"));
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_WINHTTP_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // failure bound
}

TEST_F(PlatformPac, MisuseIsRefused) {
    WINHTTP_PROXY_INFO info{};
    WINHTTP_AUTOPROXY_OPTIONS options{WINHTTP_AUTOPROXY_CONFIG_URL, 0, L"http://127.0.0.1/x.pac", nullptr, 0, false};
    int not_a_session = 0;
    EXPECT_FALSE(WinHttpGetProxyForUrl(&not_a_session, L"https://exact.test/", &options, &info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WinHttpCloseHandle(&not_a_session));
    EXPECT_EQ(WinHttpOpen(nullptr, 2, nullptr, nullptr, 0), nullptr);

    HINTERNET session = WinHttpOpen(L"agent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    EXPECT_FALSE(WinHttpGetProxyForUrl(session, L"not a url", &options, &info));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_URL);
    std::wstring huge = L"https://exact.test/" + std::wstring(10000, L'a');
    EXPECT_FALSE(WinHttpGetProxyForUrl(session, huge.c_str(), &options, &info));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_URL);
    WINHTTP_AUTOPROXY_OPTIONS no_url{WINHTTP_AUTOPROXY_CONFIG_URL, 0, nullptr, nullptr, 0, false};
    EXPECT_FALSE(WinHttpGetProxyForUrl(session, L"https://exact.test/", &no_url, &info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    WINHTTP_AUTOPROXY_OPTIONS no_method{WINHTTP_AUTOPROXY_AUTO_DETECT, 0, nullptr, nullptr, 0, false};
    EXPECT_FALSE(WinHttpGetProxyForUrl(session, L"https://exact.test/", &no_method, &info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(WinHttpCloseHandle(session));
    EXPECT_FALSE(WinHttpCloseHandle(session));  // closed handles are not reused

    platform::WinHttpSettings settings = platform::WinHttpGetSettings();
    settings.pacHelperPath = "/nonexistent/dtk-pac-eval";
    platform::WinHttpSetSettings(settings);
    Answer a = PacFor("https://exact.test/", server_.url("/rules.pac"));
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.error, ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT);
}

TEST_F(PlatformPac, ConcurrentLookupsGetTheirOwnAnswers) {
    std::vector<std::thread> threads;
    std::vector<std::string> seen(8);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            const char* url = i % 2 ? "https://a.corp.test/" : "https://exact.test/";
            seen[i] = PacFor(url, server_.url("/rules.pac")).proxy;
        });
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], i % 2 ? "corp-proxy.test:8080" : "exact-proxy.test:3128") << i;
}

}  // namespace
