// Certificate helpers of the kit: the subject common name, printable
// validity times, the renewal window test and the system roots as one PEM text.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

constexpr size_t CERTIFICATE_NAME_SIZE = 65;
constexpr size_t CERTIFICATE_TIME_TEXT_SIZE = 128;
constexpr size_t CERTIFICATE_PEM_INITIAL_SIZE = 358401;

// The subject's common name as UTF-8 into `subject` (`size` bytes). 0 or -1.
int certificate_get_common_name(X509* cert, char* subject, size_t size);
// First line of OpenSSL's print of `time` into `buf` (128 bytes); empty on failure.
void certificate_print_time(const ASN1_TIME* time, char* buf, size_t size);
// True when `cert` must be renewed at `now`: it ends before now + threshold,
// is not valid yet, or its times cannot be read.
bool certificate_expires_within(X509* cert, int64_t threshold, int64_t now);
// Every certificate as PEM, concatenated, into *pem (caller frees) and *len.
// The first certificate that fails ends the list; what came before stays.
// 0, or -1 when nothing could be made.
int certificate_roots_to_pem(X509* const* certs, uint32_t count, char** pem, size_t* len);
