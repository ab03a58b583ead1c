#include "est/est_test_support.h"

#include <openssl/pem.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace est_test {

namespace {

std::mutex g_log_mutex;
std::string g_log;

}  // namespace

void capture_sink(const char* format, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) return;
    std::string text((size_t)n + 1, '\0');
    vsnprintf(text.data(), text.size(), format, ap);
    text.resize((size_t)n);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log += text;
}

testbed::Pki& pki()
{
    // Made on first use and destroyed at exit, which removes its directory.
    static testbed::Pki instance;
    return instance;
}

std::string log_text()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log;
}

void clear_log()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.clear();
}

void capture_log()
{
    est_set_log_sink(capture_sink);
    est_set_log_level(EST_LOG_LVL_INFO);
}

testbed::X509ReqPtr csr_for(EVP_PKEY* key, const std::string& cn)
{
    return testbed::make_csr(key, cn);
}

testbed::X509Ptr first_cert_of_p7(const std::string& p7b64)
{
    unsigned char* pem = nullptr;
    int len = est_convert_p7b64_to_pem((const unsigned char*)p7b64.data(), (int)p7b64.size(), &pem);
    if (len <= 0) return nullptr;
    testbed::X509Ptr cert = testbed::cert_from_pem(std::string((const char*)pem, (size_t)len));
    free(pem);
    return cert;
}

void EstFixture::SetUp()
{
    capture_log();
    clear_log();
    key_ = testbed::generate_key(testbed::KeyType::P256);
}

void EstFixture::TearDown()
{
    for (est_context* ctx : contexts_) est_context_free(ctx);
    contexts_.clear();
    server_.stop();
    std::string log = log_text();
    for (const std::string& s : secrets_) {
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(log.find(s), std::string::npos) << "secret in the EST log: " << s;
    }
}

void EstFixture::start_server(const testbed::Credential* identity, std::vector<X509*> chain)
{
    testbed::EstServerOptions options;
    options.identity = identity ? identity : &pki().server();
    options.chain = std::move(chain);
    options.ca = &pki().ca();
    ASSERT_TRUE(server_.start(options));
}

est_context* EstFixture::new_ctx(const std::string& host)
{
    const std::string& anchors = pki().ca().credential().cert_pem;
    est_context* ctx = est_client_init((const unsigned char*)anchors.c_str(), (int)anchors.size());
    if (!ctx) return nullptr;
    contexts_.push_back(ctx);
    EXPECT_EQ(est_client_set_target(ctx, host.c_str(), server_.port()), EST_ERR_NONE);
    return ctx;
}

int EstFixture::enroll(est_context* ctx, std::string* p7)
{
    testbed::X509ReqPtr csr = csr_for(key_.get());
    int len = 0;
    int rv = est_client_enroll_csr(ctx, csr.get(), &len, key_.get());
    if (rv == EST_ERR_NONE && p7) {
        std::string out((size_t)len, '\0');
        EXPECT_EQ(est_client_copy_enrolled_cert(ctx, (unsigned char*)out.data()), EST_ERR_NONE);
        *p7 = out;
    }
    return rv;
}

}  // namespace est_test
