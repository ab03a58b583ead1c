#include "kit/registration_manager/certificate_acquisition.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cloud/cv_cloud_est.h"
#include "kit/http_client/http_client_ptr.h"
#include "kit/registration_manager/est_domains.h"
#include "kit/registration_manager/registration_certificate_private.h"
#include "kit/registration_manager/tessel_registration_certificate.h"
#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/util/certificate_utils.h"
#include "kit/util/guid_text.h"
#include "kit/util/json_writer.h"
#include "kit/util/proxy_password.h"

namespace {

constexpr size_t k_password_size = 512;

// Everything one enrolment needs, copied out of the handle so that the
// exchange runs without the handle's locks.
struct enrolment_input {
    cv_cloud_est_client_ctx_v2 v2;  // v2.ctx is the whole input of the first generation
    char server[TESSEL_HOST_NAME_SIZE];
    char* roots_pem;
    char* password;  // the second generation's JSON password (wiped)
    tessel_proxy_free_password_fn free_proxy_password;
};

void release_input(enrolment_input* in) {
    cv_cloud_est_proxy& proxy = in->v2.ctx.proxy;
    free(proxy.server);
    free(proxy.user);
    tessel_proxy_password_release(in->free_proxy_password, proxy.password);
    proxy = cv_cloud_est_proxy {};
    if (in->password) {
        OPENSSL_cleanse(in->password, k_password_size);
        free(in->password);
        in->password = nullptr;
    }
    free(in->roots_pem);
    in->roots_pem = nullptr;
    in->v2.ctx.password = nullptr;
}

// The EST proxy from the handle's proxy (caller holds `mutex` and `data.lock`).
void fill_proxy_locked(tessel_registration_handle* h, enrolment_input* in) {
    const tessel_proxy_t& p = h->hosts.proxy;
    if (h->proxy_disabled || p.type == TESSEL_PROXY_NONE) return;
    if (!p.server[0]) {
        TLOG_ERR("proxy server is NULL, ignoring proxy configuration");
        return;
    }
    cv_cloud_est_proxy& proxy = in->v2.ctx.proxy;
    proxy.protocol = registration_est_proxy_protocol(p.type);
    proxy.server = strdup(p.server);
    bool complete = proxy.server != nullptr;
    if (!complete) TLOG_ERR("failed to allocate memory for proxy server, ignoring proxy configuration");
    proxy.port = p.port;
    proxy.auth_flags = p.auth;
    if (complete && p.auth != 0) {
        if (!p.username || !p.username[0]) {
            TLOG_ERR(" proxy username is not set, ignoring proxy configuration");
            complete = false;
        } else if (!(proxy.user = strdup(p.username))) {
            TLOG_ERR("failed to allocate memory for proxy username, ignoring proxy configuration");
            complete = false;
        } else if (p.get_password) {
            proxy.password = p.get_password();
            in->free_proxy_password = p.free_password;
        }
    }
    if (complete) {
        TLOG_NOTICE("Will apply proxy to connection");
        proxy.in_use = 1;
    } else {
        release_input(in);
    }
}

// The input both generations share (caller holds `mutex`).
void fill_common_locked(tessel_registration_handle* h, enrolment_input* in) {
    cv_cloud_est_client_ctx& ctx = in->v2.ctx;
    ctx.log_sink = registration_est_log_sink;
    snprintf(in->server, sizeof in->server, "%s", h->hosts.est_host);
    ctx.server = in->server;
    ctx.port = h->hosts.cloud_port;
    guid_to_text(h->agent_guid, ctx.guid, false);
    ctx.password = nullptr;
    ctx.keypair = h->client_keypair;
    ctx.signing_key = h->legacy_client_keypair;
    {
        TESSEL_SCOPED_WRITE_LOCK(&h->data.lock);
        fill_proxy_locked(h, in);
    }
    if (h->system_trust_root_certs_count > 0) {
        size_t len = 0;
        if (certificate_roots_to_pem(h->system_trust_root_certs, h->system_trust_root_certs_count, &in->roots_pem,
                                     &len) != 0) {
            TLOG_WARN("Failed to convert system trust roots to a PEM list of certificates. On some targets, if the "
                      "default SSL trust is unknown, this may result in a failure to verify the CA");
        } else {
            ctx.trust_anchors_pem = in->roots_pem;
            ctx.trust_anchors_len = static_cast<int>(len);
        }
    }
}

// The second generation's user name, organisation and JSON password (caller
// holds `mutex`). 0 or -1.
int fill_v2_locked(tessel_registration_handle* h, enrolment_input* in) {
    if (!h->productid[0]) {
        TLOG_ERR("Missing productid from agent identity required for EKDSV2 enrollment.");
        return -1;
    }
    if (!h->product_version[0]) {
        TLOG_ERR("Missing product version from agent identity required for EKDSV2 enrollment.");
        return -1;
    }
    in->password = static_cast<char*>(calloc(1, k_password_size));
    if (!in->password) {
        TLOG_ERR("Failed to allocate http auth password buffer");
        return -1;
    }
    char guid[GUID_TEXT_SIZE];
    guid_to_text(h->agent_guid, guid, false);
    int n = snprintf(in->v2.username, sizeof in->v2.username, "%s.qrv", guid);
    if (n < 0 || static_cast<size_t>(n) >= sizeof in->v2.username) {
        TLOG_ERR("Failed to write username");
        return -1;
    }
    guid_to_text(h->business_guid, in->v2.org, false);
    char product[k_password_size];
    n = snprintf(product, sizeof product, "%s,%s", h->productid, h->product_version);
    if (n < 0 || static_cast<size_t>(n) >= sizeof product) {
        TLOG_ERR("Failed to write product and version to buffer");
        return -1;
    }
    char actcode[GUID_TEXT_SIZE];
    guid_to_text(h->actcode, actcode, false);
    json_writer json {};
    json_writer_begin(&json);
    json_writer_string(&json, "actcode", actcode);
    json_writer_string(&json, "devid", h->devid);
    json_writer_string(&json, "productid", product);
    OPENSSL_cleanse(actcode, sizeof actcode);
    const char* text = json_writer_end(&json);
    int rc = 0;
    if (!text) {
        TLOG_ERR("Failed to create http auth json");
        rc = -1;
    } else if (strlen(text) >= k_password_size) {
        TLOG_ERR("Failed to write http auth password");
        rc = -1;
    } else {
        memcpy(in->password, text, strlen(text) + 1);
        in->v2.ctx.password = in->password;
    }
    json_writer_free(&json);
    return rc;
}

// Turns the glue's outcome into the next state.
int process_result(tessel_registration_handle* h, enrolment_input* in, int rc, int est_err) {
    registration_est_log_flush();
    X509* issued = in->v2.ctx.issued_cert;
    in->v2.ctx.issued_cert = nullptr;
    release_input(in);
    if (rc == CV_CLOUD_EST_OK && issued) {
        TESSEL_SCOPED_LOCK(&h->mutex);
        X509* old = h->client_cert;
        h->client_cert = issued;
        if (registration_certificate_needs_renewal_locked(h)) {
            TLOG_ERR("Acquired EST certificate is invalid");
            X509_free(issued);
            h->client_cert = old;
            return tessel_certificate_acquisition_failed;
        }
        X509_free(old);
        if (h->callbacks.new_certificate_fn)
            h->callbacks.new_certificate_fn(h->client_cert, h->callbacks.new_certificate_ctx);
        else
            TLOG_ERR("A callback does not exist to save the newly obtained certificate");
        return tessel_certificate_acquisition_succeeded;
    }
    X509_free(issued);
    if (rc == CV_CLOUD_EST_OK) rc = CV_CLOUD_EST_FAILED;  // success without a certificate
    const int code = tessel_est_error_from_client(est_err);
    {
        TESSEL_SCOPED_WRITE_LOCK(&h->data.lock);
        h->last_est_error = code;
    }
    int state = tessel_certificate_acquisition_failed;
    switch (rc) {
    case CV_CLOUD_EST_LOCKED:
        TLOG_ERR("Attempted to provision a new certificate with EST but the GUID already exists");
        state = tessel_certificate_acquisition_duplicate_guid;
        break;
    case CV_CLOUD_EST_TLS_FAILED:
        TLOG_ERR("Attempted to provision a new certificate with EST but CA is not in cert store");
        break;
    case CV_CLOUD_EST_FORBIDDEN:
        TLOG_ERR("EST server returned forbidden, it understood the request, but refuses to authorize it");
        state = tessel_certificate_acquisition_failed_forbidden;
        break;
    default:
        TLOG_ERR("Error connecting to %s:%d - %s (%d)", in->server, static_cast<int>(in->v2.ctx.port),
                 tessel_est_error_message(code), code);
        break;
    }
    if (est_err == EST_ERR_IP_GETADDR) {
        tessel_dns_resolver_fn resolver;
        {
            TESSEL_SCOPED_LOCK(&h->mutex);
            resolver = h->callbacks.dns_resolver_fn;
        }
        if (resolver) resolver(nullptr);
    }
    return state;
}

// The enrolment's view of the kit's abort check (same shape, its own type).
est_abort abort_of(const http_client_abort* abort) {
    return abort ? est_abort{abort->fn, abort->ctx} : est_abort{nullptr, nullptr};
}

// True (and logged) when the handle's certificate is of `kind` and fresh.
bool valid_certificate_present(tessel_registration_handle* h, int kind) {
    TESSEL_SCOPED_LOCK(&h->mutex);
    if (registration_certificate_kind_locked(h) != kind || registration_certificate_needs_renewal_locked(h))
        return false;
    TLOG_INFO("valid certificate already present, skipping enrolment");
    return true;
}

int acquire_v1(tessel_registration_handle* h, const http_client_abort* abort) {
    if (valid_certificate_present(h, TESSEL_CERT_EKDSV1)) return tessel_certificate_acquisition_succeeded;
    enrolment_input in {};
    in.v2.ctx.abort = abort_of(abort);
    {
        TESSEL_SCOPED_LOCK(&h->mutex);
        fill_common_locked(h, &in);
    }
    TLOG_NOTICE("requesting a certificate via est enrollment");
    int est_err = 0;
    int rc = cv_cloud_est_enrollment(&in.v2.ctx, &est_err);
    return process_result(h, &in, rc, est_err);
}

int acquire_v2(tessel_registration_handle* h, const http_client_abort* abort) {
    if (valid_certificate_present(h, TESSEL_CERT_EKDSV2)) return tessel_certificate_acquisition_succeeded;
    enrolment_input in {};
    in.v2.ctx.abort = abort_of(abort);
    {
        TESSEL_SCOPED_LOCK(&h->mutex);
        if (guid_is_absent(h->actcode)) {
            TLOG_ERR("Missing actcode, not able to register with EKDSV2");
            return tessel_certificate_acquisition_missing_actcode;
        }
        fill_common_locked(h, &in);
        if (fill_v2_locked(h, &in) != 0) {
            TLOG_ERR("Failed to populate est info");
            release_input(&in);
            return tessel_certificate_acquisition_failed;
        }
    }
    TLOG_NOTICE("requesting a certificate via est enrollment");
    int est_err = 0;
    int rc = cv_cloud_est_enrollment_v2(&in.v2, &est_err);
    return process_result(h, &in, rc, est_err);
}

// Probes "/domains" on a client made under both locks (it copies the user
// agent, roots and proxy), so the hosts and proxy cannot change under it; the
// exchange itself runs without them, so that a stop can get in and end it.
int probe_generation(tessel_registration_handle* h, const http_client_abort* abort) {
    http_client_handle_ptr client;
    char est_host[TESSEL_HOST_NAME_SIZE];
    uint16_t port;
    {
        TESSEL_SCOPED_LOCK(&h->mutex);
        TESSEL_SCOPED_WRITE_LOCK(&h->data.lock);
        tessel_proxy_t direct {};
        direct.type = TESSEL_PROXY_NONE;
        const tessel_proxy_t* proxy = h->proxy_disabled ? &direct : &h->hosts.proxy;
        http_client_identity identity {};
        identity.trust_certs = h->system_trust_root_certs;
        identity.trust_certs_count = h->system_trust_root_certs_count;
        client.reset(est_domains_client(h->user_agent, &identity, proxy));
        memcpy(est_host, h->hosts.est_host, sizeof est_host);
        est_host[sizeof est_host - 1] = '\0';
        port = h->hosts.cloud_port;
    }
    const int probe = client ? est_domains_probe(client.get(), est_host, port, abort) : EST_DOMAINS_ERROR;
    TESSEL_SCOPED_LOCK(&h->mutex);
    TESSEL_SCOPED_WRITE_LOCK(&h->data.lock);
    h->last_est_error = probe == EST_DOMAINS_UNREACHABLE ? TESSEL_EST_IP_CONNECT : TESSEL_EST_OK;
    return probe;
}

int detect_and_acquire(tessel_registration_handle* h, const http_client_abort* abort) {
    int probe = probe_generation(h, abort);
    switch (probe) {
    case EST_DOMAINS_UNREACHABLE:
        TLOG_ERR("Failed to connect to est host to query supported domains.");
        return tessel_certificate_acquisition_failed;
    case EST_DOMAINS_V1:
        return acquire_v1(h, abort);
    case EST_DOMAINS_V2:
    case EST_DOMAINS_BOTH: {
        int state = acquire_v2(h, abort);
        if (state == tessel_certificate_acquisition_missing_actcode && probe == EST_DOMAINS_BOTH)
            return acquire_v1(h, abort);
        return state;
    }
    default:
        TLOG_ERR("Unexpected est domain return.");
        return tessel_certificate_acquisition_failed;
    }
}

}  // namespace

int certificate_acquisition(tessel_registration_handle* handle, const http_client_abort* abort) {
    int32_t version;
    {
        TESSEL_SCOPED_LOCK(&handle->mutex);
        if (!handle->client_keypair) {
            TLOG_ERR("Failed to perform EST Enrollment, no public/private keypair present.");
            return tessel_certificate_acquisition_failed;
        }
        version = handle->ekds_version;
    }
    switch (version) {
    case 2: return acquire_v2(handle, abort);
    case 1: return acquire_v1(handle, abort);
    case 0: return detect_and_acquire(handle, abort);
    default:
        TLOG_ERR("Invalid ekds version configuration. ekds_version: %lld", static_cast<long long>(version));
        return tessel_certificate_acquisition_failed;
    }
}
