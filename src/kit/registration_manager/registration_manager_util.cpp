#include "kit/registration_manager/registration_manager_util.h"

#include <cstdlib>
#include <cstring>

#include "kit/tessel_logger.h"
#include "kit/util/guid_text.h"

int registration_proxy_copy(tessel_proxy_t* dst, const tessel_proxy_t* src) {
    *dst = *src;
    dst->username = nullptr;
    if (src->username) {
        dst->username = strdup(src->username);
        if (!dst->username)
            return -1;
    }
    return 0;
}

void registration_proxy_release(tessel_proxy_t* proxy) {
    if (proxy->username) {
        // The user name travels with the password; wipe it like one.
        memset(proxy->username, 0, strlen(proxy->username));
        free(proxy->username);
        proxy->username = nullptr;
    }
}

int registration_roots_copy(X509* const* src, uint32_t count, X509*** out) {
    *out = nullptr;
    if (count == 0)
        return 0;
    if (!src) {
        TLOG_ERR("Did not expect NULL certificate in source");
        return -1;
    }
    auto** roots = static_cast<X509**>(calloc(count, sizeof(X509*)));
    if (!roots) {
        TLOG_ERR("failed to allocate system trust cert array");
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!src[i]) {
            TLOG_ERR("Did not expect NULL certificate in source");
            registration_roots_free(roots, i);
            return -1;
        }
        // A reference, not a copy: anchors are never modified once loaded,
        // and re-encoding and re-decoding a system bundle's anchors costs
        // tens of milliseconds per start.
        if (X509_up_ref(src[i]) != 1) {
            TLOG_ERR("Failed to copy src certificate");
            registration_roots_free(roots, i);
            return -1;
        }
        roots[i] = src[i];
    }
    *out = roots;
    return 0;
}

void registration_roots_free(X509** roots, uint32_t count) {
    if (!roots)
        return;
    for (uint32_t i = 0; i < count; ++i)
        X509_free(roots[i]);
    free(roots);
}

int registration_request_new_guid(tessel_registration_handle* handle) {
    uint8_t* guid = handle->callbacks.new_guid_fn ? handle->callbacks.new_guid_fn(handle->callbacks.new_guid_ctx)
                                                  : nullptr;
    if (!guid || guid_is_absent(guid)) {
        TLOG_ERR("request for new GUID failed");
        free(guid);
        return -1;
    }
    memcpy(handle->agent_guid, guid, TESSEL_GUID_SIZE);
    free(guid);
    return 0;
}
