#include "kit/registration_manager/est_domains.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "kit/http_client/http_client_ptr.h"
#include "kit/tessel_logger.h"

namespace {

// A token marks a generation when it starts with `marker` and the next
// character (the terminator counts) is not part of a longer name.
bool token_marks(const char* token, const char* marker) {
    size_t n = strlen(marker);
    if (strncmp(token, marker, n) != 0) return false;
    unsigned char next = static_cast<unsigned char>(token[n]);
    return !(isalnum(next) || next == '_');
}

}  // namespace

int est_domains_parse(const char* body, size_t length) {
    char text[EST_DOMAINS_BODY_SIZE] = {0};
    if (body) memcpy(text, body, length < sizeof text - 1 ? length : sizeof text - 1);
    bool v1 = false, v2 = false;
    char* save = nullptr;
    for (char* token = strtok_r(text, ":", &save); token; token = strtok_r(nullptr, ":", &save)) {
        if (token_marks(token, "qrv_v2")) v2 = true;
        if (token_marks(token, "v1")) v1 = true;
    }
    if (v1) return v2 ? EST_DOMAINS_BOTH : EST_DOMAINS_V1;
    if (v2) return EST_DOMAINS_V2;
    TLOG_INFO("unexpected response from the /domain endpoint, assuming it is EKDSv1 Only.");
    return EST_DOMAINS_V1;
}

http_client_handle* est_domains_client(const char* user_agent, const http_client_identity* identity,
                                       const tessel_proxy_t* proxy) {
    if (!user_agent) {
        TLOG_ERR("Null args.");
        return nullptr;
    }
    http_client_handle_ptr handle(http_client_handle_new(user_agent, nullptr, nullptr, identity));
    if (!handle) {
        TLOG_ERR("Failed to create new http client handle.");
        return nullptr;
    }
    if (proxy && http_client_handle_set_proxy(handle.get(), proxy) != 0) {
        TLOG_ERR("failed to set the proxy information");
        return nullptr;
    }
    return handle.release();
}

int est_domains(const char* est_host, uint16_t port, const char* user_agent, const http_client_identity* identity,
                const tessel_proxy_t* proxy) {
    if (!est_host || !user_agent) {
        TLOG_ERR("Null args.");
        return EST_DOMAINS_ERROR;
    }
    http_client_handle_ptr client(est_domains_client(user_agent, identity, proxy));
    return client ? est_domains_probe(client.get(), est_host, port, nullptr) : EST_DOMAINS_ERROR;
}

int est_domains_probe(http_client_handle* client, const char* est_host, uint16_t port,
                      const http_client_abort* abort) {
    if (!client || !est_host) {
        TLOG_ERR("Null args.");
        return EST_DOMAINS_ERROR;
    }
    char url[512];
    // The enrolment's own port, so that the probe asks the server it enrols with.
    int n = port == 0 || port == 443 ? snprintf(url, sizeof url, "https://%s/domains", est_host)
                                     : snprintf(url, sizeof url, "https://%s:%u/domains", est_host, port);
    if (n < 0 || static_cast<size_t>(n) >= sizeof url) {
        TLOG_ERR("Unable to format URL (size=%zu, n=%d).", sizeof url, n);
        return EST_DOMAINS_ERROR;
    }
    const http_client_header_list no_headers {nullptr, 0};
    http_client_request_ptr request(http_client_request_new(client, &no_headers));
    if (!request || http_client_request_set_abort(request.get(), abort) != HTTP_CLIENT_OK) {
        TLOG_ERR("Failed to create new http request.");
        return EST_DOMAINS_ERROR;
    }
    if (http_client_request_set_write_mode(request.get(), HTTP_CLIENT_WRITE_MEMORY, nullptr, nullptr, nullptr,
                                           nullptr) != 0) {
        TLOG_ERR("Failed to set request write mode.");
        return EST_DOMAINS_ERROR;
    }
    http_client_response_ptr response(
        http_client_send_request(request.get(), url, "GET", nullptr, 0));
    if (!response) {
        TLOG_ERR("EST server domain response is null.");
        return EST_DOMAINS_ERROR;
    }
    if (response->error != HTTP_CLIENT_OK) {
        TLOG_INFO("Failed to connect to EST server host. Response error: %u", static_cast<unsigned>(response->error));
        return EST_DOMAINS_UNREACHABLE;
    }
    if (response->status != 200) {
        TLOG_INFO("EST server /domain endpoint returned HTTP status code %u, assuming it is EKDSv1 Only.",
                  static_cast<unsigned>(response->status));
        return EST_DOMAINS_V1;
    }
    if (!response->body || response->body_len == 0) {
        TLOG_INFO("Empty response from the /domain endpoint, assuming it is EKDSv1 Only.");
        return EST_DOMAINS_V1;
    }
    char shown[EST_DOMAINS_BODY_SIZE] = {0};
    memcpy(shown, response->body, response->body_len < sizeof shown - 1 ? response->body_len : sizeof shown - 1);
    TLOG_DEBUG("EST server /domain response length: %zu, buffer size: %zu", response->body_len, sizeof shown);
    int result = est_domains_parse(shown, strlen(shown));
    // The body is the server's: no control characters into the log.
    for (char* p = shown; *p; p++) {
        if (!isprint(static_cast<unsigned char>(*p))) *p = '?';
    }
    TLOG_DEBUG("EST server /domain response: %s", shown);
    return result;
}
