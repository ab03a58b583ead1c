// The probe of the EST server's "/domains" endpoint, which tells which
// enrolment service generations the server offers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kit/http_client/http_client.h"

enum est_domains_result {
    EST_DOMAINS_ERROR = 0,
    EST_DOMAINS_UNREACHABLE = 1,
    EST_DOMAINS_V1 = 2,
    EST_DOMAINS_V2 = 3,
    EST_DOMAINS_BOTH = 4,
};

constexpr size_t EST_DOMAINS_BODY_SIZE = 128;

// GET https://<est_host>[:port]/domains with the user agent, trust identity
// and proxy given (proxy may be null). The port is the enrolment's, named in
// the URL unless it is 443 (or 0). One of est_domains_result.
int est_domains(const char* est_host, uint16_t port, const char* user_agent, const http_client_identity* identity,
                const tessel_proxy_t* proxy);
// The two halves of est_domains, so that a caller can copy what it needs under
// its locks and probe without them: the probe's own HTTP client (null on
// failure), then the probe through it, which `abort` (may be null) can end.
http_client_handle* est_domains_client(const char* user_agent, const http_client_identity* identity,
                                       const tessel_proxy_t* proxy);
int est_domains_probe(http_client_handle* client, const char* est_host, uint16_t port,
                      const http_client_abort* abort);
// Reads a "/domains" answer body (at most 127 bytes are looked at):
// EST_DOMAINS_V1, EST_DOMAINS_V2 or EST_DOMAINS_BOTH.
int est_domains_parse(const char* body, size_t length);
