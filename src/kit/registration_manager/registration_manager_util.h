// Small helpers of the registration manager: the handle's own copies of a proxy record and of the system roots, and the
// request for a new agent GUID.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "kit/registration_manager/tessel_registration_manager.h"

// Copies `src` into `dst` with a duplicated user name. 0, or -1 when the user
// name could not be duplicated (then `dst->username` is null).
int registration_proxy_copy(tessel_proxy_t* dst, const tessel_proxy_t* src);
// Releases the user name copy of a record filled by registration_proxy_copy.
void registration_proxy_release(tessel_proxy_t* proxy);

// A new array in *out holding a reference to each of `count` certificates
// (shared, never modified). 0 or -1 (nothing kept).
int registration_roots_copy(X509* const* src, uint32_t count, X509*** out);
void registration_roots_free(X509** roots, uint32_t count);

// Releases and clears the client certificate, both key pairs and the trusted
// roots of what holds them under these names: a configuration record or a
// handle.
template <typename Holder>
void registration_credentials_release(Holder* holder) {
    X509_free(holder->client_cert);
    holder->client_cert = nullptr;
    EVP_PKEY_free(holder->client_keypair);
    holder->client_keypair = nullptr;
    EVP_PKEY_free(holder->legacy_client_keypair);
    holder->legacy_client_keypair = nullptr;
    registration_roots_free(holder->system_trust_root_certs, holder->system_trust_root_certs_count);
    holder->system_trust_root_certs = nullptr;
    holder->system_trust_root_certs_count = 0;
}

// Asks the host's `new_guid_fn` for a new agent GUID and stores it in the
// handle. The caller holds the handle's `mutex`. 0 or -1.
int registration_request_new_guid(tessel_registration_handle* handle);
