// Kit time and randomness: wall-clock seconds since the epoch, whole-second
// sleeps, deadlines for the kit's timed waits and strong random numbers for
// back-off. Every reader goes through one clock record, which tests replace to
// check schedules in kit seconds without waiting hours.
#pragma once

#include <cstdint>
#include <ctime>

// The clock the kit reads. `now` and `random_u32` get `ctx`; `second_ns` is how
// long one kit second lasts in the kit's timed waits (1e9 normally).
struct tessel_clock {
    int64_t (*now)(void* ctx);
    uint32_t (*random_u32)(void* ctx);
    uint64_t second_ns;
    void* ctx;
};

// Installs `clock` (the caller keeps it alive until the next call); null puts
// back the system clock and RAND_bytes.
void tessel_clock_set(const tessel_clock* clock);

int64_t tessel_time_now(void);
void tessel_sleep_seconds(unsigned seconds);
// A random value from the system's strong generator (or the installed clock's).
uint32_t tessel_random_u32(void);
// The CLOCK_MONOTONIC instant `seconds` kit seconds from now, for waits on a
// condition created with `tessel_cond_init(cond, true)`.
struct timespec tessel_time_deadline(int64_t seconds);
