// Validity of the registration handle's client certificate and the kit's EST
// error codes.
#pragma once

#include <cstdint>

struct tessel_registration_handle;

// What the handle's certificate is, from its subject common name.
enum tessel_certificate_kind {
    TESSEL_CERT_UNUSABLE = 0,    // no agent GUID, or the name is another GUID
    TESSEL_CERT_EKDSV2 = 1,      // "<AGENT GUID>.qrv", case ignored
    TESSEL_CERT_EKDSV1 = 2,      // the agent GUID
    TESSEL_CERT_NONE = 3,        // no certificate
    TESSEL_CERT_UNREADABLE = 4,  // the name could not be read or parsed
};

// Renewal thresholds, seconds before notAfter.
constexpr int64_t TESSEL_EKDSV1_RENEWAL_THRESHOLD = 31536000;  // 365 days
constexpr int64_t TESSEL_EKDSV2_RENEWAL_THRESHOLD = 432000;    // 5 days

// The kit's EST error codes (the handle's `last_est_error`).
enum tessel_est_error {
    TESSEL_EST_OK = 0,
    TESSEL_EST_LOAD_CACERTS = 1,
    TESSEL_EST_LOAD_TRUST_CERTS = 2,
    TESSEL_EST_CA_ENROLL_FAIL = 3,
    TESSEL_EST_PEM_READ = 4,
    TESSEL_EST_AUTH_FAIL = 5,
    TESSEL_EST_IP_GETADDR = 6,
    TESSEL_EST_IP_CONNECT = 7,
    TESSEL_EST_CLIENT_INVALID_KEY = 8,
    TESSEL_EST_NO_CERTS_FOUND = 9,
    TESSEL_EST_CACERT_VERIFICATION = 10,
    TESSEL_EST_ENROLL_FAILED = 11,
};

// Both take the handle's `mutex`.
int tessel_registration_certificate_kind(tessel_registration_handle* handle);
// True when the certificate must be renewed (or there is none).
bool tessel_registration_certificate_needs_renewal(tessel_registration_handle* handle);

// The kit code of an EST client error (`EST_ERR_*`).
int tessel_est_error_from_client(int est_err);
// The message of a kit code; "" outside 1..11.
const char* tessel_est_error_message(int code);
