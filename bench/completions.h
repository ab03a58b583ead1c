// Counts the completions of lookups for a thread that waits for them: the
// count is an atomic, as a reader thread would keep it, and the waiter is
// woken every 64 completions and from `notify_at` on, after the mutex is
// let go, so that it does not wake into it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "cloud/cv_cloud_async.h"

struct Completions {
    using Clock = std::chrono::steady_clock;

    std::mutex mutex;
    std::condition_variable cond;
    std::atomic<long> done{0};
    std::atomic<long> failed{0};
    std::atomic<long> notify_at{1};  // always wake the waiter from this count on
    bool timing = false;             // keep `last`
    Clock::time_point last;          // when the last completion came (with `timing`)

    // The lookup callback; `self` is the Completions. Frees the query.
    static int callback(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status, void* self) {
        auto* c = static_cast<Completions*>(self);
        ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
        if (!response || (status & CV_STATUS_FAILED))
            c->failed++;
        if (c->timing)
            c->last = Clock::now();  // before the count, which publishes it
        const long n = ++c->done;
        if (n % 64 == 0 || n >= c->notify_at)
            c->wake();
        return 0;
    }
    // Taking the mutex orders what the waiter checks before its wait.
    void wake() {
        { std::lock_guard<std::mutex> guard(mutex); }
        cond.notify_all();
    }
    // Waits until `ready()` holds (it reads the atomics) or `timeout` passed.
    template <class Ready>
    bool wait(Ready ready, std::chrono::seconds timeout = std::chrono::seconds(120)) {
        if (ready())
            return true;
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, timeout, ready);
    }
    bool wait_until_done(long n) {
        return wait([&] { return done >= n; });
    }
};
