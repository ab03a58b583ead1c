// The certificate enrolment glue against the testbed EST server: GUID
// signature or password, outcome classes, key check, CSR subject.
#include <cstring>

#include "cloud/cv_cloud_est.h"
#include "est/est_test_support.h"

namespace est_test {
namespace {

constexpr const char* k_guid = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";

class CloudEst : public EstFixture {
protected:
    void SetUp() override
    {
        EstFixture::SetUp();
        start_server();
        ctx_.server = "127.0.0.1";
        ctx_.port = server_.port();
        strcpy(ctx_.guid, k_guid);
        ctx_.trust_anchors_pem = pki().ca().credential().cert_pem.c_str();
        ctx_.trust_anchors_len = (int)pki().ca().credential().cert_pem.size();
        ctx_.keypair = key_.get();
        ctx_.log_sink = capture_sink;
    }
    void TearDown() override
    {
        X509_free(ctx_.issued_cert);
        EstFixture::TearDown();
    }
    int run(int* err) { return cv_cloud_est_enrollment(&ctx_, err); }

    cv_cloud_est_client_ctx ctx_ {};
};

TEST_F(CloudEst, GuidSignatureEnrolmentIssuesMatchingCertificate)
{
    testbed::EstBehaviour b;
    b.auth = testbed::EstAuth::Basic;
    b.verify_guid_signature = true;
    behave(b);
    int err = -1;
    ASSERT_EQ(run(&err), 0);
    EXPECT_EQ(err, EST_ERR_NONE);
    ASSERT_NE(ctx_.issued_cert, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(ctx_.issued_cert), key_.get()), 1);
    auto s = stats();
    EXPECT_EQ(s.guid_verified, 1);
    EXPECT_EQ(s.connections, 1);
    EXPECT_EQ(s.last_csr_subject, std::string("/CN=") + k_guid);
    // The signature is the password: it never reaches the log.
    ASSERT_EQ(s.authorizations.size(), 1u);
    std::string basic = s.authorizations[0].substr(6);
    secret(basic);
    std::string pair(basic.size(), '\0');
    int n = EVP_DecodeBlock((unsigned char*)pair.data(), (const unsigned char*)basic.data(), (int)basic.size());
    ASSERT_GT(n, 37);
    pair.resize(strnlen(pair.c_str(), (size_t)n));
    ASSERT_EQ(pair.substr(0, 37), std::string(k_guid) + ":");
    secret(pair.substr(37));
    EXPECT_NE(log_text().find("Newly Enrolled Client certificate"), std::string::npos);
}

TEST_F(CloudEst, GivenPasswordIsUsedAsIsAndV2SubjectCarriesOrganisation)
{
    testbed::EstBehaviour b;
    b.auth = testbed::EstAuth::Basic;
    b.user = "3f2504e0-4f89-11d3-9a0c-0305e82c3301.qrv";
    b.password = "{\"actcode\":\"a\",\"devid\":\"d\",\"productid\":\"p,1\"}";
    behave(b);
    secret(b.password);
    cv_cloud_est_client_ctx_v2 v2 {};
    strcpy(v2.username, b.user.c_str());
    strcpy(v2.org, "0b1c2d3e-0000-4000-8000-00000000abcd");
    v2.ctx = ctx_;
    v2.ctx.guid[0] = '\0';
    v2.ctx.password = b.password.c_str();
    v2.ctx.log_sink = capture_sink;
    int err = -1;
    ASSERT_EQ(cv_cloud_est_enrollment_v2(&v2, &err), 0);
    EXPECT_EQ(err, 0);
    ASSERT_NE(v2.ctx.issued_cert, nullptr);
    X509_free(v2.ctx.issued_cert);
    auto s = stats();
    EXPECT_EQ(s.guid_verified + s.guid_rejected, 0);
    EXPECT_EQ(s.last_csr_subject, "/O=0b1c2d3e-0000-4000-8000-00000000abcd/CN=" + b.user);

    // Without a password the user name must be a GUID: nothing is sent.
    server_.reset_stats();
    cv_cloud_est_client_ctx_v2 bad {};
    strcpy(bad.username, std::string(k_guid).substr(0, 35).c_str());
    bad.ctx = ctx_;
    bad.ctx.log_sink = capture_sink;
    err = -1;
    EXPECT_EQ(cv_cloud_est_enrollment_v2(&bad, &err), 1);
    EXPECT_EQ(err, EST_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(stats().connections, 0);

    // Buffers without a terminator.
    memset(bad.org, 'x', sizeof bad.org);
    err = -1;
    EXPECT_EQ(cv_cloud_est_enrollment_v2(&bad, &err), 1);
    EXPECT_EQ(err, EST_ERR_INVALID_PARAMETERS);
    memset(ctx_.guid, 'g', sizeof ctx_.guid);
    err = -1;
    EXPECT_EQ(cv_cloud_est_enrollment(&ctx_, &err), 1);
    EXPECT_EQ(err, EST_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(cv_cloud_est_enrollment(nullptr, &err), 1);
    EXPECT_EQ(cv_cloud_est_enrollment_v2(nullptr, &err), 1);
}

TEST_F(CloudEst, OutcomeClasses)
{
    struct Case {
        int status;
        int result;
        int err;
    };
    const Case cases[] = {
        {423, 2, EST_ERR_HTTP_LOCKED},
        {403, 4, EST_ERR_HTTP_FORBIDDEN},
        {400, 1, EST_ERR_HTTP_BAD_REQ},
    };
    for (const Case& c : cases) {
        testbed::EstBehaviour b;
        b.status = c.status;
        behave(b);
        int err = -1;
        EXPECT_EQ(run(&err), c.result) << c.status;
        EXPECT_EQ(err, c.err) << c.status;
        EXPECT_EQ(ctx_.issued_cert, nullptr);
    }

    // A certificate for another key.
    testbed::EstBehaviour other;
    other.cert_for_other_key = true;
    behave(other);
    int err = -1;
    EXPECT_EQ(run(&err), 1);
    EXPECT_EQ(err, EST_ERR_CLIENT_INVALID_KEY);
    EXPECT_EQ(ctx_.issued_cert, nullptr);
    EXPECT_EQ(stats().issued, 1);

    // A server the trust anchors do not vouch for.
    const std::string& foreign = pki().foreign_ca().credential().cert_pem;
    ctx_.trust_anchors_pem = foreign.c_str();
    ctx_.trust_anchors_len = (int)foreign.size();
    behave(testbed::EstBehaviour {});
    err = -1;
    EXPECT_EQ(run(&err), 3);
    EXPECT_EQ(err, EST_ERR_SSL_CONNECT);

    // The trust anchor given as a certificate wins over the text.
    ctx_.trust_anchor = pki().ca().cert();
    err = -1;
    EXPECT_EQ(run(&err), 0);
    EXPECT_EQ(err, 0);
    ASSERT_NE(ctx_.issued_cert, nullptr);
}

TEST(CloudEstHelpers, SignGuidAndEncodings)
{
    testbed::PKeyPtr rsa = testbed::generate_key(testbed::KeyType::RSA2048);
    char* sig = nullptr;
    ASSERT_EQ(sign_guid(&sig, k_guid, rsa.get()), 0);
    ASSERT_NE(sig, nullptr);
    std::string b64(sig);
    free(sig);
    EXPECT_EQ(b64.size(), 344u);  // 256 bytes without line breaks
    EXPECT_EQ(b64.find('\n'), std::string::npos);
    // Raw PKCS#1 signature over exactly the 36 characters.
    std::string raw(258, '\0');  // the decoder counts the padding too
    ASSERT_EQ(EVP_DecodeBlock((unsigned char*)raw.data(), (const unsigned char*)b64.data(), (int)b64.size()), 258);
    EVP_PKEY_CTX* v = EVP_PKEY_CTX_new(rsa.get(), nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(v), 1);
    EXPECT_EQ(EVP_PKEY_verify(v, (const unsigned char*)raw.data(), 256, (const unsigned char*)k_guid, 36), 1);
    EVP_PKEY_CTX_free(v);
    EXPECT_EQ(sign_guid(&sig, nullptr, rsa.get()), -1);

    char* enc = encode_b64_str((const unsigned char*)"any carnal pleas", 16);
    ASSERT_NE(enc, nullptr);
    EXPECT_STREQ(enc, "YW55IGNhcm5hbCBwbGVhcw==");
    free(enc);

    char* pem = nullptr;
    int len = 0;
    ASSERT_EQ(est_client_x509_to_pem(pki().ca().cert(), &pem, &len), 0);
    EXPECT_EQ(std::string(pem, (size_t)len), pki().ca().credential().cert_pem);
    EXPECT_EQ(strlen(pem), (size_t)len);
    free(pem);
}

}  // namespace
}  // namespace est_test
