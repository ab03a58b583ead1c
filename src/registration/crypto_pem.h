// Certificates between OpenSSL objects and PEM text. Failures are logged
// through the kit logger, so the kit may call these too.
#pragma once

#include <openssl/x509.h>

#include <cstddef>

// `cert` as PEM in a new zero-terminated allocation (*pem, freed with free)
// and its length without the terminator. 0 or -1.
int crypto_x509_to_pem(X509* cert, char** pem, size_t* length);

// The first PEM certificate ("CERTIFICATE" or "TRUSTED CERTIFICATE") within
// `length` bytes of `pem` into *cert (the caller frees it). 0 or -1.
int crypto_pem_to_x509(const char* pem, size_t length, X509** cert);
