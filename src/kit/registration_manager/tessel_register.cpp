#include "kit/registration_manager/tessel_register.h"

#include <cstdlib>

#include "cloud/cv_cloud.h"
#include "kit/registration_manager/certificate_acquisition.h"
#include "kit/registration_manager/cloud_registration.h"
#include "kit/registration_manager/registration_manager_util.h"
#include "kit/registration_manager/registration_toggle_proxy.h"
#include "kit/registration_manager/tessel_registration_certificate.h"
#include "kit/registration_manager/vesta_registration.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/tessel_time.h"

namespace {

constexpr uint32_t BACKOFF_MAX_EXPONENT = 5;
constexpr uint32_t BACKOFF_BASE_SECONDS = 5;

struct register_thread_arg {
    tessel_registration_handle* handle;
    tessel_register_thread_ctx* ctx;
    int32_t retries;
};

// A step's result that moves the run forward: the back-off starts over.
bool is_progress(int32_t state) {
    return state == tessel_certificate_acquisition_succeeded || state == tessel_vesta_registration_succeeded;
}

// A network step that failed; a stop that cuts such a step short is no failure.
bool is_retried_failure(int32_t state) {
    return state == tessel_certificate_acquisition_failed || state == tessel_vesta_registration_failed ||
           state == tessel_cloud_connection_failed;
}

// A step's result that asks for the run to be repeated: a failure, a GUID
// that already has a certificate (423), or a certificate the cloud refused
// (back to 0). A server that answers so for ever must not make the run loop
// without a wait or beyond its budget.
bool is_retry(int32_t state) {
    return is_retried_failure(state) || state == tessel_certificate_acquisition_duplicate_guid ||
           state == tessel_registration_not_started;
}

// The caller holds the handle's `mutex`.
void report_status(tessel_registration_handle* handle, int32_t state) {
    if (!handle->callbacks.status_update_fn)
        return;
    tessel_status_update_info info;
    {
        TESSEL_SCOPED_READ_LOCK(&handle->data.lock);
        info.last_est_error = handle->last_est_error;
    }
    info.state = state;
    handle->callbacks.status_update_fn(&info, handle->callbacks.status_update_ctx);
}

// The run ends stopped (the caller holds the handle's `mutex`). A stop is no
// failure of the network or the server: the EST error a step cut short or an
// earlier attempt left is not told with it.
void report_stopped(tessel_registration_handle* handle, tessel_registration_run_state* run) {
    {
        TESSEL_SCOPED_WRITE_LOCK(&handle->data.lock);
        handle->last_est_error = TESSEL_EST_OK;
    }
    run->state = tessel_registration_stopped;
    report_status(handle, run->state);
    TLOG_NOTICE("received stop for thread");
}

bool stop_requested(tessel_register_thread_ctx* ctx) {
    TESSEL_SCOPED_LOCK(&ctx->mutex);
    return ctx->stop != 0;
}

// The abort check of the run's network steps: a stop ends a transfer in
// flight instead of letting it run to its time-out.
bool stop_requested_cb(void* ctx) { return stop_requested(static_cast<tessel_register_thread_ctx*>(ctx)); }

// Waits `seconds` or until a stop request, whichever comes first. True when stopped.
bool backoff_wait(tessel_register_thread_ctx* ctx, uint32_t seconds) {
    const struct timespec deadline = tessel_time_deadline(seconds);
    TESSEL_SCOPED_LOCK(&ctx->mutex);
    while (!ctx->stop) {
        if (!tessel_cond_timedwait(&ctx->wake, &ctx->mutex, &deadline))
            break;
    }
    return ctx->stop != 0;
}

// State 6: the new key and certificate go to the connector's live clients.
void apply_new_certificate(tessel_registration_handle* handle, client_connector* connector) {
    if (!connector)
        return;
    EVP_PKEY* keypair;
    X509* cert;
    {
        // References, so the cloud client is called without the handle's lock.
        TESSEL_SCOPED_LOCK(&handle->mutex);
        keypair = handle->client_keypair;
        cert = handle->client_cert;
        if (keypair)
            EVP_PKEY_up_ref(keypair);
        if (cert)
            X509_up_ref(cert);
    }
    if (keypair && cert) {
        if (cloud_conn* conn = tessel_client_connector_get_cloud_conn(connector)) {
            if (cv_cloud_handle* cloud_handle = tessel_cloud_connector_get_cloud_handle(conn))
                cv_cloud_update_client_auth(cloud_handle, keypair, cert);
            tessel_cloud_conn_release(conn);
        }
        if (http_client_handle* http_client = tessel_client_connector_get_http_client(connector))
            http_client_handle_set_client_auth(http_client, keypair, cert);
    }
    EVP_PKEY_free(keypair);
    X509_free(cert);
}

// Runs the step of `state`; *error is set when the run must end at once.
int32_t execute_state(tessel_registration_handle* handle, client_connector* connector, tessel_register_thread_ctx* ctx,
                      int32_t state, bool* error) {
    const http_client_abort abort {stop_requested_cb, ctx};
    switch (state) {
    case tessel_registration_not_started:
        TLOG_NOTICE("Registration Started");
        return certificate_acquisition(handle, &abort);
    case tessel_certificate_acquisition_failed_forbidden:
        TLOG_ERR("EKDSv2 server replied with the forbidden status");
        return state;
    case tessel_certificate_acquisition_failed:
        registration_toggle_proxy(handle, connector);
        return certificate_acquisition(handle, &abort);
    case tessel_certificate_acquisition_duplicate_guid: {
        int result;
        {
            TESSEL_SCOPED_LOCK(&handle->mutex);
            result = registration_request_new_guid(handle);
        }
        if (result != 0) {
            TLOG_ERR("Failed to obtain new guid");
            *error = true;
            return state;
        }
        return certificate_acquisition(handle, &abort);
    }
    case tessel_certificate_acquisition_succeeded:
        TLOG_NOTICE("Certificate Acquisition Completed");
        apply_new_certificate(handle, connector);
        return vesta_registration(handle, connector, &abort);
    case tessel_vesta_registration_failed:
        registration_toggle_proxy(handle, connector);
        return vesta_registration(handle, connector, &abort);
    case tessel_vesta_registration_succeeded:
        TLOG_NOTICE("Vesta Registration Completed");
        return cloud_registration(handle, connector);
    case tessel_cloud_connection_failed:
        registration_toggle_proxy(handle, connector);
        return cloud_registration(handle, connector);
    case tessel_cloud_connection_succeeded:
        TLOG_NOTICE("Cloud Registration Completed");
        return state;
    default:
        TLOG_ERR("Unexpected state encountered, %d", state);
        *error = true;
        return tessel_registration_stopped;
    }
}

// The state machine; leaves the final state in run->state.
void tessel_register(tessel_registration_handle* handle, tessel_register_thread_ctx* ctx, int32_t retries,
                     tessel_registration_run_state* run) {
    int32_t budget = retries;
    // After the cloud refused the certificate, the re-enrolment's progress does
    // not reset the back-off: only a finished registration ends that cycle.
    bool refused = false;
    for (bool first = true;; first = false) {
        const int32_t state = run->state;
        if (state == tessel_registration_stopped || state == tessel_certificate_acquisition_missing_actcode ||
            state < 0 || state > tessel_cloud_connection_succeeded) {
            TLOG_ERR("Unexpected state %d", state);
            budget = 0;
        } else if (state == tessel_certificate_acquisition_failed_forbidden ||
                   state == tessel_cloud_connection_succeeded) {
            budget = 0;
        } else if (!first && is_retry(state) && budget != -1) {
            --budget;
        }

        bool error = false;
        run->state = execute_state(handle, run->connector, ctx, state, &error);
        if (error) {
            TLOG_ERR("Error encountered during state execution");
            return;
        }
        if (run->state == tessel_registration_not_started)
            refused = true;

        uint32_t ceiling;
        {
            TESSEL_SCOPED_LOCK(&handle->mutex);
            const bool stopped = stop_requested(ctx);
            // A failure of a step the stop cut short is not told.
            if (!stopped || !is_retried_failure(run->state))
                report_status(handle, run->state);
            if (stopped) {
                report_stopped(handle, run);
                budget = 0;
            }
            ceiling = tessel_register_backoff_ceiling(handle->attempt, handle->retry_exponent_cap);
            if (is_progress(run->state) && !refused)
                handle->attempt = 0;
        }
        if (is_progress(run->state))
            continue;
        if (run->state == tessel_cloud_connection_succeeded ||
            run->state == tessel_certificate_acquisition_failed_forbidden || (budget != -1 && budget < 1))
            return;

        const uint32_t wait = tessel_register_backoff_wait(ceiling);
        TLOG_DEBUG("next registration attempt in %u seconds", wait);
        if (backoff_wait(ctx, wait)) {
            // A stop during the wait ends the run now rather than after one more step.
            TESSEL_SCOPED_LOCK(&handle->mutex);
            report_stopped(handle, run);
            return;
        }
        TESSEL_SCOPED_LOCK(&handle->mutex);
        if (handle->attempt < UINT32_MAX)
            ++handle->attempt;
    }
}

// What is left to do when the state machine ended.
void finish_run(tessel_registration_handle* handle, tessel_registration_run_state* run, bool reprovisioning,
                bool created_connector) {
    if (run->state == tessel_cloud_connection_succeeded) {
        TLOG_NOTICE("Registration Completed Successfully");
        if (!reprovisioning && tessel_periodic_start(handle) != 0)
            TLOG_NOTICE("failed to start tessel periodic task, task already running?!");
        return;
    }
    TLOG_NOTICE("Registration Failed, state: %d", run->state);
    if (reprovisioning) {
        if (run->state == tessel_certificate_acquisition_failed_forbidden && run->connector)
            tessel_client_connector_retire_cloud_conn(run->connector);
        return;
    }
    if (created_connector && run->connector) {
        client_connector* connector = run->connector;
        run->connector = nullptr;
        {
            TESSEL_SCOPED_LOCK(&handle->mutex);
            if (handle->client_connector == connector)
                handle->client_connector = nullptr;
        }
        tessel_client_connector_free(connector);
    }
}

// One run: state machine, hand-over of the connector, and the callbacks.
void run_registration(tessel_registration_handle* handle, tessel_register_thread_ctx* ctx, int32_t retries,
                      bool reprovisioning) {
    tessel_registration_run_state run = {tessel_registration_not_started, nullptr};
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        run.connector = handle->client_connector;
    }
    // A handle keeps one connector for its life: the host and the periodic
    // task hold it, so a later run reuses it instead of replacing it.
    const bool created_connector = run.connector == nullptr;
    if (created_connector && tessel_client_connector_new(&run.connector) != 0) {
        TLOG_ERR("failed to initialize the client connector");
        return;
    }
    tessel_register(handle, ctx, retries, &run);
    finish_run(handle, &run, reprovisioning, created_connector);

    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        handle->client_connector = run.connector;
    }
    if (run.connector)
        cloud_install_status_hooks(handle);

    client_connector* released = nullptr;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        if (handle->callbacks.registration_completed_fn) {
            handle->callbacks.registration_completed_fn(&run, handle->callbacks.registration_completed_ctx);
        } else {
            released = handle->client_connector;
            handle->client_connector = nullptr;
        }
    }
    // Freeing waits for the cloud client, whose hooks take the handle's mutex.
    if (released)
        tessel_client_connector_free(released);
}

int register_thread_main(void* argument) {
    auto* arg = static_cast<register_thread_arg*>(argument);
    tessel_registration_handle* handle = arg->handle;
    tessel_register_thread_ctx* ctx = arg->ctx;

    const bool stop = stop_requested(ctx);
    bool reprovisioning;
    bool shutting_down;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        reprovisioning = handle->reprovisioning != 0;
        shutting_down = handle->shutting_down != 0;
    }
    if (!stop && !shutting_down)
        run_registration(handle, ctx, arg->retries, reprovisioning);

    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        if (handle->thread_ctx == ctx)
            handle->thread_ctx = nullptr;
        handle->reprovisioning = 0;
    }
    // No one can ask for a join any more: the handle no longer points here.
    bool joined;
    {
        TESSEL_SCOPED_LOCK(&ctx->mutex);
        joined = ctx->joined != 0;
    }
    if (!joined)
        pthread_detach(pthread_self());
    tessel_cond_destroy(&ctx->wake);
    tessel_mutex_destroy(&ctx->mutex);
    free(ctx);
    free(arg);
    return 0;
}

}  // namespace

uint32_t tessel_register_backoff_ceiling(uint32_t attempt, uint32_t cap) {
    uint32_t k = attempt;
    if (k > cap)
        k = cap;
    if (k > BACKOFF_MAX_EXPONENT)
        k = BACKOFF_MAX_EXPONENT;
    return BACKOFF_BASE_SECONDS * (1u << k) - BACKOFF_BASE_SECONDS;
}

uint32_t tessel_register_backoff_wait(uint32_t ceiling) {
    if (ceiling == 0)
        return 0;
    return BACKOFF_BASE_SECONDS + tessel_random_u32() % (ceiling + 1);
}

int tessel_register_start(tessel_registration_handle* handle, int32_t retries) {
    if (!handle) {
        TLOG_ERR("handle is NULL");
        return -1;
    }
    if (retries < -1) {
        TLOG_ERR("invalid retries %d", retries);
        return -1;
    }
    auto* ctx = static_cast<tessel_register_thread_ctx*>(calloc(1, sizeof(tessel_register_thread_ctx)));
    if (!ctx) {
        TLOG_ERR("registration context allocation failed");
        return -1;
    }
    auto* arg = static_cast<register_thread_arg*>(calloc(1, sizeof(register_thread_arg)));
    if (!arg) {
        TLOG_ERR("failed to allocate thread arguments");
        free(ctx);
        return -1;
    }
    if (tessel_mutex_init(&ctx->mutex, false) != 0) {
        free(arg);
        free(ctx);
        return -1;
    }
    if (tessel_cond_init(&ctx->wake, true) != 0) {
        tessel_mutex_destroy(&ctx->mutex);
        free(arg);
        free(ctx);
        return -1;
    }
    *arg = {handle, ctx, retries};

    TESSEL_SCOPED_LOCK(&handle->mutex);
    // A second run would share the handle unjoined, and a run after the
    // handle began shutting down would outlive it.
    if (handle->thread_ctx || handle->shutting_down) {
        TLOG_ERR(handle->shutting_down ? "registration handle is shutting down, run not started"
                                       : "a registration run is already in progress");
        tessel_cond_destroy(&ctx->wake);
        tessel_mutex_destroy(&ctx->mutex);
        free(arg);
        free(ctx);
        return -1;
    }
    handle->thread_ctx = ctx;
    tessel_thread_start(&ctx->thread, arg, register_thread_main, "register");
    return 0;
}

bool tessel_register_request_stop(tessel_register_thread_ctx* thread_ctx, pthread_t* thread_out, bool joined) {
    if (!thread_ctx) {
        TLOG_NOTICE("Stop ignored, no registration thread context");
        return false;
    }
    TESSEL_SCOPED_LOCK(&thread_ctx->mutex);
    thread_ctx->stop = 1;
    if (thread_out)
        *thread_out = thread_ctx->thread;
    // Once a caller will join, a later stop without join must not let the thread detach.
    if (joined)
        thread_ctx->joined = 1;
    tessel_cond_broadcast(&thread_ctx->wake);
    return true;
}
