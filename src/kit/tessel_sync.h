// The kit's synchronisation helpers. A failure to lock, unlock, wait on or
// signal a kit lock, or to start or join a kit thread, is fatal: it is logged
// at level 3 with the lock's name as written at the call site (the macros pass
// the argument's text, so `tessel_mutex_lock(&handle->mutex)` reports
// "&handle->mutex") and the process aborts. Failures to create or destroy a
// lock are logged and returned to the caller instead.
#pragma once

#include <pthread.h>
#include <ctime>

[[noreturn]] void tessel_fatal_errno(int errnum, const char* file, unsigned line, const char* format,
                                     const char* name);

void tessel_mutex_lock_(pthread_mutex_t* mutex, const char* name, const char* file, unsigned line);
void tessel_mutex_unlock_(pthread_mutex_t* mutex, const char* name, const char* file, unsigned line);
void tessel_rwlock_rdlock_(pthread_rwlock_t* lock, const char* name, const char* file, unsigned line);
void tessel_rwlock_wrlock_(pthread_rwlock_t* lock, const char* name, const char* file, unsigned line);
void tessel_rwlock_unlock_(pthread_rwlock_t* lock, const char* name, const char* file, unsigned line);
void tessel_cond_wait_(pthread_cond_t* cond, pthread_mutex_t* mutex, const char* name, const char* file,
                       unsigned line);
// Returns true when signalled (or woken spuriously), false when `deadline`
// (CLOCK_REALTIME unless the condition was created for another clock) passed.
bool tessel_cond_timedwait_(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* deadline,
                            const char* name, const char* file, unsigned line);
// The non-fatal form, for a thread that can end itself rather than the
// process: 0 when signalled (or woken spuriously), ETIMEDOUT when `deadline`
// passed, or the error, logged at level 3 with the condition's name.
int tessel_cond_timedwait_checked_(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* deadline,
                                   const char* name, const char* file, unsigned line);
void tessel_cond_signal_(pthread_cond_t* cond, const char* name, const char* file, unsigned line);
void tessel_cond_broadcast_(pthread_cond_t* cond, const char* name, const char* file, unsigned line);

#define tessel_mutex_lock(m) tessel_mutex_lock_((m), #m, __FILE__, __LINE__)
#define tessel_mutex_unlock(m) tessel_mutex_unlock_((m), #m, __FILE__, __LINE__)
#define tessel_rwlock_rdlock(l) tessel_rwlock_rdlock_((l), #l, __FILE__, __LINE__)
#define tessel_rwlock_wrlock(l) tessel_rwlock_wrlock_((l), #l, __FILE__, __LINE__)
#define tessel_rwlock_unlock(l) tessel_rwlock_unlock_((l), #l, __FILE__, __LINE__)
#define tessel_cond_wait(c, m) tessel_cond_wait_((c), (m), #c, __FILE__, __LINE__)
#define tessel_cond_timedwait(c, m, t) tessel_cond_timedwait_((c), (m), (t), #c, __FILE__, __LINE__)
#define tessel_cond_timedwait_checked(c, m, t) \
    tessel_cond_timedwait_checked_((c), (m), (t), #c, __FILE__, __LINE__)
#define tessel_cond_signal(c) tessel_cond_signal_((c), #c, __FILE__, __LINE__)
#define tessel_cond_broadcast(c) tessel_cond_broadcast_((c), #c, __FILE__, __LINE__)

// Creation and destruction: 0 or the pthread error, logged with the operation's name.
int tessel_mutex_init(pthread_mutex_t* mutex, bool recursive);
int tessel_mutex_destroy(pthread_mutex_t* mutex);
int tessel_rwlock_init(pthread_rwlock_t* lock);
int tessel_rwlock_destroy(pthread_rwlock_t* lock);
// The condition waits against CLOCK_MONOTONIC when `monotonic` is set.
int tessel_cond_init(pthread_cond_t* cond, bool monotonic);
int tessel_cond_destroy(pthread_cond_t* cond);

// Kit threads. The start routine runs `entry(owner)`, frees the start record
// and ends the thread with the entry's result. `name` must be a constant
// ("register", "tessel_periodic", "cld_conn_retire").
typedef int (*tessel_thread_entry_fn)(void* owner);
void tessel_thread_start_(pthread_t* thread, void* owner, tessel_thread_entry_fn entry, const char* name,
                          bool detached, const char* file, unsigned line);
// The entry's result.
int tessel_thread_join_(pthread_t thread, const char* name, const char* file, unsigned line);
#define tessel_thread_start(t, owner, entry, name) \
    tessel_thread_start_((t), (owner), (entry), (name), false, __FILE__, __LINE__)
#define tessel_thread_start_detached(owner, entry, name) \
    tessel_thread_start_(nullptr, (owner), (entry), (name), true, __FILE__, __LINE__)
#define tessel_thread_join(t, name) tessel_thread_join_((t), (name), __FILE__, __LINE__)

// Scoped forms that keep the abort-on-failure rule.
class tessel_scoped_mutex {
public:
    tessel_scoped_mutex(pthread_mutex_t* mutex, const char* name, const char* file, unsigned line)
        : mutex_(mutex), name_(name), file_(file), line_(line) {
        tessel_mutex_lock_(mutex_, name_, file_, line_);
    }
    ~tessel_scoped_mutex() { tessel_mutex_unlock_(mutex_, name_, file_, line_); }
    tessel_scoped_mutex(const tessel_scoped_mutex&) = delete;
    tessel_scoped_mutex& operator=(const tessel_scoped_mutex&) = delete;

private:
    pthread_mutex_t* mutex_;
    const char* name_;
    const char* file_;
    unsigned line_;
};

class tessel_scoped_rwlock {
public:
    tessel_scoped_rwlock(pthread_rwlock_t* lock, bool write, const char* name, const char* file, unsigned line)
        : lock_(lock), name_(name), file_(file), line_(line) {
        if (write)
            tessel_rwlock_wrlock_(lock_, name_, file_, line_);
        else
            tessel_rwlock_rdlock_(lock_, name_, file_, line_);
    }
    ~tessel_scoped_rwlock() { tessel_rwlock_unlock_(lock_, name_, file_, line_); }
    tessel_scoped_rwlock(const tessel_scoped_rwlock&) = delete;
    tessel_scoped_rwlock& operator=(const tessel_scoped_rwlock&) = delete;

private:
    pthread_rwlock_t* lock_;
    const char* name_;
    const char* file_;
    unsigned line_;
};

#define TESSEL_CONCAT_(a, b) a##b
#define TESSEL_CONCAT(a, b) TESSEL_CONCAT_(a, b)
#define TESSEL_SCOPED_LOCK(m) \
    tessel_scoped_mutex TESSEL_CONCAT(tessel_guard_, __LINE__)((m), #m, __FILE__, __LINE__)
#define TESSEL_SCOPED_READ_LOCK(l) \
    tessel_scoped_rwlock TESSEL_CONCAT(tessel_guard_, __LINE__)((l), false, #l, __FILE__, __LINE__)
#define TESSEL_SCOPED_WRITE_LOCK(l) \
    tessel_scoped_rwlock TESSEL_CONCAT(tessel_guard_, __LINE__)((l), true, #l, __FILE__, __LINE__)
