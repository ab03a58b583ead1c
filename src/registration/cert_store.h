// The process-wide trusted-certificate store: the platform's trust anchors
// (the system CA bundle OpenSSL is built with, or the file named by
// SSL_CERT_FILE) merged with the configured certificates. Every operation
// holds the store's lock; the store owns what it holds and hands out
// references the caller frees.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

// Loads the system anchors, then adds those of `config_certs` (may be null)
// that are not among them. Fails when anchors are already loaded (unload
// first) or the system bundle yields none; a failure to add configured
// certificates is logged and the load still succeeds. 0 or -1.
int cert_store_load(X509* const* config_certs, size_t count);

// cert_store_unload and cert_store_load as one step, so that concurrent
// reloads never see each other's half-loaded store. 0 or -1.
int cert_store_reload(X509* const* config_certs, size_t count);

// Every held certificate, system anchors first, each in load order, in a new
// array (*certs, freed with registration_roots_free). 0 or -1; with nothing loaded,
// 0 with an empty (null) array.
int cert_store_retrieve_certs(X509*** certs, uint32_t* count);

// Releases every held certificate. 0.
int cert_store_unload();

// The file the system anchors are read from.
const char* cert_store_system_bundle();
