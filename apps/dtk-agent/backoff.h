// When a host pings the cloud: a fixed keepalive period while pings are
// answered, and after a miss a back-off with full jitter, so that a fleet
// whose server comes back does not return all at once.
//
// After the n-th miss in a row the wait is drawn uniformly from
// [floor, min(cap, floor * 2^n)]. The ceiling doubles per miss so that a long
// outage thins the attempts out, and stops at the cap so that an endpoint is
// back within a few minutes of its server. The first keepalive after a start
// is drawn from the whole period, so endpoints started together (a fleet
// booted at once, a benchmark) do not ping the server in step for ever after.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace agent {

using Millis = std::chrono::milliseconds;

struct BackoffPolicy {
    // Twice the library's reconnect wait: a shorter wait would only queue a
    // ping behind it. A keeper takes KeepaliveBackoff's floor.
    Millis floor{10000};
    // Five minutes: a whole fleet spreads over it (a thousand endpoints come
    // back at about three a second), and no endpoint stays away much longer
    // than that after its server returned.
    Millis cap{300000};
};

// The back-off of a keeper that pings every `period` while answered: its
// floor is two thirds of the period, at least 10 s and at most 40 s. A
// fleet's return is crowded at its start: the endpoints that had not noticed
// the outage come back at their keepalive, and a ping queued in the last 5 s
// before the server returned comes back on the library's reconnect wait, so
// that the first seconds already hold about twice the keepalive rate. A
// first retry that late keeps a short outage's retries out of those seconds;
// beyond 40 s the keepalives alone set the peak and the return only slows.
// One lost ping costs an idle endpoint up to twice the floor (a busy one
// reconnects with its own lookups on the library's 5 s wait).
BackoffPolicy KeepaliveBackoff(Millis period);

class Backoff {
public:
    Backoff(BackoffPolicy policy, uint64_t seed);

    // min(cap, floor * 2^misses) for misses >= 1 (no overflow for large counts).
    Millis Ceiling(int misses) const;
    // A wait uniform in [floor, Ceiling(misses)].
    Millis Wait(int misses);
    // A time uniform in [low, high].
    Millis Between(Millis low, Millis high);

    const BackoffPolicy& policy() const { return m_policy; }

private:
    BackoffPolicy m_policy;
    std::mt19937_64 m_random;
};

// The keeper's schedule: how long until the next ping, after an answer or a miss.
class KeepaliveSchedule {
public:
    KeepaliveSchedule(Millis period, BackoffPolicy policy, uint64_t seed);

    // Answered: the next ping after the period (the first time after a
    // random part of it, which sets this endpoint's phase).
    Millis Answered();
    // Not answered: the back-off of this many misses in a row.
    Millis Missed();

    int misses() const { return m_misses; }

private:
    Millis m_period;
    Backoff m_backoff;
    int m_misses = 0;
    bool m_phased = false;
};

// A seed for a schedule nobody needs to repeat.
uint64_t RandomSeed();

}  // namespace agent
