// The EST enrolment client: one context per enrolment, plain functions with
// EST_ERR_* results. Only the client side of simpleenroll exists.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdarg>
#include <cstdint>

#include "est/est_transport.h"

#define EST_CLIENT_VERSION_TEXT "dtk EST client 1.0"

// Error codes; est_err_strings holds their names, indexed by code.
#define FOREACH_EST_ERROR(E)                                                                       \
    E(EST_ERR_NONE) E(EST_ERR_NO_CTX) E(EST_ERR_NO_CSR) E(EST_ERR_NO_CERT) E(EST_ERR_NO_KEY)       \
    E(EST_ERR_INVALID_PARAMETERS) E(EST_ERR_LOAD_CACERTS) E(EST_ERR_LOAD_TRUST_CERTS)              \
    E(EST_ERR_BAD_MODE) E(EST_ERR_BAD_PKCS10) E(EST_ERR_HTTP_WRITE) E(EST_ERR_HTTP_UNSUPPORTED)    \
    E(EST_ERR_HTTP_CANNOT_BUILD_HEADER) E(EST_ERR_HTTP_BAD_REQ) E(EST_ERR_HTTP_NOT_FOUND)          \
    E(EST_ERR_HTTP_NO_CONTENT) E(EST_ERR_HTTP_FORBIDDEN) E(EST_ERR_HTTP_LOCKED)                    \
    E(EST_ERR_HTTP_INVALID_PATH_SEGMENT) E(EST_ERR_HTTP_PATH_SEGMENT_NOT_SUPPORTED)                \
    E(EST_ERR_BAD_CONTENT_TYPE) E(EST_ERR_BAD_CONTENT_LEN) E(EST_ERR_NO_SSL_CTX)                   \
    E(EST_ERR_AUTH_FAIL) E(EST_ERR_AUTH_FAIL_TLSUID) E(EST_ERR_AUTH_PENDING)                        \
    E(EST_ERR_CA_ENROLL_FAIL) E(EST_ERR_CA_ENROLL_RETRY) E(EST_ERR_WRONG_METHOD)                    \
    E(EST_ERR_X509_SIGN) E(EST_ERR_X509_VER) E(EST_ERR_X509_CN) E(EST_ERR_X509_ATTR)               \
    E(EST_ERR_X509_PUBKEY) E(EST_ERR_MALLOC) E(EST_ERR_SSL_WRITE) E(EST_ERR_SSL_READ)              \
    E(EST_ERR_SSL_NEW) E(EST_ERR_SSL_CTX_NEW) E(EST_ERR_SSL_CONNECT) E(EST_ERR_SSL_CIPHER_LIST)    \
    E(EST_ERR_PEM_READ) E(EST_ERR_NULL_CALLBACK) E(EST_ERR_IP_GETADDR) E(EST_ERR_IP_CONNECT)       \
    E(EST_ERR_INVALID_SERVER_NAME) E(EST_ERR_INVALID_PORT_NUM) E(EST_ERR_CLIENT_INVALID_KEY)       \
    E(EST_ERR_CLIENT_NOT_INITIALIZED) E(EST_ERR_ZERO_LENGTH_BUF) E(EST_ERR_READ_BUFFER_TOO_SMALL)  \
    E(EST_ERR_BUF_EXCEEDS_MAX_LEN) E(EST_ERR_NO_CERTIFICATE) E(EST_ERR_NO_CERTS_FOUND)             \
    E(EST_ERR_FQDN_MISMATCH) E(EST_ERR_SYSCALL) E(EST_ERR_CSR_ALREADY_SIGNED)                      \
    E(EST_ERR_CSR_ATTR_MISSING) E(EST_ERR_INVALID_DIGEST) E(EST_ERR_CACERT_VERIFICATION)           \
    E(EST_ERR_INVALID_TOKEN) E(EST_ERR_INVALID_RETRY_VALUE) E(EST_ERR_BAD_X509)                    \
    E(EST_ERR_BAD_BASE64) E(EST_ERR_BAD_ASN1_HEX) E(EST_ERR_BAD_ASN1_HEX_TOO_SHORT)                \
    E(EST_ERR_BAD_ASN1_HEX_TOO_LONG) E(EST_ERR_SRP_STRENGTH_LOW) E(EST_ERR_SRP_USERID_BAD)         \
    E(EST_ERR_SRP_PWD_BAD) E(EST_ERR_CB_FAILED) E(EST_ERR_CLIENT_PROXY_MODE_NOT_SUPPORTED)         \
    E(EST_ERR_INVALID_CLIENT_PROXY_PROTOCOL) E(EST_ERR_INVALID_CLIENT_PROXY_AUTH) E(EST_ERR_UNKNOWN)

#define EST_ENUM_ENTRY(name) name,
enum EST_ERROR { FOREACH_EST_ERROR(EST_ENUM_ENTRY) EST_ERR_LAST };
#undef EST_ENUM_ENTRY

extern const char* const est_err_strings[EST_ERR_LAST];
// Name of a code; "EST_ERR_UNKNOWN" for values outside the enumeration.
const char* est_err_name(int err);

// Limits.
constexpr int EST_MAX_SERVERNAME_LEN = 255;
constexpr int EST_MAX_UID_LEN = 255;
constexpr int EST_MAX_PWD_LEN = 255;
constexpr int EST_MAX_REALM = 255;
constexpr int EST_MAX_NONCE_LEN = 64;
constexpr int EST_MAX_TOKEN_LEN = 512;
constexpr int EST_HTTP_REQ_HDR_LIMIT = 1024;
constexpr int EST_HTTP_REQ_DATA_LIMIT = 4096;
constexpr int EST_HTTP_REQ_TOTAL_LEN = EST_HTTP_REQ_HDR_LIMIT + EST_HTTP_REQ_DATA_LIMIT + 5;
constexpr int EST_CA_MAX = 2000000;
constexpr int EST_MAX_CONTENT_LEN = 2000000;
constexpr int EST_SSL_READ_TIMEOUT_DEF = 10;

enum est_mode { EST_CLIENT = 1 };

enum EST_HTTP_AUTH_MODE {
    AUTH_NONE = 0,
    AUTH_BASIC = 1,
    AUTH_DIGEST = 2,
    AUTH_TOKEN = 3,
    AUTH_FAIL = 4,
};

enum EST_CLIENT_PROXY_PROTO {
    EST_CLIENT_PROXY_HTTP_NOTUNNEL = 0,
    EST_CLIENT_PROXY_HTTP_TUNNEL = 1,
    EST_CLIENT_PROXY_SOCKS4 = 4,
    EST_CLIENT_PROXY_SOCKS5 = 5,
    EST_CLIENT_PROXY_SOCKS4A = 6,
    EST_CLIENT_PROXY_SOCKS5_HOSTNAME = 7,
};

enum { EST_CLIENT_PROXY_AUTH_BASIC = 1, EST_CLIENT_PROXY_AUTH_NTLM = 8 };

// What the credentials hook is asked for and fills in. Wiped before release.
struct EST_HTTP_AUTH_HDR {
    int mode;
    char user[EST_MAX_UID_LEN + 1];
    char pwd[EST_MAX_PWD_LEN + 1];
    char uri[273];
    char cnonce[EST_MAX_NONCE_LEN + 1];
    char qop[11];
    char nc[10];
    char nonce[EST_MAX_NONCE_LEN + 1];
    char response[EST_MAX_NONCE_LEN + 1];
    char auth_token[EST_MAX_TOKEN_LEN + 2];  // one spare byte to tell a too long token
};
enum { EST_HTTP_AUTH_CRED_SUCCESS = 1, EST_HTTP_AUTH_CRED_NOT_AVAILABLE = 2 };
typedef int (*est_auth_credentials_fn)(EST_HTTP_AUTH_HDR* auth_credentials);

struct est_context {
    int est_mode;
    unsigned char* enrolled_client_cert;
    int enrolled_client_cert_len;
    X509_STORE* trusted_certs_store;
    SSL_CTX* ssl_ctx;
    char realm[EST_MAX_REALM];
    char token_error[EST_MAX_REALM];
    char token_error_desc[EST_MAX_REALM];
    char est_server[EST_MAX_SERVERNAME_LEN];
    int est_port_num;
    char* uri_path_segment;
    int auth_mode;
    X509* client_cert;
    EVP_PKEY* client_key;
    est_auth_credentials_fn auth_credentials_cb;
    char userid[EST_MAX_UID_LEN + 1];
    char password[EST_MAX_PWD_LEN + 1];
    char s_nonce[EST_MAX_NONCE_LEN + 1];
    char c_nonce[EST_MAX_NONCE_LEN + 1];
    SSL_SESSION* sess;
    int read_timeout;
    const EVP_MD* signing_digest;
    int retry_after_delay;
    int use_proxy;
    int proxy_proto;
    char proxy_server[EST_MAX_SERVERNAME_LEN + 1];
    uint16_t proxy_port;
    int proxy_auth;
    char proxy_username[EST_MAX_UID_LEN + 1];
    char proxy_password[EST_MAX_PWD_LEN + 1];
    tcw_connection tcw_conn;
    SSL* ssl;  // TLS connection of the open session
    int connection_open;
    int csr_pop_present;
    int client_force_pop;
    int initialized;
    int last_http_status;
    est_abort abort;  // asked while waiting on the server
};

// Logging. Levels: 1 error, 2 warning, 3 info. Every message is written as two
// calls: the prefix with function and line, then the message itself.
enum est_log_levels { EST_LOG_LVL_ERR = 1, EST_LOG_LVL_WARN = 2, EST_LOG_LVL_INFO = 3 };
typedef void (*est_log_sink_fn)(const char* format, va_list ap);
void est_log_write(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Messages above this level are dropped (default: errors only).
void est_set_log_level(int level);
// Null restores the standard-error writer.
void est_set_log_sink(est_log_sink_fn sink);
// The standard-error writer, for callers that want it explicitly.
void est_log_stderr_sink(const char* format, va_list ap);

#define EST_LOG_AT(lvl, tag, ...)                                                                  \
    do {                                                                                           \
        est_log_write((lvl), "\n***EST [" tag "][%s:%d]--> ", __func__, __LINE__);                 \
        est_log_write((lvl), __VA_ARGS__);                                                         \
    } while (0)
#define EST_LOG_ERR(...) EST_LOG_AT(EST_LOG_LVL_ERR, "ERROR", __VA_ARGS__)
#define EST_LOG_WARN(...) EST_LOG_AT(EST_LOG_LVL_WARN, "WARNING", __VA_ARGS__)
#define EST_LOG_INFO(...) EST_LOG_AT(EST_LOG_LVL_INFO, "INFO", __VA_ARGS__)
// Writes and clears OpenSSL's error queue at warning level.
void est_log_ossl_errors(void);

// The client.
est_context* est_client_init(const unsigned char* ca_chain, int ca_chain_len);
int est_client_set_auth(est_context* ctx, const char* uid, const char* pwd);
int est_client_set_target(est_context* ctx, const char* server, int port);
int est_client_use_proxy(est_context* ctx, int proxy_proto, const char* proxy_server,
                         unsigned short proxy_port, unsigned int proxy_auth,
                         const char* username, const char* password);
// Lets `fn` (null clears it) give up a wait on the server: the handshake or
// the response then fails at once instead of at the read time-out.
int est_client_set_abort(est_context* ctx, est_abort_fn fn, void* arg);
int est_client_enroll_csr(est_context* ctx, X509_REQ* csr, int* pkcs7_len, EVP_PKEY* priv_key);
int est_client_copy_enrolled_cert(est_context* ctx, unsigned char* pkcs7);
int est_convert_p7b64_to_pem(const unsigned char* certs_p7, int certs_len, unsigned char** pem);
int est_context_free(est_context* ctx);
// Ends the TLS session of the context, keeping it for resumption.
void est_client_close_session(est_context* ctx);

// Base64 without line breaks into dst (NUL-terminated); the encoded length, or 0
// when dst is too small.
int est_base64_encode(const unsigned char* src, int src_len, char* dst, int dst_size);
