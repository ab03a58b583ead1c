// The client connector: what a registration run leaves to the host to reach
// the cloud and the management service. The cloud handle sits inside a
// reference-counted cloud connection, because it is replaced at run time
// (new hosts, new proxy, re-provisioning) while other threads still use it: a
// replaced connection is retired on a detached thread "cld_conn_retire" once
// its last reference is released and its outstanding queries have ended.
//
// The connector counts its connections still retiring, and its free waits for
// them (bounded), so that no thread of a replaced connection outlives the
// registration it was made for.
//
// Lock order: connector `mutex`, then a connection's `_mutex`, then the
// retirement count's mutex (a leaf). A holder of a reference releases it
// without holding the connector's mutex.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "cloud/cv_cloud_handle.h"
#include "kit/http_client/http_client.h"

struct conn_retirements;

struct cloud_conn {
    pthread_mutex_t _mutex;
    pthread_cond_t _refcount_zero;  // broadcast (under `_mutex`) when refcount reaches 0
    // Taken under the connector's mutex, given back without a lock: every
    // lookup takes one, so it costs no lock of its own.
    std::atomic<uint32_t> refcount;
    uint32_t id;  // 1 for the connector's first connection, then 2, 3, ...
    cv_cloud_handle* cloud_handle;  // owned
    conn_retirements* retirements;  // the connector's count while retiring on a thread of its own
};

struct client_connector {
    pthread_mutex_t mutex;
    ::cloud_conn* cloud_conn;  // current connection, or null
    http_client_handle* http_client;  // set once, freed with the connector
    uint32_t count;  // cloud connections created so far
    conn_retirements* retirements;  // connections retiring on threads of their own
};

// How long (kit seconds) a free waits for the replaced connections still
// retiring: their references are released and their queries end within the
// query time-out.
constexpr int64_t TESSEL_CONNECTOR_RETIRE_WAIT = 30;

// A new, empty connector in *connector. 0 or -1.
int tessel_client_connector_new(client_connector** connector);
// Retires the current connection on the calling thread (waiting for every
// reference and outstanding query), waits up to TESSEL_CONNECTOR_RETIRE_WAIT
// for the replaced connections still retiring, frees the HTTP client and the
// connector.
// 0, or -1 (null connector; failed mutex destruction, after freeing).
int tessel_client_connector_free(client_connector* connector);

http_client_handle* tessel_client_connector_get_http_client(client_connector* connector);
// Sets the HTTP client once; the connector owns it afterwards. 0 or -1.
int tessel_client_connector_set_http_client(client_connector* connector, http_client_handle* client);

// A counted reference to the current connection, or null when there is none.
// Release it with tessel_cloud_conn_release.
cloud_conn* tessel_client_connector_get_cloud_conn(client_connector* connector);
void tessel_cloud_conn_release(cloud_conn* conn);
// The connection's cloud handle; valid while the caller holds its reference.
cv_cloud_handle* tessel_cloud_connector_get_cloud_handle(cloud_conn* conn);

// Wraps `cloud_handle` (owned from then on) in a new current connection; the
// previous one is retired asynchronously. 0, or -1 (nothing changed).
int tessel_client_connector_set_cloud_handle(client_connector* connector, cv_cloud_handle* cloud_handle);
// Retires the current connection asynchronously; the connector has none after.
void tessel_client_connector_retire_cloud_conn(client_connector* connector);
