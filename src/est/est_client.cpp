#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <poll.h>
#include <pthread.h>
#include <safeclib/safe_str_lib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "est/est.h"
#include "est/est_http.h"
#include "est/est_tls.h"
#include "platform/failure_cause.h"
#include "platform/log_escape.h"
#include "platform/secret_memory.h"
#include "platform/wsa.h"

#define EST_ERR_NAME_ENTRY(name) #name,
const char* const est_err_strings[EST_ERR_LAST] = {FOREACH_EST_ERROR(EST_ERR_NAME_ENTRY)};
#undef EST_ERR_NAME_ENTRY

const char* est_err_name(int err)
{
    if (err < 0 || err >= EST_ERR_LAST) {
        return "EST_ERR_UNKNOWN";
    }
    return est_err_strings[err];
}

// ---- logging ----------------------------------------------------------------

namespace {

// Process-wide; atomics so that enrolments on several threads stay well defined.
std::atomic<int> g_est_log_level {EST_LOG_LVL_ERR};
std::atomic<est_log_sink_fn> g_est_log_sink {nullptr};

constexpr const char* k_est_path = "/.well-known/est";
constexpr const char* k_est_operation = "simpleenroll";
constexpr const char* k_est_uri = "/.well-known/est/simpleenroll";
constexpr const char* k_user_agent = "Orlan EST client 1.0";

// Writing to a socket the peer has closed must not kill the host process with
// SIGPIPE: the signal is held back on this thread for the duration and a
// pending one is consumed.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
    }
    ~SigpipeGuard()
    {
        if (!blocked_) {
            return;
        }
        if (!was_pending_) {
            timespec zero {0, 0};
            while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool was_pending_ = false;
    bool blocked_ = false;
};

int ossl_error_line(const char* str, size_t len, void*)
{
    EST_LOG_WARN("OSSL error: %.*s", (int)len, str);
    return 1;
}

}  // namespace

void est_log_stderr_sink(const char* format, va_list ap)
{
    vfprintf(stderr, format, ap);
    fflush(stderr);
}

namespace {

// Longest message text handed to a sink; longer ones are cut.
constexpr size_t EST_LOG_MAX_TEXT = 64 * 1024;

void call_sink(est_log_sink_fn sink, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    sink(format, ap);
    va_end(ap);
}

}  // namespace

void est_log_write(int level, const char* format, ...)
{
    if (level > g_est_log_level.load(std::memory_order_relaxed) || !format) {
        return;
    }
    est_log_sink_fn sink = g_est_log_sink.load(std::memory_order_acquire);
    // Messages quote server answers and certificate fields: the sink gets the
    // text with its control characters escaped, save the line feeds the
    // format itself begins or ends with, which delimit the records.
    char small[1024];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0) {
        return;
    }
    std::string text;
    if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        text.resize(std::min<size_t>(static_cast<size_t>(n), EST_LOG_MAX_TEXT) + 1);
        va_start(ap, format);
        vsnprintf(text.data(), text.size(), format, ap);
        va_end(ap);
        text.pop_back();
    }
    std::string escaped;
    platform::AppendEscapedLogText(text, platform::LiteralEndsOf(format), EST_LOG_MAX_TEXT * 4, &escaped);
    call_sink(sink ? sink : est_log_stderr_sink, "%s", escaped.c_str());
}

void est_set_log_level(int level)
{
    g_est_log_level.store(level, std::memory_order_relaxed);
}

void est_set_log_sink(est_log_sink_fn sink)
{
    g_est_log_sink.store(sink, std::memory_order_release);
}

void est_log_ossl_errors(void)
{
    ERR_print_errors_cb(ossl_error_line, nullptr);
}

int est_base64_encode(const unsigned char* src, int src_len, char* dst, int dst_size)
{
    if (!src || src_len < 0 || !dst || dst_size <= 0) {
        return 0;
    }
    // Room for every group of four and the terminator.
    long long needed = 4LL * ((src_len + 2) / 3) + 1;
    if (needed > dst_size) {
        EST_LOG_ERR("Source buffer for base64 encode is loo large for destination buffer. max source len = %d, actual_source len = %d",
                    (dst_size - 1) / 4 * 3, src_len);
        dst[0] = '\0';
        return 0;
    }
    int n = EVP_EncodeBlock((unsigned char*)dst, src, src_len);
    if (n <= 0 && src_len > 0) {
        EST_LOG_ERR("BIO_write failed while encoding base64 data (%d)", n);
        dst[0] = '\0';
        return 0;
    }
    return n;
}

// ---- context set-up ---------------------------------------------------------

static int est_check_ctx(const est_context* ctx)
{
    if (!ctx) {
        EST_LOG_ERR("Null EST context");
        return EST_ERR_NO_CTX;
    }
    if (!ctx->initialized) {
        EST_LOG_ERR("EST context not initialized");
        return EST_ERR_CLIENT_NOT_INITIALIZED;
    }
    return EST_ERR_NONE;
}

est_context* est_client_init(const unsigned char* ca_chain, int ca_chain_len)
{
    WSADATA wsa {};
    int wsa_rc = WSAStartup(0x0202, &wsa);
    if (wsa_rc != 0) {
        EST_LOG_ERR("WSAStartup Failed: %d\n", wsa_rc);
        return nullptr;
    }
    if (ca_chain) {
        size_t len = strnlen((const char*)ca_chain, (size_t)EST_CA_MAX + 1);
        if (ca_chain_len < 0 || len > (size_t)EST_CA_MAX || len != (size_t)ca_chain_len) {
            EST_LOG_ERR("Length of ca_chain doesn't match passed ca_chain_len");
            WSACleanup();
            return nullptr;
        }
    }
    // The record holds credentials (an activation code in the password):
    // secret memory, out of core files.
    est_context* ctx = (est_context*)platform::SecretAlloc(sizeof(est_context));
    if (!ctx) {
        EST_LOG_ERR("Unable to allocate memory for EST Context");
        WSACleanup();
        return nullptr;
    }
    ctx->est_mode = EST_CLIENT;
    ctx->tcw_conn.sock = -1;
    ctx->tcw_conn.proxy_proto = -1;
    ctx->proxy_proto = -1;
    if (est_load_trusted_certs(ctx, ca_chain, ca_chain_len) != EST_ERR_NONE) {
        EST_LOG_ERR("Failed to load trusted certificate store");
        est_context_free(ctx);
        return nullptr;
    }
    if (est_client_init_ssl_ctx(ctx) != EST_ERR_NONE) {
        EST_LOG_ERR("Failed to initialize SSL context with certificiate and private key passed");
        est_context_free(ctx);
        return nullptr;
    }
    ctx->read_timeout = EST_SSL_READ_TIMEOUT_DEF;
    ctx->signing_digest = EVP_sha256();
    ctx->retry_after_delay = 0;
    ctx->initialized = 1;
    return ctx;
}

int est_client_set_auth(est_context* ctx, const char* uid, const char* pwd)
{
    int rv = est_check_ctx(ctx);
    if (rv != EST_ERR_NONE) {
        return rv;
    }
    if (uid && !pwd) {
        EST_LOG_ERR("User ID provided with no password");
        return EST_ERR_INVALID_PARAMETERS;
    }
    if (!uid && pwd) {
        EST_LOG_ERR("Password provided with no user ID");
        return EST_ERR_INVALID_PARAMETERS;
    }
    if (uid) {
        if (strnlen_s(uid, EST_MAX_UID_LEN) >= EST_MAX_UID_LEN ||
            strcpy_s(ctx->userid, sizeof ctx->userid, uid) != 0) {
            EST_LOG_ERR("Invalid User ID provided");
            return EST_ERR_INVALID_PARAMETERS;
        }
        if (strnlen_s(pwd, EST_MAX_PWD_LEN) >= EST_MAX_PWD_LEN ||
            strcpy_s(ctx->password, sizeof ctx->password, pwd) != 0) {
            OPENSSL_cleanse(ctx->userid, sizeof ctx->userid);
            EST_LOG_ERR("Invalid Password provided");
            return EST_ERR_INVALID_PARAMETERS;
        }
    }
    ctx->auth_mode = AUTH_NONE;
    ctx->client_cert = nullptr;
    ctx->client_key = nullptr;
    EST_LOG_WARN("Not using client certificate for TLS session, HTTP basic or digest auth will be used.");
    return EST_ERR_NONE;
}

int est_client_set_target(est_context* ctx, const char* server, int port)
{
    int rv = est_check_ctx(ctx);
    if (rv != EST_ERR_NONE) {
        return rv;
    }
    if (!server || strnlen_s(server, EST_MAX_SERVERNAME_LEN) >= EST_MAX_SERVERNAME_LEN ||
        strcpy_s(ctx->est_server, sizeof ctx->est_server, server) != 0) {
        return EST_ERR_INVALID_SERVER_NAME;
    }
    if (port < 1 || port > 65535) {
        return EST_ERR_INVALID_PORT_NUM;
    }
    ctx->est_port_num = port;
    return EST_ERR_NONE;
}

int est_client_set_abort(est_context* ctx, est_abort_fn fn, void* arg)
{
    if (!ctx) {
        return EST_ERR_NO_CTX;
    }
    ctx->abort = est_abort {fn, arg};
    return EST_ERR_NONE;
}

int est_client_use_proxy(est_context* ctx, int proxy_proto, const char* proxy_server,
                         unsigned short proxy_port, unsigned int proxy_auth,
                         const char* username, const char* password)
{
    int rv = est_check_ctx(ctx);
    if (rv != EST_ERR_NONE) {
        return rv;
    }
    if (!proxy_server || proxy_server[0] == '\0' ||
        strnlen_s(proxy_server, sizeof ctx->proxy_server) >= sizeof ctx->proxy_server) {
        return EST_ERR_INVALID_SERVER_NAME;
    }
    if (proxy_port == 0) {
        return EST_ERR_INVALID_PORT_NUM;
    }
    if (proxy_proto < 0 || proxy_proto > EST_CLIENT_PROXY_SOCKS5_HOSTNAME) {
        return EST_ERR_INVALID_CLIENT_PROXY_PROTOCOL;
    }
    if (proxy_auth & ~(unsigned)(EST_CLIENT_PROXY_AUTH_BASIC | EST_CLIENT_PROXY_AUTH_NTLM)) {
        return EST_ERR_INVALID_CLIENT_PROXY_AUTH;
    }
    ctx->proxy_username[0] = '\0';
    OPENSSL_cleanse(ctx->proxy_password, sizeof ctx->proxy_password);
    if (username && password && proxy_auth) {
        if (username[0] == '\0' || password[0] == '\0' ||
            strcpy_s(ctx->proxy_username, sizeof ctx->proxy_username, username) != 0 ||
            strcpy_s(ctx->proxy_password, sizeof ctx->proxy_password, password) != 0) {
            ctx->proxy_username[0] = '\0';
            OPENSSL_cleanse(ctx->proxy_password, sizeof ctx->proxy_password);
            return EST_ERR_INVALID_PARAMETERS;
        }
    }
    strcpy_s(ctx->proxy_server, sizeof ctx->proxy_server, proxy_server);
    ctx->proxy_proto = proxy_proto;
    ctx->proxy_port = proxy_port;
    ctx->proxy_auth = (int)proxy_auth;
    ctx->use_proxy = 1;
    return EST_ERR_NONE;
}

// ---- connection -------------------------------------------------------------

void est_client_close_session(est_context* ctx)
{
    if (!ctx) {
        return;
    }
    if (ctx->ssl) {
        SSL_SESSION* sess = SSL_get1_session(ctx->ssl);
        if (sess) {
            SSL_SESSION_free(ctx->sess);
            ctx->sess = sess;
        }
        {
            SigpipeGuard guard;
            SSL_shutdown(ctx->ssl);
        }
        SSL_free(ctx->ssl);
        ctx->ssl = nullptr;
    }
    tcw_close(&ctx->tcw_conn);
    ctx->connection_open = 0;
    ERR_clear_error();
}

// The TLS handshake on a non-blocking socket, so that each wait for the
// server goes through est_wait and a stop ends it; the whole handshake gets
// the read time-out. The socket is blocking again afterwards. SSL_connect's
// result (<= 0 on failure, SSL_get_error tells why).
static int est_handshake(est_context* ctx, SSL* ssl, int sock, bool* timed_out)
{
    const int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
        return -1;
    }
    const int timeout_ms = (ctx->read_timeout > 0 ? ctx->read_timeout : EST_SSL_READ_TIMEOUT_DEF) * 1000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int hs;
    for (;;) {
        {
            SigpipeGuard guard;
            hs = SSL_connect(ssl);
        }
        if (hs > 0) {
            break;
        }
        const int err = SSL_get_error(ssl, hs);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int waited = est_wait(sock, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
                                    left.count() > 0 ? (int)left.count() : 0, &ctx->abort);
        if (waited != EST_WAIT_READY) {
            if (waited == EST_WAIT_TIMEOUT) {
                EST_LOG_ERR("TLS handshake timed out.");
                *timed_out = true;
            }
            hs = -1;
            break;
        }
    }
    if (fcntl(sock, F_SETFL, flags) < 0) {
        return hs > 0 ? -1 : hs;
    }
    return hs;
}

// Why the connection to the EST server failed, in words, with the server.
static void est_log_cause(const est_context* ctx, const std::string& words)
{
    EST_LOG_ERR("%s%s", platform::kCauseMarker,
                platform::CauseWithPeer(words, ctx->est_server, ctx->est_port_num).c_str());
}

// The handshake's failure: the certificate check's verdict when it failed.
static std::string est_handshake_cause(const est_context* ctx, SSL* ssl, bool timed_out)
{
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        return platform::TlsVerifyCause(verify);
    }
    if (timed_out) {
        const int seconds = ctx->read_timeout > 0 ? ctx->read_timeout : EST_SSL_READ_TIMEOUT_DEF;
        return "no answer within " + std::to_string(seconds) + " s";
    }
    return "TLS handshake failed";
}

static int est_client_connect(est_context* ctx)
{
    tcw_proxy_params proxy {};
    proxy.proxy_proto = ctx->use_proxy ? ctx->proxy_proto : -1;
    proxy.proxy_server = ctx->proxy_server;
    proxy.proxy_port = ctx->proxy_port;
    if (ctx->proxy_username[0] && ctx->proxy_password[0] && ctx->proxy_auth) {
        proxy.user = ctx->proxy_username;
        proxy.password = ctx->proxy_password;
        // Basic is always offered; NTLM as well when asked for.
        proxy.proxy_auth = EST_CLIENT_PROXY_AUTH_BASIC | ((unsigned)ctx->proxy_auth & EST_CLIENT_PROXY_AUTH_NTLM);
    }
    int sock = -1;
    int rc = tcw_connect(&ctx->tcw_conn, &proxy, ctx->est_server, (unsigned short)ctx->est_port_num, &sock,
                         &ctx->abort);
    if (rc != TCW_OK) {
        const int connect_error = errno;
        if (rc == TCW_ERR_RESOLVE) {
            EST_LOG_ERR("Unable to lookup hostname %s.", ctx->est_server);
            est_log_cause(ctx, "name not resolved");
            return EST_ERR_IP_GETADDR;
        }
        EST_LOG_ERR("Unable to connect to EST server at %s", ctx->est_server);
        // Through a proxy the transport said why already.
        if (proxy.proxy_proto < 0) {
            est_log_cause(ctx, platform::ConnectErrorCause(connect_error));
        }
        return EST_ERR_IP_CONNECT;
    }
    int on = 1;
    // The handshake and writes are bounded like the response reads.
    timeval tv {ctx->read_timeout > 0 ? ctx->read_timeout : EST_SSL_READ_TIMEOUT_DEF, 0};
    if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        EST_LOG_ERR("Unable to connect to EST server at address %s", ctx->est_server);
        tcw_close(&ctx->tcw_conn);
        return EST_ERR_IP_CONNECT;
    }
    BIO* bio = BIO_new_socket(sock, BIO_NOCLOSE);
    SSL* ssl = bio ? SSL_new(ctx->ssl_ctx) : nullptr;
    if (!ssl) {
        EST_LOG_ERR("Error creating TLS context");
        est_log_ossl_errors();
        BIO_free(bio);
        tcw_close(&ctx->tcw_conn);
        return EST_ERR_SSL_NEW;
    }
    if (est_use_trust_store(ctx, ssl) != EST_ERR_NONE) {
        SSL_free(ssl);
        tcw_close(&ctx->tcw_conn);
        return EST_ERR_SSL_NEW;
    }
    SSL_set_ex_data(ssl, est_ssl_ex_index(), ctx);
    SSL_set_tlsext_host_name(ssl, ctx->est_server);
    if (ctx->sess) {
        SSL_set_session(ssl, ctx->sess);
    }
    SSL_set_bio(ssl, bio, bio);
    bool timed_out = false;
    int hs = est_handshake(ctx, ssl, sock, &timed_out);
    if (hs <= 0) {
        EST_LOG_ERR("Error connecting TLS context. %d", SSL_get_error(ssl, hs));
        est_log_cause(ctx, est_handshake_cause(ctx, ssl, timed_out));
        est_log_ossl_errors();
        SSL_free(ssl);
        tcw_close(&ctx->tcw_conn);
        return EST_ERR_SSL_CONNECT;
    }
    ctx->ssl = ssl;
    ctx->connection_open = 1;
    if (est_client_check_fqdn(ctx, ssl) != EST_ERR_NONE) {
        est_client_close_session(ctx);
        EST_LOG_ERR("EST server name did not match FQDN in server certificate.");
        est_log_cause(ctx, platform::TlsVerifyCause(X509_V_ERR_HOSTNAME_MISMATCH));
        return EST_ERR_FQDN_MISMATCH;
    }
    return EST_ERR_NONE;
}

// ---- request ----------------------------------------------------------------

// Appends to buf (size bytes, NUL-terminated); false when it did not fit.
static bool append(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
static bool append(char* buf, size_t size, const char* fmt, ...)
{
    size_t used = strnlen(buf, size);
    if (used + 1 >= size) {
        return false;
    }
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + used, size - used, fmt, ap);
    va_end(ap);
    return n >= 0 && (size_t)n < size - used;
}

// Fills user and password from the context, or from the application's hook
// when the context holds neither.
static void est_get_credentials(est_context* ctx, EST_HTTP_AUTH_HDR* cred, int mode)
{
    cred->mode = mode;
    if (ctx->userid[0] || ctx->password[0]) {
        strcpy_s(cred->user, sizeof cred->user, ctx->userid);
        strcpy_s(cred->pwd, sizeof cred->pwd, ctx->password);
        return;
    }
    if (ctx->auth_credentials_cb && ctx->auth_credentials_cb(cred) == EST_HTTP_AUTH_CRED_SUCCESS) {
        cred->user[sizeof cred->user - 1] = '\0';
        cred->pwd[sizeof cred->pwd - 1] = '\0';
        return;
    }
    cred->user[0] = '\0';
    cred->pwd[0] = '\0';
}

static bool md5_hex(const char* const* parts, int count, char out[33])
{
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (!md) {
        EST_LOG_ERR("Unable to allocate memory for digest");
        return false;
    }
    bool ok = EVP_DigestInit_ex(md, EVP_md5(), nullptr) == 1;
    if (!ok) {
        EST_LOG_ERR("Unable to Initialize digest");
    }
    for (int i = 0; ok && i < count; i++) {
        ok = (i == 0 || EVP_DigestUpdate(md, ":", 1) == 1) &&
             EVP_DigestUpdate(md, parts[i], strlen(parts[i])) == 1;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ok = ok && EVP_DigestFinal_ex(md, digest, &len) == 1 && len == 16;
    EVP_MD_CTX_free(md);
    if (ok) {
        for (unsigned i = 0; i < 16; i++) {
            snprintf(out + 2 * i, 3, "%02x", digest[i]);
        }
    }
    OPENSSL_cleanse(digest, sizeof digest);
    return ok;
}

static bool est_add_digest_line(est_context* ctx, EST_HTTP_AUTH_HDR* cred, char* hdr, size_t size)
{
    unsigned char rnd[8];
    if (RAND_bytes(rnd, sizeof rnd) != 1) {
        EST_LOG_ERR("RNG failure while generating nonce");
        return false;
    }
    for (int i = 0; i < 8; i++) {
        snprintf(ctx->c_nonce + 2 * i, 3, "%02x", rnd[i]);
    }
    OPENSSL_cleanse(rnd, sizeof rnd);
    est_get_credentials(ctx, cred, AUTH_DIGEST);

    char ha1[33], ha2[33];
    const char* p1[] = {cred->user, ctx->realm, cred->pwd};
    const char* p2[] = {"POST", k_est_uri};
    bool ok = md5_hex(p1, 3, ha1) && md5_hex(p2, 2, ha2);
    if (ok) {
        const char* p3[] = {ha1, ctx->s_nonce, "00000001", ctx->c_nonce, "auth", ha2};
        ok = md5_hex(p3, 6, cred->response);
    }
    if (ok) {
        append(hdr, size,
               "Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", "
               "cnonce=\"%s\", nc=00000001, qop=\"auth\", response=\"%s\"\r\n",
               cred->user, ctx->realm, ctx->s_nonce, k_est_uri, ctx->c_nonce, cred->response);
    } else {
        EST_LOG_ERR("Error while generating digest");
    }
    OPENSSL_cleanse(ha1, sizeof ha1);
    OPENSSL_cleanse(ha2, sizeof ha2);
    OPENSSL_cleanse(ctx->c_nonce, sizeof ctx->c_nonce);
    return ok;
}

// Appends the authorization line of the context's auth mode. False when the
// header must be abandoned.
static bool est_add_auth_line(est_context* ctx, char* hdr, size_t size)
{
    EST_HTTP_AUTH_HDR cred {};
    bool ok = true;
    switch (ctx->auth_mode) {
    case AUTH_BASIC: {
        est_get_credentials(ctx, &cred, AUTH_BASIC);
        char pair[EST_MAX_UID_LEN + EST_MAX_PWD_LEN + 2];
        char encoded[((sizeof pair + 2) / 3) * 4 + 1];
        snprintf(pair, sizeof pair, "%s:%s", cred.user, cred.pwd);
        if (est_base64_encode((const unsigned char*)pair, (int)strlen(pair), encoded, sizeof encoded) <= 0) {
            EST_LOG_ERR("Unable to encode basic auth value");
        }
        append(hdr, size, "Authorization: Basic %s\r\n", encoded);
        OPENSSL_cleanse(pair, sizeof pair);
        OPENSSL_cleanse(encoded, sizeof encoded);
        break;
    }
    case AUTH_DIGEST:
        ok = est_add_digest_line(ctx, &cred, hdr, size);
        break;
    case AUTH_TOKEN: {
        EST_LOG_INFO("Server requested Token based authentication");
        cred.mode = AUTH_TOKEN;
        if (!ctx->auth_credentials_cb) {
            EST_LOG_ERR("Requested token credentials, but application did not provide any.");
        } else if (ctx->auth_credentials_cb(&cred) != EST_HTTP_AUTH_CRED_SUCCESS) {
            EST_LOG_ERR("Attempt to obtain token from application failed.");
            cred.auth_token[0] = '\0';
        } else if (cred.auth_token[0] == '\0') {
            EST_LOG_ERR("Requested token credentials, but application did not provide any.");
        } else if (strnlen(cred.auth_token, sizeof cred.auth_token) > (size_t)EST_MAX_TOKEN_LEN) {
            EST_LOG_ERR("Token provided is larger than the max of %d", EST_MAX_TOKEN_LEN);
            cred.auth_token[0] = '\0';
        }
        char encoded[((EST_MAX_TOKEN_LEN + 2) / 3) * 4 + 1] = "";
        if (cred.auth_token[0] &&
            est_base64_encode((const unsigned char*)cred.auth_token, (int)strlen(cred.auth_token),
                              encoded, sizeof encoded) <= 0) {
            EST_LOG_ERR("Unable to encode bearer token auth value");
        }
        append(hdr, size, "Authorization: Bearer %s\r\n", encoded);
        OPENSSL_cleanse(encoded, sizeof encoded);
        break;
    }
    default:
        EST_LOG_INFO("No HTTP auth mode set, sending anonymous request");
        break;
    }
    OPENSSL_cleanse(&cred, sizeof cred);
    return ok;
}

// Builds the whole request into req (EST_HTTP_REQ_TOTAL_LEN bytes); its length,
// or a negative EST error.
static int est_build_request(est_context* ctx, const char* body, int body_len, char* req, size_t size)
{
    req[0] = '\0';
    const char* seg = ctx->uri_path_segment ? ctx->uri_path_segment : "";
    append(req, size,
           "POST %s%s%s/%s HTTP/1.1\r\nUser-Agent: %s\r\nConnection: close\r\nHost: %s:%d\r\n"
           "Accept: */*\r\nContent-Type: application/pkcs10\r\nContent-Length: %d\r\n",
           k_est_path, seg[0] ? "/" : "", seg, k_est_operation, k_user_agent, ctx->est_server,
           ctx->est_port_num, body_len);
    if (!est_add_auth_line(ctx, req, size)) {
        OPENSSL_cleanse(req, size);
        req[0] = '\0';
    }
    int hdr_len = (int)strnlen(req, size);
    if (hdr_len + 1 >= (int)size) {
        EST_LOG_ERR("Client enroll request header took up the maximum amount in buffer (%d)", (int)size);
    }
    if (hdr_len > EST_HTTP_REQ_HDR_LIMIT) {
        EST_LOG_ERR("Client enroll request header is too big (%d) > (%d)", hdr_len, EST_HTTP_REQ_HDR_LIMIT);
        hdr_len = 0;
    }
    if (hdr_len == 0) {
        EST_LOG_ERR("Enroll HTTP header could not be built correctly");
        return -EST_ERR_HTTP_CANNOT_BUILD_HEADER;
    }
    // Header at most 1024 and body at most 4096 bytes always fit with the
    // separators.
    memcpy(req + hdr_len, "\r\n", 2);
    memcpy(req + hdr_len + 2, body, (size_t)body_len);
    memcpy(req + hdr_len + 2 + body_len, "\r\n", 2);
    int total = hdr_len + 4 + body_len;
    req[total] = '\0';
    return total;
}

// DER of the CSR in base64 with a line break every 64 characters (new buffer).
static int est_csr_to_base64(X509_REQ* csr, char** out, int* out_len)
{
    unsigned char* der = nullptr;
    int der_len = i2d_X509_REQ(csr, &der);
    if (der_len <= 0) {
        EST_LOG_ERR("Unable to encode the CSR");
        est_log_ossl_errors();
        return EST_ERR_BAD_PKCS10;
    }
    // 64 characters and a line feed per 48 bytes, the tail and a terminator.
    size_t cap = (size_t)der_len / 48 * 65 + 66 + 1;
    char* b64 = (char*)malloc(cap);
    EVP_ENCODE_CTX* enc = EVP_ENCODE_CTX_new();
    if (!b64 || !enc) {
        EST_LOG_ERR("Unable to allocate memory");
        free(b64);
        EVP_ENCODE_CTX_free(enc);
        OPENSSL_free(der);
        return EST_ERR_MALLOC;
    }
    int n = 0, tail = 0;
    EVP_EncodeInit(enc);
    EVP_EncodeUpdate(enc, (unsigned char*)b64, &n, der, der_len);
    EVP_EncodeFinal(enc, (unsigned char*)b64 + n, &tail);
    EVP_ENCODE_CTX_free(enc);
    OPENSSL_free(der);
    b64[n + tail] = '\0';
    *out = b64;
    *out_len = n + tail;
    return EST_ERR_NONE;
}

static void est_remove_challenge_passwords(X509_REQ* csr)
{
    for (int guard = X509_REQ_get_attr_count(csr); guard > 0; guard--) {
        int idx = X509_REQ_get_attr_by_NID(csr, NID_pkcs9_challengePassword, -1);
        if (idx < 0) {
            break;
        }
        X509_ATTRIBUTE_free(X509_REQ_delete_attr(csr, idx));
    }
}

// One request on a connection already open; closes it.
static int est_client_send_enroll(est_context* ctx, X509_REQ* csr, EVP_PKEY* key,
                                  unsigned char** body, int* body_len)
{
    int rv = EST_ERR_NONE;
    char* b64 = nullptr;
    int b64_len = 0;
    char* req = nullptr;

    if (key) {
        est_remove_challenge_passwords(csr);
        if (!X509_REQ_sign(csr, key, ctx->signing_digest)) {
            EST_LOG_ERR("Unable to sign X509 cert request");
            est_log_ossl_errors();
            rv = EST_ERR_X509_SIGN;
        }
    }
    if (rv == EST_ERR_NONE) {
        rv = est_csr_to_base64(csr, &b64, &b64_len);
    }
    if (rv == EST_ERR_NONE && b64_len > EST_HTTP_REQ_DATA_LIMIT) {
        // Refused before anything is sent.
        EST_LOG_ERR("Client enroll request body is too big (%d) > (%d)", b64_len, EST_HTTP_REQ_DATA_LIMIT);
        rv = EST_ERR_BUF_EXCEEDS_MAX_LEN;
    }
    if (rv == EST_ERR_NONE) {
        req = (char*)calloc(1, EST_HTTP_REQ_TOTAL_LEN);
        if (!req) {
            EST_LOG_ERR("Unable to allocate memory");
            rv = EST_ERR_MALLOC;
        }
    }
    int total = 0;
    if (rv == EST_ERR_NONE) {
        total = est_build_request(ctx, b64, b64_len, req, EST_HTTP_REQ_TOTAL_LEN);
        if (total < 0) {
            rv = -total;
        }
    }
    if (rv == EST_ERR_NONE) {
        ctx->last_http_status = 0;
        int written;
        {
            SigpipeGuard guard;
            written = SSL_write(ctx->ssl, req, total);
        }
        if (written <= 0) {
            EST_LOG_ERR("TLS write error");
            est_log_ossl_errors();
            rv = EST_ERR_SSL_WRITE;
        } else {
            EST_LOG_INFO("TLS wrote %d bytes, attempted %d bytes\n", written, total);
            rv = est_io_get_response(ctx->ssl, ctx, body, body_len);
        }
    }
    if (req) {
        OPENSSL_cleanse(req, EST_HTTP_REQ_TOTAL_LEN);
        free(req);
    }
    free(b64);
    est_client_close_session(ctx);
    return rv;
}

int est_client_enroll_csr(est_context* ctx, X509_REQ* csr, int* pkcs7_len, EVP_PKEY* priv_key)
{
    int rv = est_check_ctx(ctx);
    if (rv != EST_ERR_NONE) {
        return rv;
    }
    if (!csr) {
        EST_LOG_ERR("No CSR provided");
        return EST_ERR_NO_CSR;
    }
    if (!pkcs7_len) {
        EST_LOG_ERR("EST Client: Simple Enroll, invalid parameter");
        return EST_ERR_INVALID_PARAMETERS;
    }
    unsigned char* body = nullptr;
    int body_len = 0;
    rv = est_client_connect(ctx);
    if (rv != EST_ERR_NONE) {
        return rv;
    }
    rv = est_client_send_enroll(ctx, csr, priv_key, &body, &body_len);
    if (rv == EST_ERR_AUTH_FAIL && (ctx->auth_mode == AUTH_DIGEST || ctx->auth_mode == AUTH_BASIC ||
                                    ctx->auth_mode == AUTH_TOKEN)) {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
        bool fips = EVP_default_properties_is_fips_enabled(nullptr) == 1;
#else
        bool fips = FIPS_mode() != 0;
#endif
        if (ctx->auth_mode == AUTH_DIGEST && fips) {
            EST_LOG_ERR("HTTP digest auth not allowed while in FIPS mode");
            return EST_ERR_BAD_MODE;
        }
        EST_LOG_WARN("HTTP Auth failed, trying again with digest/basic parameters");
        rv = est_client_connect(ctx);
        if (rv != EST_ERR_NONE) {
            EST_LOG_ERR("Connection failed on second attempt with basic/digest parameters");
            return rv;
        }
        rv = est_client_send_enroll(ctx, csr, priv_key, &body, &body_len);
        if (rv != EST_ERR_NONE) {
            EST_LOG_ERR("Enroll failed on second attempt during basic/digest authentication");
        }
    }
    if (rv == EST_ERR_NONE && body_len == 0) {
        EST_LOG_ERR("Enroll buf is zero bytes in length");
        rv = EST_ERR_ZERO_LENGTH_BUF;
    }
    if (rv == EST_ERR_NONE) {
        free(ctx->enrolled_client_cert);
        ctx->enrolled_client_cert = body;
        ctx->enrolled_client_cert_len = body_len;
        *pkcs7_len = body_len;
        EST_LOG_INFO("Newly Enrolled Client certificate: %s", (const char*)body);
        EST_LOG_INFO("length: %d", body_len);
        return EST_ERR_NONE;
    }
    free(body);
    if (rv == EST_ERR_AUTH_FAIL) {
        EST_LOG_WARN("HTTP auth failure");
        EST_LOG_ERR("HTTP Authorization failed. Requested auth mode = %d", ctx->auth_mode);
    } else {
        EST_LOG_ERR("EST request failed: %d (%s)", rv, est_err_name(rv));
        EST_LOG_ERR("EST enrollment failed, error code is %d (%s)", rv, est_err_name(rv));
    }
    return rv;
}

int est_client_copy_enrolled_cert(est_context* ctx, unsigned char* pkcs7)
{
    int rv = est_check_ctx(ctx);
    if (rv != EST_ERR_NONE) {
        return rv;
    }
    if (!pkcs7) {
        EST_LOG_ERR("EST Client: Simple Enroll, invalid parameter");
        return EST_ERR_INVALID_PARAMETERS;
    }
    if (!ctx->enrolled_client_cert) {
        EST_LOG_ERR("No client certificate to copy");
        return EST_ERR_NO_CERTIFICATE;
    }
    memcpy(pkcs7, ctx->enrolled_client_cert, (size_t)ctx->enrolled_client_cert_len);
    free(ctx->enrolled_client_cert);
    ctx->enrolled_client_cert = nullptr;
    ctx->enrolled_client_cert_len = 0;
    return EST_ERR_NONE;
}

// The DER behind base64 text, or null. Servers send it in lines of any length
// (or one line), broken with LF or CRLF; the decoder skips that white space and
// refuses every character outside the base64 alphabet.
static PKCS7* est_p7b64_decode(const unsigned char* b64, int b64_len)
{
    unsigned char* der = (unsigned char*)malloc((size_t)b64_len + 3);
    EVP_ENCODE_CTX* decoder = EVP_ENCODE_CTX_new();
    PKCS7* p7 = nullptr;
    int len = 0;
    int tail = 0;
    if (der && decoder) {
        EVP_DecodeInit(decoder);
        if (EVP_DecodeUpdate(decoder, der, &len, b64, b64_len) >= 0 && EVP_DecodeFinal(decoder, der + len, &tail) == 1) {
            const unsigned char* pos = der;
            p7 = d2i_PKCS7(nullptr, &pos, len + tail);
        }
    }
    EVP_ENCODE_CTX_free(decoder);
    free(der);
    return p7;
}

int est_convert_p7b64_to_pem(const unsigned char* certs_p7, int certs_len, unsigned char** pem)
{
    if (!certs_p7 || certs_len <= 0 || !pem) {
        return -1;
    }
    *pem = nullptr;
    PKCS7* p7 = est_p7b64_decode(certs_p7, certs_len);
    if (!p7) {
        EST_LOG_ERR("PEM_read_bio_PKCS7 failed");
        est_log_ossl_errors();
        return -1;
    }
    STACK_OF(X509)* certs = nullptr;
    switch (OBJ_obj2nid(p7->type)) {
    case NID_pkcs7_signed:
        certs = p7->d.sign ? p7->d.sign->cert : nullptr;
        break;
    case NID_pkcs7_signedAndEnveloped:
        certs = p7->d.signed_and_enveloped ? p7->d.signed_and_enveloped->cert : nullptr;
        break;
    default:
        EST_LOG_ERR("Invalid NID value on PKCS7 structure");
        PKCS7_free(p7);
        return -1;
    }
    if (!certs) {
        EST_LOG_ERR("Failed to attain X509 cert stack from PKCS7 data");
        PKCS7_free(p7);
        return -1;
    }
    BIO* out = BIO_new(BIO_s_mem());
    if (!out) {
        EST_LOG_ERR("BIO_new failed");
        PKCS7_free(p7);
        return -1;
    }
    for (int i = 0; i < sk_X509_num(certs); i++) {
        PEM_write_bio_X509(out, sk_X509_value(certs, i));
        BIO_puts(out, "\n");
    }
    PKCS7_free(p7);
    char* data = nullptr;
    long len = BIO_get_mem_data(out, &data);
    if (len <= 0 || !data) {
        EST_LOG_ERR("BIO_get_mem_data failed");
        BIO_free(out);
        return -1;
    }
    unsigned char* copy = (unsigned char*)malloc((size_t)len + 1);
    if (!copy) {
        EST_LOG_ERR("malloc failed");
        BIO_free(out);
        return -1;
    }
    memcpy(copy, data, (size_t)len);
    copy[len] = '\0';
    BIO_free(out);
    *pem = copy;
    return (int)len;
}

int est_context_free(est_context* ctx)
{
    if (!ctx) {
        return EST_ERR_NO_CTX;
    }
    est_client_close_session(ctx);
    X509_STORE_free(ctx->trusted_certs_store);
    if (ctx->enrolled_client_cert) {
        OPENSSL_cleanse(ctx->enrolled_client_cert, (size_t)ctx->enrolled_client_cert_len);
        free(ctx->enrolled_client_cert);
    }
    free(ctx->uri_path_segment);
    SSL_SESSION_free(ctx->sess);
    SSL_CTX_free(ctx->ssl_ctx);
    // Credentials and nonces live in the record itself: wiped as it goes.
    platform::SecretFree(ctx);
    WSACleanup();
    return EST_ERR_NONE;
}
