#include "cloud/cv_cloud_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <string>

#include "cloud/cv_cloud_transport.h"
#include "platform/log_escape.h"

// ---- Diagnostic writers ----------------------------------------------------

namespace {

struct cv_log_state {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    cv_log_hook_fn hook = nullptr;
    void* hook_data = nullptr;
    cv_log_sink_fn sink = nullptr;
    void* sink_data = nullptr;
    // Read on every trace call of every worker: an atomic, not the mutex.
    std::atomic<uint32_t> trace_mask{CV_TRACE_WRITE};
};

cv_log_state g_log;

// Formats into a string with the control characters of the arguments
// escaped (they quote server answers and TLS errors); the format's own
// leading and trailing text stays as written. False when memory ran out.
bool format_text(std::string* out, const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return false;
    size_t len = static_cast<size_t>(n);
    char* big = nullptr;
    if (len >= sizeof small) {
        big = static_cast<char*>(malloc(len + 1));
        if (!big)
            return false;
        vsnprintf(big, len + 1, format, args);
    }
    out->clear();
    platform::AppendEscapedLogText(std::string_view(big ? big : small, len), platform::LiteralEndsOf(format), len * 4,
                                   out);
    free(big);
    return true;
}

void time_stamp(char (&buf)[32]) {
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local) || strftime(buf, sizeof buf, "%b %d %H:%M:%S", &local) == 0)
        buf[0] = '\0';
}

void write_line(const std::string& line) {
    pthread_mutex_lock(&g_log.mutex);
    if (g_log.sink) {
        g_log.sink(line.c_str(), g_log.sink_data);
    } else {
        fputs(line.c_str(), stdout);
        fflush(stdout);
    }
    pthread_mutex_unlock(&g_log.mutex);
}

// The hook, read under the writers' mutex; false when none is installed.
bool call_hook(const char* text) {
    pthread_mutex_lock(&g_log.mutex);
    cv_log_hook_fn hook = g_log.hook;
    void* data = g_log.hook_data;
    pthread_mutex_unlock(&g_log.mutex);
    if (!hook)
        return false;
    hook(text, data);
    return true;
}

}  // namespace

void cv_log_verror(const char* format, va_list args) {
    // The pending system error is read before anything else can change it.
    int errnum = errno;
    std::string text;
    if (!format_text(&text, format, args))
        text = format;
    if (!call_hook(text.c_str())) {
        char stamp[32];
        time_stamp(stamp);
        char line_head[64];
        snprintf(line_head, sizeof line_head, "%s: ERROR: ", stamp);
        std::string line = line_head + text;
        if (errnum != 0) {
            char tail[64];
            snprintf(tail, sizeof tail, " : %i", errnum);
            line += tail;
            // strerrordesc_np gives no text for numbers the system does not know.
            if (const char* description = strerrordesc_np(errnum)) {
                line += " : ";
                line += description;
            }
        }
        line += '\n';
        write_line(line);
    }
    errno = 0;
}

void cv_log_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    cv_log_verror(format, args);
    va_end(args);
}

void cv_log_trace(uint32_t flags, const char* format, ...) {
    if ((flags & g_log.trace_mask.load(std::memory_order_relaxed)) == 0)
        return;
    std::string text;
    va_list args;
    va_start(args, format);
    bool formatted = format_text(&text, format, args);
    va_end(args);
    if (!formatted) {
        cv_log_error("trace: malloc");
        return;
    }
    char stamp[32];
    time_stamp(stamp);
    write_line(std::string(stamp) + ": " + text + "\n");
}

void cv_log_set_hook(cv_log_hook_fn hook, void* user_data) {
    pthread_mutex_lock(&g_log.mutex);
    g_log.hook = hook;
    g_log.hook_data = user_data;
    pthread_mutex_unlock(&g_log.mutex);
}

void cv_log_set_sink(cv_log_sink_fn sink, void* user_data) {
    pthread_mutex_lock(&g_log.mutex);
    g_log.sink = sink;
    g_log.sink_data = user_data;
    pthread_mutex_unlock(&g_log.mutex);
}

uint32_t cv_log_set_trace_mask(uint32_t mask) { return g_log.trace_mask.exchange(mask); }

// ---- Lock functions ----------------------------------------------------------

namespace {

constexpr long HOLD_WARNING_USEC = 2000000;

const char* tag_text(const char* tag) { return tag ? tag : "(null)"; }

// Hold times are measured on the monotonic clock so that a change of the
// wall clock neither fakes nor hides a long hold. Its coarse reading (a few
// milliseconds) is plenty for a 2 s limit and costs less on every lock.
bool now_tv(const char* func, struct timeval* tv) {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0) {
        cv_log_error("%s(): DANGER: gettimeofday failed with err %d", func, errno);
        tv->tv_sec = 0;
        tv->tv_usec = 0;
        return false;
    }
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return true;
}

// The outermost holder is letting go (release, or a wait that releases):
// complain about a hold of more than 2 s or of an unknown owner, then forget
// the owner.
void end_hold(const char* func, cv_async_mutex* am, const char* tag) {
    struct timeval now;
    now_tv(func, &now);
    long long held = (static_cast<long long>(now.tv_sec) - am->acquired_at.tv_sec) * 1000000LL +
                     (now.tv_usec - am->acquired_at.tv_usec);
    if (held < 0)
        held = 0;
    if (!am->owner_tag || held > HOLD_WARNING_USEC) {
        cv_log_error("%s(): unexpected; async lock release by %s was held for %ld.%06ld seconds by %s", func,
                     tag_text(tag), static_cast<long>(held / 1000000), static_cast<long>(held % 1000000),
                     tag_text(am->owner_tag));
    }
    am->owner_tag = nullptr;
    am->acquired_at.tv_sec = 0;
    am->acquired_at.tv_usec = 0;
}

void begin_hold(const char* func, cv_async_mutex* am, const char* tag) {
    now_tv(func, &am->acquired_at);
    am->owner_tag = tag;
}

}  // namespace

int cv_cloud_async_mutex_init(cv_async_mutex* async_mutex) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0)
        rc = pthread_mutex_init(&async_mutex->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc == 0) {
        async_mutex->acquired_at = {0, 0};
        async_mutex->owner_tag = nullptr;
        async_mutex->depth = 0;
    }
    return rc;
}

int cv_cloud_async_mutex_destroy(cv_async_mutex* async_mutex) { return pthread_mutex_destroy(&async_mutex->mutex); }

int _cv_lock(pthread_mutex_t* mutex, const char* tag) {
    int rc = pthread_mutex_lock(mutex);
    if (rc != 0) {
        cv_log_error("%s(): DANGER:%s failed to obtain %s mutex: %d", __func__, tag ? tag : "", "async", rc);
        return 0;
    }
    return 1;
}

int _cv_unlock(pthread_mutex_t* mutex, const char* tag) {
    int rc = pthread_mutex_unlock(mutex);
    if (rc != 0) {
        cv_log_error("%s(): DANGER:%s failed to release %s mutex: %d", __func__, tag ? tag : "", "async", rc);
        return 0;
    }
    return 1;
}

int cv_cloud_async_lock_(cv_cloud_handle* handle, const char* tag) {
    if (!cv_cloud_is_async(handle))
        return 0;
    cv_async_mutex* am = &handle->async_mutex;
    if (!_cv_lock(&am->mutex, tag))
        return 0;
    handle->stats.async_locks++;
    if (am->depth == 0)
        begin_hold(__func__, am, tag);
    am->depth++;
    return 1;
}

int cv_cloud_async_unlock_(cv_cloud_handle* handle, const char* tag) {
    if (!cv_cloud_is_async(handle))
        return 0;
    cv_async_mutex* am = &handle->async_mutex;
    if (am->depth == 0)
        cv_log_error("%s(): DANGER: async unlock by %s on lock that is not owned", __func__, tag_text(tag));
    else if (am->depth == 1)
        end_hold(__func__, am, tag);
    if (am->depth > 0) {
        am->depth--;
        handle->stats.async_unlocks++;
    }
    return _cv_unlock(&am->mutex, tag);
}

int cv_cloud_async_lock_cond_timedwait_(pthread_cond_t* condition, cv_cloud_handle* handle,
                                        const struct timespec* deadline, const char* tag) {
    if (!cv_cloud_is_async(handle))
        return 0;
    cv_async_mutex* am = &handle->async_mutex;
    const uint32_t depth = am->depth;
    if (depth == 0)
        cv_log_error("%s(): DANGER: async cond wait by %s on lock that is not owned.", __func__, tag_text(tag));
    else if (depth > 1)
        cv_log_error("%s(): DANGER: async cond wait by %s on lock that has been taken again since %s", __func__,
                     tag_text(tag), tag_text(am->owner_tag));
    else
        end_hold(__func__, am, tag);
    if (depth > 0)
        am->depth--;

    int rc = deadline ? pthread_cond_timedwait(condition, &am->mutex, deadline)
                      : pthread_cond_wait(condition, &am->mutex);
    if (rc != 0 && rc != ETIMEDOUT)
        cv_log_error("%s(): DANGER:%s cond wait failed for async lock: %d", __func__, tag_text(tag), rc);

    // The caller holds the mutex again, unless it never held it: then the
    // record is left alone rather than claiming a lock nobody owns.
    if (depth > 0) {
        begin_hold(__func__, am, tag);
        am->depth++;
    }
    return rc;
}

int _cv_lock_rw(cv_cloud_handle* handle, pthread_rwlock_t* lock, int exclusive) {
    if (!cv_cloud_is_async(handle))
        return 0;
    int rc;
    if (exclusive) {
        // The receive worker may sit in a long socket wait with the lock
        // shared: it lets go at once instead.
        _cv_writer_arrives(handle);
        rc = pthread_rwlock_wrlock(lock);
        _cv_writer_entered(handle);
    } else {
        rc = pthread_rwlock_rdlock(lock);
    }
    if (rc != 0) {
        cv_log_error("%s(): DANGER: failed to obtain %s %s lock: %d", __func__, "socket", exclusive ? "write" : "read",
                     rc);
        return 0;
    }
    return 1;
}

int _cv_unlock_rw(cv_cloud_handle* handle, pthread_rwlock_t* lock) {
    if (!cv_cloud_is_async(handle))
        return 0;
    int rc = pthread_rwlock_unlock(lock);
    if (rc != 0) {
        cv_log_error("%s(): DANGER: failed to release %s lock: %d", __func__, "socket", rc);
        return 0;
    }
    return 1;
}
