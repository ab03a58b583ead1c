#include "cloud/cv_cloud.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "cloud/cv_cloud_async.h"
#include "cloud/cv_cloud_engine.h"
#include "cloud/cv_cloud_lock.h"
#include "cloud/cv_cloud_transport.h"
#include "platform/failure_cause.h"

namespace {

constexpr size_t URL_SIZE = 1000;
constexpr int64_t REFRESH_MIN_SECONDS = 120;
constexpr long DNS_CACHE_SECONDS = 60;
// Bound of one connection attempt (TCP, proxy and TLS handshake), so that a
// server that accepts and never answers cannot hold the transmit worker.
constexpr long CONNECT_TIMEOUT_MIN_MS = 10000;

pthread_once_t g_global_once = PTHREAD_ONCE_INIT;
bool g_global_ok = false;

void global_init_once() {
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): calling curl_global_init()", "_global_init");
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        cv_log_error("%s(): curl_global_init() failed", "_global_init");
        return;
    }
    g_global_ok = true;
}

int _global_init() {
    int rc = pthread_once(&g_global_once, global_init_once);
    if (rc != 0) {
        cv_log_error("%s(): pthread_once failed: %d\n", __func__, rc);
        return -1;
    }
    return g_global_ok ? 0 : -1;
}

struct socket_guard {
    cv_cloud_handle* handle;
    bool locked;
    socket_guard(cv_cloud_handle* h, int exclusive)
        : handle(h), locked(cv_cloud_is_async(h) && _cv_lock_rw(h, &h->socket_lock, exclusive)) {}
    ~socket_guard() {
        if (locked)
            _cv_unlock_rw(handle, &handle->socket_lock);
    }
};

struct auth_guard {
    cv_cloud_handle* handle;
    bool locked;
    explicit auth_guard(cv_cloud_handle* h) : handle(h), locked(false) {
        int rc = pthread_mutex_lock(&h->client_auth_mutex);
        if (rc != 0)
            cv_log_error("%s(): pthread_mutex_lock (client_auth_mutex) failed with %d", "client_auth", rc);
        locked = rc == 0;
    }
    ~auth_guard() {
        if (!locked)
            return;
        int rc = pthread_mutex_unlock(&handle->client_auth_mutex);
        if (rc != 0)
            cv_log_error("%s(): pthread_mutex_unlock (client_auth_mutex) failed with %d", "client_auth", rc);
    }
};

void free_text(char** text) {
    if (*text) {
        OPENSSL_cleanse(*text, strlen(*text));
        free(*text);
        *text = nullptr;
    }
}

bool is_numeric_ipv6(const char* text) {
    struct in6_addr addr;
    return inet_pton(AF_INET6, text, &addr) == 1;
}

// Copies the handler list node by node, keeping its order.
bool copy_msg_callbacks(const cv_cloud_msg_cb_node* from, cv_cloud_msg_cb_node** to) {
    *to = nullptr;
    cv_cloud_msg_cb_node** tail = to;
    for (; from; from = from->next) {
        auto* node = static_cast<cv_cloud_msg_cb_node*>(calloc(1, sizeof(cv_cloud_msg_cb_node)));
        if (!node)
            return false;
        node->type = from->type;
        node->callback = from->callback;
        node->user_data = from->user_data;
        *tail = node;
        tail = &node->next;
    }
    return true;
}

void free_msg_callbacks(cv_cloud_msg_cb_node** list) {
    while (*list) {
        cv_cloud_msg_cb_node* next = (*list)->next;
        free(*list);
        *list = next;
    }
}

// Frees what _cv_cloud_create set up; the engine is already stopped.
void destroy_handle(cv_cloud_handle* handle, bool auth_mutex, bool transfer_mutex) {
    free(handle->server);
    handle->server = nullptr;
    if (handle->stream) {
        curl_easy_cleanup(static_cast<CURL*>(handle->stream));
        handle->stream = nullptr;
    }
    handle->socket = -1;
    cv_cloud_free_opts(handle->query_method, &handle->options);
    if (transfer_mutex) {
        _cv_transfer_clear(handle);
        int rc = _cv_transfer_destroy(handle);
        if (rc != 0)
            cv_log_error("%s(): pthread_mutex_destroy failed with %d", "cv_cloud_deinit", rc);
    }
    if (auth_mutex) {
        {
            auth_guard guard(handle);
            X509_free(handle->client_cert);
            EVP_PKEY_free(handle->client_keypair);
            handle->client_cert = nullptr;
            handle->client_keypair = nullptr;
        }
        int rc = pthread_mutex_destroy(&handle->client_auth_mutex);
        if (rc != 0)
            cv_log_error("%s(): pthread_mutex_destroy failed with %d", "cv_cloud_deinit", rc);
    } else {
        X509_free(handle->client_cert);
        EVP_PKEY_free(handle->client_keypair);
    }
    delete handle;
}

// Aborts a connection attempt when the engine is told to stop.
int stop_progress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* handle = static_cast<cv_cloud_handle*>(clientp);
    return (handle->flags & CV_HANDLE_FLAG_STOP) ? 1 : 0;
}

// Closes the stream under the socket lock (exclusive). True when a stream
// was closed.
bool disconnect_stream(cv_cloud_handle* handle, int force, uint16_t conn_id) {
    socket_guard guard(handle, 1);
    if (!force && conn_id != handle->conn_id) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): handle %p: ignoring disconnect for conn_id %hu (!= %hu)", "_cv_disconnect",
                     static_cast<void*>(handle), conn_id, handle->conn_id);
        return false;
    }
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): handle %p: disconnecting conn_id %hu", "_cv_disconnect",
                 static_cast<void*>(handle), handle->conn_id);
    bool closed = handle->stream != nullptr;
    if (handle->stream)
        curl_easy_cleanup(static_cast<CURL*>(handle->stream));
    handle->stream = nullptr;
    handle->socket = -1;
    _cv_transfer_clear(handle);
    if (closed)
        handle->disconnect_gen.fetch_add(1);
    return closed;
}

}  // namespace

void _cv_now(struct timeval* now) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    now->tv_sec = ts.tv_sec;
    now->tv_usec = ts.tv_nsec / 1000;
}

// ---- Options -----------------------------------------------------------------------

int cv_cloud_initialize_opts(int method, cv_cloud_opts* opts) {
    if (!opts)
        return -1;
    if (method != CV_QUERY_METHOD_TCP) {
        cv_log_error("%s(): unsupported query type %d", __func__, method);
        return -2;
    }
    memset(opts, 0, sizeof *opts);
    opts->flags = CV_OPT_FLAG_PING_ON_INIT;
    opts->product = 42;
    opts->version_major = 1;
    opts->version_minor = 0;
    opts->version_build = 0;
    opts->ping_interval = {900, 0};
    opts->ping_early_interval = {60, 0};
    opts->further_interval = {0, 100000};
    opts->reconnect_wait = {5, 0};
    opts->query_version = 7;
    opts->timeout = {5, 0};
    opts->port = 443;
    return 0;
}

bool cv_cloud_add_message_callback(cv_cloud_opts* opts, uint32_t type, cv_cloud_msg_cb callback, void* user_data) {
    if (!opts)
        return false;
    auto* node = static_cast<cv_cloud_msg_cb_node*>(calloc(1, sizeof(cv_cloud_msg_cb_node)));
    if (!node)
        return false;
    node->type = type;
    node->callback = callback;
    node->user_data = user_data;
    node->next = opts->msg_callbacks;
    opts->msg_callbacks = node;
    return true;
}

void cv_cloud_free_opts(int method, cv_cloud_opts* opts) {
    if (!opts)
        return;
    free_msg_callbacks(&opts->msg_callbacks);
    if (method == CV_QUERY_METHOD_TCP)
        free_text(&opts->proxy_url);
    memset(opts, 0, sizeof *opts);
}

// ---- Handle ------------------------------------------------------------------------

cv_cloud_handle* _cv_cloud_create(int method, const cv_cloud_opts* opts, const uint8_t* uuid, const char* server,
                                  EVP_PKEY* keypair, X509* client_cert, const cv_cloud_async_opts* async_opts,
                                  bool start_engine) {
    if (!client_cert || !keypair) {
        cv_log_error("%s(): requires that a client certificate, and a keypair be provided to libnimbus during "
                     "initialization\n",
                     "cv_cloud_init");
        return nullptr;
    }
    if (!server || !uuid) {
        cv_log_error("%s(): invalid parameter", "cv_cloud_init");
        return nullptr;
    }
    if (_global_init() != 0)
        return nullptr;

    auto* handle = new (std::nothrow) cv_cloud_handle{};
    if (!handle) {
        cv_log_error("%s(): calloc failed", "cv_cloud_init");
        return nullptr;
    }
    handle->socket = -1;
    handle->query_method = method;
    int rc = pthread_mutex_init(&handle->client_auth_mutex, nullptr);
    if (rc != 0) {
        cv_log_error("%s(): pthread_mutex_init (client_auth_mutex) failed with %d", "cv_cloud_init", rc);
        delete handle;
        return nullptr;
    }
    X509_up_ref(client_cert);
    EVP_PKEY_up_ref(keypair);
    handle->client_cert = client_cert;
    handle->client_keypair = keypair;
    memcpy(handle->endpoint_uuid, uuid, sizeof handle->endpoint_uuid);
    handle->server = strdup(server);
    handle->stats.fastest_response_usec = -1;
    if (!handle->server) {
        cv_log_error("%s(): calloc failed", "cv_cloud_init");
        destroy_handle(handle, true, false);
        return nullptr;
    }

    if (opts) {
        handle->options = *opts;
        handle->options.proxy_url = nullptr;
        handle->options.msg_callbacks = nullptr;
        bool copied = copy_msg_callbacks(opts->msg_callbacks, &handle->options.msg_callbacks);
        if (copied && method == CV_QUERY_METHOD_TCP && opts->proxy_url) {
            handle->options.proxy_url = strdup(opts->proxy_url);
            copied = handle->options.proxy_url != nullptr;
        }
        if (!copied) {
            cv_log_error("%s(): initialize opts failed with %d", "cv_cloud_init", -1);
            destroy_handle(handle, true, false);
            return nullptr;
        }
    } else if ((rc = cv_cloud_initialize_opts(method, &handle->options)) != 0) {
        cv_log_error("%s(): initialize opts failed with %d", "cv_cloud_init", rc);
        destroy_handle(handle, true, false);
        return nullptr;
    }

    rc = _cv_transfer_init(handle);
    if (rc != 0) {
        cv_log_error("%s(): pthread_mutex_init failed with %d", "cv_cloud_init", rc);
        destroy_handle(handle, true, false);
        return nullptr;
    }
    handle->stream_ops = &cv_curl_stream_ops;
    snprintf(handle->peer_address, sizeof handle->peer_address, "<unknown>");

    if (!cv_cloud_take_optional_port(handle->server, method, &handle->options.port))
        cv_log_error("%s: cv_cloud_take_optional_port (server) failed: %s", "cv_cloud_init", handle->server);

    _cv_periodic_init(handle);

    if (start_engine) {
        rc = _cv_async_init(handle, async_opts);
        if (rc != 0) {
            cv_log_error("%s(): _cv_async_init failed with %d", "cv_cloud_init", rc);
            destroy_handle(handle, true, true);
            return nullptr;
        }
    }
    return handle;
}

cv_cloud_handle* cv_cloud_init(int method, const cv_cloud_opts* opts, const uint8_t* uuid, const char* server,
                               EVP_PKEY* keypair, X509* client_cert, const cv_cloud_async_opts* async_opts) {
    return _cv_cloud_create(method, opts, uuid, server, keypair, client_cert, async_opts, true);
}

int cv_cloud_deinit(cv_cloud_handle* handle) {
    if (!handle)
        return -1;
    if (cv_cloud_is_async(handle))
        _cv_async_deinit(handle);
    destroy_handle(handle, true, true);
    return 0;
}

void _cv_drop_client_cert(cv_cloud_handle* handle) {
    auth_guard guard(handle);
    X509_free(handle->client_cert);
    handle->client_cert = nullptr;
}

bool _cv_has_client_cert(cv_cloud_handle* handle) {
    auth_guard guard(handle);
    return handle->client_cert != nullptr;
}

void cv_cloud_update_client_auth(cv_cloud_handle* handle, EVP_PKEY* keypair, X509* client_cert) {
    if (!handle) {
        cv_log_error("%s(): cv_cloud_handle is null", __func__);
        return;
    }
    if (!keypair) {
        cv_log_error("%s(): client_keypair is null", __func__);
        return;
    }
    if (!client_cert) {
        cv_log_error("%s(): client_cert is null", __func__);
        return;
    }
    {
        auth_guard guard(handle);
        X509_up_ref(client_cert);
        EVP_PKEY_up_ref(keypair);
        X509_free(handle->client_cert);
        EVP_PKEY_free(handle->client_keypair);
        handle->client_cert = client_cert;
        handle->client_keypair = keypair;
        handle->settings_gen.fetch_add(1);
    }
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): calling _cv_disconnect since the client certificate and key pair are updated",
                 __func__);
    _cv_disconnect(handle, 1, 0);
}

bool cv_cloud_set_proxy(cv_cloud_handle* handle, const char* proxy_url, uint32_t proxy_auth) {
    if (!handle || handle->query_method != CV_QUERY_METHOD_TCP)
        return false;
    char* copy = nullptr;
    if (proxy_url) {
        copy = strdup(proxy_url);
        if (!copy) {
            cv_log_error("%s(): strdup failed.  Failed to update proxy setting", __func__);
            return false;
        }
    }
    cv_async_guard guard(handle, CV_LOCK_TAG);
    if (cv_cloud_is_async(handle) && !guard.locked()) {
        free_text(&copy);
        return false;
    }
    free_text(&handle->options.proxy_url);
    handle->options.proxy_url = copy;
    handle->options.proxy_auth = copy ? proxy_auth : 0;
    handle->settings_gen.fetch_add(1);
    return true;
}

bool cv_cloud_change_proxy(cv_cloud_handle* handle, const char* proxy_url, uint32_t proxy_auth) {
    if (!cv_cloud_set_proxy(handle, proxy_url, proxy_auth))
        return false;
    cv_log_trace(CV_TRACE_DEFAULT, "New proxy connection set. Forcing a disconnect.");
    _cv_disconnect(handle, 1, 0);
    return true;
}

void cv_cloud_set_connection_callbacks(cv_cloud_handle* handle, cv_cloud_conn_failure_cb failure,
                                       cv_cloud_conn_attempt_cb attempt, void* user_data) {
    if (!handle)
        return;
    CV_ASYNC_GUARD(handle);
    handle->conn_failure_cb = failure;
    handle->conn_attempt_cb = attempt;
    handle->conn_cb_data = user_data;
}

// ---- Text helpers ------------------------------------------------------------------

int cv_curl_proxy_url(char* buffer, size_t size, int type, const char* server, int port, const char* user,
                      const char* password) {
    if (!buffer) {
        cv_log_error("%s(): null buffer", __func__);
        return -1;
    }
    if (size > 0)
        buffer[0] = '\0';
    if (type == -1)
        return 0;
    const char* scheme;
    switch (type) {
    case 0: scheme = "http://"; break;
    case 2: scheme = "https://"; break;
    case 4: scheme = "socks4://"; break;
    case 5: scheme = "socks5://"; break;
    case 6: scheme = "socks4a://"; break;
    case 7: scheme = "socks5h://"; break;
    default:
        cv_log_error("%s(): unknown proxy type %d", __func__, type);
        return -1;
    }
    if (!server || !*server) {
        cv_log_error("%s(): proxy without a proxy_server", __func__);
        return -1;
    }
    char* user_escaped = nullptr;
    char* password_escaped = nullptr;
    bool credentials = (user && *user) || (password && *password);
    int rc = 0;
    if (credentials) {
        CURL* curl = curl_easy_init();
        if (!curl) {
            cv_log_error("%s(): curl_easy_init failed", __func__);
            return -1;
        }
        user_escaped = curl_easy_escape(curl, user ? user : "", 0);
        if (!user_escaped) {
            cv_log_error("%s(): Unable to escape proxy username", __func__);
            rc = -1;
        } else {
            password_escaped = curl_easy_escape(curl, password ? password : "", 0);
            if (!password_escaped) {
                cv_log_error("%s(): Unable to escape proxy password", __func__);
                rc = -1;
            }
        }
        curl_easy_cleanup(curl);
    }
    if (rc == 0) {
        int n = credentials ? snprintf(buffer, size, "%s%s:%s@%s:%d", scheme, user_escaped, password_escaped, server, port)
                            : snprintf(buffer, size, "%s%s:%d", scheme, server, port);
        if (n < 0) {
            cv_log_error("%s(): failed to construct proxy url: %s", __func__, strerror(errno));
            rc = -1;
        } else if (static_cast<size_t>(n) >= size) {
            cv_log_error("%s(): failed to construct proxy url: buffer too small", __func__);
            rc = -1;
        }
        if (rc != 0 && size > 0)
            OPENSSL_cleanse(buffer, size);
    }
    if (password_escaped) {
        OPENSSL_cleanse(password_escaped, strlen(password_escaped));
        curl_free(password_escaped);
    }
    if (user_escaped)
        curl_free(user_escaped);
    return rc;
}

bool cv_cloud_take_optional_port(char* server, int method, int32_t* port) {
    if (!server || !port || method != CV_QUERY_METHOD_TCP)
        return false;
    if (is_numeric_ipv6(server))
        return true;
    char* colon = strrchr(server, ':');
    if (!colon)
        return true;
    const char* digits = colon + 1;
    size_t n = strlen(digits);
    if (n == 0 || n > 5)
        return true;
    long value = 0;
    for (const char* p = digits; *p; p++) {
        if (*p < '0' || *p > '9')
            return true;
        value = value * 10 + (*p - '0');
    }
    if (value > 65535)
        return true;
    *port = static_cast<int32_t>(value);
    *colon = '\0';
    size_t host_length = strlen(server);
    if (host_length >= 2 && server[0] == '[' && server[host_length - 1] == ']') {
        server[host_length - 1] = '\0';
        if (is_numeric_ipv6(server + 1))
            memmove(server, server + 1, host_length - 1);
        else
            server[host_length - 1] = ']';
    }
    return true;
}

int cv_set_header_ts(CorvaneQueryHeader_t* header, const time_t* when) {
    if (!header) {
        cv_log_error("CorvaneQueryHeader_t is NULL");
        return -1;
    }
    time_t t = when ? *when : time(nullptr);
    // Every query is stamped: the text is made once per second and thread.
    thread_local time_t cached_second = -1;
    thread_local char text[32];
    thread_local int n = 0;
    if (t != cached_second) {
        struct tm utc;
        if (!gmtime_r(&t, &utc)) {
            cv_log_error("Error getting localtime, errno = %d", errno);
            return -1;
        }
        n = snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                     utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        cached_second = n == 15 ? t : -1;
    }
    if (n != 15 || OCTET_STRING_fromBuf(&header->ts, text, n) != 0) {
        cv_log_error("Error setting header timestamp, errno = %d", errno);
        return -1;
    }
    return 0;
}

// ---- TLS -----------------------------------------------------------------------------

namespace {

// Where a TLS context keeps its handle, for the alert callback.
int handle_ex_index() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Notes the server's "unknown CA" alert whenever the TLS layer reads it, in
// the handshake or on any later read.
void note_alert(const SSL* ssl, int where, int value) {
    if (!(where & SSL_CB_READ_ALERT) || (value & 0xff) != SSL_AD_UNKNOWN_CA)
        return;
    auto* handle = static_cast<cv_cloud_handle*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), handle_ex_index()));
    if (handle)
        handle->unknown_ca_alert = true;
}

}  // namespace

CURLcode cv_sslctx_config_func(CURL* curl, void* ssl_ctx, void* user) {
    auto* handle = static_cast<cv_cloud_handle*>(user);
    auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
    if (!curl || !ctx || !handle) {
        cv_log_error("Invalid parameter(s) passed to %s", __func__);
        return CURLE_ABORTED_BY_CALLBACK;
    }
    {
        auth_guard guard(handle);
        if (!guard.locked)
            return CURLE_ABORTED_BY_CALLBACK;
        if (!handle->client_cert || SSL_CTX_use_certificate(ctx, handle->client_cert) != 1) {
            cv_log_error("Failed to set certificate for the SSL context. (0x%08lx)", ERR_peek_last_error());
            ERR_clear_error();
            return CURLE_ABORTED_BY_CALLBACK;
        }
        if (!handle->client_keypair || SSL_CTX_use_PrivateKey(ctx, handle->client_keypair) != 1) {
            unsigned long err = ERR_peek_last_error();
            ERR_clear_error();
            if (ERR_GET_REASON(err) == X509_R_KEY_VALUES_MISMATCH)
                cv_log_error("Certificate / private key mismatch. (0x%08lx)", err);
            else
                cv_log_error("Failed to set private key for the SSL context. error: %lu (0x%08lx)", err, err);
            return CURLE_ABORTED_BY_CALLBACK;
        }
    }
    if (handle_ex_index() >= 0 && SSL_CTX_set_ex_data(ctx, handle_ex_index(), handle) == 1)
        SSL_CTX_set_info_callback(ctx, note_alert);
    if (handle->options.trust_store_cb)
        handle->options.trust_store_cb(SSL_CTX_get_cert_store(ctx), handle->options.trust_store_data);
    return CURLE_OK;
}

bool _cv_check_unknown_ca(cv_cloud_handle* handle, const char* error_text) {
    // The server's "unknown CA" alert: OpenSSL 1.1 wrote it as error:14094418,
    // OpenSSL 3.0 as error:0A000418. Both are the SSL library with the reason
    // SSL_R_TLSV1_ALERT_UNKNOWN_CA; the code is unpacked by the OpenSSL in use.
    // With TLS 1.3 the alert comes after the handshake, on the first read of
    // either worker, where the stream's text may still hold an earlier error:
    // the alert noted by the TLS layer counts first.
    if (handle->unknown_ca_alert.exchange(false)) {
        _cv_drop_client_cert(handle);
        return true;
    }
    for (const char* p = error_text ? strstr(error_text, "error:") : nullptr; p; p = strstr(p + 1, "error:")) {
        char* end = nullptr;
        unsigned long code = strtoul(p + 6, &end, 16);
        if (end != p + 14 || *end != ':')
            continue;
        if (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_TLSV1_ALERT_UNKNOWN_CA) {
            _cv_drop_client_cert(handle);
            return true;
        }
    }
    return false;
}

// ---- Connection ------------------------------------------------------------------------

int _cv_handle_connect(cv_cloud_handle* handle) {
    {
        socket_guard guard(handle, 0);
        if (handle->socket >= 0)
            return 0;
    }
    // _cv_cloud_provision_client
    uint8_t need_cert = _cv_has_client_cert(handle) ? 0 : 1;
    int rc = -1;
    if (handle->options.provision_cb)
        rc = handle->options.provision_cb(handle, &need_cert, handle->options.provision_data);
    else if (!need_cert)
        rc = 0;
    if (rc != 0) {
        // A handle being shut down, or whose owner withdrew, is refused on
        // purpose: no fault then.
        if (rc == CV_PROVISION_WITHDRAWN || cv_engine::stopping(handle))
            cv_log_trace(CV_TRACE_DEFAULT, "%s(): Request for re-enrollment failed with %d, errno=%d",
                         "_cv_cloud_provision_client", rc, errno);
        else
            cv_log_error("%s(): Request for re-enrollment failed with %d, errno=%d", "_cv_cloud_provision_client", rc,
                         errno);
        return -1;
    }
    if (need_cert) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): requesting a certificate via est enrollment", "_cv_cloud_provision_client");
        // Without a certificate the handshake cannot succeed; wait for the
        // enrolment to hand one over.
        if (!_cv_has_client_cert(handle))
            return -1;
    }

    struct timeval now;
    _cv_now(&now);
    const long long next = cv_tv_usec(handle->last_attempt) + cv_tv_usec(handle->options.reconnect_wait);
    if (handle->last_attempt.tv_sec != 0 && cv_tv_usec(now) < next) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): not connected, in reconnect wait: now=%ld.%06ld, next_reconnect=%ld.%06ld",
                     __func__, static_cast<long>(now.tv_sec), static_cast<long>(now.tv_usec),
                     static_cast<long>(next / 1000000), static_cast<long>(next % 1000000));
        return -1;
    }
    handle->last_attempt = now;
    rc = _cv_reconnect(handle);
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): _cv_reconnect returned %d", __func__, rc);
    return rc;
}

namespace {

// Whether the trust-store callback supplies roots (tried on a store of its
// own). Then those roots alone are trusted: libcurl's default bundle would add
// a few hundred certificates parsed again on every connection.
bool trust_store_supplies_roots(const cv_cloud_handle* handle) {
    if (!handle->options.trust_store_cb)
        return false;
    X509_STORE* probe = X509_STORE_new();
    if (!probe)
        return false;
    handle->options.trust_store_cb(probe, handle->options.trust_store_data);
    const bool roots = sk_X509_OBJECT_num(X509_STORE_get0_objects(probe)) > 0;
    X509_STORE_free(probe);
    return roots;
}

// Sets the transfer options of a connection attempt; false (logged) on failure.
bool set_connect_options(cv_cloud_handle* handle, CURL* curl, const char* url, const char* proxy_url,
                         uint32_t proxy_auth) {
    const long verify = handle->options.insecure ? 0L : 1L;
    const long verify_host = handle->options.insecure ? 0L : 2L;
    CURLcode rc;
#define CV_SETOPT(option, value, ...)                                        \
    if ((rc = curl_easy_setopt(curl, option, value)) != CURLE_OK) {         \
        cv_log_error(__VA_ARGS__);                                           \
        return false;                                                        \
    }
    CV_SETOPT(CURLOPT_URL, url, "%s(): curl_easy_setopt(CURLOPT_URL, %s) returned %d (%s)", "_cv_reconnect", url, rc,
              curl_easy_strerror(rc));
    // The connection decides its proxy itself: without one it goes direct
    // (an empty proxy keeps libcurl from reading http_proxy, https_proxy or
    // ALL_PROXY), and no_proxy never skips the one it has.
    if (!proxy_url || !*proxy_url) {
        CV_SETOPT(CURLOPT_PROXY, "", "%s(): curl_easy_setopt(CURLOPT_PROXY) returned %d (%s)", "_cv_reconnect", rc,
                  curl_easy_strerror(rc));
    } else {
        CV_SETOPT(CURLOPT_PROXY, proxy_url, "%s(): curl_easy_setopt(CURLOPT_PROXY) returned %d (%s)", "_cv_reconnect",
                  rc, curl_easy_strerror(rc));
        CV_SETOPT(CURLOPT_NOPROXY, "", "%s(): curl_easy_setopt(CURLOPT_NOPROXY) returned %d (%s)", "_cv_reconnect",
                  rc, curl_easy_strerror(rc));
        CV_SETOPT(CURLOPT_HTTPPROXYTUNNEL, 1L, "%s(): curl_easy_setopt(CURLOPT_HTTPPROXYTUNNEL) returned %d (%s)",
                  "_cv_reconnect", rc, curl_easy_strerror(rc));
        if (proxy_auth != 0) {
            CV_SETOPT(CURLOPT_PROXYAUTH, static_cast<unsigned long>(proxy_auth & 9),
                      "%s(): curl_easy_setopt(CURLOPT_PROXYAUTH) returned %d (%s)", "_cv_reconnect", rc,
                      curl_easy_strerror(rc));
        }
        CV_SETOPT(CURLOPT_PROXY_SSL_VERIFYPEER, verify,
                  "%s(): curl_easy_setopt(CURLOPT_PROXY_SSL_VERIFYPEER) returned %d (%s)", "_cv_reconnect", rc,
                  curl_easy_strerror(rc));
        CV_SETOPT(CURLOPT_PROXY_SSL_VERIFYHOST, verify_host,
                  "%s(): curl_easy_setopt(CURLOPT_PROXY_SSL_VERIFYHOST) returned %d (%s)", "_cv_reconnect", rc,
                  curl_easy_strerror(rc));
    }
    CV_SETOPT(CURLOPT_PORT, static_cast<long>(handle->options.port),
              "%s(): curl_easy_setopt(CURLOPT_PORT) returned %d (%s)", "_cv_reconnect", rc, curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_CONNECT_ONLY, 1L, "%s(): curl_easy_setopt(CURLOPT_CONNECT_ONLY) returned %d (%s)",
              "_cv_reconnect", rc, curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_SSL_CTX_FUNCTION, cv_sslctx_config_func,
              "%s(): curl_easy_setopt(CURLOPT_SSL_CTX_FUNCTION) returned %d (%s)", "_cv_reconnect", rc,
              curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_SSL_CTX_DATA, handle, "%s(): curl_easy_setopt(CURLOPT_SSL_CTX_DATA) returned %d (%s)",
              "_cv_reconnect", rc, curl_easy_strerror(rc));
    if (trust_store_supplies_roots(handle)) {
        CV_SETOPT(CURLOPT_CAINFO, static_cast<char*>(nullptr),
                  "%s(): curl_easy_setopt(CURLOPT_CAINFO) returned %d (%s)", "_cv_reconnect", rc,
                  curl_easy_strerror(rc));
        CV_SETOPT(CURLOPT_CAPATH, static_cast<char*>(nullptr),
                  "%s(): curl_easy_setopt(CURLOPT_CAPATH) returned %d (%s)", "_cv_reconnect", rc,
                  curl_easy_strerror(rc));
    }
    CV_SETOPT(CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL),
              "%s(): curl_easy_setopt(CURLOPT_USE_SSL) returned %d (%s)", "_cv_reconnect", rc, curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_SSL_VERIFYPEER, verify, "%s(): curl_easy_setopt(CURLOPT_SSL_VERIFYPEER) returned %d (%s)",
              "_cv_reconnect", rc, curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_SSL_VERIFYHOST, verify_host, "%s(): curl_easy_setopt(CURLOPT_SSL_VERIFYHOST) returned %d (%s)",
              "_cv_reconnect", rc, curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_NOSIGNAL, 1L, "%s(): curl_easy_setopt(CURLOPT_NOSIGNAL) returned %d (%s)", "_cv_reconnect", rc,
              curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_ERRORBUFFER, handle->error_buffer,
              "%s(): curl_easy_setopt(CURLOPT_ERRORBUFFER) returned %d (%s)", "_cv_reconnect", rc,
              curl_easy_strerror(rc));
    long connect_ms = static_cast<long>(cv_tv_usec(handle->options.timeout) / 1000);
    if (connect_ms < CONNECT_TIMEOUT_MIN_MS)
        connect_ms = CONNECT_TIMEOUT_MIN_MS;
    CV_SETOPT(CURLOPT_CONNECTTIMEOUT_MS, connect_ms,
              "%s(): curl_easy_setopt(CURLOPT_CONNECTTIMEOUT_MS) returned %d (%s)", "_cv_reconnect", rc,
              curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_XFERINFOFUNCTION, stop_progress,
              "%s(): curl_easy_setopt(CURLOPT_XFERINFOFUNCTION) returned %d (%s)", "_cv_reconnect", rc,
              curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_XFERINFODATA, handle, "%s(): curl_easy_setopt(CURLOPT_XFERINFODATA) returned %d (%s)",
              "_cv_reconnect", rc, curl_easy_strerror(rc));
    CV_SETOPT(CURLOPT_NOPROGRESS, 0L, "%s(): curl_easy_setopt(CURLOPT_NOPROGRESS) returned %d (%s)", "_cv_reconnect",
              rc, curl_easy_strerror(rc));

    struct timeval now;
    _cv_now(&now);
    if (handle->refresh) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): Forcing connection refresh and clearing DNS cache", "_cv_reconnect");
        CV_SETOPT(CURLOPT_FRESH_CONNECT, 1L, "%s(): curl_easy_setopt(CURLOPT_FRESH_CONNECT) returned %d (%s)",
                  "_cv_reconnect", rc, curl_easy_strerror(rc));
        CV_SETOPT(CURLOPT_DNS_CACHE_TIMEOUT, 0L, "%s(): curl_easy_setopt(CURLOPT_DNS_CACHE_TIMEOUT) returned %d (%s)",
                  "_cv_reconnect", rc, curl_easy_strerror(rc));
        handle->last_refresh = now.tv_sec > 0 ? now.tv_sec : 1;
        handle->refresh = 0;
    } else {
        CV_SETOPT(CURLOPT_FRESH_CONNECT, 0L, "%s(): curl_easy_setopt(CURLOPT_FRESH_CONNECT) returned %d (%s)",
                  "_cv_reconnect", rc, curl_easy_strerror(rc));
        CV_SETOPT(CURLOPT_DNS_CACHE_TIMEOUT, DNS_CACHE_SECONDS,
                  "%s(): curl_easy_setopt(CURLOPT_DNS_CACHE_TIMEOUT) returned %d (%s)", "_cv_reconnect", rc,
                  curl_easy_strerror(rc));
    }
#undef CV_SETOPT
    return true;
}

void call_attempt_finished(cv_cloud_handle* handle) {
    cv_cloud_conn_attempt_cb attempt;
    void* data;
    {
        CV_ASYNC_GUARD(handle);
        attempt = handle->conn_attempt_cb;
        data = handle->conn_cb_data;
    }
    if (attempt)
        attempt(data);
}

void call_failure(cv_cloud_handle* handle, int64_t attempt_time) {
    cv_cloud_conn_failure_cb failure;
    void* data;
    {
        CV_ASYNC_GUARD(handle);
        failure = handle->conn_failure_cb;
        data = handle->conn_cb_data;
    }
    if (failure)
        failure(attempt_time, data);
}

}  // namespace

// Why the connection failed, in words, with the server: one line a host can
// show its user as it is.
static void _cv_log_connect_cause(const cv_cloud_handle* handle, CURL* curl, CURLcode rc, bool through_proxy) {
    long verify = 0;
    if (curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verify) != CURLE_OK)
        verify = 0;
    const std::string cause =
        platform::CauseWithPeer(platform::TransferCause(rc, verify, 0, through_proxy), handle->server, handle->options.port);
    // The words say it all; no stale system error is appended to them.
    errno = 0;
    cv_log_error("%s(): %s%s", "_cv_reconnect", platform::kCauseMarker, cause.c_str());
}

int _cv_reconnect(cv_cloud_handle* handle) {
    _cv_disconnect(handle, 1, 0);
    if (handle->query_method != CV_QUERY_METHOD_TCP) {
        cv_log_error("This version of libnimbus only supports authenticated ssl connections. Please use the legacy "
                     "libnimbus if you can't use authenticated ssl");
        return -1;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        cv_log_error("%s(): curl_easy_init returned NULL", __func__);
        return -1;
    }
    char url[URL_SIZE];
    const int port = handle->options.port;
    int need = is_numeric_ipv6(handle->server) ? snprintf(url, sizeof url, "https://[%s]:%d", handle->server, port)
                                               : snprintf(url, sizeof url, "https://%s:%d", handle->server, port);
    if (need < 0 || static_cast<size_t>(need) >= sizeof url) {
        cv_log_error("%s(): Unable to build cloud server URL (have %zu bytes, need %d)", __func__, sizeof url, need);
        curl_easy_cleanup(curl);
        return -1;
    }

    char* proxy_url = nullptr;
    uint32_t proxy_auth = 0;
    bool proxy_copied = true;
    const uint32_t settings = handle->settings_gen.load();
    {
        CV_ASYNC_GUARD(handle);
        if (handle->options.proxy_url) {
            proxy_url = strdup(handle->options.proxy_url);
            proxy_copied = proxy_url != nullptr;
        }
        proxy_auth = handle->options.proxy_auth;
    }
    // A proxy that cannot be applied ends the attempt: going direct would
    // bypass it.
    if (!proxy_copied) {
        cv_log_error("%s(): unable to copy the proxy setting, not connecting", __func__);
        curl_easy_cleanup(curl);
        return -1;
    }
    const int64_t attempt_time = static_cast<int64_t>(time(nullptr));
    handle->error_buffer[0] = '\0';
    handle->unknown_ca_alert = false;
    bool configured = set_connect_options(handle, curl, url, proxy_url, proxy_auth);
    const bool through_proxy = proxy_url && *proxy_url;
    free_text(&proxy_url);
    if (!configured) {
        curl_easy_cleanup(curl);
        return -1;
    }

    cv_log_trace(CV_TRACE_DEFAULT, "%s(): running curl_easy_perform", __func__);
    CURLcode rc = curl_easy_perform(curl);
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): curl_easy_perform returned: %d", __func__, rc);

    if (rc == CURLE_OK) {
        call_attempt_finished(handle);
        curl_socket_t sock = CURL_SOCKET_BAD;
        CURLcode info = curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &sock);
        if (info != CURLE_OK || sock == CURL_SOCKET_BAD) {
            cv_log_error("%s(): curl_easy_getinfo(CURLINFO_LASTSOCKET) returned %d (%s)", __func__, info,
                         curl_easy_strerror(info));
            curl_easy_cleanup(curl);
            return -1;
        }
        char* ip = nullptr;
        info = curl_easy_getinfo(curl, CURLINFO_PRIMARY_IP, &ip);
        if (info != CURLE_OK)
            cv_log_error("%s(): curl_easy_getinfo(CURLINFO_PRIMARY_IP) returned %d (%s)", __func__, info,
                         curl_easy_strerror(info));
        socket_guard guard(handle, 1);
        if (handle->settings_gen.load() != settings) {
            // The proxy or the credentials changed during the set-up: this
            // connection was made with the old ones. Try again at once.
            cv_log_trace(CV_TRACE_DEFAULT, "%s(): settings changed while connecting, connecting again", __func__);
            curl_easy_cleanup(curl);
            handle->last_attempt = {0, 0};
            return -1;
        }
        handle->conn_id++;
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): handle %p: conn_id is now %hu", __func__, static_cast<void*>(handle),
                     handle->conn_id);
        snprintf(handle->peer_address, sizeof handle->peer_address, "%s", (info == CURLE_OK && ip && *ip) ? ip : "<unknown>");
        handle->stream = curl;
        handle->socket = static_cast<int>(sock);
        return 0;
    }

    switch (rc) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: {
        if (handle->options.resolve_failure_cb)
            handle->options.resolve_failure_cb(handle->options.resolve_failure_data);
        struct timeval now;
        _cv_now(&now);
        if (handle->last_refresh == 0 || now.tv_sec - handle->last_refresh > REFRESH_MIN_SECONDS)
            handle->refresh = 1;
        cv_log_error("%s(): curl_easy_perform for %s port %d returned %d (%s) (%s)", __func__, url, port, rc,
                     curl_easy_strerror(rc), handle->error_buffer);
        break;
    }
    case CURLE_SSL_CONNECT_ERROR:
        if (_cv_check_unknown_ca(handle, handle->error_buffer)) {
            cv_log_error("%s(): curl_easy_perform returned SSL connect error for %s port %d.  Will assume that our "
                         "certificate is bad (alert unknown ca), we remove current certificate to obtain a new one "
                         "via EST",
                         __func__, url, port);
        } else {
            cv_log_error("%s(): curl_easy_perform SSL connect error (%s) for %s port %d", __func__, handle->error_buffer,
                         url, port);
        }
        break;
    case CURLE_SSL_CERTPROBLEM:
        cv_log_error("%s(): received curl error: %s for %s port %d, we will assume that our certificate is bad, we "
                     "remove current certificate to obtain a new one via EST",
                     __func__, curl_easy_strerror(rc), url, port);
        _cv_drop_client_cert(handle);
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
        cv_log_error("%s(): received curl error: %s for %s port %d we need to manually obtain a new CA certificate",
                     __func__, curl_easy_strerror(rc), url, port);
        break;
    default:
        cv_log_error("%s(): curl_easy_perform for %s port %d returned %d (%s) (%s)", __func__, url, port, rc,
                     curl_easy_strerror(rc), handle->error_buffer);
        break;
    }
    _cv_log_connect_cause(handle, curl, rc, through_proxy);
    curl_easy_cleanup(curl);
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_TOO_MANY_REDIRECTS:
        call_failure(handle, attempt_time);
        break;
    default:
        call_attempt_finished(handle);
        break;
    }
    _cv_disconnect(handle, 1, 0);
    return -1;
}

void _cv_disconnect(cv_cloud_handle* handle, int force, uint16_t conn_id) {
    if (!handle)
        return;
    if (disconnect_stream(handle, force, conn_id) && cv_cloud_is_async(handle))
        _cv_async_requeue_sent(handle);
}

// ---- Synchronous query ------------------------------------------------------------------

CorvaneQueryResponse_t* _cv_cloud_query_internal(cv_cloud_handle* handle, CorvaneQuery_t* query, uint8_t* truncated) {
    if (!handle || !query)
        return nullptr;
    if (cv_cloud_is_async(handle)) {
        cv_log_error("%s(): sync function called on async handle.", __func__);
        return nullptr;
    }
    _cv_query_presets(handle, query);
    if (_cv_handle_connect(handle) != 0)
        cv_log_error("%s(): _cv_handle_connect failed, unable to query", __func__);
    if (handle->socket < 0) {
        int rc = _cv_reconnect(handle);
        if (rc != 0) {
            cv_log_error("%s(): _cv_reconnect failed with %d", __func__, rc);
            return nullptr;
        }
    }
    static const uint8_t zero[16] = {};
    UUID_t* quuid = &query->header.quuid;
    if (!quuid->buf || quuid->size != 16 || memcmp(quuid->buf, zero, 16) == 0) {
        if (OCTET_STRING_fromBuf(quuid, reinterpret_cast<const char*>(handle->endpoint_uuid), 16) != 0) {
            cv_log_error("%s[%d]: OCTET_STRING_fromBuf failed with errno = %d: %s ", __func__, __LINE__, errno,
                         strerror(errno));
            return nullptr;
        }
    }
    if (query->header.ts.size <= 0 && cv_set_header_ts(&query->header, nullptr) != 0)
        return nullptr;
    int rc = _cv_send_tcp(handle, query, truncated);
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): sockfd: %i", __func__, handle->socket);
    if (rc != SEND_SUCCESS && rc != SEND_PARTIAL) {
        cv_log_error("%s(): query failed", __func__);
        _cv_disconnect(handle, 1, 0);
        return nullptr;
    }
    struct timeval start;
    _cv_now(&start);
    // Bounded: every receive waits at most the handle's time-out; messages
    // before the response are limited in number.
    for (int frames = 0; frames < 1000; frames++) {
        CorvaneQueryResponse_t* response = nullptr;
        CorvaneMessage_t* message = nullptr;
        rc = _cv_receive_tcp(handle, &response, &message);
        if (rc != RECV_SUCCESS) {
            cv_log_error("%s(): query failed", __func__);
            if (rc != RECV_NONE)
                _cv_disconnect(handle, 1, 0);
            return nullptr;
        }
        if (message) {
            _cv_global_msg_handler(handle, message);
            continue;
        }
        if (response) {
            _cv_global_resp_handler(handle, response, &start);
            return response;
        }
        cv_log_error("%s: DANGER: unexpected RECV_SUCCESS without response or message.", __func__);
        return nullptr;
    }
    return nullptr;
}
