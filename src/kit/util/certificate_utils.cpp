#include "kit/util/certificate_utils.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "kit/tessel_logger.h"

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// One certificate as a PEM text (caller frees) and its length; null on failure.
char* cert_to_pem(X509* cert, size_t* len) {
    if (!cert) {
        TLOG_ERR("Called with NULL argument");
        return nullptr;
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        TLOG_ERR("BIO_new failed");
        return nullptr;
    }
    char* data = nullptr;
    long n = PEM_write_bio_X509(bio.get(), cert) == 1 ? BIO_get_mem_data(bio.get(), &data) : 0;
    if (n <= 0 || !data) {
        TLOG_ERR("BIO_get_mem_data failed");
        return nullptr;
    }
    auto* out = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (!out) {
        TLOG_ERR("malloc failed");
        return nullptr;
    }
    memcpy(out, data, static_cast<size_t>(n));
    out[n] = '\0';
    *len = static_cast<size_t>(n);
    return out;
}

}  // namespace

int certificate_get_common_name(X509* cert, char* subject, size_t size) {
    if (!subject) {
        TLOG_ERR("subject cannot be null");
        return -1;
    }
    if (!cert) {
        TLOG_ERR("certificate cannot be null");
        return -1;
    }
    X509_NAME* name = X509_get_subject_name(cert);
    if (!name) {
        TLOG_ERR("subject name returned is null");
        return -1;
    }
    int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) {
        TLOG_ERR("name index returned is invalid %d", index);
        return -1;
    }
    X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
    if (!entry) {
        TLOG_ERR("entry returned is null");
        return -1;
    }
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
    if (!data) {
        TLOG_ERR("entry data returned is null");
        return -1;
    }
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (n < 0 || !utf8) {
        TLOG_ERR("failed to convert the string to utf8");
        return -1;
    }
    int rc = 0;
    if (static_cast<size_t>(n) >= size || memchr(utf8, '\0', static_cast<size_t>(n))) {
        TLOG_ERR("failed to copy the utf8 string");
        rc = -1;
    } else {
        memcpy(subject, utf8, static_cast<size_t>(n));
        subject[n] = '\0';
    }
    OPENSSL_free(utf8);
    return rc;
}

void certificate_print_time(const ASN1_TIME* time, char* buf, size_t size) {
    if (!buf || size == 0) {
        TLOG_ERR("NULL arguments");
        return;
    }
    buf[0] = '\0';
    if (!time) {
        TLOG_ERR("NULL arguments");
        return;
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        TLOG_ERR("BIO_new failed");
        return;
    }
    if (ASN1_TIME_print(bio.get(), time) != 1 || BIO_pending(bio.get()) <= 0) {
        TLOG_ERR("ASN1_TIME_print failed or wrote no data.");
        return;
    }
    if (BIO_gets(bio.get(), buf, static_cast<int>(size)) <= 0) {
        TLOG_ERR("BIO_gets call failed to transfer contents to buf");
        buf[0] = '\0';
        return;
    }
    buf[strcspn(buf, "\n")] = '\0';
}

bool certificate_expires_within(X509* cert, int64_t threshold, int64_t now) {
    if (!cert) return true;
    char now_text[CERTIFICATE_TIME_TEXT_SIZE] = {0};
    {
        ASN1_TIME* t = ASN1_TIME_set(nullptr, static_cast<time_t>(now));
        certificate_print_time(t, now_text, sizeof now_text);
        ASN1_TIME_free(t);
        if (!now_text[0]) snprintf(now_text, sizeof now_text, "%.f", static_cast<double>(now));
    }
    if (threshold > 0 && now > std::numeric_limits<int64_t>::max() - threshold) {
        TLOG_ERR("Overflow on time addition of %.f and %.f detected. Assuming certificate is expired.",
                 static_cast<double>(now), static_cast<double>(threshold));
        return true;
    }
    const time_t limit = static_cast<time_t>(now + threshold);
    const time_t at_now = static_cast<time_t>(now);
    char when[CERTIFICATE_TIME_TEXT_SIZE] = {0};
    const double days = static_cast<double>(threshold) / 86400.0;

    const ASN1_TIME* not_after = X509_get0_notAfter(cert);
    // Strictly earlier: a certificate ending exactly at the limit is kept
    // (X509_cmp_time would count equal as earlier).
    int cmp = not_after ? ASN1_TIME_cmp_time_t(not_after, limit) : -2;
    if (cmp == -2) {
        TLOG_ERR("Certificate has error in \"Not After\" field");
        return true;
    }
    if (cmp < 0) {
        certificate_print_time(not_after, when, sizeof when);
        if (when[0])
            TLOG_INFO("Certificate will expire on %s which is inside the threshold of %.f days or the current time of "
                      "%s is past the expiry.",
                      when, days, now_text);
        else
            TLOG_INFO("Certificate will expire inside threshold of %.f days or the current time of %s is past the "
                      "expiry date.",
                      days, now_text);
        return true;
    }
    const ASN1_TIME* not_before = X509_get0_notBefore(cert);
    cmp = not_before ? X509_cmp_time(not_before, const_cast<time_t*>(&at_now)) : 0;
    if (cmp == 0) {
        TLOG_ERR("Certificate has error in \"Not Before\" field");
        return true;
    }
    if (cmp > 0) {
        certificate_print_time(not_before, when, sizeof when);
        if (when[0])
            TLOG_INFO("Certificate will not be valid until %s and the current time is %s", when, now_text);
        else
            TLOG_INFO("Certificate is not yet valid and the current time is %s", now_text);
        return true;
    }
    return false;
}

int certificate_roots_to_pem(X509* const* certs, uint32_t count, char** pem, size_t* len) {
    if (!certs || !pem || !len) {
        TLOG_ERR("One or more arguments are NULL");
        return -1;
    }
    size_t capacity = CERTIFICATE_PEM_INITIAL_SIZE;
    auto* buf = static_cast<char*>(calloc(1, capacity));
    if (!buf) {
        TLOG_ERR("Could not allocate memory for PEM certs");
        return -1;
    }
    size_t used = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (!certs[i]) {
            TLOG_ERR("NULL parameter given");
            break;
        }
        size_t n = 0;
        char* one = cert_to_pem(certs[i], &n);
        if (!one) {
            TLOG_ERR("Failed to convert x509 certificate to PEM");
            break;
        }
        if (capacity - used < n + 1) {
            auto* grown = static_cast<char*>(realloc(buf, used + n + 1));
            if (!grown) {
                TLOG_ERR("Could not realloc enough memory for PEM certificate");
                free(one);
                break;
            }
            buf = grown;
            capacity = used + n + 1;
        }
        memcpy(buf + used, one, n + 1);
        used += n;
        free(one);
    }
    if (used == 0) {
        free(buf);
        return -1;
    }
    *pem = buf;
    *len = used;
    return 0;
}
