#include "kit/tessel_time.h"

#include <openssl/rand.h>

#include <atomic>
#include <cerrno>

namespace {

int64_t system_now(void*) { return static_cast<int64_t>(time(nullptr)); }

uint32_t system_random_u32(void*) {
    uint32_t value = 0;
    // RAND_bytes only fails when the generator cannot be seeded; the kit uses
    // these values for back-off jitter, where the time is a usable fallback.
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) != 1) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        value = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec);
    }
    return value;
}

constexpr uint64_t NS_PER_SECOND = 1000000000ull;
const tessel_clock system_clock = {system_now, system_random_u32, NS_PER_SECOND, nullptr};
std::atomic<const tessel_clock*> current_clock{&system_clock};

}  // namespace

void tessel_clock_set(const tessel_clock* clock) { current_clock.store(clock ? clock : &system_clock); }

int64_t tessel_time_now(void) {
    const tessel_clock* clock = current_clock.load();
    return clock->now(clock->ctx);
}

void tessel_sleep_seconds(unsigned seconds) {
    struct timespec remaining = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

uint32_t tessel_random_u32(void) {
    const tessel_clock* clock = current_clock.load();
    return clock->random_u32(clock->ctx);
}

struct timespec tessel_time_deadline(int64_t seconds) {
    const uint64_t second_ns = current_clock.load()->second_ns;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (seconds <= 0)
        return deadline;
    // Far-off waits are capped at about 68 years, well inside time_t.
    const uint64_t capped = static_cast<uint64_t>(seconds) > (1ull << 31) ? (1ull << 31) : seconds;
    const unsigned __int128 wait_ns = static_cast<unsigned __int128>(capped) * second_ns;
    deadline.tv_sec += static_cast<time_t>(wait_ns / NS_PER_SECOND);
    deadline.tv_nsec += static_cast<long>(wait_ns % NS_PER_SECOND);
    if (deadline.tv_nsec >= static_cast<long>(NS_PER_SECOND)) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= static_cast<long>(NS_PER_SECOND);
    }
    return deadline;
}
