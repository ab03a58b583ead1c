#include "kit/registration_manager/cloud_registration.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cloud/cv_cloud.h"
#include "kit/registration_manager/cloud_query.h"
#include "kit/registration_manager/registration_cloud_cb.h"
#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/util/proxy_password.h"

namespace {

constexpr size_t k_proxy_url_size = 512;
constexpr uint16_t k_cloud_product = 1;
constexpr uint8_t k_cloud_query_version = 5;
constexpr uint32_t k_proxy_auth_mask = TESSEL_PROXY_AUTH_BASIC | TESSEL_PROXY_AUTH_NTLM;

// The cloud client's proxy URL for `proxy` (password fetched and released
// here). 0 or -1.
int make_proxy_url(const tessel_proxy_t* proxy, char* url, size_t size) {
    int type;
    switch (proxy->type) {
    case TESSEL_PROXY_NONE:  // a direct connection: the empty URL
        return cv_curl_proxy_url(url, size, TESSEL_PROXY_NONE, nullptr, 0, nullptr, nullptr) == 0 ? 0 : -1;
    case TESSEL_PROXY_HTTP:
    case TESSEL_PROXY_HTTPS:
    case TESSEL_PROXY_SOCKS4:
    case TESSEL_PROXY_SOCKS5:
    case TESSEL_PROXY_SOCKS4A:
    case TESSEL_PROXY_SOCKS5_HOSTNAME: type = proxy->type; break;
    default:
        TLOG_ERR("unknown proxy type %d", proxy->type);
        type = 255;
        break;
    }
    char* password = proxy->get_password ? proxy->get_password() : nullptr;
    int rc = cv_curl_proxy_url(url, size, type, proxy->server, proxy->port, proxy->username, password);
    tessel_proxy_password_release(proxy->free_password, password);
    return rc == 0 ? 0 : -1;
}

bool proxy_in_use(const tessel_registration_handle* h) {
    return !h->proxy_disabled && h->hosts.proxy.type != TESSEL_PROXY_NONE && h->hosts.proxy.server[0];
}

// The host's cloud callbacks into the options (caller holds `mutex`).
void set_callback_opts(const registration_cloud_callbacks* cb, const char* product_version, cv_cloud_opts* opts) {
    for (int32_t i = 0; i < cb->rcms_callbacks_count; i++) {
        const registration_rcms_callback& r = cb->rcms_callbacks[i];
        if (!cv_cloud_add_message_callback(opts, r.type, r.fn, nullptr))
            TLOG_ERR("Failed to set cloud RCMS callback for type %u. RCMS messages will not trigger the callback.",
                     r.type);
    }
    if (cb->rcms_callbacks_count > 0) opts->flags &= ~CV_OPT_FLAG_S2C_DISABLED;
    opts->ping_prepare_cb = cb->ping_prepare_fn;
    opts->retrospective_cb = cb->retrospective_fn;
    opts->retrospective_data = cb->retrospective_ctx;
    opts->policy_cb = cb->policy_fn;
    opts->policy_data = cb->policy_ctx;
    if (!cb->ping_prepare_fn && !cb->retrospective_fn && !cb->policy_fn) return;
    unsigned char major = 0, minor = 0;
    unsigned short build = 0, revision = 0;
    if (sscanf(product_version, "%hhu.%hhu.%hu.%hu", &major, &minor, &build, &revision) == 4) {
        opts->version_major = major;
        opts->version_minor = minor;
        opts->version_build = build;
    } else {
        // A fallback version, not a failure.
        TLOG_WARN("unable to parse version string %s", product_version);
        opts->version_major = 1;
        opts->version_minor = 0;
        opts->version_build = 0;
    }
    opts->product = k_cloud_product;
    opts->ping_interval.tv_sec = cb->ping_interval ? cb->ping_interval : TESSEL_DEFAULT_PING_INTERVAL;
    opts->ping_interval.tv_usec = 0;
}

// Fills the options from the handle (caller holds `mutex`). 0 or -1.
int set_cloud_opts(tessel_registration_handle* h, cv_cloud_opts* opts) {
    if (h->cloud_callbacks) set_callback_opts(h->cloud_callbacks, h->product_version, opts);
    opts->resolve_failure_cb = h->callbacks.dns_resolver_fn;
    opts->resolve_failure_data = h->callbacks.dns_resolver_ctx;
    opts->provision_cb = registration_cloud_provision_check;
    // The gate token, not the handle: the cloud handle may outlive it.
    opts->provision_data = h->hook_token;
    opts->trust_store_cb = registration_cloud_trust_store;
    opts->trust_store_data = h->hook_token;
    opts->query_version = k_cloud_query_version;
    TESSEL_SCOPED_READ_LOCK(&h->data.lock);
    if (!proxy_in_use(h)) return 0;
    char url[k_proxy_url_size];
    if (make_proxy_url(&h->hosts.proxy, url, sizeof url) != 0) {
        TLOG_ERR("failed to generate proxy URL");
        return -1;
    }
    opts->proxy_url = strdup(url);
    OPENSSL_cleanse(url, sizeof url);
    if (!opts->proxy_url) {
        TLOG_ERR("failed to copy ssl proxy_url to libnimbus: strdup failed");
        return -1;
    }
    opts->proxy_auth = h->hosts.proxy.auth & k_proxy_auth_mask;
    return 0;
}

}  // namespace

cv_cloud_handle* cloud_create_handle(tessel_registration_handle* handle, int64_t override) {
    cv_cloud_opts opts;
    if (cv_cloud_initialize_opts(CV_QUERY_METHOD_TCP, &opts) != 0) {
        TLOG_ERR("cv_cloud_initialize_opts() failed");
        return nullptr;
    }
    cv_cloud_handle* cloud = nullptr;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        if (set_cloud_opts(handle, &opts) != 0) {
            TLOG_ERR("_set_cloud_opts failed");
        } else {
            if (override > 0) opts.timeout = {static_cast<time_t>(override), 0};
            cloud = cv_cloud_init(CV_QUERY_METHOD_TCP, &opts, handle->agent_guid, handle->hosts.cloud_host,
                                  handle->client_keypair, handle->client_cert, nullptr);
        }
    }
    cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
    return cloud;
}

int cloud_registration(tessel_registration_handle* handle, client_connector* connector) {
    cloud_conn* conn = tessel_client_connector_get_cloud_conn(connector);
    if (!conn) {
        int64_t override;
        {
            TESSEL_SCOPED_LOCK(&handle->mutex);
            override = handle->hosts.cloud_opt_override;
        }
        cv_cloud_handle* cloud = cloud_create_handle(handle, override);
        if (!cloud) {
            TLOG_ERR("failed to allocate cloud handle");
            return tessel_cloud_connection_failed;
        }
        if (tessel_client_connector_set_cloud_handle(connector, cloud) != 0) {
            TLOG_ERR("failed to set cloud handle");
            cv_cloud_deinit(cloud);
            return tessel_cloud_connection_failed;
        }
        conn = tessel_client_connector_get_cloud_conn(connector);
        if (!conn) {
            TLOG_ERR("cloud connection not available");
            return tessel_cloud_connection_failed;
        }
    }
    uint8_t guid[TESSEL_GUID_SIZE];
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        memcpy(guid, handle->agent_guid, sizeof guid);
    }
    int state;
    switch (cloud_query_register(tessel_cloud_connector_get_cloud_handle(conn), guid)) {
    case CLOUD_QUERY_REGISTERED:
        state = tessel_cloud_connection_succeeded;
        break;
    case CLOUD_QUERY_FAILED:
        TLOG_ERR("Connection to response_disposition server failed.");
        state = tessel_cloud_connection_failed;
        break;
    case CLOUD_QUERY_CERT_REJECTED: {
        TLOG_ERR("Connection to response_disposition server failed due to invalid certificate. Will reacquire "
                 "certificate.");
        TESSEL_SCOPED_LOCK(&handle->mutex);
        X509_free(handle->client_cert);
        handle->client_cert = nullptr;
        state = tessel_registration_not_started;
        break;
    }
    default:
        TLOG_ERR("Unknown cloud connection error.");
        state = tessel_cloud_connection_failed;
        break;
    }
    tessel_cloud_conn_release(conn);
    return state;
}

int cloud_replace_handle(tessel_registration_handle* handle, int64_t override) {
    if (!handle) {
        TLOG_ERR("registration handle is NULL");
        return -1;
    }
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        if (!handle->client_connector) {
            TLOG_ERR("client connector is NULL, we're not connected.");
            return -1;
        }
    }
    cv_cloud_handle* cloud = cloud_create_handle(handle, override);
    if (!cloud) {
        TLOG_ERR("failed to create cloud handle");
        return -1;
    }
    int rc;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        rc = handle->client_connector ? tessel_client_connector_set_cloud_handle(handle->client_connector, cloud) : -1;
    }
    if (rc != 0) {
        TLOG_ERR("client_connector failed to set cloud handle");
        cv_cloud_deinit(cloud);
        return -1;
    }
    cloud_install_status_hooks(handle);
    return 0;
}

void cloud_install_status_hooks(tessel_registration_handle* handle) {
    if (!handle) {
        TLOG_ERR("Handle is null");
        return;
    }
    TESSEL_SCOPED_LOCK(&handle->mutex);
    cloud_conn* conn = handle->client_connector ? tessel_client_connector_get_cloud_conn(handle->client_connector)
                                                : nullptr;
    cv_cloud_handle* cloud = tessel_cloud_connector_get_cloud_handle(conn);
    if (cloud) {
        cv_cloud_set_connection_callbacks(cloud, registration_cloud_connection_failed,
                                          registration_cloud_connection_attempted, handle->hook_token);
        TLOG_INFO("Set cloud connection status callbacks for cloud handle.");
    } else {
        TLOG_ERR("Cloud Handle is null for provided registration handle.");
    }
    tessel_cloud_conn_release(conn);
}

int cloud_set_proxy(cv_cloud_handle* cloud_handle, const tessel_proxy_t* proxy) {
    if (!cloud_handle) {
        TLOG_ERR("cloud handle is NULL");
        return -1;
    }
    if (!proxy) {
        TLOG_ERR("proxy is NULL");
        return -1;
    }
    char url[k_proxy_url_size];
    if (make_proxy_url(proxy, url, sizeof url) != 0) {
        TLOG_ERR("failed to generate proxy URL");
        return -1;
    }
    const bool changed = cv_cloud_change_proxy(cloud_handle, url[0] ? url : nullptr, proxy->auth & k_proxy_auth_mask);
    OPENSSL_cleanse(url, sizeof url);
    if (!changed) {
        TLOG_ERR("failed to set cloud proxy");
        return -1;
    }
    return 0;
}
