// Certificate enrolment glue: builds the CSR for the endpoint's key pair,
// authenticates with a password or a signature of the endpoint GUID, enrols
// through the EST client and checks the issued certificate against the key.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "est/est.h"

constexpr size_t CV_CLOUD_EST_GUID_SIZE = 37;
constexpr size_t CV_CLOUD_EST_NAME_SIZE = 65;

// Outcome classes of an enrolment.
enum cv_cloud_est_result {
    CV_CLOUD_EST_OK = 0,
    CV_CLOUD_EST_FAILED = 1,
    CV_CLOUD_EST_LOCKED = 2,         // HTTP 423
    CV_CLOUD_EST_TLS_FAILED = 3,     // EST_ERR_SSL_CONNECT
    CV_CLOUD_EST_FORBIDDEN = 4,      // HTTP 403
};

struct cv_cloud_est_proxy {
    int in_use;
    int protocol;  // EST client proxy protocol
    char* server;
    uint16_t port;
    char* user;
    char* password;
    unsigned int auth_flags;  // 0, or basic (1) and/or NTLM (8)
};

struct cv_cloud_est_client_ctx {
    const char* server;
    int32_t port;
    char guid[CV_CLOUD_EST_GUID_SIZE];  // 36 characters and a NUL
    const char* password;               // null: the GUID signature is the password
    X509* trust_anchor;                 // when set, its PEM is the trust anchor list
    X509* issued_cert;                  // out: owned by the caller afterwards
    const char* trust_anchors_pem;      // used when trust_anchor is null
    int trust_anchors_len;
    cv_cloud_est_proxy proxy;
    EVP_PKEY* keypair;
    EVP_PKEY* signing_key;  // signs the GUID; the key pair when null
    est_log_sink_fn log_sink;  // EST log sink; the standard-error writer when null
    est_abort abort;           // may give up the enrolment's waits on the server (a stop)
};

struct cv_cloud_est_client_ctx_v2 {
    char username[CV_CLOUD_EST_NAME_SIZE];
    char org[CV_CLOUD_EST_NAME_SIZE];
    cv_cloud_est_client_ctx ctx;
};

// GUID identity: user name = GUID, no organisation.
int cv_cloud_est_enrollment(cv_cloud_est_client_ctx* client_ctx, int* est_err);
// User name and organisation.
int cv_cloud_est_enrollment_v2(cv_cloud_est_client_ctx_v2* client_ctx_v2, int* est_err);
int _est_enrollment(const char* username, const char* org, cv_cloud_est_client_ctx* ctx, int* est_err);

// Signs the 36 characters of the GUID with the key (raw key signature, no
// digest step) and returns the signature in base64 (*signature, caller frees).
// 0 on success, -1 on failure.
int sign_guid(char** signature, const char* guid, EVP_PKEY* key);
// Certificate to NUL-terminated PEM text (*pem, caller frees) and its length.
// 0 on success, -1 on failure.
int est_client_x509_to_pem(X509* cert, char** pem, int* pem_len);
// Bytes to NUL-terminated base64 without line breaks (caller frees); null on failure.
char* encode_b64_str(const unsigned char* data, size_t len);
