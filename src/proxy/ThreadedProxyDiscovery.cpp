#include "proxy/ThreadedProxyDiscovery.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "host/Util.h"

namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr int kPollsBeforeWarning = 200;  // 20 seconds
}  // namespace

ThreadedProxyDiscovery::ThreadedProxyDiscovery(IProxyDiscovery* inner)
    : m_inner(inner), m_state(std::make_shared<State>()) {}

ThreadedProxyDiscovery::~ThreadedProxyDiscovery() {
    Shutdown();
    std::unique_lock<std::mutex> lock(m_state->mutex);
    for (int polls = 1; m_state->running; ++polls) {
        if (m_state->finished.wait_for(lock, kPollInterval, [this] { return !m_state->running; })) break;
        if (polls == kPollsBeforeWarning)
            error("ThreadedProxyDiscovery::~ThreadedProxyDiscovery: Timeout after 20 seconds during shutdown. This may "
                  "crash");
    }
}

bool ThreadedProxyDiscovery::RegisterForProxyNotifications(IProxyConsumer* consumer) {
    return m_inner->RegisterForProxyNotifications(consumer);
}

bool ThreadedProxyDiscovery::UnregisterForProxyNotifications(IProxyConsumer* consumer) {
    return m_inner->UnregisterForProxyNotifications(consumer);
}

void ThreadedProxyDiscovery::StartProxyDiscoverySync(ProxyInfoList* proxies, IConfig* config,
                                                     uint32_t exclusionMask) {
    m_inner->StartProxyDiscoverySync(proxies, config, exclusionMask);
}

void ThreadedProxyDiscovery::StartProxyDiscoverySync(ProxyInfoList* proxies) {
    m_inner->StartProxyDiscoverySync(proxies);
}

void ThreadedProxyDiscovery::SetShutdownCallback(ProxyShutdownCallback) {
    trace(kTesselTraceCategory, "ThreadedProxyDiscovery::SetShutdownCallback: Not allowed");
}

bool ThreadedProxyDiscovery::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->running;
}

void ThreadedProxyDiscovery::StartProxyDiscovery() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->running) {
        trace(kTesselTraceCategory, "ThreadedProxyDiscovery::StartProxyDiscovery: Proxy discovery thread already running");
        return;
    }
    if (m_state->shuttingDown.load()) {
        trace(kTesselTraceCategory, "ThreadedProxyDiscovery::StartProxyDiscovery: shutting down, not started");
        return;
    }
    m_state->running = true;
    try {
        std::thread([state = m_state, inner = m_inner] {
            inner->StartProxyDiscovery();
            std::lock_guard<std::mutex> done(state->mutex);
            trace(kTesselTraceCategory, "ThreadedProxyDiscovery::DiscoveryThread: exiting proxy discovery thread");
            state->running = false;
            state->finished.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        m_state->running = false;
        error("ThreadedProxyDiscovery::StartProxyDiscovery: unable to start thread: %s", e.what());
    }
}
