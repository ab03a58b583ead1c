// Reading and judging the EST server's HTTP response: status line, headers,
// content checks, Retry-After and the WWW-Authenticate challenge. The parsers
// work on a NUL-terminated buffer they may modify (header names and values are
// terminated in place).
#pragma once

#include <openssl/ssl.h>

#include "est/est_transport.h"

struct est_context;

constexpr int EST_HTTP_MAX_HEADERS = 16;

struct HTTP_HEADER {
    char* name;
    char* value;
};

// Status of the response's first line, or -1 when it is not one of the lines
// this client handles.
int est_io_parse_response_status_code(const unsigned char* buf);
// Parses up to 16 headers after the status line; returns their count and sets
// *body_offset to the first byte after the blank line (len when there is none).
int parse_http_headers(unsigned char* buf, int len, HTTP_HEADER* hdrs, int* body_offset);
// Content-Length of a response whose Content-Type is application/pkcs7-mime,
// else 0. A length above the response limit is returned as it is (capped to
// limit + 1) for the caller to refuse.
int est_io_check_http_hdrs(const HTTP_HEADER* hdrs, int hdr_cnt);
// Handles the Retry-After headers of a 202: EST_ERR_CA_ENROLL_RETRY with the
// delay stored in the context, or EST_ERR_INVALID_RETRY_VALUE.
int est_io_parse_http_retry_after_resp(est_context* ctx, const HTTP_HEADER* hdrs, int hdr_cnt);
// Chooses the context's auth mode from the WWW-Authenticate challenge of a 401.
void est_io_parse_http_auth_request(est_context* ctx, HTTP_HEADER* hdrs, int hdr_cnt);
// Reads the challenge's parameters into the context (modifies hdr).
int est_io_parse_auth_tokens(est_context* ctx, char* hdr);
// Token reader over a challenge value: the next token (NUL-terminated in place)
// or null at the end; *pos moves past it.
char* est_io_next_token(char** pos);
// Judges a whole response of len bytes (buf[len] must be 0). On EST_ERR_NONE a
// body, if any, is returned as a new NUL-terminated buffer the caller frees.
int est_io_judge_response(est_context* ctx, unsigned char* buf, int len, unsigned char** body,
                          int* body_len);
// Reads until the server closes the connection or buf_size bytes arrived;
// `abort` (may be null) ends a wait for data.
int est_io_read_raw(SSL* ssl, unsigned char* buf, int buf_size, int* read_len, int timeout_s,
                    const est_abort* abort);
// Reads and judges the response of the context's open TLS connection.
int est_io_get_response(SSL* ssl, est_context* ctx, unsigned char** body, int* body_len);
