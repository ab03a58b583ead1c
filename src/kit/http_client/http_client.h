// The kit's HTTP(S) client: one libcurl easy transfer per request, and a shared
// handle holding what every request of one user needs (User-Agent, TLS client
// identity, extra trust roots, proxy, verbose switch, resolve-failure callback).
// Sends are synchronous on the caller's thread.
#pragma once

#include <string>

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

// Proxy types; the values equal libcurl's proxy-type numbers.
enum tessel_proxy_type {
    TESSEL_PROXY_NONE = -1,
    TESSEL_PROXY_HTTP = 0,
    TESSEL_PROXY_HTTPS = 2,
    TESSEL_PROXY_SOCKS4 = 4,
    TESSEL_PROXY_SOCKS5 = 5,
    TESSEL_PROXY_SOCKS4A = 6,
    TESSEL_PROXY_SOCKS5_HOSTNAME = 7,
};

// Proxy authentication methods (bits of `auth`).
enum tessel_proxy_auth {
    TESSEL_PROXY_AUTH_BASIC = 1,
    TESSEL_PROXY_AUTH_NTLM = 8,
};

constexpr size_t TESSEL_PROXY_SERVER_SIZE = 66;

typedef char* (*tessel_proxy_get_password_fn)(void);
typedef void (*tessel_proxy_free_password_fn)(char* password);

// The proxy record shared by the kit and the object layer. Copied as a whole;
// consumers that keep it keep their own copy of `username`. The password is
// fetched through `get_password` each time it is applied and released through
// `free_password` right after.
struct tessel_proxy_t {
    int32_t type;
    char server[TESSEL_PROXY_SERVER_SIZE];
    uint16_t port;
    uint32_t auth;
    char* username;
    tessel_proxy_get_password_fn get_password;
    tessel_proxy_free_password_fn free_password;
    uint8_t allow_toggle;
};

enum http_client_err {
    HTTP_CLIENT_OK = 0,
    HTTP_CLIENT_ERR_FAILED = 1,          // transfer failed otherwise; initial value of a response
    HTTP_CLIENT_ERR_ARGUMENT = 2,        // missing argument; host or proxy name not resolved
    HTTP_CLIENT_ERR_TIMEOUT = 3,         // mode 2 without write function; transfer timed out
    HTTP_CLIENT_ERR_TLS = 4,             // TLS connection could not be established
    HTTP_CLIENT_ERR_CONNECT = 5,         // set-up while in progress; connect, redirects, receive
    HTTP_CLIENT_ERR_SETOPT = 6,          // setting a transfer option failed
    HTTP_CLIENT_ERR_IN_PROGRESS = 8,     // a send is already running on the request
    HTTP_CLIENT_ERR_PROXY = 9,           // the handle's proxy could not be applied
    HTTP_CLIENT_ERR_TOO_LARGE = 10,      // body past the request's body limit, or headers past theirs
    HTTP_CLIENT_ERR_SCHEME = 11,         // a scheme other than https (or what the request allows)
};

enum http_client_write_mode {
    HTTP_CLIENT_WRITE_DISCARD = 0,
    HTTP_CLIENT_WRITE_MEMORY = 1,
    HTTP_CLIENT_WRITE_CALLBACK = 2,
};

constexpr size_t HTTP_CLIENT_USER_AGENT_SIZE = 8192;
// Most bytes a mode 1 or mode 2 body may hold unless the request sets its own limit.
constexpr size_t HTTP_CLIENT_BODY_LIMIT_DEFAULT = size_t{64} << 20;

typedef void (*http_client_resolve_failure_fn)(void* ctx);

// Asked at each of libcurl's progress reports of a transfer (about once a
// second while it stalls, more often while data flows); true aborts it.
typedef bool (*http_client_abort_fn)(void* ctx);
struct http_client_abort {
    http_client_abort_fn fn;  // null: never aborted
    void* ctx;
};

// TLS identity given to a new handle. Any member may be null or zero.
struct http_client_identity {
    X509* client_cert;
    EVP_PKEY* client_keypair;
    X509** trust_certs;
    uint32_t trust_certs_count;
};

struct http_client_handle {
    pthread_mutex_t mutex;
    char user_agent[HTTP_CLIENT_USER_AGENT_SIZE];
    X509* client_cert;
    EVP_PKEY* client_keypair;
    X509** trust_certs;
    uint32_t trust_certs_count;
    uint8_t verbose;
    CURLM* multi;
    tessel_proxy_t proxy;
    char* proxy_username;
    http_client_resolve_failure_fn resolve_failure_cb;
    void* resolve_failure_ctx;
};

struct http_client_header {
    const char* name;
    const char* value;  // may be null: sent as "name:"
};

struct http_client_header_list {
    const http_client_header* fields;
    uint32_t count;
};

struct http_client_request_t {
    pthread_mutex_t mutex;
    CURL* curl;
    curl_slist* headers;
    int32_t write_mode;
    http_client_handle* handle;
    uint8_t in_progress;
    uint8_t progress_set;
    size_t body_limit;
    curl_write_callback write_fn;  // mode 2: the caller's writer, for the next send only
    void* write_data;
    curl_xferinfo_callback progress_fn;  // the caller's, for the next send only
    void* progress_data;
    http_client_abort abort;  // kept across sends
};

struct http_client_response {
    http_client_request_t* request;
    int32_t status;
    int32_t write_mode;
    uint8_t* body;
    size_t body_len;
    size_t body_cap;  // bytes allocated at body
    uint8_t body_failed;
    uint8_t body_too_large;  // with body_failed: the body passed the request's limit
    uint8_t headers_too_large;
    size_t header_len;
    int32_t error;
};

// Null when the User-Agent is empty, too long or holds a control character.
http_client_handle* http_client_handle_new(const char* user_agent, http_client_resolve_failure_fn resolve_failure_cb,
                                           void* resolve_failure_ctx, const http_client_identity* identity);
void http_client_handle_free(http_client_handle* handle);
int http_client_handle_set_proxy(http_client_handle* handle, const tessel_proxy_t* proxy);
// 0, or -1 when an argument is null.
int http_client_handle_set_client_auth(http_client_handle* handle, EVP_PKEY* client_keypair, X509* client_cert);
void http_client_handle_set_verbose(http_client_handle* handle, bool verbose);

// Null when a header name is not a token or a name or value holds a control character.
http_client_request_t* http_client_request_new(http_client_handle* handle, const http_client_header_list* headers);
void http_client_request_free(http_client_request_t* req);
int http_client_request_set_basic_auth(http_client_request_t* req, const char* username, const char* password);
// Most bytes a mode 1 or mode 2 body may hold (kept across sends); a larger
// body fails the send with HTTP_CLIENT_ERR_TOO_LARGE (mode 1 keeps nothing,
// mode 2's writer has received no more than the limit).
int http_client_request_set_body_limit(http_client_request_t* req, size_t limit);
// Lets `abort` end the request's transfers (kept across sends; null clears
// it). It changes no time-out: an aborted send fails with
// HTTP_CLIENT_ERR_FAILED.
int http_client_request_set_abort(http_client_request_t* req, const http_client_abort* abort);
int http_client_request_set_write_mode(http_client_request_t* req, int32_t mode, curl_write_callback write_fn,
                                       void* write_data, curl_xferinfo_callback progress_fn, void* progress_data);

// `body_len` of -1: the body is NUL-terminated text. Only https is allowed,
// for the URL and for redirects (the owner of the easy handle may widen that);
// a URL or method that could break the request line is refused
// (HTTP_CLIENT_ERR_ARGUMENT); a transfer whose body's end was not seen fails
// with HTTP_CLIENT_ERR_CONNECT.
http_client_response* http_client_send_request(http_client_request_t* req, const char* url, const char* method,
                                               const void* body, int64_t body_len);
void http_client_response_free(http_client_response* resp);

// `words` followed by " (<host>:<port>)" of `url` (the scheme's port when it
// names none), for a line that says why a transfer to `url` failed.
std::string http_client_peer_cause(const char* url, const std::string& words);
