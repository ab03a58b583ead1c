#include "cloud/cv_cloud_est.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "cloud/cv_cloud_lock.h"

namespace {

struct ReqFree {
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
};
struct EstCtxFree {
    void operator()(est_context* p) const { est_context_free(p); }
};
// Secret text (the GUID signature): wiped before it is freed.
struct SecretFree {
    void operator()(char* p) const
    {
        if (p) {
            OPENSSL_cleanse(p, strlen(p));
            free(p);
        }
    }
};

const char* ossl_error_text()
{
    unsigned long e = ERR_peek_last_error();
    return e ? ERR_reason_error_string(e) ? ERR_reason_error_string(e) : "unknown" : "none";
}

// Writes and clears OpenSSL's error queue.
void dump_ssl_errors()
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) {
        cv_log_error("  Could not dump SSL errors (BIO_new failed)");
        return;
    }
    ERR_print_errors(bio);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    if (len > 0 && data) {
        cv_log_error("  SSL error details: %.*s", (int)len, data);
    }
    BIO_free(bio);
}

bool has_nul(const char* buf, size_t size)
{
    return memchr(buf, '\0', size) != nullptr;
}

X509_REQ* build_csr(const char* username, const char* org, EVP_PKEY* keypair, int* err)
{
    X509_REQ* req = X509_REQ_new();
    if (!req) {
        cv_log_error("CSR generation failed with error %s", ossl_error_text());
        *err = EST_ERR_MALLOC;
        return nullptr;
    }
    X509_NAME* subject = X509_NAME_new();
    bool ok = subject && X509_REQ_set_version(req, 0) == 1;
    if (ok && org[0] &&
        !X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC, (const unsigned char*)org, -1, -1, 0)) {
        cv_log_error("Could not add O to CSR subject");
        ok = false;
    }
    if (ok && !X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, (const unsigned char*)username, -1,
                                          -1, 0)) {
        cv_log_error("Could not add CN to CSR subject");
        ok = false;
    }
    if (ok && X509_REQ_set_subject_name(req, subject) != 1) {
        cv_log_error("Could not set issuer name");
        ok = false;
    }
    ok = ok && X509_REQ_set_pubkey(req, keypair) == 1;
    X509_NAME_free(subject);
    if (!ok) {
        cv_log_error("CSR generation failed with error %s", ossl_error_text());
        dump_ssl_errors();
        X509_REQ_free(req);
        *err = EST_ERR_BAD_PKCS10;
        return nullptr;
    }
    return req;
}

// The first certificate of a base64 PKCS#7 bundle.
X509* p7b64_to_x509(const unsigned char* p7, int p7_len)
{
    unsigned char* pem = nullptr;
    int pem_len = est_convert_p7b64_to_pem(p7, p7_len, &pem);
    if (pem_len <= 0) {
        cv_log_error("Failed to convert base 64 encoded PKCS7 to PEM");
        free(pem);
        return nullptr;
    }
    X509* cert = nullptr;
    BIO* bio = BIO_new_mem_buf(pem, pem_len);
    if (!bio) {
        cv_log_error("Failed to create bio from PEM encoded certificate");
    } else {
        cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        if (!cert) {
            cv_log_error("Unable to convert the certificate to an X509 certificate");
        }
        BIO_free(bio);
    }
    free(pem);
    return cert;
}

int outcome_of(int est_rv, int http_status)
{
    if (http_status == 423) return CV_CLOUD_EST_LOCKED;
    if (http_status == 403) return CV_CLOUD_EST_FORBIDDEN;
    if (est_rv == EST_ERR_SSL_CONNECT) return CV_CLOUD_EST_TLS_FAILED;
    return CV_CLOUD_EST_FAILED;
}

}  // namespace

char* encode_b64_str(const unsigned char* data, size_t len)
{
    if (!data || len > (size_t)INT32_MAX / 2) {
        return nullptr;
    }
    size_t size = 4 * ((len + 2) / 3) + 1;
    char* out = (char*)malloc(size);
    if (!out) {
        return nullptr;
    }
    int n = EVP_EncodeBlock((unsigned char*)out, data, (int)len);
    if (n < 0 || (len > 0 && n == 0)) {
        free(out);
        return nullptr;
    }
    out[n] = '\0';
    return out;
}

int est_client_x509_to_pem(X509* cert, char** pem, int* pem_len)
{
    if (!cert || !pem || !pem_len) {
        return -1;
    }
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) {
        return -1;
    }
    int rv = -1;
    char* data = nullptr;
    if (PEM_write_bio_X509(bio, cert) == 1) {
        long len = BIO_get_mem_data(bio, &data);
        char* copy = len > 0 ? (char*)malloc((size_t)len + 1) : nullptr;
        if (copy) {
            memcpy(copy, data, (size_t)len);
            copy[len] = '\0';
            *pem = copy;
            *pem_len = (int)len;
            rv = 0;
        }
    }
    BIO_free(bio);
    return rv;
}

int sign_guid(char** signature, const char* guid, EVP_PKEY* key)
{
    if (!signature || !guid || !key) {
        cv_log_error("Invalid parameters into %s()", "sign_guid");
        return -1;
    }
    *signature = nullptr;
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
    if (!pctx) {
        cv_log_error("Could not create new EVP PKEY context");
        return -1;
    }
    int rv = -1;
    size_t sig_len = 0;
    unsigned char* sig = nullptr;
    const size_t guid_len = 36;
    if (EVP_PKEY_sign_init(pctx) != 1) {
        cv_log_error("Could not initialize the EVP PKEY context");
    } else if (EVP_PKEY_sign(pctx, nullptr, &sig_len, (const unsigned char*)guid, guid_len) != 1) {
        cv_log_error("Could not determine the length of the GUID signature");
    } else if (!(sig = (unsigned char*)malloc(sig_len))) {
        cv_log_error("Could not malloc the memory for the GUID signature");
    } else if (EVP_PKEY_sign(pctx, sig, &sig_len, (const unsigned char*)guid, guid_len) != 1) {
        cv_log_error("Could not determine the length of the GUID signature");
    } else if (!(*signature = encode_b64_str(sig, sig_len))) {
        cv_log_error("Could not convert GUID Signature to base 64 encoding");
    } else {
        rv = 0;
    }
    if (sig) {
        OPENSSL_cleanse(sig, sig_len);
        free(sig);
    }
    EVP_PKEY_CTX_free(pctx);
    return rv;
}

namespace {

// The caller's abort check as the EST client sees it: honoured until the
// connection that carries the enrolment request is open. Once the request may
// have been sent the server may issue a certificate for it, and dropping the
// answer would leave the GUID enrolled without one (the next request gets 423
// and a new GUID); so the answer is awaited, within the client's read time-out.
struct enrolment_abort {
    est_abort outer;
    const est_context* est;
};

bool abort_before_request(void* arg)
{
    const auto* abort = static_cast<const enrolment_abort*>(arg);
    if (abort->est->connection_open) {
        return false;
    }
    return abort->outer.fn(abort->outer.arg);
}

}  // namespace

int _est_enrollment(const char* username, const char* org, cv_cloud_est_client_ctx* ctx, int* est_err)
{
    int err = EST_ERR_NONE;
    int result = CV_CLOUD_EST_FAILED;
    auto finish = [&](int res, int code) {
        if (est_err) *est_err = code;
        return res;
    };
    if (!username || !org || !ctx) {
        cv_log_error("Invalid parameters into %s()", __func__);
        return finish(CV_CLOUD_EST_FAILED, EST_ERR_INVALID_PARAMETERS);
    }
    ctx->issued_cert = nullptr;

    est_set_log_sink(ctx->log_sink ? ctx->log_sink : est_log_stderr_sink);
    est_set_log_level(EST_LOG_LVL_INFO);

    // Trust anchors.
    std::unique_ptr<char, decltype(&free)> anchor_pem(nullptr, free);
    const char* anchors = ctx->trust_anchors_pem;
    int anchors_len = ctx->trust_anchors_len;
    if (ctx->trust_anchor) {
        char* pem = nullptr;
        int pem_len = 0;
        if (est_client_x509_to_pem(ctx->trust_anchor, &pem, &pem_len) != 0) {
            cv_log_error("Failed to convert x509 certificate to PEM with error %s", ossl_error_text());
            return finish(CV_CLOUD_EST_FAILED, EST_ERR_LOAD_TRUST_CERTS);
        }
        anchor_pem.reset(pem);
        anchors = pem;
        anchors_len = pem_len;
    }

    // Credentials.
    std::unique_ptr<char, SecretFree> signature;
    const char* password = ctx->password;
    if (!password) {
        if (strnlen(username, CV_CLOUD_EST_NAME_SIZE) != 36) {
            cv_log_error("%s(): No password for username that isn't a GUID (%s)", __func__, username);
            return finish(CV_CLOUD_EST_FAILED, EST_ERR_INVALID_PARAMETERS);
        }
        char* sig = nullptr;
        if (sign_guid(&sig, username, ctx->signing_key ? ctx->signing_key : ctx->keypair) != 0) {
            cv_log_error("Failed to sign the GUID for http auth");
            return finish(CV_CLOUD_EST_FAILED, EST_ERR_HTTP_CANNOT_BUILD_HEADER);
        }
        signature.reset(sig);
        password = sig;
    }

    // EST context.
    std::unique_ptr<est_context, EstCtxFree> est(
        est_client_init((const unsigned char*)anchors, anchors ? anchors_len : 0));
    bool ready = false;
    enrolment_abort abort {ctx->abort, est.get()};
    if (!est) {
        cv_log_error("Unable to initialize EST context.  Aborting!!!");
    } else if ((err = est_client_set_auth(est.get(), username, password)) != EST_ERR_NONE) {
        cv_log_error("Unable to configure client authentication");
        cv_log_error("EST error code %d (%s)", err, est_err_name(err));
    } else {
        // Credentials go with the first request.
        est->auth_mode = AUTH_BASIC;
        if ((err = est_client_set_target(est.get(), ctx->server, ctx->port)) != EST_ERR_NONE) {
            cv_log_error("Failed to set the EST server (%s) or port (%d) on the EST context with EST error code %d (%s)",
                         ctx->server ? ctx->server : "(null)", ctx->port, err, est_err_name(err));
        } else if (ctx->proxy.in_use &&
                   (err = est_client_use_proxy(est.get(), ctx->proxy.protocol, ctx->proxy.server, ctx->proxy.port,
                                               ctx->proxy.auth_flags, ctx->proxy.user, ctx->proxy.password)) !=
                       EST_ERR_NONE) {
            cv_log_error("Failed to set the proxy on the EST context. EST error code %d (%s)", err,
                         est_err_name(err));
        } else {
            est_client_set_abort(est.get(), ctx->abort.fn ? abort_before_request : nullptr, &abort);
            ready = true;
        }
    }
    if (!ready) {
        cv_log_error("Unable to initialize EST client context");
        return finish(CV_CLOUD_EST_FAILED, EST_ERR_NO_CTX);
    }

    // CSR and enrolment.
    std::unique_ptr<X509_REQ, ReqFree> csr(build_csr(username, org, ctx->keypair, &err));
    if (!csr) {
        return finish(CV_CLOUD_EST_FAILED, err);
    }
    int p7_len = 0;
    err = est_client_enroll_csr(est.get(), csr.get(), &p7_len, ctx->keypair);
    int status = est->last_http_status;
    if (err != EST_ERR_NONE || status != 200) {
        cv_log_error("EST enrollment failed with error %s and http status: %d", est_err_name(err), status);
        return finish(outcome_of(err, status), err != EST_ERR_NONE ? err : EST_ERR_UNKNOWN);
    }
    std::unique_ptr<unsigned char, decltype(&free)> p7((unsigned char*)malloc((size_t)p7_len + 1), free);
    if (!p7) {
        cv_log_error("Failed to allocate memory for the newly provisioned cert");
        return finish(CV_CLOUD_EST_FAILED, EST_ERR_MALLOC);
    }
    if ((err = est_client_copy_enrolled_cert(est.get(), p7.get())) != EST_ERR_NONE) {
        cv_log_error("Failed to copy new cert with code %d (%s)", err, est_err_name(err));
        return finish(CV_CLOUD_EST_FAILED, err);
    }
    p7.get()[p7_len] = '\0';
    X509* cert = p7b64_to_x509(p7.get(), p7_len);
    if (!cert) {
        cv_log_error("Failed to convert base 64 encoded PKCS7 to X509");
        return finish(CV_CLOUD_EST_FAILED, EST_ERR_BAD_X509);
    }
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    bool same_key = EVP_PKEY_eq(X509_get0_pubkey(cert), ctx->keypair) == 1;
#else
    bool same_key = EVP_PKEY_cmp(X509_get0_pubkey(cert), ctx->keypair) == 1;
#endif
    if (!same_key) {
        cv_log_error("the public key of the returned certificate does not match the keypair we used to create the Certificate Signing Request");
        X509_free(cert);
        return finish(CV_CLOUD_EST_FAILED, EST_ERR_CLIENT_INVALID_KEY);
    }
    ctx->issued_cert = cert;
    result = CV_CLOUD_EST_OK;
    return finish(result, EST_ERR_NONE);
}

int cv_cloud_est_enrollment(cv_cloud_est_client_ctx* client_ctx, int* est_err)
{
    if (!client_ctx) {
        cv_log_error("%s(): NULL client_ctx argument", __func__);
        if (est_err) *est_err = EST_ERR_INVALID_PARAMETERS;
        return CV_CLOUD_EST_FAILED;
    }
    if (!has_nul(client_ctx->guid, sizeof client_ctx->guid)) {
        cv_log_error("%s(): invalid data in 'guid' buffer", __func__);
        if (est_err) *est_err = EST_ERR_INVALID_PARAMETERS;
        return CV_CLOUD_EST_FAILED;
    }
    return _est_enrollment(client_ctx->guid, "", client_ctx, est_err);
}

int cv_cloud_est_enrollment_v2(cv_cloud_est_client_ctx_v2* client_ctx_v2, int* est_err)
{
    if (!client_ctx_v2) {
        cv_log_error("%s(): NULL client_ctx_v2 argument", __func__);
        if (est_err) *est_err = EST_ERR_INVALID_PARAMETERS;
        return CV_CLOUD_EST_FAILED;
    }
    if (!has_nul(client_ctx_v2->username, sizeof client_ctx_v2->username) ||
        !has_nul(client_ctx_v2->org, sizeof client_ctx_v2->org)) {
        cv_log_error("%s(): invalid data in 'username' or 'org' buffer", __func__);
        if (est_err) *est_err = EST_ERR_INVALID_PARAMETERS;
        return CV_CLOUD_EST_FAILED;
    }
    return _est_enrollment(client_ctx_v2->username, client_ctx_v2->org, &client_ctx_v2->ctx, est_err);
}
