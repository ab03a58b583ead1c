#include "kit/http_client/http_transfer_limits.h"

#include <strings.h>

#include <cstdint>
#include <cstring>

#include "kit/tessel_logger.h"

namespace {

// Counts the header bytes of the response; past the limit the transfer stops.
size_t header_counter(char*, size_t size, size_t nmemb, void* userdata) {
    auto* resp = static_cast<http_client_response*>(userdata);
    const size_t line = size * nmemb;
    if (line > HTTP_CLIENT_HEADER_LIMIT - resp->header_len) {
        resp->headers_too_large = 1;
        return 0;
    }
    resp->header_len += line;
    return line;
}

// Write mode 2: hands the chunk to the caller's writer while the body stays
// within the request's limit.
size_t limited_writer(char* data, size_t size, size_t nmemb, void* userdata) {
    auto* resp = static_cast<http_client_response*>(userdata);
    const http_client_request_t* req = resp->request;
    if (size != 0 && nmemb > SIZE_MAX / size) return 0;
    const size_t chunk = size * nmemb;
    if (chunk > req->body_limit || resp->body_len > req->body_limit - chunk) {
        resp->body_too_large = 1;
        resp->body_failed = 1;
        return 0;
    }
    const size_t taken = req->write_fn(data, size, nmemb, req->write_data);
    if (taken == chunk) resp->body_len += chunk;
    return taken;
}

}  // namespace

bool http_transfer_restrict_protocols(CURL* curl) {
    return curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, HTTP_CLIENT_PROTOCOLS) == CURLE_OK &&
           curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, HTTP_CLIENT_PROTOCOLS) == CURLE_OK;
}

bool http_transfer_install_limits(http_client_request_t* req, http_client_response* resp) {
    CURL* curl = req->curl;
    if (curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, header_counter) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, resp) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_HEADERFUNCTION) failed");
        return false;
    }
    if (resp->write_mode == HTTP_CLIENT_WRITE_DISCARD) return true;
    const curl_off_t most = req->body_limit > static_cast<size_t>(INT64_MAX) ? INT64_MAX
                                                                               : static_cast<curl_off_t>(req->body_limit);
    if (curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, most) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_MAXFILESIZE_LARGE) failed");
        return false;
    }
    // A request sent again without a new writer discards, as after any send.
    if (resp->write_mode != HTTP_CLIENT_WRITE_CALLBACK || !req->write_fn) return true;
    if (curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, limited_writer) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, resp) != CURLE_OK) {
        TLOG_ERR("curl_easy_setopt(CURLOPT_WRITEFUNCTION) failed");
        return false;
    }
    return true;
}

bool http_transfer_body_whole(CURL* curl, long status) {
    // These carry no body whatever their header fields say.
    if (status < 200 || status == 204 || status == 304) return true;
    curl_off_t announced = -1, received = 0;
    long version = 0;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK ||
        curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &received) != CURLE_OK ||
        curl_easy_getinfo(curl, CURLINFO_HTTP_VERSION, &version) != CURLE_OK)
        return false;
    if (announced >= 0) return announced == received;
    if (version >= CURL_HTTP_VERSION_2_0) return true;
    curl_header* field = nullptr;
    for (size_t i = 0; curl_easy_header(curl, "Transfer-Encoding", i, CURLH_HEADER, -1, &field) == CURLHE_OK; ++i) {
        // The last coding is the one that frames the message.
        const char* value = field->value;
        const char* last = strrchr(value, ',');
        const char* coding = last ? last + 1 : value;
        while (*coding == ' ' || *coding == '\t') ++coding;
        if (strncasecmp(coding, "chunked", 7) == 0) return true;
        if (i + 1 >= field->amount) break;
    }
    return false;
}
