#include "kit/registration_manager/tessel_periodic.h"

#include <cerrno>

#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/registration_manager/vesta_registration.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/tessel_time.h"

namespace {

struct periodic_ctx {
    pthread_t thread;
    pthread_cond_t cond;  // monotonic, made once
    pthread_mutex_t mtx;
    uint8_t shutdown;
    uint8_t running;
    int64_t interval;
};

periodic_ctx _periodic_ctx = {{}, {}, PTHREAD_MUTEX_INITIALIZER, 0, 0, TESSEL_PERIODIC_INTERVAL};
pthread_once_t periodic_once = PTHREAD_ONCE_INIT;
int periodic_cond_error = 0;

void periodic_init_cond() { periodic_cond_error = tessel_cond_init(&_periodic_ctx.cond, true); }

// Waits one interval or until shutdown; the caller holds `mtx`. 0, or the
// error of a wait that failed (logged): the task then ends instead of taking
// the process down with it.
int periodic_wait() {
    const struct timespec deadline = tessel_time_deadline(_periodic_ctx.interval);
    while (!_periodic_ctx.shutdown) {
        const int err = tessel_cond_timedwait_checked(&_periodic_ctx.cond, &_periodic_ctx.mtx, &deadline);
        if (err == ETIMEDOUT)
            return 0;
        if (err)
            return err;
    }
    return 0;
}

// The abort check of a renewal post: stopping the task ends the post in
// flight rather than waiting for its time-out. `mtx` is not held meanwhile.
bool periodic_stopping(void*) {
    TESSEL_SCOPED_LOCK(&_periodic_ctx.mtx);
    return _periodic_ctx.shutdown != 0;
}

int periodic_main(void* argument) {
    auto* handle = static_cast<tessel_registration_handle*>(argument);
    uint32_t failures = 0;
    tessel_mutex_lock(&_periodic_ctx.mtx);
    if (_periodic_ctx.shutdown) {
        TLOG_NOTICE("periodic task received shutdown before polling");
        tessel_mutex_unlock(&_periodic_ctx.mtx);
        return 0;
    }
    for (;;) {
        if (periodic_wait() != 0) {
            TLOG_ERR("periodic task ends: its timed wait failed");
            break;
        }
        if (_periodic_ctx.shutdown) {
            TLOG_NOTICE("periodic task received shutdown after polling");
            break;
        }
        tessel_mutex_unlock(&_periodic_ctx.mtx);

        const http_client_abort abort {periodic_stopping, nullptr};
        if (vesta_reregistration(handle, &abort) != 0) {
            if (failures + 1 >= TESSEL_PERIODIC_MAX_FAILURES) {
                // Give the service a whole interval before the next try.
                TESSEL_SCOPED_LOCK(&handle->mutex);
                handle->last_vesta_registration = tessel_time_now();
                failures = 0;
            } else {
                ++failures;
            }
        } else {
            // Only consecutive failures postpone the renewal.
            failures = 0;
        }

        tessel_mutex_lock(&_periodic_ctx.mtx);
        if (_periodic_ctx.shutdown) {
            TLOG_NOTICE("periodic task received shutdown before polling");
            break;
        }
    }
    tessel_mutex_unlock(&_periodic_ctx.mtx);
    return 0;
}

}  // namespace

int tessel_periodic_start(tessel_registration_handle* handle) {
    if (!handle) {
        TLOG_ERR("handle is NULL");
        return -1;
    }
    pthread_once(&periodic_once, periodic_init_cond);
    if (periodic_cond_error != 0)
        return -1;
    TESSEL_SCOPED_LOCK(&_periodic_ctx.mtx);
    if (_periodic_ctx.running)
        return -1;
    tessel_thread_start(&_periodic_ctx.thread, handle, periodic_main, "tessel_periodic");
    _periodic_ctx.running = 1;
    return 0;
}

void tessel_periodic_stop(void) {
    tessel_mutex_lock(&_periodic_ctx.mtx);
    if (_periodic_ctx.running) {
        _periodic_ctx.shutdown = 1;
        tessel_cond_signal(&_periodic_ctx.cond);
        tessel_mutex_unlock(&_periodic_ctx.mtx);
        tessel_thread_join(_periodic_ctx.thread, "_periodic_ctx.thread");
        tessel_mutex_lock(&_periodic_ctx.mtx);
        _periodic_ctx.shutdown = 0;
        _periodic_ctx.running = 0;
    }
    tessel_mutex_unlock(&_periodic_ctx.mtx);
}
