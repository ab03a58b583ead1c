// The cloud client: one handle per mutually authenticated TLS connection to
// the cloud lookup service (connect-only libcurl stream, optional proxy), the
// reconnect rules, certificate drop on authentication failures, the
// synchronous query path, the ping schedule and server messages. The
// asynchronous engine that drives a handle is cv_cloud_async.h.
#pragma once

#include <curl/curl.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "CorvaneMessage.h"
#include "CorvaneQuery.h"
#include "CorvaneQueryHeader.h"
#include "CorvaneQueryResponse.h"
#include "cloud/cv_cloud_handle.h"

// ---- Options -----------------------------------------------------------------------

// Zeroes `opts` and sets the defaults. 0, -1 (null record), -2 (method not 6).
int cv_cloud_initialize_opts(int method, cv_cloud_opts* opts);
// Pushes a handler at the front of the options' list; false when out of memory.
bool cv_cloud_add_message_callback(cv_cloud_opts* opts, uint32_t type, cv_cloud_msg_cb callback, void* user_data);
// Frees the handler list and the proxy text (wiped), then zeroes the record.
void cv_cloud_free_opts(int method, cv_cloud_opts* opts);

// ---- Handle ------------------------------------------------------------------------

// Creates a handle (not connected) and starts its engine. `uuid` is the
// endpoint's 16-byte id; `server` is "host", "host:port", "[v6]:port" or a
// numeric IPv6 address. The handle takes references on key and certificate.
cv_cloud_handle* cv_cloud_init(int method, const cv_cloud_opts* opts, const uint8_t* uuid, const char* server,
                               EVP_PKEY* keypair, X509* client_cert, const cv_cloud_async_opts* async_opts);
// The same; without `start_engine` the handle is synchronous
// (_cv_cloud_query_internal).
cv_cloud_handle* _cv_cloud_create(int method, const cv_cloud_opts* opts, const uint8_t* uuid, const char* server,
                                  EVP_PKEY* keypair, X509* client_cert, const cv_cloud_async_opts* async_opts,
                                  bool start_engine);
// Stops the engine (outstanding queries fail), closes and frees. 0, or -1 for null.
int cv_cloud_deinit(cv_cloud_handle* handle);

// Replaces key pair and certificate and forces a disconnect.
void cv_cloud_update_client_auth(cv_cloud_handle* handle, EVP_PKEY* keypair, X509* client_cert);
// Sets (a copy of) the proxy URL, null for none; false when nothing changed.
bool cv_cloud_set_proxy(cv_cloud_handle* handle, const char* proxy_url, uint32_t proxy_auth);
// Sets the proxy and forces a disconnect; the next connection uses it. False
// when the proxy was refused (the old one stays, the connection is kept).
bool cv_cloud_change_proxy(cv_cloud_handle* handle, const char* proxy_url, uint32_t proxy_auth);
void cv_cloud_set_connection_callbacks(cv_cloud_handle* handle, cv_cloud_conn_failure_cb failure,
                                       cv_cloud_conn_attempt_cb attempt, void* user_data);

// A proxy URL for the type (-1 none, 0 http, 2 https, 4 socks4, 5 socks5,
// 6 socks4a, 7 socks5h), with escaped credentials when either is non-empty.
int cv_curl_proxy_url(char* buffer, size_t size, int type, const char* server, int port, const char* user,
                      const char* password);
// Splits a port off `server` in place (see cv_cloud.cpp); false only for bad arguments.
bool cv_cloud_take_optional_port(char* server, int method, int32_t* port);
// Sets the header time stamp to `when` (null: now), UTC GeneralizedTime. 0 or -1.
int cv_set_header_ts(CorvaneQueryHeader_t* header, const time_t* when);

// The TLS-context callback of the stream (curl's CURLOPT_SSL_CTX_FUNCTION shape).
CURLcode cv_sslctx_config_func(CURL* curl, void* ssl_ctx, void* handle);

// ---- Connection (internal) ----------------------------------------------------------

int _cv_handle_connect(cv_cloud_handle* handle);
int _cv_reconnect(cv_cloud_handle* handle);
// Disconnects when forced or when `conn_id` is the current connection.
void _cv_disconnect(cv_cloud_handle* handle, int force, uint16_t conn_id);
// Drops the client certificate (the server or a response rejected it).
void _cv_drop_client_cert(cv_cloud_handle* handle);
bool _cv_has_client_cert(cv_cloud_handle* handle);
// True when the TLS layer read the server's "unknown CA" alert on the current
// connection, or the stream's error text is that alert; the certificate is
// dropped then.
bool _cv_check_unknown_ca(cv_cloud_handle* handle, const char* error_text);
// Synchronous query: the response (caller frees) or null.
CorvaneQueryResponse_t* _cv_cloud_query_internal(cv_cloud_handle* handle, CorvaneQuery_t* query, uint8_t* truncated);

// ---- Ping, periodic work and server messages ----------------------------------------

void cv_cloud_set_ping_interval(cv_cloud_handle* handle, long seconds, long microseconds);
void cv_cloud_disable_ping(cv_cloud_handle* handle);
void _cv_interval_restart_periodic_fast(cv_cloud_handle* handle);
void _cv_interval_restart_periodic(cv_cloud_handle* handle);

// Sets up the handle's periodic record from its options.
int _cv_periodic_init(cv_cloud_handle* handle);
// Run by the periodic worker at each pass (when the ping is due, or another
// deadline or a change woke it) with the async mutex held once and the time
// of its pass (monotonic, as _cv_now). When the ping is due it
// records the run and lets the mutex go while the ping is prepared and
// submitted (the agent's ping-prepare callback may take its time), then
// takes it again. True when it fired.
bool _cv_periodic_tick(cv_cloud_handle* handle, const struct timeval* now);
// When _cv_periodic_tick next fires (monotonic microseconds, as _cv_now), or
// INT64_MAX with pings off; async mutex held.
int64_t _cv_periodic_next_usec(cv_cloud_handle* handle);
// Something falls due at `usec` (async mutex held): wakes the periodic
// worker when it sleeps past that.
void _cv_periodic_due_at(cv_cloud_handle* handle, int64_t usec);
int _cv_periodic(cv_cloud_handle* handle);
int _cv_periodic_finish(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status, void* periodic);
int _cv_ping_prepare(cv_cloud_handle* handle, CorvaneQuery_t* query);
int _cv_ping_callback(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status,
                      cv_cloud_handle* handle);
// Dispatches a received message and acknowledges it; frees `message`.
void _cv_global_msg_handler(cv_cloud_handle* handle, CorvaneMessage_t* message);
int _cv_populate_message_ack(CorvaneMessage_t* ack, const CorvaneMessageDeliver_t* deliver, uint16_t code);
// Inspection of every matched response before its callbacks run.
void _cv_global_resp_handler(cv_cloud_handle* handle, CorvaneQueryResponse_t* response, const struct timeval* start);

// Monotonic now as a timeval.
void _cv_now(struct timeval* now);
