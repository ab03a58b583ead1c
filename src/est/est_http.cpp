#include "est/est_http.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <poll.h>
#include <safeclib/safe_str_lib.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "est/est.h"

namespace {

struct status_line {
    const char* text;
    int status;
};

constexpr status_line k_status_lines[] = {
    {"HTTP/1.1 200 OK\r\n", 200},           {"HTTP/1.1 202 Accepted\r\n", 202},
    {"HTTP/1.1 204 No Content\r\n", 204},   {"HTTP/1.1 400 Bad Request\r\n", 400},
    {"HTTP/1.1 401 Unauthorized\r\n", 401}, {"HTTP/1.1 403 Forbidden\r\n", 403},
    {"HTTP/1.1 404 Not Found\r\n", 404},    {"HTTP/1.1 423 Locked\r\n", 423},
};

bool is_token_separator(char c)
{
    return isspace((unsigned char)c) || c == ',' || c == ';' || c == '=';
}

// Copies a challenge value into a context field of dst_size bytes; false when
// it is missing or does not fit.
bool copy_param(char* dst, size_t dst_size, const char* value)
{
    if (!value) {
        return false;
    }
    size_t n = strnlen_s(value, dst_size);
    if (n >= dst_size) {
        return false;
    }
    return strcpy_s(dst, dst_size, value) == 0;
}

}  // namespace

int est_io_parse_response_status_code(const unsigned char* buf)
{
    if (!buf) {
        return -1;
    }
    for (const status_line& line : k_status_lines) {
        if (strncmp((const char*)buf, line.text, strlen(line.text)) == 0) {
            return line.status;
        }
    }
    // Log the first line only, and bounded.
    const char* nl = strpbrk((const char*)buf, "\r\n");
    int n = nl ? (int)(nl - (const char*)buf) : (int)strnlen((const char*)buf, 128);
    EST_LOG_ERR("Unhandled HTTP response %.*s", n > 128 ? 128 : n, (const char*)buf);
    return -1;
}

int parse_http_headers(unsigned char* buf, int len, HTTP_HEADER* hdrs, int* body_offset)
{
    char* text = (char*)buf;
    *body_offset = len;
    const char* blank = (const char*)memmem(text, (size_t)len, "\r\n\r\n", 4);
    if (!blank) {
        EST_LOG_INFO("Found %d HTTP headers\n", 0);
        return 0;
    }
    char* end = text + (blank - text) + 2;  // one past the CRLF of the last header
    *body_offset = (int)(blank - text) + 4;
    char* p = (char*)memchr(text, '\n', (size_t)(end - text));
    p = p ? p + 1 : end;  // skip the status line

    int count = 0;
    while (count < EST_HTTP_MAX_HEADERS && p < end) {
        char* name = p;
        char* q = p;
        while (q < end && *q != ':' && *q != '\r' && *q != '\n' && *q != '\0') {
            q++;
        }
        if (q >= end || *q != ':' || q == name) {
            break;
        }
        *q++ = '\0';
        while (q < end && *q == ' ') {
            q++;
        }
        char* value = q;
        while (q < end && *q != '\r' && *q != '\n' && *q != '\0') {
            q++;
        }
        // Terminate the value and skip the line breaks after it, never past the
        // blank line.
        char* stop = text + *body_offset;
        if (q < stop) {
            *q++ = '\0';
        }
        while (q < end && (*q == '\r' || *q == '\n')) {
            q++;
        }
        hdrs[count].name = name;
        hdrs[count].value = value;
        EST_LOG_INFO("Found HTTP header -> %s:%s", name, value);
        count++;
        p = q;
    }
    EST_LOG_INFO("Found %d HTTP headers\n", count);
    return count;
}

int est_io_check_http_hdrs(const HTTP_HEADER* hdrs, int hdr_cnt)
{
    bool have_type = false;
    bool have_len = false;
    long long content_len = 0;
    for (int i = 0; i < hdr_cnt; i++) {
        if (strcmp(hdrs[i].name, "Content-Type") == 0) {
            if (strncmp(hdrs[i].value, "application/pkcs7-mime", 22) != 0) {
                EST_LOG_ERR("HTTP content type is %s", hdrs[i].value);
                return 0;
            }
            have_type = true;
        } else if (strcmp(hdrs[i].name, "Content-Length") == 0) {
            have_len = true;
            content_len = 0;
            for (const char* d = hdrs[i].value; isdigit((unsigned char)*d); d++) {
                content_len = content_len * 10 + (*d - '0');
                if (content_len > EST_MAX_CONTENT_LEN) {
                    content_len = EST_MAX_CONTENT_LEN + 1;
                    break;
                }
            }
        }
    }
    if (!have_type) {
        EST_LOG_ERR("Missing HTTP content type  header");
        return 0;
    }
    if (!have_len) {
        EST_LOG_ERR("Missing HTTP content length header");
        return 0;
    }
    return (int)content_len;
}

int est_io_parse_http_retry_after_resp(est_context* ctx, const HTTP_HEADER* hdrs, int hdr_cnt)
{
    int rv = EST_ERR_INVALID_RETRY_VALUE;
    bool found = false;
    ctx->retry_after_delay = 0;
    for (int i = 0; i < hdr_cnt; i++) {
        if (strcasecmp(hdrs[i].name, "Retry-After") != 0) {
            continue;
        }
        found = true;
        const char* v = hdrs[i].value;
        EST_LOG_INFO("Retry-After value = %s", v);
        size_t n = strnlen(v, 12);
        size_t digits = strspn(v, "0123456789");
        rv = EST_ERR_INVALID_RETRY_VALUE;
        ctx->retry_after_delay = 0;
        if (isalpha((unsigned char)v[0])) {
            EST_LOG_ERR("Retry-After value not in the correct format");
        } else if (n > 0 && n <= 10 && digits == n) {
            long long delay = strtoll(v, nullptr, 10);
            if (delay >= 2147483648LL) {
                EST_LOG_ERR("Retry-After value too large");
            } else {
                ctx->retry_after_delay = (int)delay;
                rv = EST_ERR_CA_ENROLL_RETRY;
            }
        } else {
            EST_LOG_ERR("Retry-After value could not be parsed");
        }
    }
    if (!found) {
        EST_LOG_ERR("Retry-After header missing");
    }
    return rv;
}

char* est_io_next_token(char** pos)
{
    char* p = *pos;
    for (;;) {
        while (*p && is_token_separator(*p)) {
            p++;
        }
        if (*p != '(') {
            break;
        }
        // A comment, which may hold escaped characters.
        p++;
        while (*p && *p != ')') {
            if (*p == '\\' && p[1]) {
                p++;
            }
            p++;
        }
        if (*p) {
            p++;
        }
    }
    if (!*p) {
        *pos = p;
        return nullptr;
    }
    char* start;
    if (*p == '"' || *p == '<') {
        char close = *p == '"' ? '"' : '>';
        start = ++p;
        while (*p && *p != close) {
            if (*p == '\\' && p[1]) {
                p++;
            }
            p++;
        }
    } else {
        start = p;
        while (*p && !is_token_separator(*p)) {
            p++;
        }
    }
    if (*p) {
        *p++ = '\0';
    }
    *pos = p;
    return start;
}

int est_io_parse_auth_tokens(est_context* ctx, char* hdr)
{
    char* pos = hdr;
    bool ok = true;
    if (!est_io_next_token(&pos)) {  // the scheme
        return EST_ERR_NONE;
    }
    for (char* name = est_io_next_token(&pos); name && ok; name = est_io_next_token(&pos)) {
        if (strcasecmp(name, "realm") == 0) {
            ok = copy_param(ctx->realm, sizeof ctx->realm, est_io_next_token(&pos));
        } else if (strcasecmp(name, "nonce") == 0) {
            ok = copy_param(ctx->s_nonce, EST_MAX_NONCE_LEN, est_io_next_token(&pos));
        } else if (strcasecmp(name, "qop") == 0) {
            char* value = est_io_next_token(&pos);
            if (!value) {
                ok = false;
            } else if (strcmp(value, "auth") != 0) {
                EST_LOG_WARN("Unsupported qop value: %s", value);
            }
        } else if (strcasecmp(name, "algorithm") == 0) {
            char* value = est_io_next_token(&pos);
            if (!value) {
                ok = false;
            } else if (strcasecmp(value, "md5") != 0) {
                EST_LOG_ERR("Unsupported digest algorithm: %s", value);
                ok = false;
            }
        } else if (strcasecmp(name, "error") == 0) {
            ok = copy_param(ctx->token_error, sizeof ctx->token_error, est_io_next_token(&pos));
        } else if (strcasecmp(name, "error_description") == 0) {
            ok = copy_param(ctx->token_error_desc, sizeof ctx->token_error_desc,
                            est_io_next_token(&pos));
        } else {
            EST_LOG_WARN("Unsupported auth token ignored: %s", name);
        }
    }
    if (!ok) {
        OPENSSL_cleanse(ctx->s_nonce, sizeof ctx->s_nonce);
        return EST_ERR_INVALID_TOKEN;
    }
    return EST_ERR_NONE;
}

void est_io_parse_http_auth_request(est_context* ctx, HTTP_HEADER* hdrs, int hdr_cnt)
{
    HTTP_HEADER* challenge = nullptr;
    for (int i = 0; i < hdr_cnt && !challenge; i++) {
        if (strncmp(hdrs[i].name, "WWW-Authenticate", 16) == 0) {
            challenge = &hdrs[i];
        }
    }
    if (!challenge) {
        EST_LOG_ERR("No WWW-Authenticate header found");
        ctx->auth_mode = AUTH_FAIL;
        return;
    }
    const char* v = challenge->value;
    if (strncmp(v, "Basic", 5) == 0) {
        ctx->auth_mode = AUTH_BASIC;
    } else if (strncmp(v, "Digest", 6) == 0) {
        ctx->auth_mode = AUTH_DIGEST;
    } else if (strncmp(v, "Bearer", 6) == 0) {
        ctx->auth_mode = AUTH_TOKEN;
    } else {
        EST_LOG_ERR("Unsupported WWW-Authenticate method");
        ctx->auth_mode = AUTH_FAIL;
        return;
    }
    if (est_io_parse_auth_tokens(ctx, challenge->value) != EST_ERR_NONE) {
        ctx->auth_mode = AUTH_FAIL;
    }
}

int est_io_judge_response(est_context* ctx, unsigned char* buf, int len, unsigned char** body,
                          int* body_len)
{
    *body = nullptr;
    *body_len = 0;
    if (len <= 0) {
        EST_LOG_ERR("Received empty HTTP response from server");
        return EST_ERR_HTTP_NOT_FOUND;
    }
    int status = est_io_parse_response_status_code(buf);
    ctx->last_http_status = status;
    EST_LOG_INFO("HTTP status %d received", status);

    HTTP_HEADER hdrs[EST_HTTP_MAX_HEADERS];
    int body_offset = len;
    int hdr_cnt = parse_http_headers(buf, len, hdrs, &body_offset);

    switch (status) {
    case 200: {
        int content_len = est_io_check_http_hdrs(hdrs, hdr_cnt);
        if (content_len > EST_MAX_CONTENT_LEN) {
            EST_LOG_ERR("Content Length larger than maximum value of %d.", EST_MAX_CONTENT_LEN);
            return EST_ERR_UNKNOWN;
        }
        EST_LOG_INFO("HTTP Content len=%d", content_len);
        // Never read past what arrived: a short body is refused rather than
        // delivered truncated.
        int available = len - body_offset;
        if (content_len > available) {
            EST_LOG_ERR("HTTP Content-Length %d exceeds the %d bytes received", content_len,
                        available);
            return EST_ERR_BAD_CONTENT_LEN;
        }
        if (content_len > 0) {
            unsigned char* copy = (unsigned char*)malloc((size_t)content_len + 1);
            if (!copy) {
                EST_LOG_ERR("Unable to allocate memory");
                return EST_ERR_MALLOC;
            }
            memcpy(copy, buf + body_offset, (size_t)content_len);
            copy[content_len] = '\0';
            *body = copy;
            *body_len = content_len;
        }
        return EST_ERR_NONE;
    }
    case 202:
        EST_LOG_INFO("EST server responded with retry-after");
        return est_io_parse_http_retry_after_resp(ctx, hdrs, hdr_cnt);
    case 204:
    case 404:
        EST_LOG_ERR("Server responded with 204/404, no content or not found");
        return status == 404 ? EST_ERR_HTTP_NOT_FOUND : EST_ERR_UNKNOWN;
    case 400:
        EST_LOG_ERR("HTTP response from EST server was BAD REQUEST");
        return EST_ERR_HTTP_BAD_REQ;
    case 401:
        EST_LOG_WARN("EST server requesting user authentication");
        if (ctx->auth_mode == AUTH_BASIC || ctx->auth_mode == AUTH_DIGEST ||
            ctx->auth_mode == AUTH_TOKEN) {
            ctx->auth_mode = AUTH_FAIL;
        } else {
            est_io_parse_http_auth_request(ctx, hdrs, hdr_cnt);
        }
        return EST_ERR_AUTH_FAIL;
    case 403:
        EST_LOG_ERR("EST server responded with forbidden");
        return EST_ERR_HTTP_FORBIDDEN;
    case 423:
        EST_LOG_ERR("Server responded with 423, the content we are attempting to access is locked");
        return EST_ERR_HTTP_LOCKED;
    default:
        EST_LOG_ERR("Unsupported HTTP response from EST server (%d)", status);
        return EST_ERR_UNKNOWN;
    }
}

// One read of at most n bytes: 0 when the server closed the connection, -1 on
// a failure or time-out.
static int est_ssl_read(SSL* ssl, unsigned char* buf, int n, int timeout_s, const est_abort* abort)
{
    for (int attempt = 0; attempt < 64; attempt++) {
        // Data already decrypted inside the TLS layer does not show on the socket.
        if (SSL_pending(ssl) == 0) {
            int rc = est_wait(SSL_get_fd(ssl), POLLIN, timeout_s * 1000, abort);
            if (rc == EST_WAIT_ABORTED) {
                return -1;
            }
            if (rc == EST_WAIT_TIMEOUT) {
                EST_LOG_ERR("Socket poll timeout.  No data received from server.");
                return -1;
            }
            if (rc < 0) {
                EST_LOG_ERR("Socket read failure. errno = %d", errno);
                return -1;
            }
        }
        int rc = SSL_read(ssl, buf, n);
        if (rc > 0) {
            return rc;
        }
        switch (SSL_get_error(ssl, rc)) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            continue;
        case SSL_ERROR_SYSCALL:
            // A plain EOF without close_notify ends the response like a close.
            if (ERR_peek_error() == 0 && rc == 0) {
                return 0;
            }
            return -1;
        default:
            return -1;
        }
    }
    return -1;
}

int est_io_read_raw(SSL* ssl, unsigned char* buf, int buf_size, int* read_len, int timeout_s,
                    const est_abort* abort)
{
    int total = 0;
    *read_len = 0;
    while (total < buf_size) {
        int rc = est_ssl_read(ssl, buf + total, buf_size - total, timeout_s, abort);
        if (rc == 0) {
            break;
        }
        if (rc < 0) {
            if (total == 0) {
                EST_LOG_ERR("TLS read error 1");
            } else {
                EST_LOG_ERR("TLS read error");
            }
            est_log_ossl_errors();
            return EST_ERR_SSL_READ;
        }
        total += rc;
    }
    *read_len = total;
    if (total == buf_size) {
        unsigned char probe;
        if ((SSL_pending(ssl) > 0 || est_wait(SSL_get_fd(ssl), POLLIN, timeout_s * 1000, abort) == EST_WAIT_READY) &&
            SSL_peek(ssl, &probe, 1) > 0) {
            EST_LOG_ERR("Buffer too small for received message");
            return EST_ERR_READ_BUFFER_TOO_SMALL;
        }
    }
    if (total > 0) {
        EST_LOG_INFO("Read %d bytes of HTTP data", total);
    }
    return EST_ERR_NONE;
}

int est_io_get_response(SSL* ssl, est_context* ctx, unsigned char** body, int* body_len)
{
    *body = nullptr;
    *body_len = 0;
    // One spare byte keeps the response NUL-terminated for the parsers. Not
    // zeroed: that would write all 2 MB for an answer of a few kilobytes (the
    // allocator serves it from the heap once a block this size was freed).
    unsigned char* buf = (unsigned char*)malloc((size_t)EST_CA_MAX + 1);
    if (!buf) {
        EST_LOG_ERR("Unable to allocate memory");
        return EST_ERR_MALLOC;
    }
    int len = 0;
    int rv = est_io_read_raw(ssl, buf, EST_CA_MAX, &len, ctx->read_timeout, &ctx->abort);
    if (rv == EST_ERR_NONE) {
        buf[len] = '\0';
        rv = est_io_judge_response(ctx, buf, len, body, body_len);
    }
    free(buf);
    return rv;
}
