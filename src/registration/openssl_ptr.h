// Owning pointers for the OpenSSL objects the registration units make, so
// that every early return frees what it took.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

template <auto FreeFn>
struct OpenSslFree {
    template <typename T>
    void operator()(T* object) const {
        FreeFn(object);
    }
};

using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX_free>>;
