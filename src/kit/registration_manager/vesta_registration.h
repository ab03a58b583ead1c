// Management registration from the registration run and from the periodic task.
#pragma once

#include "kit/registration_manager/tessel_registration_manager.h"

// States 6 and 7 of a run: registers with the management service through the
// connector's HTTP client (made on first use). The next state: 7 or 8.
// `abort` (may be null) ends the post early (the run's stop).
int vesta_registration(tessel_registration_handle* handle, client_connector* connector,
                       const http_client_abort* abort = nullptr);
// The periodic renewal: registers again when the re-registration interval has
// elapsed. 0 (registered or nothing to do) or non-zero on failure.
// `abort` (may be null) ends the post early (the task's stop).
int vesta_reregistration(tessel_registration_handle* handle, const http_client_abort* abort = nullptr);
