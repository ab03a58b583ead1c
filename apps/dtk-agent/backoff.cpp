#include "backoff.h"

#include <algorithm>

namespace agent {

BackoffPolicy KeepaliveBackoff(Millis period) {
    BackoffPolicy policy;
    policy.floor = std::clamp(period * 2 / 3, policy.floor, Millis(40000));
    return policy;
}

Backoff::Backoff(BackoffPolicy policy, uint64_t seed) : m_policy(policy), m_random(seed) {
    m_policy.floor = std::max(m_policy.floor, Millis(1));
    m_policy.cap = std::max(m_policy.cap, m_policy.floor);
}

Millis Backoff::Ceiling(int misses) const {
    Millis ceiling = m_policy.floor;
    for (int i = 0; i < misses && ceiling < m_policy.cap; i++)
        ceiling *= 2;
    return std::min(ceiling, m_policy.cap);
}

Millis Backoff::Wait(int misses) { return Between(m_policy.floor, Ceiling(misses)); }

Millis Backoff::Between(Millis low, Millis high) {
    if (high <= low)
        return low;
    std::uniform_int_distribution<Millis::rep> pick(low.count(), high.count());
    return Millis(pick(m_random));
}

KeepaliveSchedule::KeepaliveSchedule(Millis period, BackoffPolicy policy, uint64_t seed)
    : m_period(std::max(period, Millis(1))), m_backoff(policy, seed) {}

Millis KeepaliveSchedule::Answered() {
    m_misses = 0;
    if (m_phased)
        return m_period;
    m_phased = true;
    return m_backoff.Between(Millis(1), m_period);
}

Millis KeepaliveSchedule::Missed() {
    if (m_misses < 1000)
        m_misses++;
    return m_backoff.Wait(m_misses);
}

uint64_t RandomSeed() {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
}

}  // namespace agent
