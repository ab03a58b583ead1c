#include "kit/tessel_sync.h"

#include <cerrno>
#include <cstdlib>

#include "kit/tessel_logger.h"

void tessel_fatal_errno(int errnum, const char* file, unsigned line, const char* format, const char* name) {
    tessel_log_errno(TESSEL_LOG_ERR, file, line, errnum, format, name);
    abort();
}

void tessel_mutex_lock_(pthread_mutex_t* mutex, const char* name, const char* file, unsigned line) {
    if (int err = pthread_mutex_lock(mutex))
        tessel_fatal_errno(err, file, line, "Mutex %s lock failed. Process abort due to fatal error", name);
}

void tessel_mutex_unlock_(pthread_mutex_t* mutex, const char* name, const char* file, unsigned line) {
    if (int err = pthread_mutex_unlock(mutex))
        tessel_fatal_errno(err, file, line, "Mutex %s unlock failed. Process abort due to fatal error", name);
}

void tessel_rwlock_rdlock_(pthread_rwlock_t* lock, const char* name, const char* file, unsigned line) {
    if (int err = pthread_rwlock_rdlock(lock))
        tessel_fatal_errno(err, file, line, "RWLock %s read lock failed. Process abort due to fatal error", name);
}

void tessel_rwlock_wrlock_(pthread_rwlock_t* lock, const char* name, const char* file, unsigned line) {
    if (int err = pthread_rwlock_wrlock(lock))
        tessel_fatal_errno(err, file, line, "RWLock %s write lock failed. Process abort due to fatal error", name);
}

void tessel_rwlock_unlock_(pthread_rwlock_t* lock, const char* name, const char* file, unsigned line) {
    if (int err = pthread_rwlock_unlock(lock))
        tessel_fatal_errno(err, file, line, "RWLock %s unlock failed. Process abort due to fatal error", name);
}

void tessel_cond_wait_(pthread_cond_t* cond, pthread_mutex_t* mutex, const char* name, const char* file,
                       unsigned line) {
    if (int err = pthread_cond_wait(cond, mutex))
        tessel_fatal_errno(err, file, line, "Condition %s wait failed. Process abort due to fatal error", name);
}

bool tessel_cond_timedwait_(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* deadline,
                            const char* name, const char* file, unsigned line) {
    int err = pthread_cond_timedwait(cond, mutex, deadline);
    if (err == ETIMEDOUT)
        return false;
    if (err)
        tessel_fatal_errno(err, file, line, "Condition %s wait failed. Process abort due to fatal error", name);
    return true;
}

int tessel_cond_timedwait_checked_(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* deadline,
                                   const char* name, const char* file, unsigned line) {
    const int err = pthread_cond_timedwait(cond, mutex, deadline);
    if (err && err != ETIMEDOUT)
        tessel_log_errno(TESSEL_LOG_ERR, file, line, err, "Condition %s wait failed", name);
    return err;
}

void tessel_cond_signal_(pthread_cond_t* cond, const char* name, const char* file, unsigned line) {
    if (int err = pthread_cond_signal(cond))
        tessel_fatal_errno(err, file, line, "Condition %s signal failed. Process abort due to fatal error", name);
}

void tessel_cond_broadcast_(pthread_cond_t* cond, const char* name, const char* file, unsigned line) {
    if (int err = pthread_cond_broadcast(cond))
        tessel_fatal_errno(err, file, line, "Condition %s signal failed. Process abort due to fatal error", name);
}

namespace {

// Logs a failed creation or destruction; these are not fatal.
int report(int err, const char* operation) {
    if (err)
        TLOG_ERRNO(TESSEL_LOG_ERR, err, "%s", operation);
    return err;
}

}  // namespace

int tessel_mutex_init(pthread_mutex_t* mutex, bool recursive) {
    pthread_mutexattr_t attr;
    if (int err = pthread_mutexattr_init(&attr))
        return report(err, "pthread_mutexattr_init");
    int err = pthread_mutexattr_settype(&attr, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_ERRORCHECK);
    if (!err)
        err = report(pthread_mutex_init(mutex, &attr), "pthread_mutex_init");
    else
        report(err, "pthread_mutexattr_settype");
    pthread_mutexattr_destroy(&attr);
    return err;
}

int tessel_mutex_destroy(pthread_mutex_t* mutex) { return report(pthread_mutex_destroy(mutex), "pthread_mutex_destroy"); }

int tessel_rwlock_init(pthread_rwlock_t* lock) { return report(pthread_rwlock_init(lock, nullptr), "pthread_rwlock_init"); }

int tessel_rwlock_destroy(pthread_rwlock_t* lock) {
    return report(pthread_rwlock_destroy(lock), "pthread_rwlock_destroy");
}

int tessel_cond_init(pthread_cond_t* cond, bool monotonic) {
    if (!monotonic)
        return report(pthread_cond_init(cond, nullptr), "pthread_cond_init");
    pthread_condattr_t attr;
    if (int err = pthread_condattr_init(&attr))
        return report(err, "pthread_condattr_init");
    int err = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (!err)
        err = report(pthread_cond_init(cond, &attr), "pthread_cond_init");
    else
        report(err, "pthread_condattr_setclock");
    pthread_condattr_destroy(&attr);
    return err;
}

int tessel_cond_destroy(pthread_cond_t* cond) { return report(pthread_cond_destroy(cond), "pthread_cond_destroy"); }

namespace {

// The record every kit thread starts from: owner, entry function, name.
struct tessel_thread_start_record {
    void* owner;
    tessel_thread_entry_fn entry;
    const char* name;
};

void* tessel_thread_main(void* argument) {
    auto* record = static_cast<tessel_thread_start_record*>(argument);
    void* owner = record->owner;
    tessel_thread_entry_fn entry = record->entry;
    free(record);
    int result = entry(owner);
    return reinterpret_cast<void*>(static_cast<intptr_t>(result));
}

}  // namespace

void tessel_thread_start_(pthread_t* thread, void* owner, tessel_thread_entry_fn entry, const char* name,
                          bool detached, const char* file, unsigned line) {
    auto* record = static_cast<tessel_thread_start_record*>(calloc(1, sizeof(tessel_thread_start_record)));
    if (!record) {
        tessel_log_errno(TESSEL_LOG_ERR, file, line, ENOMEM, "calloc");
        abort();
    }
    record->owner = owner;
    record->entry = entry;
    record->name = name;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (detached)
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t local;
    int err = pthread_create(thread ? thread : &local, &attr, tessel_thread_main, record);
    pthread_attr_destroy(&attr);
    if (err) {
        free(record);
        tessel_fatal_errno(err, file, line, "pthread_create failed for %s thread", name);
    }
}

int tessel_thread_join_(pthread_t thread, const char* name, const char* file, unsigned line) {
    void* result = nullptr;
    if (int err = pthread_join(thread, &result))
        tessel_fatal_errno(err, file, line, "pthread_join failed for thread %s", name);
    return static_cast<int>(reinterpret_cast<intptr_t>(result));
}
