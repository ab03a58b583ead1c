#include "kit/registration_manager/registration_toggle_proxy.h"

#include "kit/registration_manager/cloud_registration.h"
#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"

void registration_toggle_proxy(tessel_registration_handle* handle, client_connector* connector) {
    if (!handle) return;
    TESSEL_SCOPED_LOCK(&handle->mutex);
    TESSEL_SCOPED_WRITE_LOCK(&handle->data.lock);
    if (!handle->hosts.proxy.allow_toggle) return;
    if (!connector) connector = handle->client_connector;
    tessel_proxy_t direct {};
    direct.type = TESSEL_PROXY_NONE;
    const tessel_proxy_t* target = handle->proxy_disabled ? &handle->hosts.proxy : &direct;
    const tessel_proxy_t* fallback = handle->proxy_disabled ? &direct : &handle->hosts.proxy;

    http_client_handle* http = connector ? tessel_client_connector_get_http_client(connector) : nullptr;
    if (http && http_client_handle_set_proxy(http, target) != 0) {
        TLOG_ERR("failed to set proxy for http_client");
        return;
    }
    cloud_conn* conn = connector ? tessel_client_connector_get_cloud_conn(connector) : nullptr;
    if (conn) {
        int rc = cloud_set_proxy(tessel_cloud_connector_get_cloud_handle(conn), target);
        tessel_cloud_conn_release(conn);
        if (rc != 0) {
            TLOG_ERR("failed to setup cloud proxy");
            if (http && http_client_handle_set_proxy(http, fallback) != 0)
                TLOG_ERR("failed to set proxy for http_client");
            return;
        }
    }
    handle->proxy_disabled = !handle->proxy_disabled;
    TLOG_NOTICE("Toggling disable proxy to: %s", handle->proxy_disabled ? "true" : "false");
}
