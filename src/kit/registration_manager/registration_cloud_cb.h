// The hooks the kit installs in its cloud handles: the provisioning check,
// the trust store, and the connection failure and attempt hooks. Each is given
// the handle's gate token (registration_hook_gate.h) and does nothing once the
// handle's free has begun.
#pragma once

#include <openssl/x509.h>

#include <cstdint>

#include "cloud/cv_cloud_handle.h"

// Asked by the cloud client whenever it needs a connection. Starts a
// re-provisioning run when the certificate is missing or due for renewal.
int registration_cloud_provision_check(cv_cloud_handle* cloud_handle, uint8_t* need_cert, void* token);
// Adds the handle's system roots to a TLS context's store.
void registration_cloud_trust_store(X509_STORE* store, void* token);
// A connection attempt failed at the network or TLS level: after three in a
// row the proxy is toggled (when allowed) and the host is told (event 1).
void registration_cloud_connection_failed(int64_t attempt_time, void* token);
// Any other end of an attempt: the failure count restarts; after a toggle the
// host is told the connection is back (event 2).
void registration_cloud_connection_attempted(void* token);
