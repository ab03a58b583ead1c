// Shared fixtures for tests that drive the kit's HTTP client against the
// testbed: a capture of kit log lines (kit_log_capture.h) and owning wrappers
// for the client's handles, requests and responses.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kit/http_client/http_client.h"
#include "kit/http_client/http_client_ptr.h"
#include "support/kit_log_capture.h"
#include "testbed/pki.h"

namespace testbed {

using HandlePtr = http_client_handle_ptr;
using RequestPtr = http_client_request_ptr;
using ResponsePtr = http_client_response_ptr;

// A handle trusting the test CA, with `client` (cert and key) as identity when given.
HandlePtr make_handle(Pki& pki, const Credential* client = nullptr, http_client_resolve_failure_fn resolve_cb = nullptr,
                      void* resolve_ctx = nullptr);
RequestPtr make_request(http_client_handle* handle, const std::vector<http_client_header>& headers = {});
// One send: GET (or `method`) of `url` on `req`.
ResponsePtr send(http_client_request_t* req, const std::string& url, const char* method = "GET",
                 const void* body = nullptr, int64_t body_len = 0);
std::string body_of(const http_client_response* resp);

}  // namespace testbed
