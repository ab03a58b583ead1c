#include "kit/http_client/http_client.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kit/http_client/http_text.h"
#include "platform/failure_cause.h"
#include "kit/http_client/http_transfer_limits.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/util/proxy_password.h"

namespace {

constexpr long HTTP_CLIENT_TIMEOUT_SECONDS = 15;
constexpr size_t TRACE_TEXT_MAX = 4096;

size_t discard_writer(char*, size_t size, size_t nmemb, void*) { return size * nmemb; }

// Mode 1: appends each chunk to the response's body. Returning less than the
// chunk makes libcurl abort the transfer, and no partial body is kept.
size_t memory_collector(char* data, size_t size, size_t nmemb, void* userdata) {
    auto* resp = static_cast<http_client_response*>(userdata);
    if (size != 0 && nmemb > SIZE_MAX / size) return 0;
    size_t chunk = size * nmemb;
    if (chunk == 0 || resp->body_failed) return 0;
    // A peer must not be able to push more into the agent's memory than the
    // request allows; the limit is only changed while no send runs.
    const bool too_large = chunk > resp->request->body_limit || resp->body_len > resp->request->body_limit - chunk;
    // The buffer at least doubles, so that a body near the limit is not copied
    // once per chunk.
    uint8_t* grown = resp->body;
    const size_t needed = resp->body_len + chunk;
    if (!too_large && needed > resp->body_cap) {
        size_t cap = resp->body_cap > SIZE_MAX / 2 ? needed : resp->body_cap * 2;
        if (cap < needed) cap = needed;
        if (cap > resp->request->body_limit) cap = needed;
        grown = static_cast<uint8_t*>(realloc(resp->body, cap));
        if (grown) resp->body_cap = cap;
    }
    if (too_large || !grown) {
        resp->body_too_large = too_large;
        free(resp->body);
        resp->body = nullptr;
        resp->body_len = 0;
        resp->body_cap = 0;
        resp->body_failed = 1;
        return 0;
    }
    memcpy(grown + resp->body_len, data, chunk);
    resp->body = grown;
    resp->body_len += chunk;
    return chunk;
}

// The one progress function of every request: the abort check first, then
// the caller's progress function. Both are fixed while the send runs.
int request_progress(void* data, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    auto* req = static_cast<http_client_request_t*>(data);
    if (req->abort.fn && req->abort.fn(req->abort.ctx)) {
        TLOG_NOTICE("transfer aborted on request");
        return 1;
    }
    return req->progress_fn ? req->progress_fn(req->progress_data, dltotal, dlnow, ultotal, ulnow) : 0;
}

int trace_hook(CURL*, curl_infotype type, char* data, size_t size, void*) {
    if (type != CURLINFO_TEXT || !data) return 0;
    std::string text(data, size < TRACE_TEXT_MAX ? size : TRACE_TEXT_MAX);
    TLOG_INFO("CURLINFO_TEXT: %s", text.c_str());
    return 0;
}

std::string x509_subject_text(X509* cert) {
    std::string text;
    X509_NAME* name = cert ? X509_get_subject_name(cert) : nullptr;
    BIO* bio = name ? BIO_new(BIO_s_mem()) : nullptr;
    if (bio && X509_NAME_print_ex(bio, name, 0, XN_FLAG_SEP_SPLUS_SPC) >= 0) {
        char* mem = nullptr;
        long len = BIO_get_mem_data(bio, &mem);
        if (len > 0 && mem) text.assign(mem, static_cast<size_t>(len));
    }
    BIO_free(bio);
    return text;
}

// Looks through the error queue for a certificate / key mismatch and empties
// the queue; returns the code of the mismatch, or of the last error when none.
// The key-values-mismatch error was packed with its function code in OpenSSL
// 1.1 (0x0B080074); OpenSSL 3.0 has no function codes, so library and reason
// are compared, which matches the same condition on both.
unsigned long take_key_error(bool* mismatch) {
    unsigned long found = 0, last = 0, code;
    while ((code = ERR_get_error()) != 0) {
        last = code;
        if (ERR_GET_LIB(code) == ERR_LIB_X509 && ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH) found = code;
    }
    *mismatch = found != 0;
    return found ? found : last;
}

// Called by libcurl for every new TLS context of a request; reads the handle's
// identity at connection time.
CURLcode ssl_ctx_hook(CURL*, void* sslctx, void* parm) {
    auto* ctx = static_cast<SSL_CTX*>(sslctx);
    auto* handle = static_cast<http_client_handle*>(parm);
    if (!ctx || !handle) {
        TLOG_ERR("Invalid parameters");
        return CURLE_ABORTED_BY_CALLBACK;
    }
    TESSEL_SCOPED_LOCK(&handle->mutex);
    ERR_clear_error();
    if (handle->client_cert && handle->client_keypair) {
        if (SSL_CTX_use_certificate(ctx, handle->client_cert) != 1) {
            unsigned long code = ERR_peek_last_error();
            ERR_clear_error();
            TLOG_ERR("Failed to set certificate for the SSL context. (0x%08lx)", code);
            return CURLE_ABORTED_BY_CALLBACK;
        }
        if (SSL_CTX_use_PrivateKey(ctx, handle->client_keypair) != 1) {
            bool mismatch = false;
            unsigned long code = take_key_error(&mismatch);
            if (mismatch)
                TLOG_ERR("Certificate / private key mismatch. (0x%08lx)", code);
            else
                TLOG_ERR("Failed to set private key for the SSL context. error: %lu (0x%08lx)", code, code);
            return CURLE_ABORTED_BY_CALLBACK;
        }
    }
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    if (!store) return CURLE_OK;
    for (uint32_t i = 0; i < handle->trust_certs_count; ++i) {
        X509* cert = handle->trust_certs[i];
        ERR_clear_error();
        if (X509_STORE_add_cert(store, cert) == 1) continue;
        unsigned long code = ERR_peek_last_error();
        ERR_clear_error();
        std::string subject = x509_subject_text(cert);
        // OpenSSL 1.1.0 and later accept a duplicate silently; older stores
        // refused it with this reason, which is harmless.
        if (ERR_GET_LIB(code) == ERR_LIB_X509 && ERR_GET_REASON(code) == X509_R_CERT_ALREADY_IN_HASH_TABLE) {
            TLOG_INFO("Certificate add skipped, certificate is already in trust: %s", subject.c_str());
        } else {
            char text[256];
            ERR_error_string_n(code, text, sizeof text);
            TLOG_ERR("Cannot store certificate to trust: %s (%lu) [%s]", text, code, subject.c_str());
        }
    }
    return CURLE_OK;
}

void release_identity(http_client_handle* handle) {
    X509_free(handle->client_cert);
    handle->client_cert = nullptr;
    EVP_PKEY_free(handle->client_keypair);
    handle->client_keypair = nullptr;
    for (uint32_t i = 0; i < handle->trust_certs_count; ++i) X509_free(handle->trust_certs[i]);
    free(handle->trust_certs);
    handle->trust_certs = nullptr;
    handle->trust_certs_count = 0;
}

void release_proxy(http_client_handle* handle) {
    free(handle->proxy_username);
    handle->proxy_username = nullptr;
    handle->proxy.username = nullptr;
    handle->proxy.type = TESSEL_PROXY_NONE;
}

bool take_identity(http_client_handle* handle, const http_client_identity* identity) {
    if (identity->client_cert && identity->client_keypair)
        TLOG_DEBUG("supports mutual auth, both client cert and key pair provided");
    if (identity->client_cert) {
        X509_up_ref(identity->client_cert);
        handle->client_cert = identity->client_cert;
        if (identity->client_keypair) {
            EVP_PKEY_up_ref(identity->client_keypair);
            handle->client_keypair = identity->client_keypair;
        }
    }
    if (identity->trust_certs_count == 0) return true;
    handle->trust_certs = static_cast<X509**>(calloc(identity->trust_certs_count, sizeof(X509*)));
    if (!handle->trust_certs) {
        TLOG_ERR("allocation failed");
        return false;
    }
    for (uint32_t i = 0; i < identity->trust_certs_count; ++i) {
        X509* cert = identity->trust_certs[i];
        if (cert) X509_up_ref(cert);
        handle->trust_certs[i] = cert;
    }
    handle->trust_certs_count = identity->trust_certs_count;
    return true;
}

void destroy_handle(http_client_handle* handle, bool mutex_ready) {
    if (mutex_ready) {
        {
            TESSEL_SCOPED_LOCK(&handle->mutex);
            release_identity(handle);
            release_proxy(handle);
        }
        tessel_mutex_destroy(&handle->mutex);
    }
    if (handle->multi) curl_multi_cleanup(handle->multi);
    free(handle);
}

// The failure in words with the server it concerns, one line a host can show
// its user as it is.
// `proxy_host` is empty when the transfer went direct.
void log_transfer_cause(CURL* curl, const char* url, CURLcode result, bool progress_set, const std::string& proxy_host,
                        long proxy_port) {
    long verify = 0;
    if (curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verify) != CURLE_OK) verify = 0;
    // With a progress function the caller keeps its own time limit, unknown here.
    const long timeout = progress_set ? 0 : HTTP_CLIENT_TIMEOUT_SECONDS;
    const bool through_proxy = !proxy_host.empty();
    const std::string words = platform::TransferCause(result, verify, timeout, through_proxy);
    const std::string cause = through_proxy && platform::FailedAtProxy(result)
                                  ? platform::CauseWithPeer(words, proxy_host, proxy_port)
                                  : http_client_peer_cause(url, words);
    TLOG_ERR("%s%s", platform::kCauseMarker, cause.c_str());
}

int32_t map_curl_error(CURLcode code, const char* url) {
    TLOG_ERR("async request failed (%s) to %s", curl_easy_strerror(code), (url && *url) ? url : "nil");
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
        return HTTP_CLIENT_ERR_ARGUMENT;
    case CURLE_COULDNT_CONNECT:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
        return HTTP_CLIENT_ERR_CONNECT;
    case CURLE_UNSUPPORTED_PROTOCOL:
        TLOG_ERR("only %s may be used", HTTP_CLIENT_PROTOCOLS);
        return HTTP_CLIENT_ERR_SCHEME;
    case CURLE_OPERATION_TIMEDOUT:
        return HTTP_CLIENT_ERR_TIMEOUT;
    case CURLE_SSL_CONNECT_ERROR:
        return HTTP_CLIENT_ERR_TLS;
    default:
        TLOG_ERR("response failed with code %d", code);
        return HTTP_CLIENT_ERR_FAILED;
    }
}

// Applies the handle's proxy to the request. Called under the handle's mutex;
// takes the request's mutex while options are set.
bool _http_client_request_set_proxy(http_client_request_t* req) {
    const tessel_proxy_t& proxy = req->handle->proxy;
    CURLcode rc;
    // Every transfer decides its proxy itself: an empty proxy makes libcurl go
    // direct instead of reading http_proxy, https_proxy or ALL_PROXY, and an
    // empty exception list keeps no_proxy from skipping a chosen proxy.
    if (proxy.type == TESSEL_PROXY_NONE) {
        rc = curl_easy_setopt(req->curl, CURLOPT_PROXY, "");
        if (rc != CURLE_OK) TLOG_ERR("curl_easy_setopt(CURLOPT_PROXY) failed: %s", curl_easy_strerror(rc));
        return rc == CURLE_OK;
    }
    if (proxy.server[0] == '\0') {
        TLOG_ERR("proxy_server is null");
        return false;
    }
    switch (proxy.type) {
    case TESSEL_PROXY_HTTP:
    case TESSEL_PROXY_HTTPS:
    case TESSEL_PROXY_SOCKS4:
    case TESSEL_PROXY_SOCKS5:
    case TESSEL_PROXY_SOCKS4A:
    case TESSEL_PROXY_SOCKS5_HOSTNAME:
        break;
    default:
        TLOG_ERR("invalid proxy type, %d", proxy.type);
        return false;
    }
    unsigned long mask = proxy.auth & (CURLAUTH_BASIC | CURLAUTH_NTLM);
    if (mask == 0) mask = CURLAUTH_ANY;

    char* password = proxy.get_password ? proxy.get_password() : nullptr;
    const char* failed = nullptr;
    {
        TESSEL_SCOPED_LOCK(&req->mutex);
        CURL* curl = req->curl;
        if ((rc = curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(proxy.type))) != CURLE_OK) {
            failed = "curl_easy_setopt(CURLOPT_PROXYTYPE) failed: %s";
        } else if (proxy.username || password) {
            if ((rc = curl_easy_setopt(curl, CURLOPT_PROXYAUTH, mask)) != CURLE_OK)
                failed = "curl_easy_setopt(CURLOPT_PROXYAUTH) failed: %s";
            else if (proxy.username && (rc = curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, proxy.username)) != CURLE_OK)
                failed = "curl_easy_setopt(CURLOPT_PROXYUSERNAME) failed: %s";
            else if (password && (rc = curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, password)) != CURLE_OK)
                failed = "curl_easy_setopt(CURLOPT_PROXYPASSWORD) failed: %s";
        } else if ((rc = curl_easy_setopt(curl, CURLOPT_PROXYAUTH, 0L)) != CURLE_OK) {
            failed = "curl_easy_setopt(CURLOPT_PROXYAUTH) failed: %s";
        }
        if (!failed && (rc = curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(proxy.port))) != CURLE_OK)
            failed = "curl_easy_setopt(CURLOPT_PROXYPORT) failed: %s";
        if (!failed && (rc = curl_easy_setopt(curl, CURLOPT_PROXY, proxy.server)) != CURLE_OK)
            failed = "curl_easy_setopt(CURLOPT_PROXY) failed: %s";
        if (!failed && (rc = curl_easy_setopt(curl, CURLOPT_NOPROXY, "")) != CURLE_OK)
            failed = "curl_easy_setopt(CURLOPT_NOPROXY) failed: %s";
    }
    tessel_proxy_password_release(proxy.free_password, password);
    if (failed) {
        TLOG_ERR(failed, curl_easy_strerror(rc));
        return false;
    }
    return true;
}

// Puts the request back to discarding writes without progress reporting and
// drops what one send set up, so that a reused request never sends a stale
// body, method or body size, and libcurl holds no pointer into the caller's
// or the send's memory.
void reset_request(http_client_request_t* req) {
    TESSEL_SCOPED_LOCK(&req->mutex);
    CURL* curl = req->curl;
    CURLcode rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard_writer)) != CURLE_OK)
        TLOG_ERR("curl_easy_setopt(CURLOPT_WRITEFUNCTION) returned %d (%s)", rc, curl_easy_strerror(rc));
    if ((rc = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L)) != CURLE_OK)
        TLOG_ERR("curl_easy_setopt(CURLOPT_NOPROGRESS) returned %d (%s)", rc, curl_easy_strerror(rc));
    req->progress_set = 0;
    req->progress_fn = nullptr;
    req->progress_data = nullptr;
    req->write_fn = nullptr;
    req->write_data = nullptr;
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr));
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(0));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, static_cast<void*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
    // A proxy's credentials stay with the send they were applied for: the next
    // send on this request may go to another proxy.
    curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, static_cast<char*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, static_cast<char*>(nullptr));
}

// Steps of a send between marking the request busy and resetting it; returns
// the response's error.
int32_t perform_send(http_client_request_t* req, http_client_response* resp, const char* url, const char* method,
                     const void* body, int64_t body_len, bool progress_set) {
    struct reset_on_exit {
        http_client_request_t* req;
        ~reset_on_exit() { reset_request(req); }
    } reset{req};
    // The proxy this transfer goes through, to name it when it fails there.
    std::string proxy_host;
    long proxy_port = 0;
    {
        TESSEL_SCOPED_LOCK(&req->handle->mutex);
        if (!_http_client_request_set_proxy(req)) {
            TLOG_ERR("_http_client_request_set_proxy failed");
            return HTTP_CLIENT_ERR_PROXY;
        }
        if (req->handle->proxy.type != TESSEL_PROXY_NONE) {
            proxy_host.assign(req->handle->proxy.server, strnlen(req->handle->proxy.server, sizeof req->handle->proxy.server));
            proxy_port = req->handle->proxy.port;
        }
    }
    CURL* curl = req->curl;
    CURLcode rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_URL, url)) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_URL) failed: %s", curl_easy_strerror(rc));
        return HTTP_CLIENT_ERR_SETOPT;
    }
    if (method && strcmp(method, "POST") == 0 && body && body_len != 0) {
        rc = curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
        if (rc == CURLE_OK && body_len != -1)
            rc = curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_len));
        if (rc != CURLE_OK) {
            TLOG_ERR("curl_easy_setopt(CURLOPT_POSTFIELDS) failed: %s", curl_easy_strerror(rc));
            return HTTP_CLIENT_ERR_SETOPT;
        }
    } else if (method) {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    }
    if ((rc = curl_easy_setopt(curl, CURLOPT_TIMEOUT, progress_set ? 0L : HTTP_CLIENT_TIMEOUT_SECONDS)) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_TIMEOUT) failed: %s", curl_easy_strerror(rc));
        return HTTP_CLIENT_ERR_SETOPT;
    }
    if (req->progress_fn || req->abort.fn) {
        if ((rc = curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, request_progress)) != CURLE_OK ||
            (rc = curl_easy_setopt(curl, CURLOPT_XFERINFODATA, static_cast<void*>(req))) != CURLE_OK ||
            (rc = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L)) != CURLE_OK) {
            TLOG_ERR("curl_easy_setopt(CURLOPT_XFERINFOFUNCTION) returned %d (%s)", rc, curl_easy_strerror(rc));
            return HTTP_CLIENT_ERR_SETOPT;
        }
    }
    if (resp->write_mode != HTTP_CLIENT_WRITE_CALLBACK) {
        const bool collect = resp->write_mode == HTTP_CLIENT_WRITE_MEMORY;
        rc = collect ? curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, memory_collector)
                     : curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard_writer);
        if (rc != CURLE_OK) {
            TLOG_ERR("curl_easy_setopt(CURLOPT_WRITEFUNCTION) returned %d (%s)", rc, curl_easy_strerror(rc));
            return HTTP_CLIENT_ERR_SETOPT;
        }
        if (collect && (rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, resp)) != CURLE_OK) {
            TLOG_ERR("curl_easy_setopt(CURLOPT_WRITEDATA) returned %d (%s)", rc, curl_easy_strerror(rc));
            return HTTP_CLIENT_ERR_SETOPT;
        }
    }
    if (!http_transfer_install_limits(req, resp)) return HTTP_CLIENT_ERR_SETOPT;
    char errbuf[CURL_ERROR_SIZE];
    errbuf[0] = '\0';
    if ((rc = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf)) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_ERRORBUFFER) failed: %s", curl_easy_strerror(rc));
        return HTTP_CLIENT_ERR_FAILED;
    }
    CURLcode result = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));

    if (result == CURLE_WRITE_ERROR && resp->headers_too_large) {
        TLOG_ERR("%s request %s failed: response headers exceed the limit of %zu bytes", method ? method : "GET", url,
                 HTTP_CLIENT_HEADER_LIMIT);
        return HTTP_CLIENT_ERR_TOO_LARGE;
    }
    if ((result == CURLE_WRITE_ERROR && resp->body_too_large) || result == CURLE_FILESIZE_EXCEEDED) {
        TLOG_ERR("%s request %s failed: response body exceeds the limit of %zu bytes", method ? method : "GET", url,
                 req->body_limit);
        return HTTP_CLIENT_ERR_TOO_LARGE;
    }
    if (result != CURLE_OK) {
        TLOG_ERR("%s request %s failed (%d): %s (%s)", method ? method : "GET", url, result,
                 curl_easy_strerror(result), errbuf);
        int32_t error = map_curl_error(result, url);
        log_transfer_cause(curl, url, result, progress_set, proxy_host, proxy_port);
        if (error == HTTP_CLIENT_ERR_ARGUMENT) {
            http_client_resolve_failure_fn cb;
            void* ctx;
            {
                TESSEL_SCOPED_LOCK(&req->handle->mutex);
                cb = req->handle->resolve_failure_cb;
                ctx = req->handle->resolve_failure_ctx;
            }
            if (cb) cb(ctx);
        }
        return error;
    }
    long status = 0;
    if ((rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status)) != CURLE_OK) {
        TLOG_ERR("curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: %s", curl_easy_strerror(rc));
        return HTTP_CLIENT_ERR_SETOPT;
    }
    resp->status = static_cast<int32_t>(status);
    if (!http_transfer_body_whole(curl, status)) {
        TLOG_ERR("%s request %s failed: the end of the response body was not seen", method ? method : "GET", url);
        return HTTP_CLIENT_ERR_CONNECT;
    }
    return HTTP_CLIENT_OK;
}

http_client_response* new_response(http_client_request_t* req) {
    auto* resp = static_cast<http_client_response*>(calloc(1, sizeof(http_client_response)));
    if (!resp) return nullptr;
    resp->request = req;
    resp->error = HTTP_CLIENT_ERR_FAILED;
    return resp;
}

bool set_up_headers(http_client_request_t* req, const http_client_header_list* headers) {
    std::string line;
    for (uint32_t i = 0; i < headers->count; ++i) {
        const http_client_header& field = headers->fields[i];
        if (!field.name || !*field.name) {
            TLOG_ERR("http header field with no field name");
            return false;
        }
        if (!http_text_is_token(field.name) || (field.value && http_text_has_control(field.value))) {
            TLOG_ERR("http header field refused: a name that is not a token or a control character in its value");
            return false;
        }
        line.assign(field.name).append(":");
        if (field.value) line.append(" ").append(field.value);
        curl_slist* grown = curl_slist_append(req->headers, line.c_str());
        if (!grown) {
            TLOG_ERR("allocation failed");
            return false;
        }
        req->headers = grown;
    }
    CURLcode rc = curl_easy_setopt(req->curl, CURLOPT_HTTPHEADER, req->headers);
    if (rc != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_HTTPHEADER) failed");
        return false;
    }
    return true;
}

bool set_up_tls(http_client_request_t* req) {
    http_client_handle* handle = req->handle;
    bool hook;
    bool has_roots;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        has_roots = handle->trust_certs_count > 0;
        hook = has_roots || (handle->client_cert && handle->client_keypair);
    }
    CURLcode rc;
    if (hook) {
        if ((rc = curl_easy_setopt(req->curl, CURLOPT_SSL_CTX_FUNCTION, ssl_ctx_hook)) != CURLE_OK) {
            TLOG_ERR("curl_easy_setopt(CURLOPT_SSL_CTX_FUNCTION) returned %d (%s)", rc, curl_easy_strerror(rc));
            return false;
        }
        if ((rc = curl_easy_setopt(req->curl, CURLOPT_SSL_CTX_DATA, handle)) != CURLE_OK) {
            TLOG_ERR("curl_easy_setopt(CURLOPT_SSL_CTX_DATA) returned %d (%s)", rc, curl_easy_strerror(rc));
            return false;
        }
    }
    // The host's roots already hold the system's: libcurl's default bundle
    // would only be parsed again, a few hundred certificates per connection.
    if (has_roots && (curl_easy_setopt(req->curl, CURLOPT_CAINFO, static_cast<char*>(nullptr)) != CURLE_OK ||
                      curl_easy_setopt(req->curl, CURLOPT_CAPATH, static_cast<char*>(nullptr)) != CURLE_OK)) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_CAINFO) failed");
        return false;
    }
    if ((rc = curl_easy_setopt(req->curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL))) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_USE_SSL) returned %d (%s)", rc, curl_easy_strerror(rc));
        return false;
    }
    return true;
}

void set_up_verbose(CURL* curl) {
    CURLcode rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L)) != CURLE_OK)
        TLOG_ERR("curl_easy_setopt(CURLOPT_VERBOSE) failed: %s", curl_easy_strerror(rc));
    if ((rc = curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, trace_hook)) != CURLE_OK)
        TLOG_ERR("curl_easy_setopt(CURLOPT_DEBUGFUNCTION) failed: %s", curl_easy_strerror(rc));
}

}  // namespace

http_client_handle* http_client_handle_new(const char* user_agent, http_client_resolve_failure_fn resolve_failure_cb,
                                           void* resolve_failure_ctx, const http_client_identity* identity) {
    if (!user_agent || !identity || (identity->trust_certs_count > 0 && !identity->trust_certs)) {
        TLOG_ERR("null arguments passed to function, user_agent %p, identity %p", static_cast<const void*>(user_agent),
                 static_cast<const void*>(identity));
        return nullptr;
    }
    auto* handle = static_cast<http_client_handle*>(calloc(1, sizeof(http_client_handle)));
    if (!handle) {
        TLOG_ERR("allocation failed");
        return nullptr;
    }
    if (tessel_mutex_init(&handle->mutex, false) != 0) {
        free(handle);
        return nullptr;
    }
    handle->proxy.type = TESSEL_PROXY_NONE;
    size_t len = strnlen(user_agent, HTTP_CLIENT_USER_AGENT_SIZE);
    if (len == 0 || len >= HTTP_CLIENT_USER_AGENT_SIZE) {
        TLOG_ERR("failed to copy user agent [%s]", user_agent);
        destroy_handle(handle, true);
        return nullptr;
    }
    if (http_text_has_control(std::string_view(user_agent, len))) {
        TLOG_ERR("user agent refused: it holds a control character");
        destroy_handle(handle, true);
        return nullptr;
    }
    memcpy(handle->user_agent, user_agent, len + 1);
    handle->multi = curl_multi_init();
    if (!handle->multi) {
        TLOG_ERR("curl_multi_init() failed");
        destroy_handle(handle, true);
        return nullptr;
    }
    handle->resolve_failure_cb = resolve_failure_cb;
    handle->resolve_failure_ctx = resolve_failure_ctx;
    if (!take_identity(handle, identity)) {
        destroy_handle(handle, true);
        return nullptr;
    }
    return handle;
}

void http_client_handle_free(http_client_handle* handle) {
    if (handle) destroy_handle(handle, true);
}

int http_client_handle_set_proxy(http_client_handle* handle, const tessel_proxy_t* proxy) {
    if (!handle) {
        TLOG_ERR("http_client_handle is NULL!");
        return -1;
    }
    if (!proxy) {
        TLOG_INFO("tessel_proxy_t is NULL");
        return -1;
    }
    if (proxy->type < TESSEL_PROXY_NONE || proxy->type > TESSEL_PROXY_SOCKS5_HOSTNAME) return -1;
    TESSEL_SCOPED_LOCK(&handle->mutex);
    // Copied before the old copy is freed: the record may be the handle's own.
    const tessel_proxy_t record = *proxy;
    char* username = record.username ? strdup(record.username) : nullptr;
    free(handle->proxy_username);
    handle->proxy_username = username;
    handle->proxy = record;
    // The server is kept as a C string whatever the caller left in the array.
    handle->proxy.server[TESSEL_PROXY_SERVER_SIZE - 1] = '\0';
    handle->proxy.username = username;
    if (record.username && !username) {
        TLOG_ERR("failed to allocate proxy_username");
        handle->proxy.type = TESSEL_PROXY_NONE;
        return -1;
    }
    return 0;
}

int http_client_handle_set_client_auth(http_client_handle* handle, EVP_PKEY* client_keypair, X509* client_cert) {
    if (!handle || !client_cert || !client_keypair) {
        TLOG_ERR("NULL argument passed to function, handle %p, client_cert %p, client_keypair %p",
                 static_cast<void*>(handle), static_cast<void*>(client_cert), static_cast<void*>(client_keypair));
        return -1;
    }
    X509_up_ref(client_cert);
    EVP_PKEY_up_ref(client_keypair);
    TESSEL_SCOPED_LOCK(&handle->mutex);
    X509_free(handle->client_cert);
    EVP_PKEY_free(handle->client_keypair);
    handle->client_cert = client_cert;
    handle->client_keypair = client_keypair;
    return 0;
}

void http_client_handle_set_verbose(http_client_handle* handle, bool verbose) {
    if (!handle) {
        TLOG_ERR("http_client handle is NULL");
        return;
    }
    TESSEL_SCOPED_LOCK(&handle->mutex);
    handle->verbose = verbose ? 1 : 0;
}

http_client_request_t* http_client_request_new(http_client_handle* handle, const http_client_header_list* headers) {
    if (!handle || !headers || (headers->count > 0 && !headers->fields)) {
        TLOG_ERR("null arguments passed to function, handle %p, headers %p", static_cast<void*>(handle),
                 static_cast<const void*>(headers));
        return nullptr;
    }
    auto* req = static_cast<http_client_request_t*>(calloc(1, sizeof(http_client_request_t)));
    if (!req) {
        TLOG_ERR("allocation failed");
        return nullptr;
    }
    if (tessel_mutex_init(&req->mutex, false) != 0) {
        free(req);
        return nullptr;
    }
    req->handle = handle;
    req->body_limit = HTTP_CLIENT_BODY_LIMIT_DEFAULT;
    req->curl = curl_easy_init();
    if (!req->curl) {
        TLOG_ERR("curl_easy_init() failed");
        http_client_request_free(req);
        return nullptr;
    }
    curl_easy_setopt(req->curl, CURLOPT_WRITEFUNCTION, discard_writer);
    if (!http_transfer_restrict_protocols(req->curl)) {
        TLOG_ERR("failed to restrict the protocols to %s", HTTP_CLIENT_PROTOCOLS);
        http_client_request_free(req);
        return nullptr;
    }
    bool verbose = false;
    bool ok;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        ok = curl_easy_setopt(req->curl, CURLOPT_USERAGENT, handle->user_agent) == CURLE_OK;
        verbose = handle->verbose != 0;
    }
    if (!ok) {
        TLOG_ERR("failed to set user agent");
        http_client_request_free(req);
        return nullptr;
    }
    if (!set_up_tls(req)) {
        TLOG_ERR("ssl context setup failed");
        http_client_request_free(req);
        return nullptr;
    }
    if (verbose) set_up_verbose(req->curl);
    if (headers->count > 0 && !set_up_headers(req, headers)) {
        TLOG_ERR("failed to set up http headers");
        http_client_request_free(req);
        return nullptr;
    }
    return req;
}

void http_client_request_free(http_client_request_t* req) {
    if (!req) return;
    {
        TESSEL_SCOPED_LOCK(&req->mutex);
        if (req->curl) curl_easy_cleanup(req->curl);
        req->curl = nullptr;
        curl_slist_free_all(req->headers);
        req->headers = nullptr;
    }
    tessel_mutex_destroy(&req->mutex);
    free(req);
}

int http_client_request_set_basic_auth(http_client_request_t* req, const char* username, const char* password) {
    if (!req) {
        TLOG_ERR("http_client_request_t is NULL");
        return HTTP_CLIENT_ERR_ARGUMENT;
    }
    TESSEL_SCOPED_LOCK(&req->mutex);
    if (req->in_progress) {
        TLOG_WARN("request currently in progress...");
        return HTTP_CLIENT_ERR_CONNECT;
    }
    CURLcode rc;
    if (username && (rc = curl_easy_setopt(req->curl, CURLOPT_USERNAME, username)) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_USERNAME) failed: %s", curl_easy_strerror(rc));
        return HTTP_CLIENT_ERR_SETOPT;
    }
    if (password && (rc = curl_easy_setopt(req->curl, CURLOPT_PASSWORD, password)) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_PASSWORD) failed: %s", curl_easy_strerror(rc));
        return HTTP_CLIENT_ERR_SETOPT;
    }
    long auth = (username || password) ? static_cast<long>(CURLAUTH_BASIC) : 0L;
    if ((rc = curl_easy_setopt(req->curl, CURLOPT_HTTPAUTH, auth)) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_HTTPAUTH) failed: %s", curl_easy_strerror(rc));
        return HTTP_CLIENT_ERR_SETOPT;
    }
    return HTTP_CLIENT_OK;
}

namespace {

// Sets one field of an idle request: refused for a null request and while a
// send runs, so that a send sees the same value from start to end.
template <typename Change>
int change_idle_request(http_client_request_t* req, Change change) {
    if (!req) {
        TLOG_ERR("http_client_req is NULL");
        return HTTP_CLIENT_ERR_ARGUMENT;
    }
    TESSEL_SCOPED_LOCK(&req->mutex);
    if (req->in_progress) {
        TLOG_NOTICE("existing request is already in progress");
        return HTTP_CLIENT_ERR_CONNECT;
    }
    change(req);
    return HTTP_CLIENT_OK;
}

}  // namespace

int http_client_request_set_body_limit(http_client_request_t* req, size_t limit) {
    return change_idle_request(req, [limit](http_client_request_t* r) { r->body_limit = limit; });
}

int http_client_request_set_abort(http_client_request_t* req, const http_client_abort* abort) {
    const http_client_abort value = abort ? *abort : http_client_abort{nullptr, nullptr};
    return change_idle_request(req, [&value](http_client_request_t* r) { r->abort = value; });
}

int http_client_request_set_write_mode(http_client_request_t* req, int32_t mode, curl_write_callback write_fn,
                                       void* write_data, curl_xferinfo_callback progress_fn, void* progress_data) {
    if (!req) {
        TLOG_ERR("http_client_req is NULL");
        return HTTP_CLIENT_ERR_ARGUMENT;
    }
    if (mode < HTTP_CLIENT_WRITE_DISCARD || mode > HTTP_CLIENT_WRITE_CALLBACK) {
        TLOG_ERR("invalid write mode %d", mode);
        return HTTP_CLIENT_ERR_ARGUMENT;
    }
    if (mode == HTTP_CLIENT_WRITE_CALLBACK && !write_fn) {
        TLOG_ERR("Write to callback set, but no write callback defined");
        return HTTP_CLIENT_ERR_TIMEOUT;
    }
    TESSEL_SCOPED_LOCK(&req->mutex);
    if (req->in_progress) {
        TLOG_NOTICE("existing request is already in progress");
        return HTTP_CLIENT_ERR_CONNECT;
    }
    req->write_mode = mode;
    // The send's time-out follows what is installed now: only a progress
    // function can end a stalled transfer in its place.
    req->progress_set = 0;
    CURL* curl = req->curl;
    CURLcode rc;
    // The send installs the mode 2 writer behind the body limit.
    req->write_fn = mode == HTTP_CLIENT_WRITE_CALLBACK ? write_fn : nullptr;
    req->write_data = mode == HTTP_CLIENT_WRITE_CALLBACK ? write_data : nullptr;
    if (mode != HTTP_CLIENT_WRITE_CALLBACK && (rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard_writer)) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_WRITEFUNCTION) returned %d (%s)", rc, curl_easy_strerror(rc));
    }
    // Installed by the send, behind the abort check.
    req->progress_fn = progress_fn;
    req->progress_data = progress_data;
    if (progress_fn) req->progress_set = 1;
    return HTTP_CLIENT_OK;
}

http_client_response* http_client_send_request(http_client_request_t* req, const char* url, const char* method,
                                               const void* body, int64_t body_len) {
    if (!req || !url || !*url) {
        TLOG_ERR("invalid arguments passed to send requst");
        return nullptr;
    }
    if (!req->handle) {
        TLOG_ERR("no http_client_handle in http request");
        return nullptr;
    }
    if (http_text_has_control(url) || strchr(url, ' ') || (method && !http_text_is_token(method))) {
        TLOG_ERR("request refused: a control character or space in the URL, or a method that is not a token");
        http_client_response* refused = new_response(req);
        if (refused) refused->error = HTTP_CLIENT_ERR_ARGUMENT;
        return refused;
    }
    bool progress_set;
    int32_t write_mode;
    {
        TESSEL_SCOPED_LOCK(&req->mutex);
        if (req->in_progress) {
            TLOG_NOTICE("existing request is already in progress");
            http_client_response* busy = new_response(req);
            if (!busy) {
                TLOG_ERR("failed to allocate resp");
                return nullptr;
            }
            busy->error = HTTP_CLIENT_ERR_IN_PROGRESS;
            return busy;
        }
        req->in_progress = 1;
        progress_set = req->progress_set != 0;
        write_mode = req->write_mode;
    }
    http_client_response* resp = new_response(req);
    if (!resp) {
        TLOG_ERR("failed to allocate memory for response");
    } else {
        resp->write_mode = write_mode;
        resp->error = perform_send(req, resp, url, method, body, body_len, progress_set);
    }
    // Every path ends with the request reset and free for the next send; a
    // failure before the transfer must not leave it marked busy for good.
    {
        TESSEL_SCOPED_LOCK(&req->mutex);
        req->in_progress = 0;
    }
    return resp;
}

void http_client_response_free(http_client_response* resp) {
    if (!resp) return;
    free(resp->body);
    free(resp);
}

std::string http_client_peer_cause(const char* url, const std::string& words) {
    std::string host;
    long port = 0;
    if (CURLU* parsed = url ? curl_url() : nullptr) {
        char* part = nullptr;
        if (curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK) {
            if (curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) host = part;
            curl_free(part);
            part = nullptr;
            if (curl_url_get(parsed, CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) == CURLUE_OK && part)
                port = strtol(part, nullptr, 10);
            curl_free(part);
        }
        curl_url_cleanup(parsed);
    }
    return platform::CauseWithPeer(words, host, port);
}
