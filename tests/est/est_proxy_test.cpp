// Enrolment through real proxies: tinyproxy (HTTP CONNECT) and microsocks
// (SOCKS5, local and remote name resolution), with and without credentials.
#include <optional>

#include "est/est_test_support.h"
#include "testbed/proxies.h"

namespace est_test {
namespace {

class EstProxy : public EstFixture {
protected:
    void SetUp() override
    {
        EstFixture::SetUp();
        start_server();
        testbed::EstBehaviour b;
        b.auth = testbed::EstAuth::Basic;
        b.user = "proxied";
        b.password = "through-the-proxy";
        behave(b);
        secret(b.password);
        secret("proxy-Pa55");
    }

    // Enrols through the proxy; checks the certificate and the server's view.
    void enroll_via(int proto, uint16_t proxy_port, bool with_credentials, const char* host = "127.0.0.1")
    {
        server_.reset_stats();
        est_context* ctx = new_ctx(host);
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(est_client_set_auth(ctx, "proxied", "through-the-proxy"), EST_ERR_NONE);
        ctx->auth_mode = AUTH_BASIC;
        ASSERT_EQ(est_client_use_proxy(ctx, proto, "127.0.0.1", proxy_port, with_credentials ? 1 : 0,
                                       with_credentials ? "proxyuser" : nullptr,
                                       with_credentials ? "proxy-Pa55" : nullptr),
                  EST_ERR_NONE);
        std::string p7;
        ASSERT_EQ(enroll(ctx, &p7), EST_ERR_NONE);
        testbed::X509Ptr cert = first_cert_of_p7(p7);
        ASSERT_TRUE(cert);
        EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), key_.get()), 1);
        EXPECT_EQ(stats().issued, 1);
        EXPECT_NE(log_text().find(std::string("proxy type ") + tcw_proxy_label(proto)), std::string::npos);
    }
};

TEST_F(EstProxy, TinyproxyTunnelWithAndWithoutCredentials)
{
    testbed::Tinyproxy open_proxy;
    ASSERT_TRUE(open_proxy.start(std::nullopt, {server_.port()}));
    enroll_via(EST_CLIENT_PROXY_HTTP_TUNNEL, open_proxy.port(), false);

    testbed::Tinyproxy auth_proxy;
    ASSERT_TRUE(auth_proxy.start(testbed::ProxyCredentials {"proxyuser", "proxy-Pa55"}, {server_.port()}));
    enroll_via(EST_CLIENT_PROXY_HTTP_TUNNEL, auth_proxy.port(), true);

    // Without the credentials the authenticating proxy refuses the tunnel.
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(est_client_use_proxy(ctx, EST_CLIENT_PROXY_HTTP_TUNNEL, "127.0.0.1", auth_proxy.port(), 0, nullptr,
                                   nullptr),
              EST_ERR_NONE);
    EXPECT_EQ(enroll(ctx), EST_ERR_IP_CONNECT);
}

TEST_F(EstProxy, MicrosocksWithAndWithoutCredentials)
{
    testbed::Microsocks open_proxy;
    ASSERT_TRUE(open_proxy.start(std::nullopt));
    enroll_via(EST_CLIENT_PROXY_SOCKS5, open_proxy.port(), false);
    enroll_via(EST_CLIENT_PROXY_SOCKS5_HOSTNAME, open_proxy.port(), false, "localhost");

    testbed::Microsocks auth_proxy;
    ASSERT_TRUE(auth_proxy.start(testbed::ProxyCredentials {"proxyuser", "proxy-Pa55"}));
    enroll_via(EST_CLIENT_PROXY_SOCKS5, auth_proxy.port(), true);
    enroll_via(EST_CLIENT_PROXY_SOCKS5_HOSTNAME, auth_proxy.port(), true, "localhost");
}

TEST_F(EstProxy, UnresolvableOrUnusableProxyFails)
{
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(est_client_use_proxy(ctx, EST_CLIENT_PROXY_SOCKS5, "no-such-proxy.invalid", 1080, 0, nullptr, nullptr),
              EST_ERR_NONE);
    EXPECT_EQ(enroll(ctx), EST_ERR_IP_GETADDR);
    EXPECT_NE(log_text().find("Unable to lookup hostname 127.0.0.1."), std::string::npos);

    // Protocols 2 and 3 pass the settings check but cannot connect.
    est_context* ctx2 = new_ctx();
    ASSERT_NE(ctx2, nullptr);
    ASSERT_EQ(est_client_use_proxy(ctx2, 2, "127.0.0.1", 1080, 0, nullptr, nullptr), EST_ERR_NONE);
    EXPECT_EQ(enroll(ctx2), EST_ERR_IP_CONNECT);
    EXPECT_EQ(stats().connections, 0);
}

}  // namespace
}  // namespace est_test
