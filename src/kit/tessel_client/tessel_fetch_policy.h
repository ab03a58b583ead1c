// Download of one policy document version into the caller's sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kit/http_client/http_client.h"

// The standard file-write function's shape: the facade passes fwrite and an
// open file.
typedef size_t (*tessel_policy_write_fn)(const void* data, size_t size, size_t count, FILE* sink);

// Fetches "<base_url>-<serial>" with GET on `request` (which must belong to a
// handle), handing every body byte to `write_fn`. 0 once the transfer ended
// with a whole answer, whatever its status: the caller judges what it
// received; 2 for a missing argument, 6 when the URL does not fit or the
// request cannot be set up; otherwise the transfer's error (an abort, a cut or
// unframed body, a body past the request's limit, a scheme other than https):
// then the sink holds no complete answer.
int tessel_fetch_policy(const char* base_url, uint32_t serial, tessel_policy_write_fn write_fn, FILE* write_data,
                        http_client_request_t* request);

// The same with a progress function that may end the transfer (non-zero
// return), as the caller's shutdown needs. With one the transfer has no time
// limit of its own: the progress function bounds it.
int tessel_fetch_policy_progress(const char* base_url, uint32_t serial, tessel_policy_write_fn write_fn,
                                 FILE* write_data, http_client_request_t* request, curl_xferinfo_callback progress_fn,
                                 void* progress_data);
