#include "kit/registration_manager/tessel_registration_certificate.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "est/est.h"
#include "kit/registration_manager/registration_certificate_private.h"
#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/tessel_time.h"
#include "kit/util/certificate_utils.h"
#include "kit/util/guid_text.h"

namespace {

constexpr size_t k_name_size = 65;

const char* const k_est_messages[] = {
    "",
    "Provided CA certificates were not loaded",
    "The certificate chain of trusted certificates was not loaded",
    "The certificate authority was unable to sign the PKCS10 CSR",
    "An error occurred trying to read the PEM encoded PKCS10 CSR",
    "The EST server was unable to authenticate the EST client",
    "Unable to resolve the server host name",
    "Unable to connect to requested host/port",
    "Private key does not match the public key in the certificate",
    "No certificates were found in the trusted certificate list",
    "CA certificate chain validation from the EST server has failed",
    "Failed to obtain a new certificate via EST Enrollment",
};

// Text accumulated by the EST log sink on one thread.
struct est_line {
    char* text = nullptr;
    size_t len = 0;
    ~est_line() { free(text); }
};

est_line& thread_est_line() {
    thread_local est_line line;
    return line;
}

// A kit log line holds less than the sink's buffer: long text goes out in
// pieces that fit one line each, so none of it is cut.
void log_est_text(const char* text, size_t len) {
    constexpr size_t k_piece = TESSEL_LOG_BUFFER_SIZE - 256;
    for (size_t off = 0; off < len; off += k_piece)
        TLOG_INFO("%.*s", static_cast<int>(len - off < k_piece ? len - off : k_piece), text + off);
}

void flush_est_line(est_line& line) {
    log_est_text(line.text, line.len);
    line.len = 0;
    line.text[0] = '\0';
}

}  // namespace

int tessel_est_error_from_client(int est_err) {
    switch (est_err) {
    case EST_ERR_NONE: return TESSEL_EST_OK;
    case EST_ERR_LOAD_CACERTS: return TESSEL_EST_LOAD_CACERTS;
    case EST_ERR_LOAD_TRUST_CERTS: return TESSEL_EST_LOAD_TRUST_CERTS;
    case EST_ERR_CA_ENROLL_FAIL: return TESSEL_EST_CA_ENROLL_FAIL;
    case EST_ERR_PEM_READ: return TESSEL_EST_PEM_READ;
    case EST_ERR_AUTH_FAIL:
    case EST_ERR_AUTH_FAIL_TLSUID: return TESSEL_EST_AUTH_FAIL;
    case EST_ERR_IP_GETADDR: return TESSEL_EST_IP_GETADDR;
    case EST_ERR_IP_CONNECT:
    case EST_ERR_INVALID_SERVER_NAME:
    case EST_ERR_INVALID_PORT_NUM: return TESSEL_EST_IP_CONNECT;
    case EST_ERR_CLIENT_INVALID_KEY: return TESSEL_EST_CLIENT_INVALID_KEY;
    case EST_ERR_NO_CERTS_FOUND: return TESSEL_EST_NO_CERTS_FOUND;
    case EST_ERR_CACERT_VERIFICATION: return TESSEL_EST_CACERT_VERIFICATION;
    default: return TESSEL_EST_ENROLL_FAILED;
    }
}

const char* tessel_est_error_message(int code) {
    if (code < 1 || code > TESSEL_EST_ENROLL_FAILED) return "";
    return k_est_messages[code];
}

int registration_est_proxy_protocol(int32_t type) {
    switch (type) {
    case TESSEL_PROXY_HTTP: return EST_CLIENT_PROXY_HTTP_TUNNEL;
    case TESSEL_PROXY_SOCKS4:
    case TESSEL_PROXY_SOCKS5:
    case TESSEL_PROXY_SOCKS4A:
    case TESSEL_PROXY_SOCKS5_HOSTNAME: return type;
    default:
        TLOG_DEBUG("proxy protocol none or unknown value %d", type);
        return 255;
    }
}

void registration_est_log_sink(const char* format, va_list ap) {
    if (!format) return;
    est_line& line = thread_est_line();
    if (!line.text) {
        line.text = static_cast<char*>(calloc(1, REGISTRATION_EST_LOG_SIZE));
        if (!line.text) return;
    }
    va_list copy;
    va_copy(copy, ap);
    size_t room = REGISTRATION_EST_LOG_SIZE - line.len;
    int n = vsnprintf(line.text + line.len, room, format, copy);
    va_end(copy);
    if (n < 0) {
        line.text[line.len] = '\0';
        return;
    }
    if (static_cast<size_t>(n) >= room && line.len > 0) {
        // What was pending goes out as its own line; this text starts a new one.
        line.text[line.len] = '\0';
        flush_est_line(line);
        va_copy(copy, ap);
        n = vsnprintf(line.text, REGISTRATION_EST_LOG_SIZE, format, copy);
        va_end(copy);
        if (n < 0) {
            line.text[0] = '\0';
            return;
        }
    }
    line.len += static_cast<size_t>(n);
    if (line.len > REGISTRATION_EST_LOG_SIZE - 1) line.len = REGISTRATION_EST_LOG_SIZE - 1;
    if (line.len == REGISTRATION_EST_LOG_SIZE - 1) {
        flush_est_line(line);
        return;
    }
    // The EST client starts its records with a line feed: every complete line
    // goes out now, the text after the last line feed waits for the rest.
    const char* last = static_cast<const char*>(memrchr(line.text, '\n', line.len));
    if (!last) return;
    for (const char* start = line.text; start <= last;) {
        const char* nl = static_cast<const char*>(memchr(start, '\n', static_cast<size_t>(last - start) + 1));
        log_est_text(start, static_cast<size_t>(nl - start));
        start = nl + 1;
    }
    const size_t tail = line.len - static_cast<size_t>(last + 1 - line.text);
    memmove(line.text, last + 1, tail + 1);
    line.len = tail;
}

void registration_est_log_flush(void) {
    est_line& line = thread_est_line();
    if (line.text) flush_est_line(line);
}

int registration_certificate_kind_locked(tessel_registration_handle* handle) {
    if (!handle->client_cert) return TESSEL_CERT_NONE;
    if (guid_is_absent(handle->agent_guid)) {
        TLOG_ERR("handle missing agent guid");
        return TESSEL_CERT_UNUSABLE;
    }
    char guid[GUID_TEXT_SIZE];
    guid_to_text(handle->agent_guid, guid, true);
    char expected[k_name_size];
    int n = snprintf(expected, sizeof expected, "%s.qrv", guid);
    if (n < 0 || static_cast<size_t>(n) >= sizeof expected) {
        TLOG_ERR("Failed to create ekdsv2 comparison string. Buffer size: %u, snprintf return: %d.",
                 static_cast<unsigned>(sizeof expected), n);
        return TESSEL_CERT_UNUSABLE;
    }
    char name[k_name_size];
    if (certificate_get_common_name(handle->client_cert, name, sizeof name) != 0) {
        TLOG_ERR("Failed to parse common name from cert.");
        return TESSEL_CERT_UNREADABLE;
    }
    if (strncasecmp(name, expected, sizeof expected) == 0) return TESSEL_CERT_EKDSV2;
    uint8_t parsed[TESSEL_GUID_SIZE];
    if (guid_parse(name, strlen(name), parsed) != 0) {
        TLOG_ERR("failed to parse uuid from cert subject name");
        return TESSEL_CERT_UNREADABLE;
    }
    if (memcmp(parsed, handle->agent_guid, sizeof parsed) == 0) return TESSEL_CERT_EKDSV1;
    guid_to_text(handle->agent_guid, guid, false);
    TLOG_ERR("certificate common name %s does not match the agent guid %s", name, guid);
    return TESSEL_CERT_UNUSABLE;
}

bool registration_certificate_needs_renewal_at(tessel_registration_handle* handle, int64_t now) {
    if (!handle->client_cert) return true;
    int64_t threshold;
    switch (registration_certificate_kind_locked(handle)) {
    case TESSEL_CERT_EKDSV1: threshold = TESSEL_EKDSV1_RENEWAL_THRESHOLD; break;
    case TESSEL_CERT_EKDSV2: threshold = TESSEL_EKDSV2_RENEWAL_THRESHOLD; break;
    default: TLOG_ERR("Unexpected certificate type, assuming it is expired"); return true;
    }
    return certificate_expires_within(handle->client_cert, threshold, now);
}

bool registration_certificate_needs_renewal_locked(tessel_registration_handle* handle) {
    return registration_certificate_needs_renewal_at(handle, tessel_time_now());
}

int tessel_registration_certificate_kind(tessel_registration_handle* handle) {
    if (!handle) return TESSEL_CERT_UNUSABLE;
    TESSEL_SCOPED_LOCK(&handle->mutex);
    return registration_certificate_kind_locked(handle);
}

bool tessel_registration_certificate_needs_renewal(tessel_registration_handle* handle) {
    if (!handle) return true;
    TESSEL_SCOPED_LOCK(&handle->mutex);
    return registration_certificate_needs_renewal_locked(handle);
}
