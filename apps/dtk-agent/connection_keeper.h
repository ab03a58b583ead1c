// Keeps the cloud connection of `run` up. The library connects only when it
// has a query to send and tells nobody when the server closes the
// connection, so a restarted server would stay unreachable (and its pushed
// messages undelivered) until the next lookup or the 15-minute ping. The
// keeper therefore sends a ping of its own through the instance's cloud
// wrapper: every `checkSeconds` while pings are answered (a minute by default:
// the library's own pings come every 15 minutes, and every endpoint's keeper
// adds to the server's load; the first check comes at a random point of the
// period, see backoff.h), and after one went unanswered with a jittered
// back-off (from two thirds of the period, kept within 10 to 40 s, up to
// 5 min, the ceiling doubling per miss); a queued ping is
// what makes the library reconnect. Answers and failures are reported to the instance as
// the host's cloud results, and the keeper says when the cloud stops and
// starts answering again.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>

#include "backoff.h"
#include "dtk/ITesselInstance.h"

namespace agent {

// What the keeper needs of the cloud side: the instance in `run`, a bare
// cloud handle in the fleet benchmark (bench/fleet.cpp), which so runs the
// keeper of every endpoint as `run` does.
class KeeperLink {
public:
    virtual ~KeeperLink() = default;
    // Whether pings may be sent (registration complete).
    virtual bool Ready() = 0;
    // As ITesselCloudWrapper::QueryAsync; when negative the callback will not run.
    virtual int QueryAsync(CorvaneQuery* query, TesselQueryCallback callback, void* userData) = 0;
    // A ping was answered, or not.
    virtual void Report(bool answered) = 0;
};

class ConnectionKeeper {
public:
    // Seconds between checks while the cloud answers, unless run says otherwise.
    static constexpr int kDefaultCheckSeconds = 60;
    // Backs off as KeepaliveBackoff says for this period.
    ConnectionKeeper(ITesselInstance* instance, FILE* out, int checkSeconds, uint64_t seed = RandomSeed());
    // Over another cloud side, which must outlive the keeper; `out` may be
    // null (nothing printed).
    ConnectionKeeper(KeeperLink* link, FILE* out, int checkSeconds, BackoffPolicy backoff, uint64_t seed);
    ~ConnectionKeeper();
    ConnectionKeeper(const ConnectionKeeper&) = delete;
    ConnectionKeeper& operator=(const ConnectionKeeper&) = delete;

    // Called from the service loop (on one thread): takes the answer of the
    // outstanding ping and sends the next one when it is due. Nothing is sent
    // before registration completed.
    void Tick();

    struct Probe;  // the outstanding ping, shared with the cloud client's worker

private:
    void Answered(bool answered);
    bool Send();

    void Say(const char* line);

    std::unique_ptr<KeeperLink> m_ownLink;
    KeeperLink* m_link;
    FILE* m_out;
    KeepaliveSchedule m_schedule;
    // Outlives the keeper while a ping is outstanding: the library completes
    // it (as failed) only when it shuts down.
    std::shared_ptr<Probe> m_probe;
    std::chrono::steady_clock::time_point m_next;
    bool m_failing = false;
};

}  // namespace agent
