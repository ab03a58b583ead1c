#include "kit/tessel_client/register.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kit/http_client/http_client_ptr.h"
#include "kit/tessel_logger.h"
#include "platform/failure_cause.h"
#include "platform/secret_memory.h"

namespace {

constexpr size_t FORM_NAME_SIZE = 100;
constexpr size_t GUID_TEXT_LEN = 36;

// Appends escaped pairs to a fixed buffer. Once a pair does not fit the
// builder is failed and every later append does nothing, so the body always
// ends at the last complete pair. Values are percent-encoded straight into the
// buffer: the activation code is one of them, and the body is the only copy
// of it the form makes (the caller wipes it).
struct form_builder {
    char* buf;
    size_t size;
    size_t len;
    bool failed;
};

void builder_start(form_builder* b, char* buf, size_t size) {
    *b = {buf, size, 0, false};
    if (!buf || size == 0) {
        TLOG_ERR("invalid parameter");
        b->failed = true;
        return;
    }
    buf[0] = '\0';
}

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Appends the `len` bytes of `text`, with every byte but the unreserved ones
// as %XX when `escape` is set; appends nothing and returns false when they do
// not fit with the terminating NUL.
bool builder_append(form_builder* b, const char* text, size_t len, bool escape) {
    static const char kHex[] = "0123456789ABCDEF";
    size_t at = b->len;
    for (size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool plain = !escape || is_unreserved(c);
        if (b->size - at <= (plain ? 1u : 3u)) {
            b->buf[b->len] = '\0';
            return false;
        }
        if (plain) {
            b->buf[at++] = static_cast<char>(c);
        } else {
            b->buf[at++] = '%';
            b->buf[at++] = kHex[c >> 4];
            b->buf[at++] = kHex[c & 0x0f];
        }
    }
    b->buf[at] = '\0';
    b->len = at;
    return true;
}

// One "name=value" pair ("&" before every pair but the first): the name of at
// most `name_max` bytes escaped, the `value_len` bytes of the value escaped
// when `escape` is set (numbers are not).
void builder_pair(form_builder* b, const char* name, size_t name_max, const char* value, size_t value_len,
                  bool escape) {
    if (b->failed)
        return;
    if (!name || !value) {
        TLOG_ERR("invalid parameter");
        b->failed = true;
        return;
    }
    const size_t name_len = strnlen(name, name_max);
    if (name_len >= FORM_NAME_SIZE) {
        TLOG_ERR("unable to format name (len=%zu)", name_len);
        b->failed = true;
        return;
    }
    const size_t start = b->len;
    const bool named = (start == 0 || builder_append(b, "&", 1, false)) && builder_append(b, name, name_len, true) &&
                       builder_append(b, "=", 1, false);
    if (named && builder_append(b, value, value_len, escape))
        return;
    if (named)
        TLOG_ERR("unable to format value (len=%zu)", b->len);
    else
        TLOG_ERR("unable to format name= (size=%zu, len=%zu)", b->size, b->len);
    OPENSSL_cleanse(b->buf + start, b->len - start);
    b->len = start;
    b->buf[start] = '\0';
    b->failed = true;
}

// A text pair; `value` is read up to `value_max` bytes.
void builder_text(form_builder* b, const char* name, size_t name_max, const char* value, size_t value_max) {
    // Every value field of the host records is at most 128 bytes.
    const size_t len = value ? strnlen(value, value_max < VESTA_ENTRY_VALUE_SIZE ? value_max : VESTA_ENTRY_VALUE_SIZE)
                             : 0;
    builder_pair(b, name, name_max, value, len, true);
}

// A number pair, written with "%llu" and not escaped.
void builder_number(form_builder* b, const char* name, size_t name_max, unsigned long long number) {
    char digits[24];
    const int len = snprintf(digits, sizeof digits, "%llu", number);
    builder_pair(b, name, name_max, digits, static_cast<size_t>(len), false);
}

void builder_nic_text(form_builder* b, const char* pattern, unsigned index, const char* value, size_t value_max) {
    char name[FORM_NAME_SIZE];
    int n = snprintf(name, sizeof name, pattern, index);
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
        TLOG_ERR("unable to format name (n=%d)", n);
        b->failed = true;
        return;
    }
    builder_text(b, name, sizeof name, value, value_max);
}

void append_registration_entries(form_builder* b, const vesta_registration_info* registration_info) {
    uint32_t count = registration_info->count < VESTA_ENTRY_COUNT ? registration_info->count : VESTA_ENTRY_COUNT;
    for (size_t i = 0; i < count; ++i) {
        const vesta_registration_entry& entry = registration_info->entries[i];
        if (entry.type == VESTA_ENTRY_TEXT && entry.value[0] != '\0') {
            builder_text(b, entry.key, sizeof entry.key, entry.value, sizeof entry.value);
        } else if (entry.type == VESTA_ENTRY_NUMBER) {
            builder_number(b, entry.key, sizeof entry.key, entry.number);
        } else {
            TLOG_ERR("failed to insert key value pair %zu (key: %.*s), type: %d", i,
                     static_cast<int>(sizeof entry.key), entry.key, entry.type);
        }
    }
}

void append_nics(form_builder* b, const vesta_host_info* host_info) {
    unsigned count = host_info->nic_count < VESTA_NIC_COUNT ? host_info->nic_count : VESTA_NIC_COUNT;
    for (unsigned i = 0; i < count; ++i) {
        const vesta_nic_info& nic = host_info->nics[i];
        builder_nic_text(b, "nics[%u][friendly_name]", i, nic.friendly_name, sizeof nic.friendly_name);
        builder_nic_text(b, "nics[%u][ip]", i, nic.ip, sizeof nic.ip);
        builder_nic_text(b, "nics[%u][ipv6]", i, nic.ipv6, sizeof nic.ipv6);
        builder_nic_text(b, "nics[%u][mac]", i, nic.mac, sizeof nic.mac);
    }
}

}  // namespace

int register_compose_body(char* body, size_t size, const vesta_info* info, const vesta_host_info* host_info,
                          const vesta_registration_info* registration_info, const char* install_token) {
    if (!body || size == 0 || !info || !host_info || !registration_info) {
        TLOG_ERR(" Null argument error");
        return VESTA_REGISTER_MISSING_ARGUMENT;
    }
    if (strnlen(info->agent_guid, sizeof info->agent_guid) != GUID_TEXT_LEN ||
        strnlen(info->affiliate_guid, sizeof info->affiliate_guid) != GUID_TEXT_LEN ||
        strnlen(info->business_guid, sizeof info->business_guid) != GUID_TEXT_LEN) {
        TLOG_ERR("Invalid guid detected. ag:%.36s afg:%.36s bg:%.36s", info->agent_guid, info->affiliate_guid,
                 info->business_guid);
        return VESTA_REGISTER_INVALID_ARGUMENT;
    }
    form_builder b;
    builder_start(&b, body, size);
    builder_text(&b, "affiliate_guid", FORM_NAME_SIZE, info->affiliate_guid, sizeof info->affiliate_guid);
    builder_text(&b, "agent_guid", FORM_NAME_SIZE, info->agent_guid, sizeof info->agent_guid);
    builder_text(&b, "business_guid", FORM_NAME_SIZE, info->business_guid, sizeof info->business_guid);
    builder_text(&b, "hostname", FORM_NAME_SIZE, host_info->hostname, sizeof host_info->hostname);
    if (install_token)
        builder_text(&b, "itoken", FORM_NAME_SIZE, install_token, TESSEL_GUID_TEXT_SIZE);
    if (b.failed) {
        TLOG_ERR("unable to compose registration request");
        return VESTA_REGISTER_BODY_FAILED;
    }
    append_registration_entries(&b, registration_info);
    append_nics(&b, host_info);
    return VESTA_REGISTER_OK;
}

void register_mask_form_value(const char* body, const char* name, char* out, size_t size) {
    if (!out || size == 0)
        return;
    out[0] = '\0';
    if (!body || !name)
        return;
    const size_t name_len = strlen(name);
    size_t used = 0;
    const char* pair = body;
    while (*pair && used + 1 < size) {
        const char* end = strchr(pair, '&');
        size_t pair_len = end ? static_cast<size_t>(end - pair) : strlen(pair);
        bool secret = pair_len > name_len && strncmp(pair, name, name_len) == 0 && pair[name_len] == '=';
        int n = secret ? snprintf(out + used, size - used, "%s%.*s=*****", used ? "&" : "",
                                  static_cast<int>(name_len), pair)
                       : snprintf(out + used, size - used, "%s%.*s", used ? "&" : "", static_cast<int>(pair_len),
                                  pair);
        if (n < 0 || static_cast<size_t>(n) >= size - used) {
            out[used] = '\0';  // never show a cut secret or half a pair
            return;
        }
        used += static_cast<size_t>(n);
        if (!end)
            break;
        pair = end + 1;
    }
}

int register_endpoint(const vesta_info* info, const vesta_host_info* host_info,
                      const vesta_registration_info* registration_info, const char* install_token,
                      uint32_t* http_status, http_client_handle* http_client, const http_client_abort* abort) {
    if (!info || !host_info || !registration_info || !http_client) {
        TLOG_ERR("Null argument error");
        return VESTA_REGISTER_MISSING_ARGUMENT;
    }
    if (info->mgmt_url[0] == '\0') {
        TLOG_ERR("Management URL is empty");
        return VESTA_REGISTER_INVALID_ARGUMENT;
    }
    // The body carries the activation code: secret memory, out of core files,
    // wiped on every way out.
    platform::SecretText body = platform::MakeSecretText(VESTA_FORM_BODY_SIZE);
    if (!body)
        return VESTA_REGISTER_BODY_FAILED;
    int result = register_compose_body(body.get(), VESTA_FORM_BODY_SIZE, info, host_info, registration_info,
                                       install_token);
    if (result != VESTA_REGISTER_OK)
        return result;

    const http_client_header_list no_headers = {nullptr, 0};
    http_client_request_ptr request(http_client_request_new(http_client, &no_headers));
    if (!request || http_client_request_set_abort(request.get(), abort) != HTTP_CLIENT_OK) {
        TLOG_ERR("http_client_request_new failed");
        return VESTA_REGISTER_NO_RESPONSE;
    }
    char url[VESTA_MGMT_URL_SIZE];
    size_t base_len = strnlen(info->mgmt_url, sizeof info->mgmt_url);
    bool ends_with_slash = base_len > 0 && info->mgmt_url[base_len - 1] == '/';
    int n = snprintf(url, sizeof url, ends_with_slash ? "%.*sregister" : "%.*s/register",
                     static_cast<int>(base_len), info->mgmt_url);
    if (n < 0 || static_cast<size_t>(n) >= sizeof url) {
        TLOG_ERR("mgmt URL is too long, ret %d", n);
        return VESTA_REGISTER_INVALID_ARGUMENT;
    }

    // The install token is the activation code: it never reaches a log line.
    char logged_body[VESTA_FORM_BODY_SIZE];
    register_mask_form_value(body.get(), "itoken", logged_body, sizeof logged_body);
    TLOG_DEBUG("Registering with QRV for endpoints %s: %s", url, logged_body);

    http_client_response_ptr response(http_client_send_request(request.get(), url, "POST", body.get(), -1));
    if (!response)
        return VESTA_REGISTER_NO_RESPONSE;
    const uint32_t status = static_cast<uint32_t>(response->status);
    TLOG_DEBUG("Registration response recieved, status %u, error: %d", status, response->error);
    if (http_status)
        *http_status = status;
    if (status == 200) {
        TLOG_DEBUG("registered");
        return VESTA_REGISTER_OK;
    }
    TLOG_ERR("Registration failed (HTTP code: %u)", status);
    // A transfer that failed said why already; an answer is the cause itself.
    if (status != 0) {
        const std::string cause = http_client_peer_cause(url, "management server answered " + std::to_string(status));
        TLOG_ERR("%s%s", platform::kCauseMarker, cause.c_str());
    }
    return VESTA_REGISTER_HTTP_STATUS;
}
