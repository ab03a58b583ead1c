// The kit's HTTP client through real proxies: tinyproxy (HTTP CONNECT) and
// microsocks (SOCKS5), with and without credentials. The proxies bind their
// outgoing connections to their own loopback addresses, so the server can
// tell a proxied request from a direct one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "kit/http_client/http_client.h"
#include "support/testbed_kit.h"
#include "testbed/https_server.h"
#include "testbed/pki.h"
#include "testbed/proxies.h"

namespace {

using testbed::make_handle;
using testbed::make_request;
using testbed::send;

constexpr char kTinyproxyOut[] = "127.0.0.2";
constexpr char kMicrosocksOut[] = "127.0.0.3";
constexpr char kUser[] = "proxyuser";
constexpr char kPassword[] = "Pr0xy-Secret-77";

// The password getter hands out a fresh copy per call; the release function
// checks that the copy was wiped before it was handed back.
std::atomic<int> g_gets{0};
std::atomic<int> g_frees{0};
std::atomic<int> g_unwiped{0};
const char* g_password = kPassword;

char* get_password() {
    ++g_gets;
    return strdup(g_password);
}

void free_password(char* password) {
    ++g_frees;
    if (password[0] != '\0') ++g_unwiped;
    free(password);
}

class HttpClientProxyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pki_ = new testbed::Pki();
        server_ = new testbed::HttpsServer();
        testbed::TlsServerOptions options;
        options.identity = &pki_->server();
        ASSERT_TRUE(server_->start(options));
        tinyproxy_ = new testbed::Tinyproxy();
        ASSERT_TRUE(tinyproxy_->start(std::nullopt, {server_->port()}, kTinyproxyOut));
        tinyproxy_auth_ = new testbed::Tinyproxy();
        ASSERT_TRUE(tinyproxy_auth_->start(testbed::ProxyCredentials{kUser, kPassword}, {server_->port()},
                                           kTinyproxyOut));
        socks_ = new testbed::Microsocks();
        ASSERT_TRUE(socks_->start(std::nullopt, kMicrosocksOut));
        socks_auth_ = new testbed::Microsocks();
        ASSERT_TRUE(socks_auth_->start(testbed::ProxyCredentials{kUser, kPassword}, kMicrosocksOut));
    }
    static void TearDownTestSuite() {
        delete tinyproxy_;
        delete tinyproxy_auth_;
        delete socks_;
        delete socks_auth_;
        delete server_;
        delete pki_;
    }
    void SetUp() override {
        g_gets = g_frees = g_unwiped = 0;
        g_password = kPassword;
    }

    static tessel_proxy_t proxy_record(int type, uint16_t port, bool credentials, uint32_t auth = 0) {
        tessel_proxy_t proxy{};
        proxy.type = type;
        snprintf(proxy.server, sizeof proxy.server, "127.0.0.1");
        proxy.port = port;
        proxy.auth = auth;
        if (credentials) {
            proxy.username = const_cast<char*>(kUser);
            proxy.get_password = get_password;
            proxy.free_password = free_password;
        }
        return proxy;
    }

    // GET of `path` through `proxy`; returns the response and the peer the server saw.
    std::pair<testbed::ResponsePtr, std::string> fetch(const tessel_proxy_t& proxy, const std::string& url) {
        auto handle = make_handle(*pki_);
        http_client_handle_set_verbose(handle.get(), true);
        EXPECT_EQ(http_client_handle_set_proxy(handle.get(), &proxy), 0);
        auto req = make_request(handle.get());
        const size_t before = server_->request_count();
        auto resp = send(req.get(), url);
        std::string peer;
        auto seen = server_->requests();
        if (seen.size() > before) peer = seen.back().peer;
        return {std::move(resp), peer};
    }

    static testbed::Pki* pki_;
    static testbed::HttpsServer* server_;
    static testbed::Tinyproxy* tinyproxy_;
    static testbed::Tinyproxy* tinyproxy_auth_;
    static testbed::Microsocks* socks_;
    static testbed::Microsocks* socks_auth_;
    testbed::KitLogCapture log_;
};

testbed::Pki* HttpClientProxyTest::pki_ = nullptr;
testbed::HttpsServer* HttpClientProxyTest::server_ = nullptr;
testbed::Tinyproxy* HttpClientProxyTest::tinyproxy_ = nullptr;
testbed::Tinyproxy* HttpClientProxyTest::tinyproxy_auth_ = nullptr;
testbed::Microsocks* HttpClientProxyTest::socks_ = nullptr;
testbed::Microsocks* HttpClientProxyTest::socks_auth_ = nullptr;

bool from(const std::string& peer, const std::string& address) { return peer.rfind(address + ":", 0) == 0; }

TEST_F(HttpClientProxyTest, RequestsTravelThroughEachProxyType) {
    auto [http, http_peer] = fetch(proxy_record(TESSEL_PROXY_HTTP, tinyproxy_->port(), false), server_->url("/status/200"));
    ASSERT_TRUE(http);
    EXPECT_EQ(http->error, HTTP_CLIENT_OK) << log_.dump();
    EXPECT_EQ(http->status, 200);
    EXPECT_TRUE(from(http_peer, kTinyproxyOut)) << http_peer;
    EXPECT_NE(tinyproxy_->log_text().find("CONNECT 127.0.0.1:" + std::to_string(server_->port())), std::string::npos);

    auto [socks5, socks5_peer] =
        fetch(proxy_record(TESSEL_PROXY_SOCKS5, socks_->port(), false), server_->url("/status/200"));
    ASSERT_TRUE(socks5);
    EXPECT_EQ(socks5->error, HTTP_CLIENT_OK) << log_.dump();
    EXPECT_TRUE(from(socks5_peer, kMicrosocksOut)) << socks5_peer;

    // Type 7 lets the proxy resolve the name.
    auto [socks5h, socks5h_peer] =
        fetch(proxy_record(TESSEL_PROXY_SOCKS5_HOSTNAME, socks_->port(), false), server_->localhost_url("/status/204"));
    ASSERT_TRUE(socks5h);
    EXPECT_EQ(socks5h->error, HTTP_CLIENT_OK) << log_.dump();
    EXPECT_EQ(socks5h->status, 204);
    EXPECT_TRUE(from(socks5h_peer, kMicrosocksOut)) << socks5h_peer;

    tessel_proxy_t none{};
    none.type = TESSEL_PROXY_NONE;
    auto [direct, direct_peer] = fetch(none, server_->url("/status/200"));
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->error, HTTP_CLIENT_OK);
    EXPECT_TRUE(from(direct_peer, "127.0.0.1")) << direct_peer;
}

TEST_F(HttpClientProxyTest, CredentialsAreSentFetchedPerSendAndNeverLogged) {
    for (uint32_t mask : {0u, static_cast<uint32_t>(TESSEL_PROXY_AUTH_BASIC)}) {
        auto [http, peer] =
            fetch(proxy_record(TESSEL_PROXY_HTTP, tinyproxy_auth_->port(), true, mask), server_->url("/status/200"));
        ASSERT_TRUE(http);
        EXPECT_EQ(http->error, HTTP_CLIENT_OK) << "mask " << mask << "\n" << log_.dump();
        EXPECT_TRUE(from(peer, kTinyproxyOut)) << peer;
    }
    for (int type : {TESSEL_PROXY_SOCKS5, TESSEL_PROXY_SOCKS5_HOSTNAME}) {
        auto [socks, peer] = fetch(proxy_record(type, socks_auth_->port(), true), server_->localhost_url("/status/200"));
        ASSERT_TRUE(socks);
        EXPECT_EQ(socks->error, HTTP_CLIENT_OK) << "type " << type << "\n" << log_.dump();
        EXPECT_TRUE(from(peer, kMicrosocksOut)) << peer;
    }
    EXPECT_EQ(g_gets.load(), 4);
    EXPECT_EQ(g_frees.load(), 4);

    // Several sends on one request: one fetch and one release each, wiped.
    auto handle = make_handle(*pki_);
    tessel_proxy_t proxy = proxy_record(TESSEL_PROXY_HTTP, tinyproxy_auth_->port(), true, TESSEL_PROXY_AUTH_BASIC);
    ASSERT_EQ(http_client_handle_set_proxy(handle.get(), &proxy), 0);
    auto req = make_request(handle.get());
    for (int i = 0; i < 3; ++i) {
        auto resp = send(req.get(), server_->url("/status/200"));
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->error, HTTP_CLIENT_OK);
        EXPECT_EQ(g_gets.load(), 5 + i);
        EXPECT_EQ(g_frees.load(), 5 + i);
    }
    EXPECT_EQ(g_unwiped.load(), 0);
    // The handle's own record given back keeps its user name.
    ASSERT_EQ(http_client_handle_set_proxy(handle.get(), &handle->proxy), 0);
    ASSERT_NE(handle->proxy.username, nullptr);
    EXPECT_STREQ(handle->proxy.username, kUser);
    EXPECT_NE(handle->proxy.username, kUser);
    const auto lines = log_.lines();
    EXPECT_FALSE(lines.empty());
    for (const auto& line : lines) EXPECT_EQ(line.text.find(kPassword), std::string::npos) << line.text;
}

TEST_F(HttpClientProxyTest, WrongPasswordIsRefusedByTheProxy) {
    g_password = "not-the-password";
    const size_t before = server_->request_count();
    auto [http, http_peer] =
        fetch(proxy_record(TESSEL_PROXY_HTTP, tinyproxy_auth_->port(), true), server_->url("/status/200"));
    ASSERT_TRUE(http);
    EXPECT_NE(http->error, HTTP_CLIENT_OK);
    EXPECT_EQ(http->status, 0);
    auto [socks, socks_peer] =
        fetch(proxy_record(TESSEL_PROXY_SOCKS5, socks_auth_->port(), true), server_->url("/status/200"));
    ASSERT_TRUE(socks);
    EXPECT_NE(socks->error, HTTP_CLIENT_OK);
    EXPECT_EQ(server_->request_count(), before);
    EXPECT_EQ(g_frees.load(), g_gets.load());
    // Refused by the proxies themselves, not by a failure to reach them.
    EXPECT_TRUE(log_.contains("CONNECT tunnel failed, response 401")) << log_.dump();
    EXPECT_TRUE(log_.contains("User was rejected by the SOCKS5 server")) << log_.dump();
}

}  // namespace
