#include "kit/tessel_sync.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <curl/curl.h>

#include <thread>
#include <vector>

#include "kit/tessel_init.h"
#include "kit/tessel_logger.h"
#include "support/kit_log_capture.h"

namespace {

int PrintToStderr(int32_t level, const char* message, void*) {
    fprintf(stderr, "<%d>%s\n", level, message);
    return 0;
}

void InitLoggerToStderr() {
    tessel_logger_deinit();
    tessel_logger_init();
    tessel_logger_register_callback(PrintToStderr, nullptr);
}

struct Guarded {
    pthread_mutex_t mutex;
};

TEST(TesselSyncDeathTest, ARelockIsFatalAndNamesTheLock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InitLoggerToStderr();
            Guarded handle_storage;
            Guarded* handle = &handle_storage;
            tessel_mutex_init(&handle->mutex, false);
            tessel_mutex_lock(&handle->mutex);
            tessel_mutex_lock(&handle->mutex);
        },
        "<3>\\[.*tessel_sync_test.cpp@[0-9]+\\]: Mutex &handle->mutex lock failed. Process abort due to fatal "
        "error: Resource deadlock avoided");
}

TEST(TesselSyncDeathTest, UnlockingAnUnownedMutexIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InitLoggerToStderr();
            pthread_mutex_t m;
            tessel_mutex_init(&m, false);
            tessel_mutex_unlock(&m);
        },
        "Mutex &m unlock failed. Process abort due to fatal error");
}

TEST(TesselSyncDeathTest, ARelockOfAWriteLockIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InitLoggerToStderr();
            pthread_rwlock_t lock;
            tessel_rwlock_init(&lock);
            tessel_rwlock_wrlock(&lock);
            tessel_rwlock_wrlock(&lock);
        },
        "RWLock &lock write lock failed. Process abort due to fatal error");
}

int Twice(void* owner) { return *static_cast<int*>(owner) * 2; }

TEST(TesselSync, ThreadsRunTheirEntryAndJoinWithItsResult) {
    int value = 21;
    pthread_t thread;
    tessel_thread_start(&thread, &value, Twice, "register");
    EXPECT_EQ(tessel_thread_join(thread, "register"), 42);
}

TEST(TesselSync, TimedWaitsReportTheTimeOutAndTheCheckedOneItsFailureInsteadOfEndingTheProcess) {
    testbed::KitLogCapture log;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    ASSERT_EQ(tessel_mutex_init(&mutex, false), 0);
    ASSERT_EQ(tessel_cond_init(&cond, true), 0);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += 10 * 1000 * 1000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    {
        TESSEL_SCOPED_LOCK(&mutex);
        bool signalled = true;
        // Bounded: a spurious wake-up loops until the deadline.
        for (int i = 0; i < 1000 && signalled; ++i)
            signalled = tessel_cond_timedwait(&cond, &mutex, &deadline);
        EXPECT_FALSE(signalled);
        EXPECT_EQ(tessel_cond_timedwait_checked(&cond, &mutex, &deadline), ETIMEDOUT);
        EXPECT_FALSE(log.contains("wait failed"));
        struct timespec broken = deadline;
        broken.tv_nsec = 2000000000;  // not a time: the wait fails, the lock stays held
        EXPECT_EQ(tessel_cond_timedwait_checked(&cond, &mutex, &broken), EINVAL);
        EXPECT_TRUE(log.contains(3, "Condition &cond wait failed")) << log.dump();
    }
    EXPECT_EQ(tessel_cond_destroy(&cond), 0);
    EXPECT_EQ(tessel_mutex_destroy(&mutex), 0);
}

TEST(TesselInit, RunsOnceFromConcurrentCallers) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([] { tessel_init(); });
    for (auto& thread : threads)
        thread.join();
    tessel_init();
    // The HTTP library is usable afterwards.
    curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    ASSERT_NE(info, nullptr);
    EXPECT_NE(info->features & CURL_VERSION_SSL, 0);
}

}  // namespace
