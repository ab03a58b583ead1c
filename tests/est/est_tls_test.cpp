// Server verification with certificates made at test time: subjectAltName and
// common-name rules, the wildcard rule, CRL and chain judgements, trust anchors.
#include "est/est_test_support.h"
#include "est/est_tls.h"

#include <atomic>
#include <thread>
#include <vector>

namespace est_test {
namespace {

class EstTls : public EstFixture {
protected:
    // Starts the server with a certificate of `spec` from the test CA and
    // returns the result of one enrolment against `host`.
    int enroll_against(const testbed::CertSpec& spec, const std::string& host, const char* stem)
    {
        identities_.push_back(pki().issue(spec, stem));
        server_.stop();
        start_server(&identities_.back());
        est_context* ctx = new_ctx(host);
        if (!ctx) return -1;
        return enroll(ctx);
    }
    std::vector<testbed::Credential> identities_;
};

TEST_F(EstTls, SubjectAltNameAndCommonNameRules)
{
    testbed::CertSpec dns_mismatch;
    dns_mismatch.common_name = "localhost";
    dns_mismatch.dns_names = {"other.example"};
    EXPECT_EQ(enroll_against(dns_mismatch, "localhost", "est-dns-mismatch"), EST_ERR_FQDN_MISMATCH);
    EXPECT_NE(log_text().find("subjectAltName does not match localhost"), std::string::npos);
    EXPECT_NE(log_text().find("EST server name did not match FQDN in server certificate."), std::string::npos);

    testbed::CertSpec ip_san;
    ip_san.common_name = "not-an-address";
    ip_san.ip_addresses = {"127.0.0.1"};
    EXPECT_EQ(enroll_against(ip_san, "127.0.0.1", "est-ip-san"), EST_ERR_NONE);
    // An IP entry never matches a name.
    EXPECT_EQ(enroll_against(ip_san, "localhost", "est-ip-san-name"), EST_ERR_FQDN_MISMATCH);

    testbed::CertSpec cn_only;
    cn_only.common_name = "localhost";
    EXPECT_EQ(enroll_against(cn_only, "localhost", "est-cn-only"), EST_ERR_NONE);
    EXPECT_NE(log_text().find("common name: localhost (matched)"), std::string::npos);
    clear_log();
    EXPECT_EQ(enroll_against(cn_only, "127.0.0.1", "est-cn-only-ip"), EST_ERR_FQDN_MISMATCH);
    EXPECT_NE(log_text().find("'localhost' does not match target host name '127.0.0.1'"), std::string::npos);

    testbed::CertSpec dns_ok;
    dns_ok.common_name = "something else";
    dns_ok.dns_names = {"other.example", "LocalHost"};
    EXPECT_EQ(enroll_against(dns_ok, "localhost", "est-dns-ok"), EST_ERR_NONE);
}

TEST_F(EstTls, ChainJudgements)
{
    // No CRL anywhere: accepted with the warning.
    start_server();
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(enroll(ctx), EST_ERR_NONE);
    EXPECT_NE(log_text().find("No CRL loaded, TLS peer will be allowed."), std::string::npos);

    // A self-signed certificate in the chain that is not a trust anchor.
    testbed::CertSpec spec;
    spec.common_name = "localhost";
    spec.ip_addresses = {"127.0.0.1"};
    testbed::Credential foreign = pki().foreign_ca().issue(spec, "est-foreign-leaf");
    server_.stop();
    start_server(&foreign, {pki().foreign_ca().cert()});
    server_.reset_stats();
    clear_log();
    est_context* ctx2 = new_ctx();
    ASSERT_NE(ctx2, nullptr);
    EXPECT_EQ(enroll(ctx2), EST_ERR_SSL_CONNECT);
    EXPECT_NE(log_text().find("NO EST client application server cert verify function registered"),
              std::string::npos);
    EXPECT_EQ(stats().enroll_requests, 0);

    // An expired server certificate.
    server_.stop();
    start_server(&pki().expired_server());
    est_context* ctx3 = new_ctx();
    ASSERT_NE(ctx3, nullptr);
    EXPECT_EQ(enroll(ctx3), EST_ERR_SSL_CONNECT);
}

TEST_F(EstTls, TrustAnchorsMustHoldCertificatesOfTheGivenLength)
{
    const char* junk = "no certificate in here\n";
    EXPECT_EQ(est_client_init((const unsigned char*)junk, (int)strlen(junk)), nullptr);
    EXPECT_NE(log_text().find("Cert count is zero for store"), std::string::npos);
    EXPECT_NE(log_text().find("Failed to load trusted certificate store"), std::string::npos);

    const std::string& pem = pki().ca().credential().cert_pem;
    EXPECT_EQ(est_client_init((const unsigned char*)pem.c_str(), (int)pem.size() - 1), nullptr);
    EXPECT_NE(log_text().find("Length of ca_chain doesn't match passed ca_chain_len"), std::string::npos);

    est_context* ctx = est_client_init((const unsigned char*)pem.c_str(), (int)pem.size());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->read_timeout, 10);
    EXPECT_EQ(ctx->est_mode, EST_CLIENT);
    EXPECT_NE(log_text().find("Cert being added to trust store: /CN=dtk test CA"), std::string::npos);
    EXPECT_EQ(est_context_free(ctx), EST_ERR_NONE);
}

// Contexts share one TLS context and the decoded anchors of the last text,
// yet each verifies the server with its own anchors alone, on any thread.
TEST_F(EstTls, EachContextVerifiesWithItsOwnAnchors)
{
    start_server();
    const std::string& ours_pem = pki().ca().credential().cert_pem;
    const std::string foreign_pem = testbed::cert_to_pem(pki().foreign_ca().cert());
    auto ctx_for = [&](const std::string& pem) {
        est_context* ctx = est_client_init((const unsigned char*)pem.c_str(), (int)pem.size());
        EXPECT_NE(ctx, nullptr);
        if (ctx) {
            contexts_.push_back(ctx);
            EXPECT_EQ(est_client_set_target(ctx, "127.0.0.1", server_.port()), EST_ERR_NONE);
        }
        return ctx;
    };
    est_context* before = ctx_for(ours_pem);
    est_context* foreign = ctx_for(foreign_pem);
    est_context* after = ctx_for(ours_pem);
    est_context* both = ctx_for(foreign_pem + ours_pem);
    ASSERT_TRUE(before && foreign && after && both);
    EXPECT_EQ(enroll(foreign), EST_ERR_SSL_CONNECT);
    EXPECT_EQ(enroll(before), EST_ERR_NONE);
    EXPECT_EQ(enroll(after), EST_ERR_NONE);
    EXPECT_EQ(enroll(both), EST_ERR_NONE);
    EXPECT_EQ(enroll(foreign), EST_ERR_SSL_CONNECT);
    EXPECT_EQ(stats().issued, 3);

    // Contexts made and used on several threads at once, trusting and not.
    constexpr int kThreads = 4, kEach = 3;
    std::atomic<int> accepted {0}, refused {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) {
                const std::string& pem = t % 2 ? foreign_pem : ours_pem;
                est_context* ctx = est_client_init((const unsigned char*)pem.c_str(), (int)pem.size());
                if (!ctx) continue;
                testbed::X509ReqPtr csr = csr_for(key_.get());
                int len = 0;
                bool ok = est_client_set_target(ctx, "127.0.0.1", server_.port()) == EST_ERR_NONE &&
                          est_client_enroll_csr(ctx, csr.get(), &len, key_.get()) == EST_ERR_NONE;
                (ok ? accepted : refused)++;
                est_context_free(ctx);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(accepted.load(), kThreads / 2 * kEach);
    EXPECT_EQ(refused.load(), kThreads / 2 * kEach);
}

TEST(EstHostPattern, WildcardRules)
{
    struct Case {
        const char* pattern;
        const char* host;
        int match;
    };
    const Case cases[] = {
        {"*.example.org", "a.example.org", 1},
        {"*.example.org", "A.EXAMPLE.org", 1},
        {"*.example.org", "example.org", 0},
        {"*.example.org", "a.b.example.org", 0},
        {"*.example.org", "10.0.0.1", 0},
        {"*.org", "example.org", 0},
        {"*.org", "*.org", 1},
        {"xn--*.example.org", "xn--abc.example.org", 0},
        {"f*o.example.org", "foo.example.org", 1},
        {"f*o.example.org", "fo.example.org", 0},
        {"f*o.example.org", "bar.example.org", 0},
        {"a.*.example.org", "a.b.example.org", 0},
        {"**.example.org", "ab.example.org", 0},
        {"www.example.org", "WWW.Example.ORG", 1},
        {"*.0.0.1", "127.0.0.1", 0},
        {"", "", 0},
        {"*.example.org", "", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(est_host_pattern_match(c.pattern, c.host), c.match) << c.pattern << " vs " << c.host;
    }
    EXPECT_EQ(est_host_pattern_match(nullptr, "a"), 0);
    EXPECT_EQ(est_host_pattern_match("a", nullptr), 0);
}

}  // namespace
}  // namespace est_test
