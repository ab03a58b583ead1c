// Small helpers of the registration manager: the handle's own copies of a proxy record and of the system roots, and the
// request for a new agent GUID.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "kit/registration_manager/tessel_registration_manager.h"

// Copies `src` into `dst` with a duplicated user name. 0, or -1 when the user
// name could not be duplicated (then `dst->username` is null).
int registration_proxy_copy(tessel_proxy_t* dst, const tessel_proxy_t* src);
// Releases the user name copy of a record filled by registration_proxy_copy.
void registration_proxy_release(tessel_proxy_t* proxy);

// Duplicates `count` certificates into a new array in *out. 0 or -1 (nothing kept).
int registration_roots_copy(X509* const* src, uint32_t count, X509*** out);
void registration_roots_free(X509** roots, uint32_t count);

// Asks the host's `new_guid_fn` for a new agent GUID and stores it in the
// handle. The caller holds the handle's `mutex`. 0 or -1.
int registration_request_new_guid(tessel_registration_handle* handle);
