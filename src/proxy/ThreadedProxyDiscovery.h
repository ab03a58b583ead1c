// Discovery on a detached background thread, at most one at a time; the
// result goes to the inner discovery's consumers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "proxy/ProxyDiscovery.h"

class ThreadedProxyDiscovery : public IProxyDiscovery {
public:
    explicit ThreadedProxyDiscovery(IProxyDiscovery* inner);
    // Shuts down (below), then waits for a running discovery's thread (logging
    // once after 20 seconds, and waiting on).
    ~ThreadedProxyDiscovery() override;
    ThreadedProxyDiscovery(const ThreadedProxyDiscovery&) = delete;
    ThreadedProxyDiscovery& operator=(const ThreadedProxyDiscovery&) = delete;

    bool RegisterForProxyNotifications(IProxyConsumer* consumer) override;
    bool UnregisterForProxyNotifications(IProxyConsumer* consumer) override;
    // Starts the background discovery; ignored while one runs.
    void StartProxyDiscovery() override;
    void StartProxyDiscoverySync(ProxyInfoList* proxies, IConfig* config, uint32_t exclusionMask) override;
    void StartProxyDiscoverySync(ProxyInfoList* proxies) override;
    // Refused: the shutdown callback is this object's own (IsShuttingDown).
    void SetShutdownCallback(ProxyShutdownCallback callback) override;

    // For good: a running discovery stops before its next source, its
    // consumers test no further candidate, and no new one starts. Teardown
    // calls it first, long before this object goes.
    void Shutdown() { m_state->shuttingDown.store(true); }
    bool IsShuttingDown() const override { return m_state->shuttingDown.load(); }
    bool IsRunning() const;

private:
    // Shared with the thread, so the thread's last touch of it stays valid
    // whatever the order in which the two finish.
    struct State {
        std::mutex mutex;
        std::condition_variable finished;
        bool running = false;
        std::atomic<bool> shuttingDown{false};
    };

    IProxyDiscovery* m_inner;
    std::shared_ptr<State> m_state;
};
