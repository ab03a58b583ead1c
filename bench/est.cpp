// EST enrolment rate against the testbed EST server on loopback, and as the
// ceiling, in the same run, the rate of bare TLS handshakes with one request
// and its answer to the same server (same server key, same client trust).
//   bench_est [seconds per measurement, default 5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

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

// One TLS connection, one small request (GET /domains) and its whole answer.
bool handshake_once(SSL_CTX* ctx, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (fd < 0 || connect(fd, (sockaddr*)&addr, sizeof addr) != 0) {
        if (fd >= 0) close(fd);
        return false;
    }
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "127.0.0.1");
    bool ok = SSL_connect(ssl) == 1;
    static const char req[] = "GET /domains HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ok = ok && SSL_write(ssl, req, sizeof req - 1) == (int)(sizeof req - 1);
    size_t got = 0;
    char buf[4096];
    for (int reads = 0; ok && reads < 64; reads++) {
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) break;
        got += (size_t)n;
    }
    ok = ok && got > 0;
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(fd);
    ERR_clear_error();
    return ok;
}

template <typename F>
double rate(const char* label, double seconds, F once)
{
    int done = 0, failed = 0;
    auto start = Clock::now();
    auto until = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < until && done + failed < 1000000) {
        (once() ? done : failed)++;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    double r = done / elapsed;
    printf("%-34s %7d in %.2f s  = %8.1f /s  (%d failed)\n", label, done, elapsed, r, failed);
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 5.0;
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

    SSL_CTX* bare = SSL_CTX_new(TLS_client_method());
    X509_STORE_add_cert(SSL_CTX_get_cert_store(bare), pki.ca().cert());
    SSL_CTX_set_verify(bare, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(bare, SSL_SESS_CACHE_OFF);

    printf("EST enrolment on loopback, P-256 server and client keys, %.1f s per measurement\n", seconds);
    double ceiling = rate("bare TLS handshake + 1 request", seconds, [&] { return handshake_once(bare, server.port()); });
    double enrol = rate("EST simpleenroll (full)", seconds, [&] { return enroll_once(anchors, server.port(), key.get()); });
    printf("ratio enrolment / ceiling: %.3f\n", ceiling > 0 ? enrol / ceiling : 0.0);
    printf("server: %d connections, %d certificates issued\n", server.stats().connections, server.stats().issued);
    SSL_CTX_free(bare);
    server.stop();
    return 0;
}
