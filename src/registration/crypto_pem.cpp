#include "registration/crypto_pem.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kit/tessel_logger.h"
#include "registration/openssl_ptr.h"

namespace {

int FirstLineLength(const char* text, size_t length) {
    size_t n = 0;
    while (n < length && n < 80 && text[n] != '\0' && text[n] != '\n' && text[n] != '\r')
        ++n;
    return static_cast<int>(n);
}

}  // namespace

int crypto_x509_to_pem(X509* cert, char** pem, size_t* length) {
    static const char* const kName = "crypto_x509_to_pem";
    if (!cert || !pem || !length) {
        TLOG_ERR("%s: Called with NULL argument", kName);
        return -1;
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        TLOG_ERR("%s: BIO_new failed", kName);
        return -1;
    }
    char* data = nullptr;
    long size = 0;
    if (PEM_write_bio_X509(bio.get(), cert) != 1 || BIO_flush(bio.get()) != 1 ||
        (size = BIO_get_mem_data(bio.get(), &data)) <= 0 || !data) {
        TLOG_ERR("%s: BIO_get_mem_data failed", kName);
        return -1;
    }
    char* copy = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (!copy) {
        TLOG_ERR("%s: malloc failed", kName);
        return -1;
    }
    memcpy(copy, data, static_cast<size_t>(size));
    copy[size] = '\0';
    *pem = copy;
    *length = static_cast<size_t>(size);
    return 0;
}

int crypto_pem_to_x509(const char* pem, size_t length, X509** cert) {
    static const char* const kName = "crypto_pem_to_x509";
    if (!pem || !cert || length == 0 || length > INT_MAX) {
        TLOG_ERR("*%s: Failed to allocate memory (%s)", kName, pem ? "invalid length" : "null");
        return -1;
    }
    BioPtr bio(BIO_new_mem_buf(pem, static_cast<int>(length)));
    if (!bio) {
        TLOG_ERR("*%s: Failed to allocate memory (%.*s)", kName, FirstLineLength(pem, length), pem);
        return -1;
    }
    X509* read = PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr);
    if (!read) {
        // Only the first line: text that is no certificate may hold a key.
        TLOG_ERR("*%s: Failed to read certificate from XML(%.*s)", kName, FirstLineLength(pem, length), pem);
        return -1;
    }
    *cert = read;
    return 0;
}
