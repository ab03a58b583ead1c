// The cloud client's lock functions and diagnostic writers.
//
// Lock functions add diagnostics to the thread library's primitives and never
// abort: a failure is logged with "DANGER" and reported by a 0 result. On a
// handle without CV_HANDLE_FLAG_ASYNC the async-lock and socket-lock functions
// do nothing and return 0 at once (a synchronous handle has a single user);
// callers that lock such a handle check the flag first. The plain mutex
// functions always lock.
//
// Every cloud-client message goes through the writers: time-stamped lines on
// standard output ("%b %d %H:%M:%S: ERROR: text"). Trace lines are written
// only when their flags carry CV_TRACE_WRITE; the client's callers pass
// CV_TRACE_DEFAULT or CV_TRACE_VERBOSE, so by default no trace line appears.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdarg>
#include <cstdint>

#include "cloud/cv_cloud_handle.h"

// ---- Diagnostic writers ----------------------------------------------------

constexpr uint32_t CV_TRACE_DEFAULT = 0x1;
constexpr uint32_t CV_TRACE_WRITE = 0x4;
constexpr uint32_t CV_TRACE_VERBOSE = 0x4000000;

// The error writer: formats the text and writes "<time>: ERROR: <text>",
// followed by " : <errno> : <text of errno>" when a system error is pending
// (" : <errno>" when the system has no text for it); then clears errno.
void cv_log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void cv_log_verror(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// The trace writer: "<time>: <text>" when `flags` meet the trace mask.
void cv_log_trace(uint32_t flags, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The client's log hook: when installed it receives the text of every error
// line instead of the writers. Null removes it. The library installs none.
typedef void (*cv_log_hook_fn)(const char* text, void* user_data);
void cv_log_set_hook(cv_log_hook_fn hook, void* user_data);

// Where finished lines go instead of standard output (each line ends in a
// newline). For tests and for hosts that collect the client's output. The
// sink runs under the writers' mutex: it must not log through these writers.
// Null restores standard output.
typedef void (*cv_log_sink_fn)(const char* line, void* user_data);
void cv_log_set_sink(cv_log_sink_fn sink, void* user_data);

// Trace flags that are written (default CV_TRACE_WRITE). Returns the old mask.
uint32_t cv_log_set_trace_mask(uint32_t mask);

#define CV_STR_(x) #x
#define CV_STR(x) CV_STR_(x)
// The caller tag of a lock call: source file and line, as constant text.
#define CV_LOCK_TAG __FILE_NAME__ ":" CV_STR(__LINE__)

// ---- Lock functions ----------------------------------------------------------

// Creation and destruction of the async mutex record (recursive mutex); 0 or
// the pthread error.
int cv_cloud_async_mutex_init(cv_async_mutex* async_mutex);
int cv_cloud_async_mutex_destroy(cv_async_mutex* async_mutex);

// 1 on success, 0 on failure (or when the handle is not asynchronous).
int cv_cloud_async_lock_(cv_cloud_handle* handle, const char* tag);
int cv_cloud_async_unlock_(cv_cloud_handle* handle, const char* tag);
// Waits on `condition` with the async mutex (held once by the caller) until
// signalled or until `deadline` (null: no deadline; the clock is the
// condition's). Returns 0, ETIMEDOUT or the wait's error.
int cv_cloud_async_lock_cond_timedwait_(pthread_cond_t* condition, cv_cloud_handle* handle,
                                        const struct timespec* deadline, const char* tag);

#define cv_cloud_async_lock(h) cv_cloud_async_lock_((h), CV_LOCK_TAG)
#define cv_cloud_async_unlock(h) cv_cloud_async_unlock_((h), CV_LOCK_TAG)
#define cv_cloud_async_lock_cond_timedwait(c, h, d) cv_cloud_async_lock_cond_timedwait_((c), (h), (d), CV_LOCK_TAG)

// True when the handle runs the query engine and so has its locks.
inline bool cv_cloud_is_async(const cv_cloud_handle* handle) {
    return handle && (handle->flags & CV_HANDLE_FLAG_ASYNC) != 0;
}

// Holds the async mutex for a scope on an asynchronous handle; a synchronous
// handle has a single user and takes nothing. The caller's tag names the hold.
class cv_async_guard {
public:
    cv_async_guard(cv_cloud_handle* handle, const char* tag)
        : handle_(handle), tag_(tag), locked_(cv_cloud_is_async(handle) && cv_cloud_async_lock_(handle, tag)) {}
    ~cv_async_guard() {
        if (locked_)
            cv_cloud_async_unlock_(handle_, tag_);
    }
    bool locked() const { return locked_; }
    cv_async_guard(const cv_async_guard&) = delete;
    cv_async_guard& operator=(const cv_async_guard&) = delete;

private:
    cv_cloud_handle* handle_;
    const char* tag_;
    bool locked_;
};
#define CV_CONCAT_(a, b) a##b
#define CV_CONCAT(a, b) CV_CONCAT_(a, b)
#define CV_ASYNC_GUARD(h) cv_async_guard CV_CONCAT(cv_async_guard_, __LINE__)((h), CV_LOCK_TAG)

// The socket lock: exclusive (non-zero) or shared. 1 on success, 0 on failure.
int _cv_lock_rw(cv_cloud_handle* handle, pthread_rwlock_t* lock, int exclusive);
int _cv_unlock_rw(cv_cloud_handle* handle, pthread_rwlock_t* lock);

// Plain mutexes (transfer, client authentication). 1 on success, 0 on failure.
int _cv_lock(pthread_mutex_t* mutex, const char* tag);
int _cv_unlock(pthread_mutex_t* mutex, const char* tag);
