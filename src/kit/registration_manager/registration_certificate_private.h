// Certificate pieces shared inside the registration manager.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

struct tessel_registration_handle;

// The lock-free forms: the caller holds the handle's `mutex`.
int registration_certificate_kind_locked(tessel_registration_handle* handle);
bool registration_certificate_needs_renewal_locked(tessel_registration_handle* handle);
// Renewal at `now` of the handle's certificate (the caller holds `mutex`).
bool registration_certificate_needs_renewal_at(tessel_registration_handle* handle, int64_t now);

// The EST client's proxy protocol for a `tessel_proxy_t` type (255: none).
int registration_est_proxy_protocol(int32_t type);

// The EST client's log sink: text accumulates per thread (so concurrent
// enrolments keep their lines apart) in a buffer of REGISTRATION_EST_LOG_SIZE
// bytes; each complete line is logged at level 6, and a full buffer as it is.
constexpr size_t REGISTRATION_EST_LOG_SIZE = 10000;
void registration_est_log_sink(const char* format, va_list ap);
// Logs what the calling thread's sink still holds (the end of an enrolment).
void registration_est_log_flush(void);
