// Kit time and randomness: wall-clock seconds since the epoch, whole-second
// sleeps and strong random numbers for back-off.
#pragma once

#include <cstdint>

int64_t tessel_time_now(void);
void tessel_sleep_seconds(unsigned seconds);
// A random value from the system's strong generator.
uint32_t tessel_random_u32(void);
