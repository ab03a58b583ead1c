#include "http/TransferGate.h"

bool TransferGate::Enter() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed.load(std::memory_order_relaxed))
        return false;
    ++m_running;
    return true;
}

void TransferGate::Leave() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (--m_running == 0)
        m_idle.notify_all();
}

void TransferGate::Close() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_closed.store(true, std::memory_order_release);
    // Each running transfer sees Closed at its next progress report (libcurl
    // reports at least once a second, also while nothing arrives).
    m_idle.wait(lock, [this] { return m_running == 0; });
}
