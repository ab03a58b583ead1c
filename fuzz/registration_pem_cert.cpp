// A configured certificate as PEM text: read within its length only, and a
// certificate read writes back as PEM that reads again to the same one.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "registration/crypto_pem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000)
        return 0;
    // Exactly `size` bytes, with no terminator: reading past them is caught.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    memcpy(text.get(), data, size);
    X509* cert = nullptr;
    if (crypto_pem_to_x509(text.get(), size, &cert) != 0) {
        if (cert)
            abort();
        return 0;
    }
    char* pem = nullptr;
    size_t length = 0;
    if (crypto_x509_to_pem(cert, &pem, &length) == 0) {
        X509* again = nullptr;
        if (strlen(pem) != length || crypto_pem_to_x509(pem, length, &again) != 0 || X509_cmp(cert, again) != 0)
            abort();
        X509_free(again);
        free(pem);
    }
    X509_free(cert);
    return 0;
}
