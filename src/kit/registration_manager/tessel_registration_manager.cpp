#include "kit/registration_manager/tessel_registration_manager.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>

#include "cloud/cv_cloud.h"
#include "kit/registration_manager/cloud_registration.h"
#include "kit/registration_manager/registration_hook_gate.h"
#include "kit/registration_manager/registration_manager_util.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/tessel_time.h"
#include "kit/util/guid_text.h"
#include "platform/secret_memory.h"

namespace {

// Host records may arrive without terminators; the handle's copies always have one.
template <size_t N>
void terminate(char (&text)[N]) {
    text[N - 1] = '\0';
}

void terminate_hosts(registration_hosts* hosts) {
    terminate(hosts->est_host);
    terminate(hosts->cloud_host);
    terminate(hosts->vesta_mgmt_url);
    terminate(hosts->proxy.server);
}

// Copies `src` into `dst` when it is terminated within `dst`'s size.
template <size_t N>
bool copy_text(char (&dst)[N], const char (&src)[N]) {
    if (strnlen(src, N) >= N)
        return false;
    memcpy(dst, src, N);
    return true;
}

int copy_identity(tessel_registration_handle* handle, const registration_agent_identity* identity) {
    bool ok = true;
    if (guid_is_absent(identity->business_guid)) {
        TLOG_ERR("business guid is null");
        ok = false;
    } else if (guid_is_absent(identity->affiliate_guid)) {
        TLOG_ERR("affiliate guid is null");
        ok = false;
    } else {
        if (guid_is_absent(identity->actcode))
            TLOG_WARN("activation code is null");
        if (identity->user_agent[0] == '\0') {
            TLOG_ERR("user agent is empty");
            ok = false;
        }
    }
    if (ok) {
        memcpy(handle->business_guid, identity->business_guid, TESSEL_GUID_SIZE);
        memcpy(handle->actcode, identity->actcode, TESSEL_GUID_SIZE);
        memcpy(handle->affiliate_guid, identity->affiliate_guid, TESSEL_GUID_SIZE);
        if (!guid_is_absent(identity->agent_guid))
            memcpy(handle->agent_guid, identity->agent_guid, TESSEL_GUID_SIZE);
        if (!copy_text(handle->devid, identity->devid)) {
            TLOG_ERR("failed to copy devid from identity to handle");
            ok = false;
        } else if (!copy_text(handle->productid, identity->productid)) {
            TLOG_ERR("failed to copy productid from identity to handle");
            ok = false;
        } else if (!copy_text(handle->product_version, identity->product_version)) {
            TLOG_ERR("failed to copy product_version from identity to handle");
            ok = false;
        } else if (!copy_text(handle->user_agent, identity->user_agent)) {
            TLOG_ERR("failed to copy user_agent from identity to handle");
            ok = false;
        }
    }
    if (!ok) {
        TLOG_ERR("failed to copy guids");
        TLOG_ERR("failed to parse agent identity");
        return -1;
    }
    return 0;
}

int copy_crypto(tessel_registration_handle* handle, const registration_config* config) {
    bool ok = true;
    if (!config->client_keypair) {
        TLOG_ERR("client keypair unavailable");
        ok = false;
    } else {
        EVP_PKEY_up_ref(config->client_keypair);
        handle->client_keypair = config->client_keypair;
        if (config->legacy_client_keypair) {
            handle->legacy_client_keypair = EVP_PKEY_dup(config->legacy_client_keypair);
            if (!handle->legacy_client_keypair) {
                TLOG_ERR("_EVP_PKEY_dup failed (legacy_client_keypair)");
                ok = false;
            }
        }
    }
    if (ok && registration_roots_copy(config->system_trust_root_certs, config->system_trust_root_certs_count,
                                      &handle->system_trust_root_certs) != 0) {
        TLOG_ERR("failed trying to copy system roots");
        ok = false;
    }
    if (ok) {
        handle->system_trust_root_certs_count = config->system_trust_root_certs_count;
        if (config->client_cert) {
            X509_up_ref(config->client_cert);
            handle->client_cert = config->client_cert;
        }
        return 0;
    }
    TLOG_ERR("failed to copy crypto");
    TLOG_ERR("failed to parse agent identity");
    return -1;
}

int copy_hosts(tessel_registration_handle* handle, const registration_hosts* hosts) {
    if (hosts->proxy.type != TESSEL_PROXY_NONE && hosts->proxy.server[0] == '\0') {
        TLOG_ERR("proxy proto set but proxy server is empty");
        TLOG_ERR("failed to parse hosts");
        return -1;
    }
    handle->hosts = *hosts;
    if (registration_proxy_copy(&handle->hosts.proxy, &hosts->proxy) != 0) {
        TLOG_ERR("failed to duplicate proxy username");
        memset(&handle->hosts, 0, sizeof handle->hosts);
        handle->hosts.proxy.type = TESSEL_PROXY_NONE;
        TLOG_ERR("failed to parse hosts");
        return -1;
    }
    terminate_hosts(&handle->hosts);
    return 0;
}

registration_cloud_callbacks* copy_cloud_callbacks(const registration_cloud_callbacks* src) {
    auto* copy = static_cast<registration_cloud_callbacks*>(calloc(1, sizeof(registration_cloud_callbacks)));
    if (!copy) {
        TLOG_ERR("Failed to allocate new cloud callback");
        return nullptr;
    }
    *copy = *src;
    copy->rcms_callbacks = nullptr;
    copy->rcms_callbacks_count = 0;
    if (src->rcms_callbacks && src->rcms_callbacks_count > 0) {
        size_t count = static_cast<size_t>(src->rcms_callbacks_count);
        copy->rcms_callbacks =
            static_cast<registration_rcms_callback*>(calloc(count, sizeof(registration_rcms_callback)));
        if (!copy->rcms_callbacks) {
            TLOG_ERR("Failed to allocate rcms callbacks list");
            free(copy);
            return nullptr;
        }
        memcpy(copy->rcms_callbacks, src->rcms_callbacks, count * sizeof(registration_rcms_callback));
        copy->rcms_callbacks_count = src->rcms_callbacks_count;
    }
    return copy;
}

void free_cloud_callbacks(registration_cloud_callbacks* callbacks) {
    if (!callbacks)
        return;
    free(callbacks->rcms_callbacks);
    free(callbacks);
}

int copy_callbacks(tessel_registration_handle* handle, const registration_config* config) {
    bool ok = true;
    if (!config->callbacks.new_guid_fn) {
        TLOG_ERR("No callback set to request a new GUID");
        ok = false;
    } else if (!config->callbacks.prepare_vesta_registration_fn) {
        TLOG_ERR("No callback set for retreiving info for vesta registration");
        ok = false;
    } else {
        handle->callbacks = config->callbacks;
        if (config->cloud_callbacks) {
            handle->cloud_callbacks = copy_cloud_callbacks(config->cloud_callbacks);
            if (!handle->cloud_callbacks) {
                TLOG_ERR("Failed to copy cloud callbacks");
                ok = false;
            }
        }
    }
    if (!ok) {
        TLOG_ERR("failed to copy callbacks");
        return -1;
    }
    return 0;
}

void copy_registration_times(tessel_registration_handle* handle, const registration_config* config) {
    const int64_t now = tessel_time_now();
    handle->last_cloud_registration = config->last_cloud_registration;
    handle->last_vesta_registration = config->last_vesta_registration;
    if (handle->last_cloud_registration > now) {
        TLOG_ERR("last cloud registration in the future: %ld", static_cast<long>(handle->last_cloud_registration));
        handle->last_cloud_registration = 0;
    }
    if (handle->last_vesta_registration > now) {
        TLOG_ERR("last vesta registration in the future: %ld", static_cast<long>(handle->last_vesta_registration));
        handle->last_vesta_registration = 0;
    }
}

int parse_config(tessel_registration_handle* handle, const registration_config* config) {
    if (copy_identity(handle, &config->identity) != 0 || copy_crypto(handle, config) != 0 ||
        copy_hosts(handle, &config->hosts) != 0 || copy_callbacks(handle, config) != 0)
        return -1;
    copy_registration_times(handle, config);
    if (config->ekds_version > 2) {
        TLOG_ERR("Invalid ekds_version");
        return -1;
    }
    handle->ekds_version = config->ekds_version;
    return 0;
}

// The parts of `handle` that need releasing; the caller holds `mutex`.
void release_handle_contents(tessel_registration_handle* handle) {
    registration_proxy_release(&handle->hosts.proxy);
    registration_credentials_release(handle);
    free_cloud_callbacks(handle->cloud_callbacks);
    handle->cloud_callbacks = nullptr;
}

bool hosts_valid(const registration_hosts* hosts) {
    if (hosts->cloud_port == 0) {
        TLOG_ERR("cloud port is 0, expected 443 or other non-zero port");
        return false;
    }
    if (hosts->cloud_host[0] == '\0') {
        TLOG_ERR("cloud_hosts is empty");
        return false;
    }
    if (hosts->est_host[0] == '\0') {
        TLOG_ERR("est_host is empty");
        return false;
    }
    if (hosts->vesta_mgmt_url[0] == '\0') {
        TLOG_ERR("vesta management URL is empty");
        return false;
    }
    if (hosts->proxy.type >= 8) {
        TLOG_ERR("invalid proxy type, %d", hosts->proxy.type);
        return false;
    }
    if (hosts->proxy.type != TESSEL_PROXY_NONE && hosts->proxy.server[0] == '\0') {
        TLOG_ERR("proxy proto was specified but proxy server is not defined!");
        return false;
    }
    return true;
}

uint32_t current_ping_interval(const tessel_registration_handle* handle) {
    return handle->cloud_callbacks ? handle->cloud_callbacks->ping_interval : TESSEL_DEFAULT_PING_INTERVAL;
}

// Hosts unchanged: only the live cloud handle's ping interval follows.
int apply_ping_interval(tessel_registration_handle* handle, uint32_t ping_interval) {
    TESSEL_SCOPED_LOCK(&handle->mutex);
    cloud_conn* conn = tessel_client_connector_get_cloud_conn(handle->client_connector);
    if (!conn)
        return 0;
    cv_cloud_handle* cloud_handle = tessel_cloud_connector_get_cloud_handle(conn);
    int result = 0;
    if (!cloud_handle) {
        TLOG_ERR("cloud handle held by client connector reference is NULL!");
        result = -1;
    } else {
        TLOG_NOTICE("Setting the cloud ping interval to %u", ping_interval);
        cv_cloud_set_ping_interval(cloud_handle, ping_interval ? ping_interval : TESSEL_DEFAULT_PING_INTERVAL, 0);
    }
    tessel_cloud_conn_release(conn);
    return result;
}

}  // namespace

tessel_registration_handle* tessel_registration_new(const registration_config* config) {
    if (!config) {
        TLOG_ERR("registration_config is NULL");
        return nullptr;
    }
    auto* handle = static_cast<tessel_registration_handle*>(calloc(1, sizeof(tessel_registration_handle)));
    if (!handle) {
        TLOG_ERR("failed to allocate registration manager handle");
        return nullptr;
    }
    if (tessel_mutex_init(&handle->mutex, false) != 0) {
        free(handle);
        return nullptr;
    }
    if (tessel_rwlock_init(&handle->data.lock) != 0) {
        tessel_mutex_destroy(&handle->mutex);
        free(handle);
        return nullptr;
    }
    handle->hook_token = registration_hook_gate_open(handle);
    if (!handle->hook_token) {
        tessel_rwlock_destroy(&handle->data.lock);
        tessel_mutex_destroy(&handle->mutex);
        free(handle);
        return nullptr;
    }
    handle->actcode = static_cast<uint8_t*>(platform::SecretAlloc(TESSEL_GUID_SIZE));
    if (!handle->actcode) {
        TLOG_ERR("failed to allocate the activation code's memory");
        tessel_registration_free(handle);
        return nullptr;
    }
    handle->hosts.proxy.type = TESSEL_PROXY_NONE;
    handle->last_est_error = 0;
    handle->vesta_reregistration_interval = TESSEL_VESTA_REREGISTRATION_INTERVAL;

    if (parse_config(handle, config) != 0) {
        TLOG_ERR("encountered failure while parsing configuration, freeing partially constructed handle");
        tessel_registration_free(handle);
        return nullptr;
    }
    if (guid_is_absent(handle->agent_guid)) {
        TLOG_NOTICE("No agent guid was provided or is invalid, requesting for new guid");
        int result;
        {
            TESSEL_SCOPED_LOCK(&handle->mutex);
            result = registration_request_new_guid(handle);
        }
        if (result != 0) {
            TLOG_ERR("failed to obtain a agent guid from callback");
            tessel_registration_free(handle);
            return nullptr;
        }
    }
    handle->proxy_disabled = 0;
    handle->connection_failures = 0;
    handle->retry_exponent_cap = TESSEL_RETRY_EXPONENT_CAP;
    return handle;
}

void tessel_registration_free(tessel_registration_handle* handle) {
    if (!handle)
        return;
    // First of all: from here on no cloud hook reaches the handle, and the
    // hooks already running (one may be starting a run) have finished.
    registration_hook_gate_close(handle->hook_token);
    pthread_t thread;
    bool join = false;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        if (handle->thread_ctx)
            join = tessel_register_request_stop(handle->thread_ctx, &thread, true);
        handle->shutting_down = 1;
    }
    if (join)
        tessel_thread_join(thread, "register");
    tessel_periodic_stop();

    client_connector* connector;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        connector = handle->client_connector;
        handle->client_connector = nullptr;
    }
    // Outside the lock: freeing waits for the cloud client, whose hooks take it.
    if (connector)
        tessel_client_connector_free(connector);
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        release_handle_contents(handle);
    }
    tessel_mutex_destroy(&handle->mutex);
    tessel_rwlock_destroy(&handle->data.lock);
    platform::SecretFree(handle->actcode);
    OPENSSL_cleanse(handle, sizeof *handle);
    free(handle);
}

int tessel_registration_start(tessel_registration_handle* handle, int32_t retries) {
    TLOG_DEBUG("registration requested");
    if (!handle) {
        TLOG_ERR("registration manager handle is NULL");
        return -1;
    }
    return tessel_register_start(handle, retries);
}

void tessel_registration_stop(tessel_registration_handle* handle) {
    if (!handle) {
        TLOG_ERR("registration handle is NULL");
        return;
    }
    TESSEL_SCOPED_LOCK(&handle->mutex);
    tessel_register_request_stop(handle->thread_ctx, nullptr, false);
}

int tessel_registration_set_proxy(tessel_registration_handle* handle, const tessel_proxy_t* proxy) {
    if (!handle || !proxy) {
        TLOG_ERR("handle or proxy (actual: %p) is NULL", static_cast<const void*>(proxy));
        return -1;
    }
    TESSEL_SCOPED_LOCK(&handle->mutex);
    TESSEL_SCOPED_WRITE_LOCK(&handle->data.lock);
    registration_proxy_release(&handle->hosts.proxy);
    if (registration_proxy_copy(&handle->hosts.proxy, proxy) != 0) {
        TLOG_ERR("failed to allocate memory for proxy_username");
        handle->hosts.proxy.type = TESSEL_PROXY_NONE;
        return -1;
    }
    terminate(handle->hosts.proxy.server);

    http_client_handle* http_client = handle->client_connector
                                          ? tessel_client_connector_get_http_client(handle->client_connector)
                                          : nullptr;
    if (http_client && http_client_handle_set_proxy(http_client, &handle->hosts.proxy) != 0) {
        TLOG_ERR("failed to set proxy for http_client");
        return -1;
    }
    if (handle->client_connector) {
        if (cloud_conn* conn = tessel_client_connector_get_cloud_conn(handle->client_connector)) {
            cv_cloud_handle* cloud_handle = tessel_cloud_connector_get_cloud_handle(conn);
            int result = cloud_handle ? cloud_set_proxy(cloud_handle, &handle->hosts.proxy) : 0;
            tessel_cloud_conn_release(conn);
            if (result != 0) {
                TLOG_ERR("failed to setup cloud proxy");
                return -1;
            }
        }
    }
    handle->proxy_disabled = 0;
    handle->connection_failures = 0;
    TLOG_NOTICE("Clear connection failure count and disable proxy for new proxy");
    return 0;
}

int registration_update_config(tessel_registration_handle* handle, const registration_hosts* hosts,
                               uint32_t ping_interval) {
    if (!handle) {
        TLOG_ERR("handle is NULL");
        return -1;
    }
    if (!hosts) {
        TLOG_ERR("host config is NULL");
        return -1;
    }
    if (!hosts_valid(hosts))
        return -1;

    uint32_t old_ping_interval;
    uint16_t old_cloud_port;
    char old_cloud_host[TESSEL_HOST_NAME_SIZE] = {};
    bool hosts_changed;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        old_ping_interval = current_ping_interval(handle);
        old_cloud_port = handle->hosts.cloud_port;
        hosts_changed = strncmp(hosts->cloud_host, handle->hosts.cloud_host, TESSEL_HOST_NAME_SIZE) != 0 ||
                        hosts->cloud_port != handle->hosts.cloud_port;
        if (hosts_changed)
            memcpy(old_cloud_host, handle->hosts.cloud_host, sizeof old_cloud_host);

        {
            // The proxy is read by the steps under `data.lock`.
            TESSEL_SCOPED_WRITE_LOCK(&handle->data.lock);
            registration_proxy_release(&handle->hosts.proxy);
            handle->hosts = *hosts;
            handle->hosts.proxy.username = nullptr;
            if (hosts->proxy.type != TESSEL_PROXY_NONE &&
                registration_proxy_copy(&handle->hosts.proxy, &hosts->proxy) != 0) {
                TLOG_ERR("failed to copy proxy_username");
                return -1;
            }
            terminate_hosts(&handle->hosts);
        }
        if (handle->cloud_callbacks)
            handle->cloud_callbacks->ping_interval = ping_interval;
        if (!handle->client_connector) {
            TLOG_DEBUG("Hosts updated but we're not connected yet.");
            return 0;
        }
    }
    if (!hosts_changed)
        return apply_ping_interval(handle, ping_interval);

    if (cloud_replace_handle(handle, 0) != 0) {
        TLOG_ERR("failed to replace cloud handle");
        TESSEL_SCOPED_LOCK(&handle->mutex);
        handle->hosts.cloud_port = old_cloud_port;
        if (handle->cloud_callbacks)
            handle->cloud_callbacks->ping_interval = old_ping_interval;
        memcpy(handle->hosts.cloud_host, old_cloud_host, sizeof old_cloud_host);
        return -1;
    }
    cloud_install_status_hooks(handle);
    TLOG_NOTICE("new cloud handle instantiated");
    return 0;
}
