// Certificate acquisition: decides whether the handle's certificate is still
// good, which enrolment service generation to use (configured, or probed on
// the EST server's "/domains"), enrols through the cloud client's enrolment
// glue and turns the outcome into the next registration state.
#pragma once

#include "kit/http_client/http_client.h"

struct tessel_registration_handle;

// The next registration state: 2 (forbidden), 3 (failed, retry), 4 (the GUID
// already has a certificate), 5 (no activation code) or 6 (a valid
// certificate is in the handle). Runs on the registration thread; takes the
// handle's locks itself. `abort` (may be null) ends the "/domains" probe and
// the enrolment's waits early (the run's stop); no lock is held meanwhile.
int certificate_acquisition(tessel_registration_handle* handle, const http_client_abort* abort = nullptr);
