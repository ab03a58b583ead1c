// Enrolment against the testbed EST server: authentication modes and the
// retry after a challenge, the response judgement, and the size bounds.
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <string>

#include "est/est_test_support.h"
#include "support/core_exclusion.h"

namespace est_test {
namespace {

using testbed::EstAuth;
using testbed::EstBehaviour;

class EstEnroll : public EstFixture {
protected:
    void SetUp() override
    {
        EstFixture::SetUp();
        start_server();
    }
    EstBehaviour basic(const std::string& user, const std::string& password)
    {
        EstBehaviour b;
        b.auth = EstAuth::Basic;
        b.user = user;
        b.password = password;
        secret(password);
        std::string pair = user + ":" + password;
        char encoded[1024];
        est_base64_encode((const unsigned char*)pair.data(), (int)pair.size(), encoded, sizeof encoded);
        secret(encoded);
        return b;
    }
};

TEST_F(EstEnroll, BasicCredentialsOnFirstRequestYieldMatchingCertificate)
{
    behave(basic("alice", "s3cret-Passw0rd"));
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(est_client_set_auth(ctx, "alice", "s3cret-Passw0rd"), EST_ERR_NONE);
    EXPECT_TRUE(testsupport::LeftOutOfCores(ctx->password)) << "the EST password may reach a core file";
    ctx->auth_mode = AUTH_BASIC;
    std::string p7;
    ASSERT_EQ(enroll(ctx, &p7), EST_ERR_NONE);
    EXPECT_EQ(ctx->last_http_status, 200);

    testbed::X509Ptr cert = first_cert_of_p7(p7);
    ASSERT_TRUE(cert);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), key_.get()), 1);
    EXPECT_EQ(testbed::subject_text(cert.get()), "CN=dtk est test");

    auto s = stats();
    EXPECT_EQ(s.connections, 1);
    EXPECT_EQ(s.issued, 1);
    ASSERT_EQ(s.authorizations.size(), 1u);
    EXPECT_EQ(s.authorizations[0].rfind("Basic ", 0), 0u);
    // The held result was handed over: a second copy has nothing left.
    unsigned char one;
    EXPECT_EQ(est_client_copy_enrolled_cert(ctx, &one), EST_ERR_NO_CERTIFICATE);
    EXPECT_NE(log_text().find("\n***EST [INFO][est_client_enroll_csr:"), std::string::npos);
    EXPECT_NE(log_text().find("No CRL loaded, TLS peer will be allowed."), std::string::npos);
}

TEST_F(EstEnroll, AnonymousRequestAnsweredByDigestChallengeRetriesOnce)
{
    EstBehaviour b = basic("bob", "digest-pa55word");
    b.auth = EstAuth::Digest;
    behave(b);
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(est_client_set_auth(ctx, "bob", "digest-pa55word"), EST_ERR_NONE);
    ASSERT_EQ(ctx->auth_mode, AUTH_NONE);
    std::string p7;
    ASSERT_EQ(enroll(ctx, &p7), EST_ERR_NONE);
    ASSERT_TRUE(first_cert_of_p7(p7));

    auto s = stats();
    EXPECT_EQ(s.connections, 2);
    EXPECT_EQ(s.challenges, 1);
    EXPECT_EQ(s.digest_verified, 1);
    EXPECT_EQ(s.digest_rejected, 0);
    ASSERT_EQ(s.authorizations.size(), 2u);
    EXPECT_EQ(s.authorizations[0], "");
    EXPECT_EQ(s.authorizations[1].rfind("Digest username=\"bob\", realm=\"dtk est realm\"", 0), 0u);
    EXPECT_EQ(ctx->auth_mode, AUTH_DIGEST);
    EXPECT_STREQ(ctx->realm, "dtk est realm");
    // The client nonce does not outlive the request.
    EXPECT_EQ(std::string(ctx->c_nonce, sizeof ctx->c_nonce), std::string(sizeof ctx->c_nonce, '\0'));
    // The digest response never reaches the log.
    std::string line = s.authorizations[1];
    size_t r = line.find("response=\"");
    ASSERT_NE(r, std::string::npos);
    secret(line.substr(r + 10, 32));
}

TEST_F(EstEnroll, ChallengeToCredentialsOrUnsupportedAlgorithmFailsWithoutRetry)
{
    // Credentials on the first request, but wrong: no second attempt.
    behave(basic("carol", "right-password"));
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(est_client_set_auth(ctx, "carol", "wrong-password"), EST_ERR_NONE);
    secret("wrong-password");
    ctx->auth_mode = AUTH_BASIC;
    EXPECT_EQ(enroll(ctx), EST_ERR_AUTH_FAIL);
    EXPECT_EQ(ctx->auth_mode, AUTH_FAIL);
    EXPECT_EQ(ctx->last_http_status, 401);
    EXPECT_EQ(stats().connections, 1);
    EXPECT_NE(log_text().find("HTTP Authorization failed. Requested auth mode = 4"), std::string::npos);

    // An anonymous request challenged with a digest algorithm other than MD5.
    server_.reset_stats();
    EstBehaviour sha = basic("carol", "right-password");
    sha.auth = EstAuth::Digest;
    sha.algorithm = "SHA-256";
    behave(sha);
    est_context* ctx2 = new_ctx();
    ASSERT_NE(ctx2, nullptr);
    ASSERT_EQ(est_client_set_auth(ctx2, "carol", "right-password"), EST_ERR_NONE);
    EXPECT_EQ(enroll(ctx2), EST_ERR_AUTH_FAIL);
    EXPECT_EQ(ctx2->auth_mode, AUTH_FAIL);
    EXPECT_EQ(ctx2->s_nonce[0], '\0');
    EXPECT_EQ(stats().connections, 1);
    EXPECT_NE(log_text().find("Unsupported digest algorithm: SHA-256"), std::string::npos);
}

int g_token_calls = 0;
int token_hook(EST_HTTP_AUTH_HDR* cred)
{
    g_token_calls++;
    if (cred->mode != AUTH_TOKEN) return EST_HTTP_AUTH_CRED_NOT_AVAILABLE;
    snprintf(cred->auth_token, sizeof cred->auth_token, "%s", "bearer-T0ken-value");
    return EST_HTTP_AUTH_CRED_SUCCESS;
}

TEST_F(EstEnroll, BearerChallengeTakesTokenFromHook)
{
    EstBehaviour b;
    b.auth = EstAuth::Bearer;
    b.token = "bearer-T0ken-value";
    behave(b);
    secret(b.token);
    char encoded[64];
    est_base64_encode((const unsigned char*)b.token.data(), (int)b.token.size(), encoded, sizeof encoded);
    secret(encoded);
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    ctx->auth_credentials_cb = token_hook;
    g_token_calls = 0;
    std::string p7;
    ASSERT_EQ(enroll(ctx, &p7), EST_ERR_NONE);
    EXPECT_EQ(g_token_calls, 1);
    auto s = stats();
    EXPECT_EQ(s.connections, 2);
    ASSERT_EQ(s.authorizations.size(), 2u);
    EXPECT_EQ(s.authorizations[1], std::string("Bearer ") + encoded);
}

TEST_F(EstEnroll, EveryStatusOfTheJudgementTableGivesItsCode)
{
    struct Case {
        int status;
        const char* raw;
        const char* retry_after;
        int expected;
    };
    const Case cases[] = {
        {400, "", "", EST_ERR_HTTP_BAD_REQ},
        {403, "", "", EST_ERR_HTTP_FORBIDDEN},
        {404, "", "", EST_ERR_HTTP_NOT_FOUND},
        {423, "", "", EST_ERR_HTTP_LOCKED},
        {204, "", "", EST_ERR_UNKNOWN},
        {202, "", "60", EST_ERR_CA_ENROLL_RETRY},
        {202, "", "2147483648", EST_ERR_INVALID_RETRY_VALUE},
        {202, "", "Fri, 31 Dec 1999 23:59:59 GMT", EST_ERR_INVALID_RETRY_VALUE},
        {202, "", "", EST_ERR_INVALID_RETRY_VALUE},
        {500, "", "", EST_ERR_UNKNOWN},
        {200, "HTTP/1.0 200 OK", "", EST_ERR_UNKNOWN},
        {200, "HTTP/1.1 200 Okay", "", EST_ERR_UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.raw + " " + c.retry_after);
        EstBehaviour b;
        b.status = c.status;
        b.raw_status_line = c.raw;
        b.retry_after = c.retry_after;
        behave(b);
        server_.reset_stats();
        est_context* ctx = new_ctx();
        ASSERT_NE(ctx, nullptr);
        int len = -1;
        testbed::X509ReqPtr csr = csr_for(key_.get());
        EXPECT_EQ(est_client_enroll_csr(ctx, csr.get(), &len, key_.get()), c.expected);
        EXPECT_EQ(len, -1);  // untouched on failure
        // Status lines outside the handled table are recorded as -1.
        EXPECT_EQ(ctx->last_http_status, (c.raw[0] || c.status == 500) ? -1 : c.status);
        EXPECT_EQ(ctx->retry_after_delay, c.expected == EST_ERR_CA_ENROLL_RETRY ? 60 : 0);
        EXPECT_EQ(stats().connections, 1);
        unsigned char out;
        EXPECT_EQ(est_client_copy_enrolled_cert(ctx, &out), EST_ERR_NO_CERTIFICATE);
    }
    EXPECT_NE(log_text().find("Unhandled HTTP response HTTP/1.0 200 OK"), std::string::npos);
}

TEST_F(EstEnroll, WrongContentTypeGivesZeroLengthBody)
{
    EstBehaviour b;
    b.content_type = "application/pkcs10";
    behave(b);
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(enroll(ctx), EST_ERR_ZERO_LENGTH_BUF);
    EXPECT_NE(log_text().find("HTTP content type is application/pkcs10"), std::string::npos);
}

TEST_F(EstEnroll, ResponseBoundsAreKept)
{
    // More than 2,000,000 bytes.
    EstBehaviour huge;
    huge.huge_body = 2000100;
    behave(huge);
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(enroll(ctx), EST_ERR_READ_BUFFER_TOO_SMALL);

    // A Content-Length beyond what arrived: nothing past the data is read and
    // the short body is refused.
    EstBehaviour liar;
    liar.content_length_excess = 100;
    behave(liar);
    est_context* ctx2 = new_ctx();
    ASSERT_NE(ctx2, nullptr);
    EXPECT_EQ(enroll(ctx2), EST_ERR_BAD_CONTENT_LEN);
    unsigned char out;
    EXPECT_EQ(est_client_copy_enrolled_cert(ctx2, &out), EST_ERR_NO_CERTIFICATE);
}

TEST_F(EstEnroll, OversizedCsrIsRefusedBeforeSending)
{
    // A subject large enough that the base64 request body passes 4096 bytes.
    testbed::X509ReqPtr csr = csr_for(key_.get());
    X509_NAME* name = X509_REQ_get_subject_name(csr.get());
    for (int i = 0; i < 60; i++) {
        std::string ou(60, (char)('a' + i % 26));
        X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_ASC, (const unsigned char*)ou.c_str(), -1, -1, 0);
    }
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    int len = 0;
    EXPECT_EQ(est_client_enroll_csr(ctx, csr.get(), &len, key_.get()), EST_ERR_BUF_EXCEEDS_MAX_LEN);
    EXPECT_EQ(stats().enroll_requests, 0);
}

// A signed CSR whose line-broken base64 is exactly `target` characters long,
// padded through the length of one DNS name in its extension request.
testbed::X509ReqPtr csr_of_base64_length(EVP_PKEY* key, int target)
{
    for (int pad = 2600; pad < 3200; pad++) {
        testbed::X509ReqPtr csr = testbed::make_csr(key, "boundary");
        STACK_OF(X509_EXTENSION)* exts = sk_X509_EXTENSION_new_null();
        std::string san = "DNS:" + std::string((size_t)pad, 'd') + ".example";
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, san.c_str());
        sk_X509_EXTENSION_push(exts, ext);
        X509_REQ_add_extensions(csr.get(), exts);
        sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
        X509_REQ_sign(csr.get(), key, EVP_sha256());
        int der_len = i2d_X509_REQ(csr.get(), nullptr);
        int b64 = 4 * ((der_len + 2) / 3);
        int with_breaks = b64 + (b64 + 63) / 64;
        if (with_breaks == target) return csr;
    }
    return nullptr;
}

TEST_F(EstEnroll, RequestBodyLimitIs4096Bytes)
{
    // Sent as given (no key): the body is exactly the CSR's base64. With 64
    // characters and a line feed per line the lengths near the limit are 4095
    // and then 4100.
    testbed::X509ReqPtr fits = csr_of_base64_length(key_.get(), 4095);
    ASSERT_TRUE(fits);
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    int len = 0;
    EXPECT_EQ(est_client_enroll_csr(ctx, fits.get(), &len, nullptr), EST_ERR_NONE);
    EXPECT_EQ(stats().issued, 1);

    testbed::X509ReqPtr over = csr_of_base64_length(key_.get(), 4100);
    ASSERT_TRUE(over);
    est_context* ctx2 = new_ctx();
    ASSERT_NE(ctx2, nullptr);
    EXPECT_EQ(est_client_enroll_csr(ctx2, over.get(), &len, nullptr), EST_ERR_BUF_EXCEEDS_MAX_LEN);
    EXPECT_EQ(stats().enroll_requests, 1);
}

TEST_F(EstEnroll, HeaderOver1024BytesIsRefused)
{
    // A 250-character host name that still resolves to 127.0.0.1 (an octal
    // address with leading zeros) and 254-character credentials make the
    // header exceed its limit.
    std::string host = std::string(240, '0') + "0177.0.0.1";
    testbed::CertSpec spec;
    spec.common_name = "long host";
    spec.dns_names = {host};
    testbed::Credential identity = pki().issue(spec, "est-long-host");
    server_.stop();
    start_server(&identity);
    std::string user(254, 'u'), password(254, 'p');
    behave(basic(user, password));
    est_context* ctx = new_ctx(host);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(est_client_set_auth(ctx, user.c_str(), password.c_str()), EST_ERR_NONE);
    ctx->auth_mode = AUTH_BASIC;
    EXPECT_EQ(enroll(ctx), EST_ERR_HTTP_CANNOT_BUILD_HEADER);
    EXPECT_EQ(stats().enroll_requests, 0);
    EXPECT_NE(log_text().find("Client enroll request header is too big"), std::string::npos);

    // The same credentials with a short host fit.
    server_.stop();
    start_server();
    behave(basic(user, password));
    est_context* ok = new_ctx();
    ASSERT_NE(ok, nullptr);
    ASSERT_EQ(est_client_set_auth(ok, user.c_str(), password.c_str()), EST_ERR_NONE);
    ok->auth_mode = AUTH_BASIC;
    EXPECT_EQ(enroll(ok), EST_ERR_NONE);
}

TEST_F(EstEnroll, ArgumentChecks)
{
    est_context* ctx = new_ctx();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(est_client_set_target(ctx, "127.0.0.1", 0), EST_ERR_INVALID_PORT_NUM);
    EXPECT_EQ(est_client_set_target(ctx, "127.0.0.1", 65536), EST_ERR_INVALID_PORT_NUM);
    EXPECT_EQ(est_client_set_target(ctx, std::string(255, 'h').c_str(), 443), EST_ERR_INVALID_SERVER_NAME);
    EXPECT_EQ(est_client_set_target(ctx, nullptr, 443), EST_ERR_INVALID_SERVER_NAME);
    EXPECT_EQ(est_client_set_auth(ctx, "user", nullptr), EST_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(est_client_set_auth(ctx, nullptr, "pw"), EST_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(est_client_set_auth(ctx, std::string(255, 'u').c_str(), "pw"), EST_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(est_client_set_auth(ctx, "user", std::string(255, 'p').c_str()), EST_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(est_client_use_proxy(ctx, 8, "proxy", 3128, 0, nullptr, nullptr), EST_ERR_INVALID_CLIENT_PROXY_PROTOCOL);
    EXPECT_EQ(est_client_use_proxy(ctx, 1, "proxy", 3128, 2, nullptr, nullptr), EST_ERR_INVALID_CLIENT_PROXY_AUTH);
    EXPECT_EQ(est_client_use_proxy(ctx, 1, "", 3128, 0, nullptr, nullptr), EST_ERR_INVALID_SERVER_NAME);
    EXPECT_EQ(est_client_use_proxy(ctx, 1, "proxy", 0, 0, nullptr, nullptr), EST_ERR_INVALID_PORT_NUM);
    EXPECT_EQ(est_client_use_proxy(ctx, 1, "proxy", 3128, 1, "", "pw"), EST_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(ctx->use_proxy, 0);
    int len = 0;
    EXPECT_EQ(est_client_enroll_csr(ctx, nullptr, &len, nullptr), EST_ERR_NO_CSR);
    EXPECT_EQ(est_client_enroll_csr(nullptr, nullptr, &len, nullptr), EST_ERR_NO_CTX);
    EXPECT_EQ(est_client_copy_enrolled_cert(ctx, nullptr), EST_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(est_context_free(nullptr), EST_ERR_NO_CTX);
    est_context blank {};
    EXPECT_EQ(est_client_set_target(&blank, "127.0.0.1", 443), EST_ERR_CLIENT_NOT_INITIALIZED);
    EXPECT_STREQ(est_err_strings[EST_ERR_FQDN_MISMATCH], "EST_ERR_FQDN_MISMATCH");
    EXPECT_STREQ(est_err_name(74), "EST_ERR_UNKNOWN");
    EXPECT_STREQ(est_err_name(47), "EST_ERR_CLIENT_INVALID_KEY");
    EXPECT_STREQ(est_err_name(-3), "EST_ERR_UNKNOWN");
}

}  // namespace
}  // namespace est_test
