// EST enrolment rate against the testbed EST server on loopback and, in the
// same run, its ceiling: a bare TLS client doing the same enrolment with the
// same verification against the same server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_result.h"
#include "est/est.h"
#include "testbed/est_server.h"
#include "testbed/pki.h"

namespace {

using Clock = std::chrono::steady_clock;

void quiet_sink(const char*, va_list) {}

// One enrolment with a fresh context, as the enrolment glue does it.
bool enroll_once(const std::string& anchors, uint16_t port, EVP_PKEY* key)
{
    est_context* ctx = est_client_init((const unsigned char*)anchors.c_str(), (int)anchors.size());
    if (!ctx) return false;
    bool ok = est_client_set_auth(ctx, "bench", "bench-password") == EST_ERR_NONE &&
              est_client_set_target(ctx, "127.0.0.1", port) == EST_ERR_NONE;
    if (ok) {
        ctx->auth_mode = AUTH_BASIC;
        testbed::X509ReqPtr csr = testbed::make_csr(key, "bench");
        int len = 0;
        ok = est_client_enroll_csr(ctx, csr.get(), &len, key) == EST_ERR_NONE;
        std::string p7((size_t)len, '\0');
        ok = ok && est_client_copy_enrolled_cert(ctx, (unsigned char*)p7.data()) == EST_ERR_NONE;
        unsigned char* pem = nullptr;
        ok = ok && est_convert_p7b64_to_pem((const unsigned char*)p7.data(), len, &pem) > 0;
        free(pem);
    }
    est_context_free(ctx);
    return ok;
}

// The ceiling: the same exchange by the simplest client that does it. One TLS
// context made once; the server verified as the EST client verifies it (trust
// anchors, CRL check with a missing CRL forgiven, server purpose, depth 7, the
// address in the certificate); a CSR signed by the same key POSTed to
// simpleenroll with the same Basic credentials; the whole base64 PKCS#7 answer
// read and decoded.
int forgive_missing_crl(int ok, X509_STORE_CTX* x)
{
    return ok || X509_STORE_CTX_get_error(x) == X509_V_ERR_UNABLE_TO_GET_CRL;
}

SSL_CTX* bare_context(X509* ca)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), ca);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, forgive_missing_crl);
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    X509_VERIFY_PARAM_set_depth(param, 7);
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return ctx;
}

std::string base64(const unsigned char* data, size_t len)
{
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    out.resize((size_t)EVP_EncodeBlock((unsigned char*)out.data(), data, (int)len));
    return out;
}

bool bare_enroll_once(SSL_CTX* ctx, uint16_t port, EVP_PKEY* key)
{
    testbed::X509ReqPtr csr = testbed::make_csr(key, "bench");
    unsigned char* der = nullptr;
    int der_len = i2d_X509_REQ(csr.get(), &der);
    if (der_len <= 0) return false;
    std::string body = base64(der, (size_t)der_len);
    OPENSSL_free(der);
    std::string request = "POST /.well-known/est/simpleenroll HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\nContent-Type: application/pkcs10\r\nAuthorization: Basic " +
                          base64((const unsigned char*)"bench:bench-password", 20) +
                          "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, (sockaddr*)&addr, sizeof addr) != 0) {
        close(fd);
        return false;
    }
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "127.0.0.1");
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    bool ok = SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), (int)request.size()) == (int)request.size();
    std::string answer;
    char buf[4096];
    for (int reads = 0; ok && reads < 64; reads++) {
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) break;
        answer.append(buf, (size_t)n);
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(fd);
    ERR_clear_error();
    size_t head = answer.find("\r\n\r\n");
    if (!ok || answer.rfind("HTTP/1.1 200", 0) != 0 || head == std::string::npos) return false;
    // The answer decoded as the EST client decodes it: base64, then PKCS#7.
    std::string p7der(answer.size(), '\0');
    EVP_ENCODE_CTX* dec = EVP_ENCODE_CTX_new();
    int len = 0, tail = 0;
    EVP_DecodeInit(dec);
    ok = EVP_DecodeUpdate(dec, (unsigned char*)p7der.data(), &len, (const unsigned char*)answer.data() + head + 4,
                          (int)(answer.size() - head - 4)) >= 0 &&
         EVP_DecodeFinal(dec, (unsigned char*)p7der.data() + len, &tail) == 1;
    EVP_ENCODE_CTX_free(dec);
    const unsigned char* pos = (const unsigned char*)p7der.data();
    PKCS7* p7 = ok ? d2i_PKCS7(nullptr, &pos, len + tail) : nullptr;
    ok = p7 && PKCS7_type_is_signed(p7) && sk_X509_num(p7->d.sign->cert) > 0;
    PKCS7_free(p7);
    return ok;
}

struct Tally {
    int done = 0;
    int failed = 0;
    double seconds = 0;
    double rate() const { return seconds > 0 ? done / seconds : 0; }
};

// Runs `once` for about `seconds`, adding to the tally.
template <typename F>
void run_for(Tally& t, double seconds, F once)
{
    auto start = Clock::now();
    auto until = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < until && t.done + t.failed < 1000000) {
        (once() ? t.done : t.failed)++;
    }
    t.seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

// bench_est [seconds]       both measurements, alternating in rounds
// bench_est enrol|bare N    N of one kind only (for callgrind)
int main(int argc, char** argv)
{
    const char* only = argc > 2 ? argv[1] : nullptr;
    int count = argc > 2 ? atoi(argv[2]) : 0;
    double seconds = argc == 2 ? atof(argv[1]) : 5.0;
    if (seconds <= 0 || seconds > 600) seconds = 5.0;
    est_set_log_sink(quiet_sink);
    est_set_log_level(EST_LOG_LVL_ERR);

    testbed::Pki pki;
    testbed::EstServer server;
    testbed::EstServerOptions options;
    options.identity = &pki.server();  // P-256
    options.ca = &pki.ca();
    if (!server.start(options)) {
        fprintf(stderr, "bench_est: cannot start the EST server\n");
        return 1;
    }
    testbed::EstBehaviour behaviour;
    behaviour.auth = testbed::EstAuth::Basic;
    behaviour.user = "bench";
    behaviour.password = "bench-password";
    server.set_behaviour(behaviour);

    const std::string& anchors = pki.ca().credential().cert_pem;
    testbed::PKeyPtr key = testbed::generate_key(testbed::KeyType::P256);
    SSL_CTX* bare = bare_context(pki.ca().cert());
    auto enrol = [&] { return enroll_once(anchors, server.port(), key.get()); };
    auto ceiling = [&] { return bare_enroll_once(bare, server.port(), key.get()); };

    int status = 0;
    if (only) {
        bool is_bare = strcmp(only, "bare") == 0;
        int failed = 0;
        for (int i = 0; i < count; i++) failed += !(is_bare ? ceiling() : enrol());
        printf("%s: %d of %d failed\n", is_bare ? "bare" : "enrol", failed, count);
        status = failed ? 1 : 0;
    } else {
        // Alternating rounds, so that the machine's load falls on both alike.
        const int rounds = 5;
        Tally t_bare, t_enrol;
        for (int r = 0; r < rounds; r++) {
            run_for(t_bare, seconds / rounds, ceiling);
            run_for(t_enrol, seconds / rounds, enrol);
        }
        printf("EST enrolment on loopback, P-256 server and client keys, %.1f s each in %d rounds\n", seconds, rounds);
        printf("%-40s %6d in %.2f s = %7.1f /s (%d failed)\n", "bare TLS client, same enrolment (ceiling)",
               t_bare.done, t_bare.seconds, t_bare.rate(), t_bare.failed);
        printf("%-40s %6d in %.2f s = %7.1f /s (%d failed)\n", "EST simpleenroll (full)", t_enrol.done,
               t_enrol.seconds, t_enrol.rate(), t_enrol.failed);
        printf("ratio enrolment / ceiling: %.3f\n", t_bare.rate() > 0 ? t_enrol.rate() / t_bare.rate() : 0.0);
        bench_result("est_enrolments_per_s", t_enrol.rate(), "1/s", t_bare.rate(), ">=0.8");
        status = t_bare.failed || t_enrol.failed ? 1 : 0;
    }
    printf("server: %d connections, %d certificates issued\n", server.stats().connections, server.stats().issued);
    SSL_CTX_free(bare);
    server.stop();
    return status;
}
