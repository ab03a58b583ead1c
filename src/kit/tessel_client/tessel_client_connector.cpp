#include "kit/tessel_client/tessel_client_connector.h"

#include <cerrno>
#include <cstdlib>

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "kit/tessel_time.h"

// Shared by a connector and its retire threads: whichever lets go last frees
// it, so a retire thread never touches a freed connector.
struct conn_retirements {
    pthread_mutex_t mutex;
    pthread_cond_t finished;  // monotonic; broadcast when a retire thread ends
    uint32_t running;         // retire threads not yet finished
    uint32_t holders;         // the connector and each running retire thread
};

namespace {

unsigned long long thread_tag(void) {
    return static_cast<unsigned long long>(pthread_self());
}

conn_retirements* retirements_new(void) {
    auto* r = static_cast<conn_retirements*>(calloc(1, sizeof(conn_retirements)));
    if (!r) return nullptr;
    if (tessel_mutex_init(&r->mutex, false) != 0) {
        free(r);
        return nullptr;
    }
    if (tessel_cond_init(&r->finished, true) != 0) {
        tessel_mutex_destroy(&r->mutex);
        free(r);
        return nullptr;
    }
    r->holders = 1;
    return r;
}

// Gives up one holder's share (a finished retire thread also ends its run).
void retirements_let_go(conn_retirements* r, bool retire_thread) {
    bool last;
    {
        TESSEL_SCOPED_LOCK(&r->mutex);
        if (retire_thread) {
            r->running--;
            tessel_cond_broadcast(&r->finished);
        }
        last = --r->holders == 0;
    }
    if (!last) return;
    if (tessel_cond_destroy(&r->finished) != 0) TLOG_ERR("pthread_cond_destroy failed");
    if (tessel_mutex_destroy(&r->mutex) != 0) TLOG_ERR("pthread_mutex_destroy failed");
    free(r);
}

// Waits (bounded) until no retire thread runs; the connections that are
// still retiring then are left to their threads.
void retirements_wait(conn_retirements* r) {
    const struct timespec deadline = tessel_time_deadline(TESSEL_CONNECTOR_RETIRE_WAIT);
    TESSEL_SCOPED_LOCK(&r->mutex);
    while (r->running > 0) {
        if (!tessel_cond_timedwait(&r->finished, &r->mutex, &deadline)) break;
    }
    if (r->running > 0)
        TLOG_ERR("%u replaced cloud connections are still retiring", static_cast<unsigned>(r->running));
}

// Waits for the last reference, then for the cloud client's outstanding
// queries, and destroys the handle and the connection. The handle is torn
// down outside `_mutex`: nobody can take a new reference on a retired
// connection, and the cloud client's hooks may need locks while its threads
// are joined.
int retire_cloud_conn(void* arg) {
    auto* conn = static_cast<cloud_conn*>(arg);
    const unsigned long long tag = thread_tag();
    const int id = static_cast<int>(conn->id);
    TLOG_DEBUG("[%llx] retiring cloud handle %d", tag, id);
    cv_cloud_handle* handle;
    {
        TESSEL_SCOPED_LOCK(&conn->_mutex);
        TLOG_DEBUG("[%llx] cloud handle %d: initial refcount is %u", tag, id, conn->refcount.load());
        while (conn->refcount.load() > 0) {
            TLOG_DEBUG("[%llx] cloud handle %d: cond_wait", tag, id);
            tessel_cond_wait_(&conn->_refcount_zero, &conn->_mutex, "&cloud_connector->_refcount_zero", __FILE__,
                              __LINE__);
        }
        TLOG_DEBUG("[%llx] cloud handle %d: final refcount is %u", tag, id, conn->refcount.load());
        handle = conn->cloud_handle;
        conn->cloud_handle = nullptr;
    }
    if (handle) {
        TLOG_DEBUG("[%llx] async_wait cloud handle %d", tag, id);
        cv_cloud_async_wait(handle);
        TLOG_DEBUG("[%llx] deinit cloud handle %d", tag, id);
        cv_cloud_deinit(handle);
    }
    bool destroyed = true;
    if (tessel_cond_destroy(&conn->_refcount_zero) != 0) {
        TLOG_ERR("[%llx] pthread_cond_destroy failed", tag);
        destroyed = false;
    }
    if (tessel_mutex_destroy(&conn->_mutex) != 0) {
        TLOG_ERR("[%llx] pthread_mutex_destroy failed", tag);
        destroyed = false;
    }
    TLOG_DEBUG("[%llx] retired cloud handle %d", tag, id);
    conn_retirements* retirements = conn->retirements;
    if (destroyed) free(conn);
    if (retirements) retirements_let_go(retirements, true);
    return 0;
}

// Takes the current connection out of the connector (under its mutex) and
// retires it on a detached thread after stopping its pings.
void retire_async_locked(client_connector* connector) {
    ::cloud_conn* conn = connector->cloud_conn;
    if (!conn) return;
    connector->cloud_conn = nullptr;
    {
        TESSEL_SCOPED_LOCK(&conn->_mutex);
        if (conn->cloud_handle) cv_cloud_disable_ping(conn->cloud_handle);
    }
    {
        TESSEL_SCOPED_LOCK(&connector->retirements->mutex);
        connector->retirements->running++;
        connector->retirements->holders++;
    }
    conn->retirements = connector->retirements;
    tessel_thread_start_detached(conn, retire_cloud_conn, "cld_conn_retire");
}

}  // namespace

int tessel_client_connector_new(client_connector** connector) {
    if (!connector) {
        TLOG_ERR("client_connector is NULL");
        return -1;
    }
    auto* c = static_cast<client_connector*>(calloc(1, sizeof(client_connector)));
    if (!c) {
        TLOG_ERR("calloc failed");
        return -1;
    }
    c->retirements = retirements_new();
    if (!c->retirements) {
        TLOG_ERR("failed to allocate the retirement count");
        free(c);
        return -1;
    }
    if (tessel_mutex_init(&c->mutex, false) != 0) {
        TLOG_ERR("pthread_mutex_init failed");
        retirements_let_go(c->retirements, false);
        free(c);
        return -1;
    }
    *connector = c;
    return 0;
}

int tessel_client_connector_free(client_connector* connector) {
    if (!connector) {
        TLOG_ERR("client_connector is NULL");
        return -1;
    }
    // The connection is taken out under the mutex but retired without it, so
    // a thread that waits for the connector's mutex while holding a reference
    // cannot stall the wait below.
    cloud_conn* conn;
    {
        TESSEL_SCOPED_LOCK(&connector->mutex);
        conn = connector->cloud_conn;
        connector->cloud_conn = nullptr;
    }
    if (conn) retire_cloud_conn(conn);
    retirements_wait(connector->retirements);
    retirements_let_go(connector->retirements, false);
    connector->retirements = nullptr;
    http_client_handle_free(connector->http_client);
    connector->http_client = nullptr;
    int rc = 0;
    if (tessel_mutex_destroy(&connector->mutex) != 0) {
        TLOG_ERR("pthread_mutex_unlock failed");
        rc = -1;
    }
    free(connector);
    return rc;
}

http_client_handle* tessel_client_connector_get_http_client(client_connector* connector) {
    if (!connector) {
        TLOG_ERR("client_connector is NULL");
        return nullptr;
    }
    TLOG_DEBUG("returning http client handle from the client connector");
    TESSEL_SCOPED_LOCK(&connector->mutex);
    return connector->http_client;
}

int tessel_client_connector_set_http_client(client_connector* connector, http_client_handle* client) {
    if (!connector) {
        TLOG_ERR("client_connector is NULL");
        return -1;
    }
    if (!client) {
        TLOG_ERR("set http_client handle to NULL");
        return -1;
    }
    TESSEL_SCOPED_LOCK(&connector->mutex);
    if (connector->http_client) {
        TLOG_ERR("We are *not* changing the existing http client. http client handle should only be set once.");
        return -1;
    }
    connector->http_client = client;
    return 0;
}

cloud_conn* tessel_client_connector_get_cloud_conn(client_connector* connector) {
    if (!connector) {
        TLOG_ERRNO(TESSEL_LOG_ERR, EINVAL, "client_connector is null");
        return nullptr;
    }
    // The connector's mutex keeps its current connection from being retired
    // while the reference is taken.
    TESSEL_SCOPED_LOCK(&connector->mutex);
    ::cloud_conn* conn = connector->cloud_conn;
    if (!conn) return nullptr;
    if (!conn->cloud_handle) TLOG_ERR("*** cloud handle is NULL");
    // Not logged: every lookup takes a reference. Connections are logged
    // when they are set and retired.
    conn->refcount.fetch_add(1);
    return conn;
}

void tessel_cloud_conn_release(cloud_conn* conn) {
    if (!conn) return;
    // Not the last reference: given back without a lock.
    uint32_t count = conn->refcount.load();
    while (count > 1) {
        if (conn->refcount.compare_exchange_weak(count, count - 1)) return;
    }
    // Perhaps the last: it goes under `_mutex`, where the retiring thread
    // checks the count, so that the connection cannot be freed before the
    // broadcast is done.
    TESSEL_SCOPED_LOCK(&conn->_mutex);
    count = conn->refcount.load();
    while (count > 0 && !conn->refcount.compare_exchange_weak(count, count - 1)) {
    }
    if (count == 1) {
        int rc = pthread_cond_broadcast(&conn->_refcount_zero);
        if (rc != 0) TLOG_ERRNO(TESSEL_LOG_ERR, rc, "pthread_cond_broadcast failed");
    }
}

cv_cloud_handle* tessel_cloud_connector_get_cloud_handle(cloud_conn* conn) {
    if (!conn) return nullptr;
    // The caller holds a reference: the handle was set before the connection
    // was published under the connector's mutex, and is cleared only after
    // the last reference is gone.
    return conn->cloud_handle;
}

int tessel_client_connector_set_cloud_handle(client_connector* connector, cv_cloud_handle* cloud_handle) {
    if (!connector) {
        TLOG_ERR("client_connector is NULL");
        return -1;
    }
    if (!cloud_handle) {
        TLOG_ERR("cloud_handle is NULL");
        return -1;
    }
    // Made before the old one is retired, so a failure leaves the connector as it was.
    auto* conn = static_cast<cloud_conn*>(calloc(1, sizeof(cloud_conn)));
    if (!conn) {
        TLOG_ERR("calloc failed");
        return -1;
    }
    if (tessel_mutex_init(&conn->_mutex, false) != 0) {
        TLOG_ERR("pthread_mutex_init failed");
        free(conn);
        return -1;
    }
    if (tessel_cond_init(&conn->_refcount_zero, false) != 0) {
        TLOG_ERR("pthread_cond_init failed");
        if (tessel_mutex_destroy(&conn->_mutex) != 0) TLOG_ERR("pthread_mutex_destroy failed");
        free(conn);
        return -1;
    }
    conn->cloud_handle = cloud_handle;
    TESSEL_SCOPED_LOCK(&connector->mutex);
    retire_async_locked(connector);
    conn->id = connector->count + 1;
    connector->count++;
    connector->cloud_conn = conn;
    TLOG_INFO("tracking cloud handle %d", static_cast<int>(conn->id));
    return 0;
}

void tessel_client_connector_retire_cloud_conn(client_connector* connector) {
    if (!connector) {
        TLOG_ERR("client_connector is NULL");
        return;
    }
    TESSEL_SCOPED_LOCK(&connector->mutex);
    retire_async_locked(connector);
}
