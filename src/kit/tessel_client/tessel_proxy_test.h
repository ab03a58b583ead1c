// Checks whether a test URL can be fetched through a given proxy.
#pragma once

#include "kit/http_client/http_client.h"

// Stores `proxy` in `handle` (it stays there whatever the result) and GETs
// `test_url`, discarding the body. 0 for status 200; 3 when the proxy cannot be
// stored or no response exists; 4 for a missing handle or a failed request
// creation; 7 for any other status, including a transfer that failed (status 0).
int tessel_proxy_test(http_client_handle* handle, const char* test_url, const tessel_proxy_t* proxy);
// The same, with `abort` (may be null) asked at the transfer's progress
// reports: an aborted test fails like a transfer that failed (7).
int tessel_proxy_test_abortable(http_client_handle* handle, const char* test_url, const tessel_proxy_t* proxy,
                                const http_client_abort* abort);
