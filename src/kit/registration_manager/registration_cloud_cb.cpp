#include "kit/registration_manager/registration_cloud_cb.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include "kit/registration_manager/registration_certificate_private.h"
#include "kit/registration_manager/registration_hook_gate.h"
#include "kit/registration_manager/registration_toggle_proxy.h"
#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"

namespace {

constexpr uint32_t k_failures_before_toggle = 3;

void tell_connection_status(tessel_registration_handle* h, int32_t event) {
    tessel_connection_status_fn fn = nullptr;
    void* ctx = nullptr;
    {
        TESSEL_SCOPED_LOCK(&h->mutex);
        if (h->cloud_callbacks) {
            fn = h->cloud_callbacks->connection_status_fn;
            ctx = h->cloud_callbacks->connection_status_ctx;
        }
    }
    if (fn) fn(event, h, ctx);
}

}  // namespace

int registration_cloud_provision_check(cv_cloud_handle* cloud_handle, uint8_t* need_cert, void* token) {
    if (!cloud_handle || !need_cert || !token) {
        TLOG_ERR("NULL arguments");
        return -1;
    }
    // The pass lasts until the run below has started, so a free that begins
    // meanwhile waits for it and then stops that run.
    registration_hook_pass pass(token);
    tessel_registration_handle* h = pass.handle();
    if (!h) {
        // Its trust store is gone too: the connection is not made at all.
        TLOG_INFO("registration handle is freed, no cloud connection for it.");
        return CV_PROVISION_WITHDRAWN;
    }
    {
        TESSEL_SCOPED_LOCK(&h->mutex);
        if (h->shutting_down) {
            TLOG_INFO("registration handle is shutting down, skipping cloud provisioning check.");
            return 0;
        }
        if (!*need_cert && !registration_certificate_needs_renewal_locked(h)) return 0;
        // A run in progress (re-provisioning or not) acquires the certificate
        // itself; a second run would take over its thread context.
        if (h->reprovisioning || h->thread_ctx) {
            *need_cert = 0;
            return 0;
        }
        h->reprovisioning = 1;
        if (*need_cert) {
            X509_free(h->client_cert);
            h->client_cert = nullptr;
        }
    }
    int rc = tessel_registration_start(h, -1);
    if (rc == 0) {
        *need_cert = 1;
        return 0;
    }
    TESSEL_SCOPED_LOCK(&h->mutex);
    h->reprovisioning = 0;
    return rc;
}

void registration_cloud_trust_store(X509_STORE* store, void* token) {
    if (!store || !token) {
        TLOG_ERR("NULL arguments passed to function");
        return;
    }
    registration_hook_pass pass(token);
    tessel_registration_handle* h = pass.handle();
    if (!h) return;
    // The roots are set when the handle is made and never change.
    for (uint32_t i = 0; i < h->system_trust_root_certs_count; i++) {
        X509* cert = h->system_trust_root_certs[i];
        if (!cert) {
            TLOG_ERR("CA certificate is NULL! (%zu)", static_cast<size_t>(i));
            continue;
        }
        if (X509_STORE_add_cert(store, cert) == 1) continue;
        unsigned long err = ERR_peek_last_error();
        char subject[256] = {0};
        X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
        if (ERR_GET_REASON(err) == X509_R_CERT_ALREADY_IN_HASH_TABLE)
            TLOG_INFO("Certificate add skipped, certificate is already in trust: %s", subject);
        else
            TLOG_ERR("Cannot store certificate to trust: %s (%lu) [%s]", subject, err, ERR_error_string(err, nullptr));
        ERR_clear_error();
    }
}

void registration_cloud_connection_failed(int64_t attempt_time, void* token) {
    (void)attempt_time;
    registration_hook_pass pass(token);
    tessel_registration_handle* h = pass.handle();
    if (!h) return;
    bool toggle = false;
    {
        TESSEL_SCOPED_LOCK(&h->mutex);
        if (++h->connection_failures >= k_failures_before_toggle) {
            h->proxy_toggled = 1;
            h->connection_failures = 0;
            toggle = true;
        }
    }
    if (!toggle) return;
    registration_toggle_proxy(h, nullptr);
    tell_connection_status(h, TESSEL_CONNECTION_PROXY_TOGGLED);
}

void registration_cloud_connection_attempted(void* token) {
    registration_hook_pass pass(token);
    tessel_registration_handle* h = pass.handle();
    if (!h) return;
    bool toggled;
    {
        TESSEL_SCOPED_LOCK(&h->mutex);
        h->connection_failures = 0;
        toggled = h->proxy_toggled;
        h->proxy_toggled = 0;
    }
    if (toggled) tell_connection_status(h, TESSEL_CONNECTION_RESTORED_AFTER_TOGGLE);
}
