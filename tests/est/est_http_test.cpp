// The response parsers on their own: status lines, headers, content checks,
// Retry-After, the challenge reader, and the PKCS#7 conversion.
#include <cstring>
#include <string>
#include <vector>

#include "est/est_http.h"
#include "est/est_test_support.h"

namespace est_test {
namespace {

class EstHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture_log();
        clear_log();
    }
    // Judges a response given as text.
    int judge(const std::string& text, std::string* body = nullptr)
    {
        std::vector<unsigned char> buf(text.begin(), text.end());
        buf.push_back('\0');
        unsigned char* out = nullptr;
        int len = 0;
        int rv = est_io_judge_response(&ctx_, buf.data(), (int)text.size(), &out, &len);
        if (body) *body = out ? std::string((char*)out, (size_t)len) : "";
        free(out);
        return rv;
    }
    est_context ctx_ {};
};

TEST_F(EstHttp, StatusLinesOutsideTheTableAreUnhandled)
{
    auto status = [](const char* s) { return est_io_parse_response_status_code((const unsigned char*)s); };
    EXPECT_EQ(status("HTTP/1.1 200 OK\r\n"), 200);
    EXPECT_EQ(status("HTTP/1.1 423 Locked\r\nX: y\r\n"), 423);
    EXPECT_EQ(status("HTTP/1.0 200 OK\r\n"), -1);
    EXPECT_EQ(status("HTTP/1.1 200 Fine\r\n"), -1);
    EXPECT_EQ(status("HTTP/1.1 201 Created\r\n"), -1);
    EXPECT_EQ(status("HTTP/1.1 200 OK"), -1);
    EXPECT_EQ(status(""), -1);
}

TEST_F(EstHttp, ContentChecksAndBodyBounds)
{
    const std::string body = "MIIBbody==";
    std::string got;
    // A smime-type parameter after the type passes.
    EXPECT_EQ(judge("HTTP/1.1 200 OK\r\nContent-Type: application/pkcs7-mime; smime-type=certs-only\r\n"
                    "Content-Length: 10\r\n\r\n" + body, &got),
              EST_ERR_NONE);
    EXPECT_EQ(got, body);
    EXPECT_EQ(ctx_.last_http_status, 200);
    // A lower-case header name does not count: no content type, no body.
    EXPECT_EQ(judge("HTTP/1.1 200 OK\r\ncontent-type: application/pkcs7-mime\r\nContent-Length: 10\r\n\r\n" + body,
                    &got),
              EST_ERR_NONE);
    EXPECT_EQ(got, "");
    EXPECT_NE(log_text().find("Missing HTTP content type  header"), std::string::npos);
    // Content-Length beyond the data that arrived.
    EXPECT_EQ(judge("HTTP/1.1 200 OK\r\nContent-Type: application/pkcs7-mime\r\nContent-Length: 11\r\n\r\n" + body),
              EST_ERR_BAD_CONTENT_LEN);
    // Beyond the response limit.
    EXPECT_EQ(judge("HTTP/1.1 200 OK\r\nContent-Type: application/pkcs7-mime\r\nContent-Length: 99999999999999999999\r\n\r\n"),
              EST_ERR_UNKNOWN);
    EXPECT_NE(log_text().find("Content Length larger than maximum value of 2000000."), std::string::npos);
    // Only the first 16 headers are read.
    std::string many = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 16; i++) many += "X-Filler-" + std::to_string(i) + ": x\r\n";
    EXPECT_EQ(judge(many + "Content-Type: application/pkcs7-mime\r\nContent-Length: 10\r\n\r\n" + body, &got),
              EST_ERR_NONE);
    EXPECT_EQ(got, "");
    EXPECT_EQ(judge(""), EST_ERR_HTTP_NOT_FOUND);
    EXPECT_NE(log_text().find("Received empty HTTP response from server"), std::string::npos);
}

TEST_F(EstHttp, RetryAfterValues)
{
    auto retry = [&](const std::string& headers) {
        ctx_.retry_after_delay = -5;
        return judge("HTTP/1.1 202 Accepted\r\n" + headers + "\r\n");
    };
    EXPECT_EQ(retry("Retry-After: 120\r\n"), EST_ERR_CA_ENROLL_RETRY);
    EXPECT_EQ(ctx_.retry_after_delay, 120);
    EXPECT_EQ(retry("retry-after: 2147483647\r\n"), EST_ERR_CA_ENROLL_RETRY);
    EXPECT_EQ(ctx_.retry_after_delay, 2147483647);
    EXPECT_EQ(retry("Retry-After: 2147483648\r\n"), EST_ERR_INVALID_RETRY_VALUE);
    EXPECT_EQ(ctx_.retry_after_delay, 0);
    EXPECT_NE(log_text().find("Retry-After value too large"), std::string::npos);
    EXPECT_EQ(retry("Retry-After: 99999999999\r\n"), EST_ERR_INVALID_RETRY_VALUE);
    EXPECT_EQ(retry("Retry-After: 12a\r\n"), EST_ERR_INVALID_RETRY_VALUE);
    EXPECT_EQ(retry("Retry-After: -1\r\n"), EST_ERR_INVALID_RETRY_VALUE);
    EXPECT_EQ(retry("Retry-After: Wed, 21 Oct 2015 07:28:00 GMT\r\n"), EST_ERR_INVALID_RETRY_VALUE);
    EXPECT_NE(log_text().find("Retry-After value not in the correct format"), std::string::npos);
    EXPECT_EQ(retry("X-Other: 1\r\n"), EST_ERR_INVALID_RETRY_VALUE);
    EXPECT_NE(log_text().find("Retry-After header missing"), std::string::npos);
    // The last header wins.
    EXPECT_EQ(retry("Retry-After: soon\r\nRetry-After: 30\r\n"), EST_ERR_CA_ENROLL_RETRY);
    EXPECT_EQ(ctx_.retry_after_delay, 30);
}

TEST_F(EstHttp, ChallengeSelectsModeAndReadsParameters)
{
    auto challenge = [&](const std::string& value) {
        ctx_ = est_context {};
        return judge("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: " + value + "\r\n\r\n");
    };
    EXPECT_EQ(challenge("Digest realm=\"r e a l m\", nonce=\"abc\", qop=\"auth\", algorithm=MD5"), EST_ERR_AUTH_FAIL);
    EXPECT_EQ(ctx_.auth_mode, AUTH_DIGEST);
    EXPECT_STREQ(ctx_.realm, "r e a l m");
    EXPECT_STREQ(ctx_.s_nonce, "abc");
    challenge("Digest realm=x, nonce=n, algorithm=md5, qop=auth-int");
    EXPECT_EQ(ctx_.auth_mode, AUTH_DIGEST);
    EXPECT_NE(log_text().find("Unsupported qop value: auth-int"), std::string::npos);
    challenge("Digest realm=x, nonce=n, algorithm=SHA-256");
    EXPECT_EQ(ctx_.auth_mode, AUTH_FAIL);
    EXPECT_EQ(ctx_.s_nonce[0], '\0');
    challenge("Digest realm=x, nonce=\"" + std::string(64, 'n') + "\"");
    EXPECT_EQ(ctx_.auth_mode, AUTH_FAIL);
    challenge("Digest realm=x, nonce=\"" + std::string(63, 'n') + "\"");
    EXPECT_EQ(ctx_.auth_mode, AUTH_DIGEST);
    challenge("Basic realm=<est (\\>) realm> (comment \\) here) charset=UTF-8");
    EXPECT_EQ(ctx_.auth_mode, AUTH_BASIC);
    EXPECT_STREQ(ctx_.realm, "est (\\>) realm");
    challenge("Bearer error=\"invalid_token\", error_description=\"the \\\"token\\\" expired\"");
    EXPECT_EQ(ctx_.auth_mode, AUTH_TOKEN);
    EXPECT_STREQ(ctx_.token_error, "invalid_token");
    EXPECT_STREQ(ctx_.token_error_desc, "the \\\"token\\\" expired");
    challenge("Negotiate abc");
    EXPECT_EQ(ctx_.auth_mode, AUTH_FAIL);
    challenge("Digest realm");
    EXPECT_EQ(ctx_.auth_mode, AUTH_FAIL);
    ctx_ = est_context {};
    judge("HTTP/1.1 401 Unauthorized\r\nwww-authenticate: Basic realm=x\r\n\r\n");
    EXPECT_EQ(ctx_.auth_mode, AUTH_FAIL);
    EXPECT_NE(log_text().find("No WWW-Authenticate header found"), std::string::npos);
    // A request that carried credentials is not re-challenged.
    ctx_ = est_context {};
    ctx_.auth_mode = AUTH_DIGEST;
    judge("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=x\r\n\r\n");
    EXPECT_EQ(ctx_.auth_mode, AUTH_FAIL);
}

TEST_F(EstHttp, LogLevelDropsMessagesAboveIt)
{
    est_set_log_level(EST_LOG_LVL_ERR);
    judge("HTTP/1.1 400 Bad Request\r\n\r\n");
    capture_log();
    std::string log = log_text();
    EXPECT_NE(log.find("\n***EST [ERROR][est_io_judge_response:"), std::string::npos);
    EXPECT_NE(log.find("HTTP response from EST server was BAD REQUEST"), std::string::npos);
    EXPECT_EQ(log.find("[INFO]"), std::string::npos);
    EXPECT_EQ(log.find("HTTP status 400 received"), std::string::npos);
}

TEST_F(EstHttp, TokenReaderSplitsInPlace)
{
    char text[] = " a=b, (skip \\) me) \"q \\\" d\" ; <x y>,plain";
    char* pos = text;
    std::vector<std::string> tokens;
    for (char* t; (t = est_io_next_token(&pos)) != nullptr && tokens.size() < 10;) tokens.push_back(t);
    EXPECT_EQ(tokens, (std::vector<std::string> {"a", "b", "q \\\" d", "x y", "plain"}));
}

TEST_F(EstHttp, Pkcs7ToPemAcceptsBase64InAnyLineLayoutAndRefusesTheRest)
{
    testbed::PKeyPtr key = testbed::generate_key(testbed::KeyType::P256);
    // A certs-only bundle from the openssl tool's format: one certificate, as
    // line-broken and as one-line base64.
    PKCS7* p7 = PKCS7_new();
    ASSERT_TRUE(PKCS7_set_type(p7, NID_pkcs7_signed));
    ASSERT_TRUE(PKCS7_content_new(p7, NID_pkcs7_data));
    ASSERT_TRUE(PKCS7_add_certificate(p7, pki().client().x509()));
    ASSERT_TRUE(PKCS7_add_certificate(p7, pki().ca().cert()));
    unsigned char* der = nullptr;
    int der_len = i2d_PKCS7(p7, &der);
    PKCS7_free(p7);
    ASSERT_GT(der_len, 0);
    std::string lines;
    {
        BIO* b64 = BIO_new(BIO_f_base64());
        BIO* mem = BIO_new(BIO_s_mem());
        BIO_push(b64, mem);
        BIO_write(b64, der, der_len);
        (void)BIO_flush(b64);
        char* data = nullptr;
        long n = BIO_get_mem_data(mem, &data);
        lines.assign(data, (size_t)n);
        BIO_free_all(b64);
    }
    OPENSSL_free(der);
    std::string one_line;
    for (char c : lines)
        if (c != '\n') one_line += c;
    std::string crlf;
    for (char c : lines) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string expected = pki().client().cert_pem + "\n" + pki().ca().credential().cert_pem + "\n";
    unsigned char* pem = nullptr;
    // Line-broken as the openssl tool writes it, one line with and without a
    // final line break (as many servers send it), and broken with CRLF.
    for (const std::string& layout : {lines, one_line, one_line + "\n", crlf, crlf.substr(0, crlf.size() - 2)}) {
        int len = est_convert_p7b64_to_pem((const unsigned char*)layout.data(), (int)layout.size(), &pem);
        ASSERT_GT(len, 0) << layout;
        std::string text((char*)pem, (size_t)len);
        free(pem);
        EXPECT_EQ(text, expected) << layout;
    }

    // Not base64: a foreign character inside, base64 of something else, a cut-off end.
    std::string foreign = one_line;
    foreign[40] = '!';
    for (const std::string& junk : {foreign, std::string("bm90IGEgUEtDUzcgYnVuZGxl\n"), one_line.substr(0, one_line.size() / 2)}) {
        EXPECT_EQ(est_convert_p7b64_to_pem((const unsigned char*)junk.data(), (int)junk.size(), &pem), -1) << junk;
        EXPECT_EQ(pem, nullptr);
    }
    EXPECT_NE(log_text().find("PEM_read_bio_PKCS7 failed"), std::string::npos);
    EXPECT_EQ(est_convert_p7b64_to_pem(nullptr, 4, &pem), -1);
    // signedData whose optional content is absent, and a bundle of another type.
    std::string bare = "MAsGCSqGSIb3DQEHAg==\n";
    EXPECT_EQ(est_convert_p7b64_to_pem((const unsigned char*)bare.data(), (int)bare.size(), &pem), -1);
    EXPECT_NE(log_text().find("Failed to attain X509 cert stack from PKCS7 data"), std::string::npos);
    std::string data = "MAsGCSqGSIb3DQEHAQ==\n";
    EXPECT_EQ(est_convert_p7b64_to_pem((const unsigned char*)data.data(), (int)data.size(), &pem), -1);
    EXPECT_NE(log_text().find("Invalid NID value on PKCS7 structure"), std::string::npos);
}

}  // namespace
}  // namespace est_test
