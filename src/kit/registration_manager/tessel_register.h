// The registration run: the state machine that walks certificate
// acquisition, management registration and cloud registration, with its retry
// budget and randomised exponential back-off, on the thread "register".
#pragma once

#include <cstdint>

#include "kit/registration_manager/tessel_registration_manager.h"

// The longest back-off before attempt `attempt`: 5 * 2^k - 5 seconds with k
// the smallest of `attempt`, `cap` and 5 (0, 5, 15, 35, 75, 155).
uint32_t tessel_register_backoff_ceiling(uint32_t attempt, uint32_t cap);
// The wait for a ceiling: 0 for 0, else 5 to ceiling + 5 seconds at random.
uint32_t tessel_register_backoff_wait(uint32_t ceiling);
