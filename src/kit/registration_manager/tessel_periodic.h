// The process-wide periodic task "tessel_periodic": every 300 seconds it
// checks whether the management registration is due and renews it.
#pragma once

#include <cstdint>

// Seconds between two checks (300).
constexpr int64_t TESSEL_PERIODIC_INTERVAL = 300;
// Consecutive failed renewals after which the next is postponed by a whole
// re-registration interval.
constexpr uint32_t TESSEL_PERIODIC_MAX_FAILURES = 4;
