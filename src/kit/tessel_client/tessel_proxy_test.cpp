#include "kit/tessel_client/tessel_proxy_test.h"

#include "kit/tessel_logger.h"

int tessel_proxy_test(http_client_handle* handle, const char* test_url, const tessel_proxy_t* proxy) {
    return tessel_proxy_test_abortable(handle, test_url, proxy, nullptr);
}

int tessel_proxy_test_abortable(http_client_handle* handle, const char* test_url, const tessel_proxy_t* proxy,
                                const http_client_abort* abort) {
    if (!handle) {
        TLOG_ERR("http_client_handle_new() failed");
        return 4;
    }
    if (http_client_handle_set_proxy(handle, proxy) != 0) {
        TLOG_ERR("failed to set proxy");
        return 3;
    }
    const http_client_header_list no_headers{nullptr, 0};
    http_client_request_t* req = http_client_request_new(handle, &no_headers);
    if (!req) {
        TLOG_ERR("failed to allocated a new http request");
        return 4;
    }
    if (abort && http_client_request_set_abort(req, abort) != 0) {
        http_client_request_free(req);
        TLOG_ERR("failed to set the abort check");
        return 4;
    }
    http_client_response* resp = http_client_send_request(req, test_url, "GET", nullptr, 0);
    if (!resp) {
        http_client_request_free(req);
        TLOG_ERR("no response received");
        return 3;
    }
    const int32_t status = resp->status;
    http_client_response_free(resp);
    http_client_request_free(req);
    if (status == 200) return 0;
    TLOG_ERR("request to test url through proxy failed, status %u", static_cast<unsigned>(status));
    return 7;
}
