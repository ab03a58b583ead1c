#include "est/est_tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include <cstring>
#include <mutex>
#include <string>

#include "est/est.h"

namespace {

int g_est_ssl_ex_index = -1;
std::once_flag g_est_tls_once;

// Process-wide settings, made once: the "EST Context" slot and the default
// string mask for names built afterwards.
void est_tls_global_init()
{
    std::call_once(g_est_tls_once, [] {
        g_est_ssl_ex_index =
            SSL_get_ex_new_index(0, (void*)"EST Context", nullptr, nullptr, nullptr);
        ASN1_STRING_set_default_mask(B_ASN1_PRINTABLE);
    });
}

// Store-level callback: only a missing CRL is forgiven.
int est_store_verify_cb(int ok, X509_STORE_CTX* x_ctx)
{
    if (ok) {
        return ok;
    }
    int err = X509_STORE_CTX_get_error(x_ctx);
    if (err == X509_V_ERR_UNABLE_TO_GET_CRL) {
        EST_LOG_WARN("No CRL loaded, TLS peer will be allowed.");
        return 1;
    }
    EST_LOG_ERR("Certificate verify failed (reason=%d)", err);
    return 0;
}

// TLS-level callback; finds the EST context through the connection's slot.
int est_client_cert_verify_cb(int ok, X509_STORE_CTX* x_ctx)
{
    if (ok) {
        return ok;
    }
    if (!x_ctx) {
        EST_LOG_ERR("Invalid X509 context pointer");
        return ok;
    }
    int err = X509_STORE_CTX_get_error(x_ctx);
    int idx = SSL_get_ex_data_X509_STORE_CTX_idx();
    if (idx < 0) {
        EST_LOG_ERR("Invalid SSL exdata index for EST context value");
        return ok;
    }
    SSL* ssl = (SSL*)X509_STORE_CTX_get_ex_data(x_ctx, idx);
    if (!ssl) {
        EST_LOG_ERR("NULL pointer retrieved for SSL session pointer from X509 ctx ex_data");
        return ok;
    }
    est_context* ctx = (est_context*)SSL_get_ex_data(ssl, g_est_ssl_ex_index);
    if (!ctx) {
        EST_LOG_ERR("NULL pointer retrieved for EST context from SSL ex_data");
        return ok;
    }
    switch (err) {
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        // No application verify hook exists in this client.
        EST_LOG_WARN("NO EST client application server cert verify function registered\n");
        if (err == X509_V_ERR_UNABLE_TO_GET_CRL) {
            EST_LOG_WARN("No CRL loaded, TLS peer will be allowed.");
            return 1;
        }
        return 0;
    default:
        EST_LOG_ERR("Certificate verify failed (reason = %d) (%s)", err,
                    X509_verify_cert_error_string(err));
        return 0;
    }
}

bool is_ip_literal(const char* host)
{
    unsigned char buf[16];
    return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

}  // namespace

int est_ssl_ex_index(void)
{
    est_tls_global_init();
    return g_est_ssl_ex_index;
}

namespace {

// The trust anchors decoded last, by their PEM text. Decoding a certificate
// costs about as much as the client's side of a handshake, and an agent enrols
// with the same anchors every time. Decoded certificates and CRLs are never
// changed, so the stores of several contexts may hold the same ones. Kept for
// the life of the process (freeing them at exit could follow the library's own
// clean-up).
struct DecodedAnchors {
    std::string pem;
    STACK_OF(X509_INFO)* infos = nullptr;
};
std::mutex g_anchors_mutex;
DecodedAnchors* g_anchors = nullptr;

// The certificates and CRLs in `certs`, or null when it holds no PEM at all.
// Called with g_anchors_mutex held; the cache keeps ownership.
STACK_OF(X509_INFO)* est_decode_anchors(const unsigned char* certs, int certs_len)
{
    if (g_anchors && g_anchors->pem.size() == (size_t)certs_len &&
        memcmp(g_anchors->pem.data(), certs, (size_t)certs_len) == 0) {
        return g_anchors->infos;
    }
    BIO* in = BIO_new_mem_buf(certs, certs_len);
    if (!in) {
        EST_LOG_ERR("Unable to open the raw CA cert buffer\n");
        est_log_ossl_errors();
        return nullptr;
    }
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    if (!infos) {
        EST_LOG_ERR("Unable to read PEM encoded certs from BIO");
        est_log_ossl_errors();
        return nullptr;
    }
    ERR_clear_error();  // the PEM reader leaves an end-of-data mark
    if (!g_anchors) {
        g_anchors = new DecodedAnchors;
    }
    sk_X509_INFO_pop_free(g_anchors->infos, X509_INFO_free);
    g_anchors->pem.assign((const char*)certs, (size_t)certs_len);
    g_anchors->infos = infos;
    return infos;
}

}  // namespace

int est_load_trusted_certs(est_context* ctx, const unsigned char* certs, int certs_len)
{
    X509_STORE* store = X509_STORE_new();
    if (!store) {
        EST_LOG_ERR("Unable to allocate combined cert store");
        est_log_ossl_errors();
        return EST_ERR_LOAD_TRUST_CERTS;
    }
    X509_STORE_set_verify_cb(store, est_store_verify_cb);
    if (certs) {
        std::lock_guard<std::mutex> lock(g_anchors_mutex);
        STACK_OF(X509_INFO)* infos = est_decode_anchors(certs, certs_len);
        if (!infos) {
            X509_STORE_free(store);
            return EST_ERR_LOAD_TRUST_CERTS;
        }
        int cert_count = 0;
        for (int i = 0; i < sk_X509_INFO_num(infos); i++) {
            X509_INFO* info = sk_X509_INFO_value(infos, i);
            if (info->x509) {
                char subject[256];
                X509_NAME_oneline(X509_get_subject_name(info->x509), subject, sizeof subject);
                EST_LOG_INFO("Cert being added to trust store: %s ", subject);
                X509_STORE_add_cert(store, info->x509);
                cert_count++;
            }
            if (info->crl) {
                EST_LOG_INFO("Adding CRL to store");
                X509_STORE_add_crl(store, info->crl);
            }
        }
        if (cert_count == 0) {
            EST_LOG_ERR("Cert count is zero for store");
            X509_STORE_free(store);
            return EST_ERR_NO_CERTS_FOUND;
        }
    }
    ctx->trusted_certs_store = store;
    return EST_ERR_NONE;
}

namespace {

std::mutex g_shared_ssl_ctx_mutex;
SSL_CTX* g_shared_ssl_ctx = nullptr;  // made once, never changed afterwards

// The TLS settings every enrolment uses; nothing in them depends on the
// context, so one TLS context serves them all. Making one costs more than the
// client's side of a handshake (algorithm and cipher tables are fetched anew).
int est_make_ssl_ctx(SSL_CTX** out)
{
    SSL_CTX* s_ctx = SSL_CTX_new(TLS_client_method());
    if (!s_ctx) {
        EST_LOG_ERR("Failed to obtain a new SSL Context\n");
        est_log_ossl_errors();
        return EST_ERR_SSL_CTX_NEW;
    }
    long options = SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1;
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
    // A server that closes without close_notify ends the response, as a read of
    // 0 did with the 1.1 library.
    options |= SSL_OP_IGNORE_UNEXPECTED_EOF;
#endif
    SSL_CTX_set_options(s_ctx, options);
    if (!SSL_CTX_set_cipher_list(s_ctx, "ALL:!aNULL:!eNULL:!SSLv2:!EXPORT:!SRP")) {
        EST_LOG_ERR("Failed to set SSL cipher suites\n");
        est_log_ossl_errors();
        SSL_CTX_free(s_ctx);
        return EST_ERR_SSL_CIPHER_LIST;
    }
    SSL_CTX_set_verify(s_ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                       est_client_cert_verify_cb);
    X509_VERIFY_PARAM* vpm = X509_VERIFY_PARAM_new();
    if (!vpm) {
        EST_LOG_ERR("Unable to allocate a verify parameter structure");
        est_log_ossl_errors();
        SSL_CTX_free(s_ctx);
        return EST_ERR_MALLOC;
    }
    X509_VERIFY_PARAM_set_flags(vpm, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    X509_VERIFY_PARAM_set_depth(vpm, 7);
    X509_VERIFY_PARAM_set_purpose(vpm, X509_PURPOSE_SSL_SERVER);
    SSL_CTX_set1_param(s_ctx, vpm);
    X509_VERIFY_PARAM_free(vpm);
    *out = s_ctx;
    return EST_ERR_NONE;
}

}  // namespace

int est_client_init_ssl_ctx(est_context* ctx)
{
    EST_LOG_INFO("%s (API level %d)", EST_CLIENT_VERSION_TEXT, 4);
    EST_LOG_INFO("Compiled against %s", OPENSSL_VERSION_TEXT);
    EST_LOG_INFO("Linking to %s", OpenSSL_version(OPENSSL_VERSION));
    est_tls_global_init();
    std::lock_guard<std::mutex> lock(g_shared_ssl_ctx_mutex);
    if (!g_shared_ssl_ctx) {
        int rv = est_make_ssl_ctx(&g_shared_ssl_ctx);
        if (rv != EST_ERR_NONE) {
            return rv;
        }
    }
    SSL_CTX_up_ref(g_shared_ssl_ctx);
    ctx->ssl_ctx = g_shared_ssl_ctx;
    return EST_ERR_NONE;
}

int est_use_trust_store(est_context* ctx, SSL* ssl)
{
    // The context's own anchors and CRLs verify the server, in place of the
    // shared TLS context's (empty) store.
    if (ctx->trusted_certs_store && !SSL_set1_verify_cert_store(ssl, ctx->trusted_certs_store)) {
        EST_LOG_ERR("Unable to attach the trust store to the TLS connection");
        est_log_ossl_errors();
        return EST_ERR_SSL_NEW;
    }
    return EST_ERR_NONE;
}

int est_host_pattern_match(const char* pattern, const char* hostname)
{
    if (!pattern || !*pattern || !hostname || !*hostname) {
        return 0;
    }
    if (strcasecmp(pattern, hostname) == 0) {
        return 1;
    }
    const char* star = strchr(pattern, '*');
    if (!star || strchr(star + 1, '*') || is_ip_literal(hostname)) {
        return 0;
    }
    const char* pattern_dot = strchr(pattern, '.');
    if (!pattern_dot || pattern_dot < star || !strchr(pattern_dot + 1, '.')) {
        return 0;
    }
    if (strncasecmp(pattern, "xn--", 4) == 0) {
        return 0;
    }
    const char* host_dot = strchr(hostname, '.');
    if (!host_dot || strcasecmp(pattern_dot, host_dot) != 0) {
        return 0;
    }
    size_t pattern_label = (size_t)(pattern_dot - pattern);
    size_t host_label = (size_t)(host_dot - hostname);
    if (host_label < pattern_label) {
        return 0;
    }
    size_t prefix = (size_t)(star - pattern);
    size_t suffix = (size_t)(pattern_dot - star - 1);
    if (strncasecmp(pattern, hostname, prefix) != 0 ||
        strncasecmp(star + 1, host_dot - suffix, suffix) != 0) {
        return 0;
    }
    return 1;
}

// subjectAltName check: 1 matched, 0 names present but none matched, -1 no DNS
// or IP names at all.
static int est_check_san(X509* peer, const char* server)
{
    unsigned char addr[16];
    int addr_len = 0;
    if (inet_pton(AF_INET, server, addr) == 1) {
        addr_len = 4;
    } else if (inet_pton(AF_INET6, server, addr) == 1) {
        addr_len = 16;
    }
    GENERAL_NAMES* names = (GENERAL_NAMES*)X509_get_ext_d2i(peer, NID_subject_alt_name, nullptr, nullptr);
    if (!names) {
        return -1;
    }
    int count = sk_GENERAL_NAME_num(names);
    EST_LOG_INFO("Found %d SubjectAlternateNames", count);
    bool seen = false;
    bool matched = false;
    for (int i = 0; i < count && !matched; i++) {
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
        if (gn->type == GEN_DNS) {
            seen = true;
            const char* dns = (const char*)ASN1_STRING_get0_data(gn->d.dNSName);
            int len = ASN1_STRING_length(gn->d.dNSName);
            EST_LOG_INFO("Checking FQDN against SAN %.*s", len, dns);
            if ((size_t)len == strnlen(dns, (size_t)len + 1) && est_host_pattern_match(dns, server)) {
                matched = true;
            }
        } else if (gn->type == GEN_IPADD) {
            seen = true;
            int len = ASN1_STRING_length(gn->d.iPAddress);
            if (addr_len && len == addr_len &&
                memcmp(ASN1_STRING_get0_data(gn->d.iPAddress), addr, (size_t)addr_len) == 0) {
                matched = true;
            }
        }
    }
    GENERAL_NAMES_free(names);
    if (matched) {
        EST_LOG_INFO("subjectAltName: %s matched\n", server);
        return 1;
    }
    if (seen) {
        EST_LOG_ERR("subjectAltName does not match %s\n", server);
        return 0;
    }
    return -1;
}

static int est_check_cn(X509* peer, const char* server)
{
    X509_NAME* subject = X509_get_subject_name(peer);
    int idx = -1;
    for (int next = -1; subject && (next = X509_NAME_get_index_by_NID(subject, NID_commonName, idx)) >= 0;) {
        idx = next;
    }
    if (idx < 0) {
        EST_LOG_ERR("SSL: unable to obtain common name from peer certificate");
        return EST_ERR_FQDN_MISMATCH;
    }
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, idx));
    unsigned char* cn = nullptr;
    int len = ASN1_STRING_to_UTF8(&cn, data);
    if (len < 0 || !cn) {
        EST_LOG_ERR("SSL: unable to obtain common name from peer certificate");
        return EST_ERR_FQDN_MISMATCH;
    }
    int rv = EST_ERR_FQDN_MISMATCH;
    if ((size_t)len != strlen((const char*)cn)) {
        EST_LOG_ERR("SSL: illegal cert name field");
    } else if (est_host_pattern_match((const char*)cn, server)) {
        EST_LOG_INFO("common name: %s (matched)", cn);
        rv = EST_ERR_NONE;
    } else {
        EST_LOG_ERR("SSL: FQDN hostname mismatch in server certificate, '%s' does not match target host name '%s'",
                    cn, server);
    }
    OPENSSL_free(cn);
    return rv;
}

int est_client_check_fqdn(est_context* ctx, SSL* ssl)
{
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    X509* peer = SSL_get1_peer_certificate(ssl);
#else
    X509* peer = SSL_get_peer_certificate(ssl);
#endif
    if (!peer) {
        EST_LOG_ERR("Unable to perform FQDN check, no peer certificate.");
        return EST_ERR_FQDN_MISMATCH;
    }
    int rv;
    int san = est_check_san(peer, ctx->est_server);
    if (san == 1) {
        rv = EST_ERR_NONE;
    } else if (san == 0) {
        rv = EST_ERR_FQDN_MISMATCH;
    } else {
        rv = est_check_cn(peer, ctx->est_server);
    }
    X509_free(peer);
    return rv;
}
