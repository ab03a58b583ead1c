// Owning wrappers for the HTTP client's handles, requests and responses, so
// every early return releases what it took.
#pragma once

#include <memory>

#include "kit/http_client/http_client.h"

struct http_client_handle_deleter {
    void operator()(http_client_handle* h) const { http_client_handle_free(h); }
};
struct http_client_request_deleter {
    void operator()(http_client_request_t* r) const { http_client_request_free(r); }
};
struct http_client_response_deleter {
    void operator()(http_client_response* r) const { http_client_response_free(r); }
};
using http_client_handle_ptr = std::unique_ptr<http_client_handle, http_client_handle_deleter>;
using http_client_request_ptr = std::unique_ptr<http_client_request_t, http_client_request_deleter>;
using http_client_response_ptr = std::unique_ptr<http_client_response, http_client_response_deleter>;
