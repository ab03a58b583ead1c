// TLS set-up of the EST client: trust store, TLS context, the two verify
// callbacks, and the check of the server's certificate against its name.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

struct est_context;

// Builds the trust store from PEM text (certificates and CRLs) into
// ctx->trusted_certs_store.
int est_load_trusted_certs(est_context* ctx, const unsigned char* certs, int certs_len);
// Points ctx->ssl_ctx at the TLS context all enrolments share (one reference
// each; made on first use). It holds no trust: see est_use_trust_store.
int est_client_init_ssl_ctx(est_context* ctx);
// Makes ctx->trusted_certs_store (which the context keeps owning) verify the
// server on this connection.
int est_use_trust_store(est_context* ctx, SSL* ssl);
// Index of the "EST Context" slot on TLS connections (registered once).
int est_ssl_ex_index(void);
// Checks the peer certificate against ctx->est_server.
int est_client_check_fqdn(est_context* ctx, SSL* ssl);
// Does a certificate name pattern match a host name? 1 or 0.
int est_host_pattern_match(const char* pattern, const char* hostname);
