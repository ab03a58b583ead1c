#include "kit/tessel_time.h"

#include <openssl/rand.h>

#include <cerrno>
#include <ctime>

int64_t tessel_time_now(void) { return static_cast<int64_t>(time(nullptr)); }

void tessel_sleep_seconds(unsigned seconds) {
    struct timespec remaining = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

uint32_t tessel_random_u32(void) {
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
