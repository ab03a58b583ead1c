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
#include "support/kit_log_capture.h"
#include "testbed/pki.h"

namespace testbed {

struct HandleFree {
    void operator()(http_client_handle* h) const { http_client_handle_free(h); }
};
struct RequestFree {
    void operator()(http_client_request_t* r) const { http_client_request_free(r); }
};
struct ResponseFree {
    void operator()(http_client_response* r) const { http_client_response_free(r); }
};
using HandlePtr = std::unique_ptr<http_client_handle, HandleFree>;
using RequestPtr = std::unique_ptr<http_client_request_t, RequestFree>;
using ResponsePtr = std::unique_ptr<http_client_response, ResponseFree>;

// A handle trusting the test CA, with `client` (cert and key) as identity when given.
HandlePtr make_handle(Pki& pki, const Credential* client = nullptr, http_client_resolve_failure_fn resolve_cb = nullptr,
                      void* resolve_ctx = nullptr);
RequestPtr make_request(http_client_handle* handle, const std::vector<http_client_header>& headers = {});
// One send: GET (or `method`) of `url` on `req`.
ResponsePtr send(http_client_request_t* req, const std::string& url, const char* method = "GET",
                 const void* body = nullptr, int64_t body_len = 0);
std::string body_of(const http_client_response* resp);

}  // namespace testbed
