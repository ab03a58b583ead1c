#include "kit/registration_manager/vesta_registration.h"

#include <cstring>

#include "kit/registration_manager/registration_manager_util.h"
#include "kit/tessel_client/register.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/tessel_time.h"
#include "kit/util/guid_text.h"
#include "platform/secret_memory.h"

namespace {

constexpr int PREPARE_NO_CALLBACK = 2;

// The host's records for one registration; 0 register, 1 skip, else failure.
int prepare(tessel_registration_handle* handle, vesta_registration_info* registration_info,
            vesta_host_info* host_info) {
    memset(registration_info, 0, sizeof *registration_info);
    memset(host_info, 0, sizeof *host_info);
    TESSEL_SCOPED_LOCK(&handle->mutex);
    if (!handle->callbacks.prepare_vesta_registration_fn) {
        TLOG_ERR("Vesta registration callback not available.");
        return PREPARE_NO_CALLBACK;
    }
    return handle->callbacks.prepare_vesta_registration_fn(registration_info, host_info,
                                                           handle->callbacks.prepare_vesta_registration_ctx);
}

int send(tessel_registration_handle* handle, http_client_handle* http_client,
         const vesta_registration_info* registration_info, const vesta_host_info* host_info,
         const http_client_abort* abort) {
    vesta_info info = {};
    // The activation code's text: secret memory, out of core files, wiped when freed.
    platform::SecretText install_token = platform::MakeSecretText(TESSEL_GUID_TEXT_SIZE);
    if (!install_token)
        return VESTA_REGISTER_BODY_FAILED;
    bool has_token;
    bool filled = true;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        has_token = !guid_is_absent(handle->actcode);
        if (has_token)
            guid_to_text(handle->actcode, install_token.get(), false);
        guid_to_text(handle->agent_guid, info.agent_guid, false);
        guid_to_text(handle->business_guid, info.business_guid, false);
        guid_to_text(handle->affiliate_guid, info.affiliate_guid, false);
        size_t url_len = strnlen(handle->hosts.vesta_mgmt_url, sizeof handle->hosts.vesta_mgmt_url);
        if (url_len > TESSEL_MGMT_URL_MAX_LEN) {
            TLOG_ERR("vesta management URL too large to fit in vesta_info->mgmt_url");
            filled = false;
        } else {
            memcpy(info.mgmt_url, handle->hosts.vesta_mgmt_url, url_len);
            info.mgmt_url[url_len] = '\0';
        }
        info.last_vesta_registration = handle->last_vesta_registration;
    }
    if (!filled) {
        TLOG_ERR("failed to populate vesta_info");
        return VESTA_REGISTER_INVALID_ARGUMENT;
    }
    uint32_t http_status = 0;
    int result = register_endpoint(&info, host_info, registration_info, has_token ? install_token.get() : nullptr,
                                   &http_status, http_client, abort);
    if (result != VESTA_REGISTER_OK)
        TLOG_ERR("vesta registration failed, status %d", result);
    return result;
}

// `posted`: a post succeeded, and the host may now record what it sent (not
// before: a failed post must leave the change to be sent again).
void mark_registered(tessel_registration_handle* handle, bool posted) {
    TESSEL_SCOPED_LOCK(&handle->mutex);
    handle->last_vesta_registration = tessel_time_now();
    if (posted && handle->callbacks.vesta_registered_fn)
        handle->callbacks.vesta_registered_fn(handle->callbacks.vesta_registered_ctx);
}

// The connector's HTTP client, made with the handle's identity on first use.
http_client_handle* connector_http_client(tessel_registration_handle* handle, client_connector* connector) {
    http_client_handle* http_client = connector ? tessel_client_connector_get_http_client(connector) : nullptr;
    if (http_client)
        return http_client;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        if (!handle->client_cert || !handle->client_keypair) {
            TLOG_ERR("missing client keypair/client certificate!");
            return nullptr;
        }
        http_client_identity identity = {handle->client_cert, handle->client_keypair, handle->system_trust_root_certs,
                                         handle->system_trust_root_certs_count};
        http_client = http_client_handle_new(handle->user_agent, handle->callbacks.dns_resolver_fn,
                                             handle->callbacks.dns_resolver_ctx, &identity);
    }
    if (!http_client) {
        TLOG_ERR("failed to allocate new http_client handle");
        return nullptr;
    }
    if (tessel_client_connector_set_http_client(connector, http_client) != 0) {
        TLOG_ERR("failed to set http_client_handle");
        http_client_handle_free(http_client);
        return nullptr;
    }
    return http_client;
}

}  // namespace

int vesta_registration(tessel_registration_handle* handle, client_connector* connector,
                       const http_client_abort* abort) {
    if (!handle) {
        TLOG_ERR("handle is NULL");
        return tessel_vesta_registration_failed;
    }
    http_client_handle* http_client = connector_http_client(handle, connector);
    if (!http_client)
        return tessel_vesta_registration_failed;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        TESSEL_SCOPED_READ_LOCK(&handle->data.lock);
        if (!handle->proxy_disabled && handle->hosts.proxy.type != TESSEL_PROXY_NONE &&
            http_client_handle_set_proxy(http_client, &handle->hosts.proxy) != 0) {
            TLOG_ERR("failed to setup http_client proxy");
            return tessel_vesta_registration_failed;
        }
        http_client_handle_set_verbose(http_client, handle->verbose != 0);
    }

    vesta_registration_info registration_info;
    vesta_host_info host_info;
    int prepared = prepare(handle, &registration_info, &host_info);
    if (prepared == 1) {
        TLOG_INFO("Ignoring return from prepare_vesta_registration_fn callback to skip on initial registration.");
    } else if (prepared != 0) {
        TLOG_ERR("failed to populate host info");
        return tessel_vesta_registration_failed;
    }
    if (send(handle, http_client, &registration_info, &host_info, abort) != VESTA_REGISTER_OK)
        return tessel_vesta_registration_failed;
    mark_registered(handle, true);
    return tessel_vesta_registration_succeeded;
}

int vesta_reregistration(tessel_registration_handle* handle, const http_client_abort* abort) {
    if (!handle) {
        TLOG_ERR("handle is NULL");
        return -1;
    }
    int64_t interval;
    {
        TESSEL_SCOPED_READ_LOCK(&handle->data.lock);
        interval = handle->vesta_reregistration_interval;
    }
    bool due;
    client_connector* connector;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        const int64_t now = tessel_time_now();
        if (handle->last_vesta_registration > now)
            handle->last_vesta_registration = now;
        due = now - handle->last_vesta_registration >= interval;
        connector = handle->client_connector;
    }
    if (!due) {
        TLOG_INFO("Skipping Vesta registration because the Vesta reregistration interval has not elapsed.");
        return 0;
    }
    http_client_handle* http_client = connector ? tessel_client_connector_get_http_client(connector) : nullptr;
    if (!http_client) {
        TLOG_ERR("http_client_handle is NULL");
        return -1;
    }
    vesta_registration_info registration_info;
    vesta_host_info host_info;
    int prepared = prepare(handle, &registration_info, &host_info);
    if (prepared == 1) {
        TLOG_INFO("Skipping Vesta registration because of return from prepare_vesta_registration_fn callback");
        mark_registered(handle, false);
        return 0;
    }
    if (prepared != 0) {
        TLOG_ERR("failed to populate host info");
        return -1;
    }
    int result = send(handle, http_client, &registration_info, &host_info, abort);
    if (result != VESTA_REGISTER_OK)
        return result;
    mark_registered(handle, true);
    return 0;
}
