#include "kit/tessel_client/tessel_fetch_policy.h"

#include "kit/tessel_logger.h"

namespace {

constexpr size_t POLICY_URL_SIZE = 512;

struct policy_sink {
    tessel_policy_write_fn write_fn;
    FILE* data;
};

size_t policy_writer(char* ptr, size_t size, size_t nmemb, void* userdata) {
    auto* sink = static_cast<policy_sink*>(userdata);
    return sink->write_fn(ptr, size, nmemb, sink->data);
}

}  // namespace

int tessel_fetch_policy(const char* base_url, uint32_t serial, tessel_policy_write_fn write_fn, FILE* write_data,
                        http_client_request_t* request) {
    return tessel_fetch_policy_progress(base_url, serial, write_fn, write_data, request, nullptr, nullptr);
}

int tessel_fetch_policy_progress(const char* base_url, uint32_t serial, tessel_policy_write_fn write_fn,
                                 FILE* write_data, http_client_request_t* request, curl_xferinfo_callback progress_fn,
                                 void* progress_data) {
    if (!base_url || !request || !write_fn) {
        TLOG_ERR("missing parameter");
        return HTTP_CLIENT_ERR_ARGUMENT;
    }
    if (!request->handle) {
        TLOG_ERR("http_request has no http_client");
        return HTTP_CLIENT_ERR_ARGUMENT;
    }
    char url[POLICY_URL_SIZE];
    int n = snprintf(url, sizeof url, "%s-%u", base_url, serial);
    if (n < 0 || static_cast<size_t>(n) >= sizeof url) {
        TLOG_ERR("unable to format URL (size=%zu, n=%d)", sizeof url, n);
        return HTTP_CLIENT_ERR_SETOPT;
    }
    TLOG_DEBUG("Fetching policy from %s", url);
    policy_sink sink{write_fn, write_data};
    int err = http_client_request_set_write_mode(request, HTTP_CLIENT_WRITE_CALLBACK, policy_writer, &sink, progress_fn,
                                                 progress_data);
    if (err != HTTP_CLIENT_OK) {
        TLOG_ERR("http_client_request_new returns null with http_client_err: %d", err);
        return HTTP_CLIENT_ERR_SETOPT;
    }
    http_client_response* resp = http_client_send_request(request, url, "GET", nullptr, 0);
    if (!resp) {
        TLOG_ERR("http_client_send_request returns null response");
        return HTTP_CLIENT_ERR_SETOPT;
    }
    // A transfer that failed (cut, aborted, past its limit or its deadline)
    // delivered a piece of a policy at best: the caller must not take it.
    const int error = resp->error;
    http_client_response_free(resp);
    if (error != HTTP_CLIENT_OK) TLOG_ERR("policy transfer from %s failed (%d)", url, error);
    return error;
}
