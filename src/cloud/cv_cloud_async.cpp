#include "cloud/cv_cloud_async.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <tuple>

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_engine.h"
#include "cloud/cv_cloud_lock.h"
#include "cloud/cv_cloud_transport.h"

namespace cv_engine {

constexpr long DEFAULT_PERIOD_MS = 100;

// Array growth of a request: room for 1, then 4, doubling up to the limit.
constexpr int32_t FIRST_GROWTH = 4;

bool stopping(const cv_cloud_handle* handle) { return (handle->flags & CV_HANDLE_FLAG_STOP) != 0; }

// `now` plus `ns`, as a deadline of the engine's conditions (same clock).
struct timespec deadline_after(const struct timeval& now, long ns) {
    long long total = static_cast<long long>(now.tv_usec) * 1000 + ns;
    struct timespec ts;
    ts.tv_sec = now.tv_sec + static_cast<time_t>(total / 1000000000L);
    ts.tv_nsec = static_cast<long>(total % 1000000000L);
    return ts;
}

struct timespec deadline_in(long ns) {
    struct timeval now;
    _cv_now(&now);
    return deadline_after(now, ns);
}

// Waits (async mutex held once) until `deadline`, or less when the engine
// stops or `done` holds: whoever makes `done` true broadcasts wake_cond with
// the mutex held, so no wake-up is lost.
template <class Done>
void wait_until(cv_cloud_handle* handle, const struct timespec& deadline, Done done) {
    while (!stopping(handle) && !done()) {
        if (cv_cloud_async_lock_cond_timedwait(&handle->async.wake_cond, handle, &deadline) != 0)
            return;
    }
}

// A deadline of the engine's conditions at `usec` on the monotonic clock.
struct timespec timespec_at(int64_t usec) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(usec / 1000000);
    ts.tv_nsec = static_cast<long>(usec % 1000000) * 1000;
    return ts;
}

void sleep_for(cv_cloud_handle* handle, long ns) {
    if (cv_cloud_async_lock(handle)) {
        wait_until(handle, deadline_in(ns), [] { return false; });
        cv_cloud_async_unlock(handle);
        return;
    }
    struct timespec ts = {ns / 1000000000L, ns % 1000000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void sleep_period(cv_cloud_handle* handle) { sleep_for(handle, handle->async.period_ns); }

void note_wakeup(cv_cloud_handle* handle) { handle->idle.wakeups.fetch_add(1, std::memory_order_relaxed); }

int init_monotonic_cond(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0)
        rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

int query_type(const CorvaneQuery_t* query) { return static_cast<int>(query->data.present); }

// ---- Transmit queue (under the async mutex) ----------------------------------------

void txq_append(cv_async_state* a, cv_txq_item* item) {
    item->next = nullptr;
    item->prev = a->txq_tail;
    if (a->txq_tail)
        a->txq_tail->next = item;
    else
        a->txq_head = item;
    a->txq_tail = item;
    a->queued++;
}

void txq_push_front(cv_async_state* a, cv_txq_item* item) {
    item->prev = nullptr;
    item->next = a->txq_head;
    if (a->txq_head)
        a->txq_head->prev = item;
    else
        a->txq_tail = item;
    a->txq_head = item;
    a->queued++;
}

void txq_unlink(cv_async_state* a, cv_txq_item* item) {
    if (item->prev)
        item->prev->next = item->next;
    else
        a->txq_head = item->next;
    if (item->next)
        item->next->prev = item->prev;
    else
        a->txq_tail = item->prev;
    item->prev = item->next = nullptr;
    a->queued--;
}

void queue_request(cv_cloud_handle* handle, cv_async_request* request, bool at_head) {
    request->item.request = request;
    request->item.message = nullptr;
    request->txq_item = &request->item;
    if (at_head)
        txq_push_front(&handle->async, &request->item);
    else
        txq_append(&handle->async, &request->item);
}

// A zeroed request record (async mutex held), or null when out of memory.
cv_async_request* new_request(cv_cloud_handle* handle) {
    void* block = handle->async.request_pool.take(sizeof(cv_async_request));
    if (block)
        memset(block, 0, sizeof(cv_async_request));
    return static_cast<cv_async_request*>(block);
}

// Lets a request record go (async mutex held).
void free_request(cv_cloud_handle* handle, cv_async_request* request) {
    if (request->queries != &request->first_query) {
        free(request->queries);
        free(request->user_data);
    }
    handle->async.request_pool.give(request, sizeof(cv_async_request));
}

// The waiting flags of a grown request's queries: one byte per query behind
// its user data.
uint8_t* waits_flags(const cv_async_request* request) {
    return reinterpret_cast<uint8_t*>(request->user_data + request->capacity);
}

bool query_waits(const cv_async_request* request, int32_t i) {
    return i == 0 ? (request->state & CV_REQ_FIRST_WAITS) != 0 : waits_flags(request)[i] != 0;
}

// Room for one more attached query; false when out of memory.
bool grow_request(cv_async_request* request) {
    if (request->count < request->capacity)
        return true;
    int32_t capacity = request->capacity < FIRST_GROWTH ? FIRST_GROWTH : request->capacity * 2;
    if (capacity > MAX_REPEAT_QUERIES)
        capacity = MAX_REPEAT_QUERIES;
    auto** queries = static_cast<CorvaneQuery_t**>(malloc(sizeof(CorvaneQuery_t*) * capacity));
    auto** user_data = static_cast<void**>(malloc((sizeof(void*) + 1) * capacity));
    if (!queries || !user_data) {
        free(queries);
        free(user_data);
        return false;
    }
    memcpy(queries, request->queries, sizeof(CorvaneQuery_t*) * request->count);
    memcpy(user_data, request->user_data, sizeof(void*) * request->count);
    auto* flags = reinterpret_cast<uint8_t*>(user_data + capacity);
    memset(flags, 0, capacity);
    if (request->queries != &request->first_query) {
        memcpy(flags, waits_flags(request), request->count);
        free(request->queries);
        free(request->user_data);
    }
    request->queries = queries;
    request->user_data = user_data;
    request->capacity = capacity;
    return true;
}

bool is_ping_request(const cv_async_request* request) { return request->callback == _cv_periodic_finish; }

// ---- Query identity ---------------------------------------------------------------

int cmp_long(long a, long b) { return a < b ? -1 : (a > b ? 1 : 0); }

int cmp_octets(const OCTET_STRING_t& a, const OCTET_STRING_t& b) {
    if (a.size != b.size)
        return a.size < b.size ? -1 : 1;
    if (a.size <= 0)
        return 0;
    return memcmp(a.buf, b.buf, static_cast<size_t>(a.size));
}

int cmp_file(const CorvaneFile_t& a, const CorvaneFile_t& b) {
    int c = cmp_long(a.qtype, b.qtype);
    if (c == 0)
        c = cmp_long(a.htype, b.htype);
    if (c == 0)
        c = cmp_octets(a.hash, b.hash);
    return c;
}

int cmp_sockaddr(const SockAddrIn_t& a, const SockAddrIn_t& b) {
    int c = cmp_octets(a.addr, b.addr);
    return c != 0 ? c : cmp_long(a.port, b.port);
}

template <typename List>
int cmp_files(const List& a, const List& b) {
    int c = cmp_long(a.list.count, b.list.count);
    for (int i = 0; c == 0 && i < a.list.count; i++) {
        const CorvaneFile_t* fa = a.list.array[i];
        const CorvaneFile_t* fb = b.list.array[i];
        if (!fa || !fb)
            c = cmp_long(fa != nullptr, fb != nullptr);
        else
            c = cmp_file(*fa, *fb);
    }
    return c;
}

bool is_network_qtype(long qtype) {
    switch (qtype) {
    case 27: case 28: case 29: case 30: case 31: case 33: case 42:
        return true;
    default:
        return false;
    }
}

int cmp_file_multi(const CorvaneFileMulti_t& a, const CorvaneFileMulti_t& b) {
    int c = 0;
    if (is_network_qtype(a.qtype)) {
        c = cmp_long(a.nettype, b.nettype);
        if (c == 0 && (a.nettype & 1))
            c = cmp_sockaddr(a.remote, b.remote);
        if (c == 0 && (a.nettype & 2))
            c = cmp_octets(a.url, b.url);
    }
    if (c == 0)
        c = cmp_long(a.qtype, b.qtype);
    if (c == 0)
        c = cmp_files(a.parent, b.parent);
    if (c == 0)
        c = cmp_files(a.multi, b.multi);
    return c;
}

int cmp_net_multi(const CorvaneNetMulti_t& a, const CorvaneNetMulti_t& b) {
    int c = cmp_long(a.nettype, b.nettype);
    if (c == 0 && (a.nettype & 1)) {
        c = cmp_long(a.direction, b.direction);
        if (c == 0)
            c = cmp_long(a.protocol, b.protocol);
        if (c == 0)
            c = cmp_sockaddr(a.remote, b.remote);
        if (c == 0)
            c = cmp_sockaddr(a.local, b.local);
    }
    if (c == 0 && (a.nettype & 2))
        c = cmp_octets(a.url, b.url);
    if (c == 0)
        c = cmp_file(a.parent, b.parent);
    return c;
}

// ---- Finishing ------------------------------------------------------------------------

// Takes a request out of the engine (under the async mutex): txid back to the
// bucket, out of the queue and both trees. `received` is when its response
// came (null: now). Returns the status to report (complete_request adds the
// certificate bit).
uint32_t detach_request(cv_cloud_handle* handle, cv_async_request* request, CorvaneQueryResponse_t* response,
                        uint32_t status, const struct timeval* received = nullptr) {
    cv_async_state* a = &handle->async;
    _cv_txid_unassign(handle, request->txid);
    if (response && (status & CV_STATUS_FAILED))
        handle->stats.failed_responses++;
    if (response) {
        handle->stats.responses++;
        struct timeval now;
        if (received)
            now = *received;
        else
            _cv_now(&now);
        const long long elapsed = cv_tv_usec(now) - cv_tv_usec(request->start);
        cv_cloud_stats& s = handle->stats;
        if (elapsed >= 0 && (s.fastest_response_usec < 0 || elapsed < s.fastest_response_usec))
            s.fastest_response_usec = elapsed;
        if (elapsed > s.slowest_response_usec)
            s.slowest_response_usec = elapsed;
    }
    if (request->txq_item) {
        txq_unlink(a, request->txq_item);
        request->txq_item = nullptr;
    }
    if (*request->query_pos != request)
        cv_log_error("%s(): DANGER: removed query pointer mismatch (node[0])", "_cv_finish_query");
    else
        a->query_tree.erase(request->query_pos);
    if (request->response_pos->second != request)
        cv_log_error("%s(): DANGER: removed query pointer mismatch (node[1])", "_cv_finish_query");
    else
        a->response_tree.erase(request->response_pos);
    return status | request->status;
}

// A caller of cv_cloud_query_wait: its callback, the txid of its request,
// and whether the callback ran.
struct own_answer {
    cv_cloud_query_cb callback;
    void* user_data;
    cv_cloud_handle* handle;
    pthread_t caller = pthread_self();
    uint32_t txid = 0;
    std::atomic<bool> done{false};
};

// The callback of a waiting query (its user data is the own_answer).
int own_answer_done(CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status, void* self) {
    auto* waiter = static_cast<own_answer*>(self);
    const int rc = waiter->callback ? waiter->callback(query, response, status, waiter->user_data) : 0;
    // Finished elsewhere (a time-out, a shared request, the stop): the caller
    // may sit in its socket wait, which only the wake-up descriptor ends.
    // Read before `done`: the caller may return at once after it.
    cv_cloud_handle* handle = pthread_equal(waiter->caller, pthread_self()) ? nullptr : waiter->handle;
    waiter->done.store(true, std::memory_order_release);
    if (handle)
        _cv_wake_receiver(handle);
    return rc;
}

// Runs the callbacks of a detached request. They run without engine locks:
// a slow callback (a policy download behind a ping) must not hold up the
// other lookups. The arrays no longer change: the request is out of the trees.
void run_callbacks(cv_cloud_handle* handle, cv_async_request* request, CorvaneQueryResponse_t* response,
                   uint32_t status) {
    if (!_cv_has_client_cert(handle))
        status |= CV_STATUS_NO_CERT;
    for (int32_t i = 0; i < request->count; i++) {
        const cv_cloud_query_cb callback = query_waits(request, i) ? own_answer_done : request->callback;
        const uint32_t bits = i == 0 ? status | CV_STATUS_FIRST : status & ~CV_STATUS_FIRST;
        if (i == 0)
            cv_log_trace(CV_TRACE_DEFAULT, "entering response callback");
        if (callback)
            callback(request->queries[i], response, bits, request->user_data[i]);
        if (i == 0)
            cv_log_trace(CV_TRACE_DEFAULT, "leaving response callback");
    }
}

// Detached requests whose callbacks ran are no longer outstanding; their
// records go (async mutex held). `request(i)` gives the i-th of `n`.
template <class Request>
void forget_finished(cv_cloud_handle* handle, int n, Request request) {
    handle->async.outstanding -= static_cast<uint32_t>(n);
    for (int i = 0; i < n; i++)
        free_request(handle, request(i));
    pthread_cond_broadcast(&handle->async.done_cond);
}

template <class Request>
void release_finished(cv_cloud_handle* handle, int n, Request request) {
    cv_cloud_async_lock(handle);
    forget_finished(handle, n, request);
    cv_cloud_async_unlock(handle);
}

// Runs the callbacks of a detached request, then lets it go.
void complete_request(cv_cloud_handle* handle, cv_async_request* request, CorvaneQueryResponse_t* response,
                      uint32_t status) {
    run_callbacks(handle, request, response, status);
    release_finished(handle, 1, [request](int) { return request; });
    if (response)
        ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, response);
}

}  // namespace cv_engine

using namespace cv_engine;

namespace {

// Bits of key_hi: query type (8) | qtype (16) | htype (16) | hash length (16) | 0 (8).
constexpr int KEY_HASH_SIZE_SHIFT = 8;

// Packs a file lookup's identity (type, qtype, htype, hash length, the
// first 8 hash bytes) so that comparing the keys as unsigned numbers orders
// as _cv_node_cmp_queue does. Other queries, or values that do not fit,
// get no key.
void set_query_key(cv_async_request* request, const CorvaneQuery_t* query) {
    request->key_hi = request->key_lo = 0;
    if (query->data.present != CorvaneQueryData_PR_file)
        return;
    const CorvaneFile_t& file = query->data.choice.file;
    auto fits = [](long value) { return value >= 0 && value <= 0xFFFF; };
    if (!fits(file.qtype) || !fits(file.htype) || !fits(file.hash.size) || (file.hash.size > 0 && !file.hash.buf))
        return;
    request->key_hi = static_cast<uint64_t>(query->data.present) << 56 | static_cast<uint64_t>(file.qtype) << 40 |
                      static_cast<uint64_t>(file.htype) << 24 |
                      static_cast<uint64_t>(file.hash.size) << KEY_HASH_SIZE_SHIFT;
    for (int i = 0; i < 8; i++)
        request->key_lo = request->key_lo << 8 | (i < file.hash.size ? file.hash.buf[i] : 0);
}

}  // namespace

bool cv_request_query_less::operator()(const cv_async_request* a, const cv_async_request* b) const {
    if (a->key_hi && b->key_hi) {
        if (a->key_hi != b->key_hi)
            return a->key_hi < b->key_hi;
        if (a->key_lo != b->key_lo)
            return a->key_lo < b->key_lo;
        if ((a->key_hi >> KEY_HASH_SIZE_SHIFT & 0xFFFF) <= 8)
            return false;  // the keys hold the whole hashes: equal
    }
    return _cv_node_cmp_queue(a->queries[0], b->queries[0]) < 0;
}

int _cv_node_cmp_queue(const CorvaneQuery_t* a, const CorvaneQuery_t* b) {
    int c = cmp_long(query_type(a), query_type(b));
    if (c != 0)
        return c;
    switch (a->data.present) {
    case CorvaneQueryData_PR_reg:
    case CorvaneQueryData_PR_convict:
    case CorvaneQueryData_PR_ping:
    case CorvaneQueryData_PR_pingRetro:
        return 0;
    case CorvaneQueryData_PR_file:
        return cmp_file(a->data.choice.file, b->data.choice.file);
    case CorvaneQueryData_PR_fileMulti:
        return cmp_file_multi(a->data.choice.fileMulti, b->data.choice.fileMulti);
    case CorvaneQueryData_PR_netMulti:
        return cmp_net_multi(a->data.choice.netMulti, b->data.choice.netMulti);
    default:
        cv_log_error("%s(): DANGER: comparing an unsupported query type", __func__);
        return 0;
    }
}

// ---- txid bucket -------------------------------------------------------------------------

uint32_t _cv_txid_assign(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    int32_t txid = a->txid_bucket[a->txid_assign];
    if (txid == -1)
        cv_log_error("%s(): DANGER: invalid txid removed from bucket @ %u", __func__, a->txid_assign);
    a->txid_bucket[a->txid_assign] = -1;
    a->txid_assign = (a->txid_assign + 1) % a->limit;
    return static_cast<uint32_t>(txid);
}

void _cv_txid_unassign(cv_cloud_handle* handle, uint32_t txid) {
    cv_async_state* a = &handle->async;
    if (!a->txid_bucket) {
        cv_log_error("%s(): FATAL: null txid bucket", __func__);
        return;
    }
    if (a->txid_bucket[a->txid_unassign] != -1)
        cv_log_error("%s(): DANGER: valid txid clobbered in bucket @ %u", __func__, a->txid_unassign);
    a->txid_bucket[a->txid_unassign] = static_cast<uint16_t>(txid);
    a->txid_unassign = (a->txid_unassign + 1) % a->limit;
}

// ---- Submission ----------------------------------------------------------------------------

void _cv_query_presets(cv_cloud_handle* handle, CorvaneQuery_t* query) {
    if (query->version == 0)
        query->version = handle->options.query_version;
    if (handle->options.flags & CV_OPT_FLAG_S2C_DISABLED) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s: S2C message solicitation is DISABLED.", "_cv_query_presets");
    } else {
        cv_log_trace(CV_TRACE_DEFAULT,
                     "%s: S2C message solicitation enabled, setting CV_QUERY_FLAG_AGENT_WILL_ACCEPT_S2C.",
                     "_cv_query_presets");
        query->header.flag |= CV_QUERY_FLAG_AGENT_WILL_ACCEPT_S2C;
    }
}

namespace {

// A query of an asynchronous caller, or with `waiter` of a waiting one (its
// callback and data are in the waiter then; the request learns it waits).
// Named as the public call, whose log lines it writes.
int cv_cloud_query_async(cv_cloud_handle* handle, CorvaneQuery_t* query, cv_cloud_query_cb callback,
                         void* user_data, own_answer* waiter) {
    if (!handle || !(handle->flags & CV_HANDLE_FLAG_ASYNC)) {
        cv_log_error("%s(): async function on sync handle.", __func__);
        return CV_ASYNC_ERR_SYNC_HANDLE;
    }
    if (!query || query_type(query) < 1 || query_type(query) > 8) {
        cv_log_error("%s(): unsupported query type %d", __func__, query ? query_type(query) : 0);
        return CV_ASYNC_ERR_TYPE;
    }
    _cv_query_presets(handle, query);

    if (!cv_cloud_async_lock(handle)) {
        cv_log_error("lock failed");
        return CV_ASYNC_ERR_LOCK;
    }
    cv_async_state* a = &handle->async;
    auto* request = new_request(handle);
    if (!request) {
        cv_cloud_async_unlock(handle);
        cv_log_error("no mem");
        return CV_ASYNC_ERR_NOMEM;
    }
    request->callback = waiter ? nullptr : callback;
    request->first_query = query;
    request->first_user_data = waiter ? waiter : user_data;
    if (waiter)
        request->state |= CV_REQ_FIRST_WAITS;
    request->queries = &request->first_query;
    request->user_data = &request->first_user_data;
    request->count = 1;
    request->capacity = 1;
    _cv_now(&request->start);
    set_query_key(request, query);

    cv_query_tree::iterator at;
    bool inserted;
    try {
        std::tie(at, inserted) = a->query_tree.insert(request);
    } catch (const std::bad_alloc&) {
        free_request(handle, request);
        cv_cloud_async_unlock(handle);
        cv_log_error("no mem");
        return CV_ASYNC_ERR_NOMEM;
    }

    if (!inserted) {
        cv_async_request* existing = *at;
        free_request(handle, request);
        const int type = query_type(query);
        int result;
        if (type < CorvaneQueryData_PR_file || type > CorvaneQueryData_PR_netMulti) {
            cv_log_error("can't piggy-back existing %d query", type);
            result = CV_ASYNC_ERR_NO_PIGGYBACK;
        } else if (existing->count >= MAX_REPEAT_QUERIES) {
            handle->stats.refused_repeat++;
            cv_log_error("%s(): MAX_REPEAT_QUERIES (%ld) reached, refusing to piggy-back query.", __func__,
                         static_cast<long>(MAX_REPEAT_QUERIES));
            result = CV_ASYNC_ERR_REPEAT_LIMIT;
        } else if (!grow_request(existing)) {
            cv_log_error("no mem");
            result = CV_ASYNC_ERR_NOMEM;
        } else {
            const CorvaneQueryHeader_t& first = existing->queries[0]->header;
            if (OCTET_STRING_fromBuf(&query->header.quuid, reinterpret_cast<const char*>(first.quuid.buf),
                                     first.quuid.size) != 0) {
                cv_log_error("%s[%d]: OCTET_STRING_fromBuf failed with errno = %d: %s", __func__, __LINE__, errno,
                             strerror(errno));
                result = CV_ASYNC_ERR_UUID;
            } else {
                query->header.txid = first.txid;
                query->header.sessid = first.sessid;
                existing->queries[existing->count] = query;
                existing->user_data[existing->count] = waiter ? waiter : user_data;
                waits_flags(existing)[existing->count] = waiter != nullptr;
                existing->count++;
                // Attached asynchronous queries run the first asynchronous one's callback.
                if (!waiter && !existing->callback)
                    existing->callback = callback;
                if (waiter)
                    waiter->txid = existing->txid;
                handle->stats.piggybacked++;
                result = CV_ASYNC_ATTACHED;
            }
        }
        cv_cloud_async_unlock(handle);
        return result;
    }

    // A new network request.
    int result = CV_ASYNC_QUEUED;
    if (a->outstanding >= a->limit) {
        handle->stats.refused_limit++;
        cv_log_error("%s(): async_limit (%ld) reached, refusing to queue query.", __func__,
                     static_cast<long>(a->limit));
        result = CV_ASYNC_ERR_LIMIT;
    } else if (query->header.ts.size <= 0 && cv_set_header_ts(&query->header, nullptr) != 0) {
        cv_log_error("failed to set header");
        result = CV_ASYNC_ERR_HEADER;
    }
    if (result != CV_ASYNC_QUEUED) {
        a->query_tree.erase(at);
        free_request(handle, request);
        cv_cloud_async_unlock(handle);
        return result;
    }
    request->txid = _cv_txid_assign(handle);
    query->header.txid = static_cast<long>(request->txid);
    static const uint8_t zero[16] = {};
    const UUID_t& quuid = query->header.quuid;
    if ((!quuid.buf || quuid.size != 16 || memcmp(quuid.buf, zero, 16) == 0) &&
        OCTET_STRING_fromBuf(&query->header.quuid, reinterpret_cast<const char*>(handle->endpoint_uuid), 16) != 0) {
        cv_log_error("%s[%d]: OCTET_STRING_fromBuf failed with errno = %d: %s", __func__, __LINE__, errno,
                     strerror(errno));
        result = CV_ASYNC_ERR_UUID;
    } else {
        try {
            auto placed = a->response_tree.emplace(request->txid, request);
            if (!placed.second) {
                cv_log_error("%s(): DANGER: collision enqueuing to response search tree.", __func__);
                result = CV_ASYNC_ERR_COLLISION;
            } else {
                request->query_pos = at;
                request->response_pos = placed.first;
            }
        } catch (const std::bad_alloc&) {
            cv_log_error("no mem");
            result = CV_ASYNC_ERR_NOMEM;
        }
    }
    if (result != CV_ASYNC_QUEUED) {
        _cv_txid_unassign(handle, request->txid);
        a->query_tree.erase(at);
        free_request(handle, request);
        cv_cloud_async_unlock(handle);
        return result;
    }
    a->outstanding++;
    if (a->outstanding > handle->stats.outstanding_high)
        handle->stats.outstanding_high = a->outstanding;
    handle->stats.queued++;
    _cv_periodic_due_at(handle, cv_tv_usec(request->start) + cv_tv_usec(handle->options.timeout) + 1);
    const uint32_t txid = request->txid;
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): queuing a query to the network: txid=%lu", __func__,
                 static_cast<unsigned long>(txid));
    // The receive worker parks while callers read their own answers; an
    // answer nobody waits for needs it back.
    if (waiter)
        waiter->txid = txid;
    else if (a->rx_parked)
        pthread_cond_broadcast(&a->rx_cond);
    if (!send_directly(handle, request)) {
        queue_request(handle, request, false);
        cv_cloud_async_unlock(handle);
        // Woken after the unlock, so that it does not wake into the held
        // mutex; not at all while the receive worker will send the queue.
        // The queue grew before this reading: if the worker stops sending
        // after it, it sees the item and wakes the transmit worker itself.
        if (!a->rx_will_send.load())
            pthread_cond_broadcast(&a->cond);
    }
    return CV_ASYNC_QUEUED;
}

enum own_read { OWN_READ, OWN_BUSY, OWN_NO_STREAM, OWN_STOPPING };
own_read read_own_answer(cv_cloud_handle* handle, const own_answer& waiter);
bool on_worker(const cv_async_state* a);

// A waiting caller comes: a receive worker waiting on the socket leaves it
// now, before the query goes out, so that the answer wakes the caller alone.
void announce_waiter(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    a->rx_waiters.fetch_add(1);
    if (a->rx_watching.load())
        _cv_wake_receiver(handle);
}

// The last waiting caller leaves the stream to the receive worker, at once
// when answers of others are due.
void waiter_leaves(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    if (a->rx_waiters.fetch_sub(1) != 1 || !cv_cloud_async_lock(handle))
        return;
    if (a->rx_parked && a->outstanding > 0)
        pthread_cond_broadcast(&a->rx_cond);
    cv_cloud_async_unlock(handle);
}

// Until the waiter's callback ran: reads while the receive side is free,
// else waits until its reader lets it go, or without a stream until one is
// up (at most a period each time).
void await_own_answer(cv_cloud_handle* handle, const own_answer& waiter) {
    cv_async_state* a = &handle->async;
    auto done = [&waiter] { return waiter.done.load(std::memory_order_acquire); };
    while (!done()) {
        const own_read read = read_own_answer(handle, waiter);
        if (read == OWN_READ || !cv_cloud_async_lock(handle))
            continue;
        if (read == OWN_NO_STREAM) {
            wait_until(handle, deadline_in(a->period_ns), [&] { return done() || connected(handle); });
        } else if (!done() && (read == OWN_STOPPING || a->rx_busy.load(std::memory_order_acquire))) {
            // Stopping fails the request, which ends this wait.
            const struct timespec deadline = deadline_in(a->period_ns);
            cv_cloud_async_lock_cond_timedwait(&a->done_cond, handle, &deadline);
        }
        cv_cloud_async_unlock(handle);
    }
}

}  // namespace

int cv_cloud_query_async(cv_cloud_handle* handle, CorvaneQuery_t* query, cv_cloud_query_cb callback,
                         void* user_data) {
    return cv_cloud_query_async(handle, query, callback, user_data, nullptr);
}

int cv_cloud_query_wait(cv_cloud_handle* handle, CorvaneQuery_t* query, cv_cloud_query_cb callback,
                        void* user_data) {
    if (!handle || !(handle->flags & CV_HANDLE_FLAG_ASYNC))
        return cv_cloud_query_async(handle, query, callback, user_data, nullptr);  // refused there
    // A worker waiting here would wait for itself.
    if (on_worker(&handle->async))
        return CV_ASYNC_ERR_ON_WORKER;
    own_answer waiter{callback, user_data, handle};
    announce_waiter(handle);
    const int result = cv_cloud_query_async(handle, query, callback, user_data, &waiter);
    if (result >= 0)
        await_own_answer(handle, waiter);
    waiter_leaves(handle);
    return result;
}

int cv_cloud_async_wait(cv_cloud_handle* handle) {
    if (!handle || !cv_cloud_async_lock(handle))
        return -1;
    while (handle->async.outstanding > 0) {
        struct timespec deadline = deadline_in(handle->async.period_ns);
        int rc = cv_cloud_async_lock_cond_timedwait(&handle->async.done_cond, handle, &deadline);
        if (rc != 0 && rc != ETIMEDOUT)
            cv_log_error("%s(): DANGER: pthread_cond_wait failed with %d", __func__, rc);
    }
    cv_cloud_async_unlock(handle);
    return 0;
}

bool _cv_queue_message(cv_cloud_handle* handle, CorvaneMessage_t* message) {
    auto* item = static_cast<cv_txq_item*>(calloc(1, sizeof(cv_txq_item)));
    if (!item)
        return false;
    item->message = message;
    if (!cv_cloud_async_lock(handle)) {
        free(item);
        return false;
    }
    txq_append(&handle->async, item);
    pthread_cond_broadcast(&handle->async.cond);
    cv_cloud_async_unlock(handle);
    return true;
}

void _cv_async_requeue_sent(cv_cloud_handle* handle) {
    if (!cv_cloud_async_lock(handle))
        return;
    const uint32_t gen = handle->disconnect_gen.load();
    // In txid order, at the tail: they go out after what is already waiting.
    for (auto& entry : handle->async.response_tree) {
        cv_async_request* request = entry.second;
        if (request->txq_item || (request->state & (CV_REQ_FINISHING | CV_REQ_SENDING)) || request->sent_gen >= gen)
            continue;
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): connection lost, sending txid=%lu again", __func__,
                     static_cast<unsigned long>(request->txid));
        handle->stats.send_retries++;
        queue_request(handle, request, false);
    }
    if (handle->async.txq_head)
        pthread_cond_broadcast(&handle->async.cond);
    cv_cloud_async_unlock(handle);
}

// ---- Finishing --------------------------------------------------------------------------------

void _cv_finish_query(cv_cloud_handle* handle, cv_async_request* request, CorvaneQueryResponse_t* response,
                      uint32_t status) {
    cv_cloud_async_lock(handle);
    status = detach_request(handle, request, response, status);
    cv_cloud_async_unlock(handle);
    complete_request(handle, request, response, status);
}

namespace {

// A response with the request it answers, taken out of the engine.
struct cv_matched_response {
    cv_async_request* request;
    CorvaneQueryResponse_t* response;
    uint32_t status;
    struct timeval start;
};

// Finds the request a response answers and takes it out of the engine
// (async mutex held once). False for a stale or superfluous response
// (counted; the caller frees it).
bool match_response(cv_cloud_handle* handle, CorvaneQueryResponse_t* response, const struct timeval& received,
                    cv_matched_response* matched) {
    cv_async_state* a = &handle->async;
    const long txid = response->header.txid;
    auto found = (txid > 0 && txid <= static_cast<long>(a->limit)) ? a->response_tree.find(static_cast<uint32_t>(txid))
                                                                    : a->response_tree.end();
    if (found == a->response_tree.end() || (found->second->state & CV_REQ_FINISHING)) {
        cv_log_error("%s(): received stale or superfluous response: sessid=%lu txid=%lu", "_cv_async_handle_response",
                     static_cast<unsigned long>(response->header.sessid), static_cast<unsigned long>(txid));
        handle->stats.stale_responses++;
        return false;
    }
    cv_async_request* request = found->second;
    if (request->state & CV_REQ_SENDING) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s: Marking RX-Intent for txid=%lu.", "_cv_async_handle_response",
                     static_cast<unsigned long>(txid));
        request->rx_intent = 1;
        handle->stats.rx_intent_waits++;
        struct timeval began, ended;
        _cv_now(&began);
        while (request->state & CV_REQ_SENDING)
            cv_cloud_async_lock_cond_timedwait(&a->sent_cond, handle, nullptr);
        _cv_now(&ended);
        const long long waited = cv_tv_usec(ended) - cv_tv_usec(began);
        cv_log_trace(CV_TRACE_DEFAULT, "%s: Finished RX-Intent wait: %lld.%06llds", "_cv_async_handle_response",
                     waited / 1000000, waited % 1000000);
        if (waited > handle->stats.rx_intent_longest_usec)
            handle->stats.rx_intent_longest_usec = waited;
        request->rx_intent = 0;
    }
    request->state |= CV_REQ_FINISHING;
    matched->request = request;
    matched->response = response;
    matched->start = request->start;
    matched->status =
        detach_request(handle, request, response, response->header.disposition == 4 ? CV_STATUS_FAILED : 0, &received);
    return true;
}

}  // namespace

namespace {

// Finishes `n` matched responses (no lock held): their callbacks, then one
// hold of the async mutex lets the requests go and sends what was queued
// meanwhile (under load the receive worker is awake anyway, and the
// transmit worker can sleep).
void finish_matched(cv_cloud_handle* handle, cv_matched_response* matched, int n) {
    if (n == 0)
        return;
    for (int i = 0; i < n; i++) {
        _cv_global_resp_handler(handle, matched[i].response, &matched[i].start);
        run_callbacks(handle, matched[i].request, matched[i].response, matched[i].status);
    }
    cv_cloud_async_lock(handle);
    forget_finished(handle, n, [matched](int i) { return matched[i].request; });
    send_for_receiver(handle);
    for (int i = 0; i < n; i++)
        ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, matched[i].response);
}

// Responses of one read, sorted out under one hold of the async mutex.
struct sorted_responses {
    cv_matched_response matched[CV_RX_BATCH_MAX];  // taken out of the engine
    int count = 0;
    CorvaneQueryResponse_t* stale[CV_RX_BATCH_MAX];  // to free (after the mutex)
    int stale_count = 0;

    void free_stale() {
        for (int i = 0; i < stale_count; i++)
            ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, stale[i]);
        stale_count = 0;
    }
};

// Matches the responses for which `take(response)` holds (async mutex held;
// one clock reading: they came with one read); the others stay in
// `responses`, *count of them.
template <class Take>
void match_responses(cv_cloud_handle* handle, CorvaneQueryResponse_t** responses, int* count, sorted_responses* out,
                     Take take) {
    struct timeval received;
    _cv_now(&received);
    int kept = 0;
    for (int i = 0; i < *count; i++) {
        CorvaneQueryResponse_t* response = responses[i];
        if (!take(response))
            responses[kept++] = response;
        else if (match_response(handle, response, received, &out->matched[out->count]))
            out->count++;
        else
            out->stale[out->stale_count++] = response;
    }
    *count = kept;
}

}  // namespace

void _cv_async_handle_responses(cv_cloud_handle* handle, CorvaneQueryResponse_t** responses, int count) {
    if (!cv_cloud_async_lock(handle)) {
        for (int i = 0; i < count; i++)
            ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, responses[i]);
        return;
    }
    // All matched in one hold of the mutex, all released in one more.
    sorted_responses sorted;
    match_responses(handle, responses, &count, &sorted, [](const CorvaneQueryResponse_t*) { return true; });
    cv_cloud_async_unlock(handle);
    sorted.free_stale();
    finish_matched(handle, sorted.matched, sorted.count);
}

void _cv_async_receiver_waits(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    // Submitters that read the flag before this saw it set and woke nobody;
    // their items are counted in `queued` already.
    if (a->rx_will_send.exchange(false) && a->queued.load() > 0)
        pthread_cond_broadcast(&a->cond);
}

void _cv_periodic_due_at(cv_cloud_handle* handle, int64_t usec) {
    if (handle->async.cond_ready && usec < handle->idle.periodic_due_usec) {
        handle->idle.periodic_due_usec = 0;  // look now: its wait ends on the change
        pthread_cond_broadcast(&handle->async.wake_cond);
    }
}

// ---- Workers ------------------------------------------------------------------------------------

namespace {

// What one pass of the receive worker took under one hold of the socket lock.
struct rx_pass {
    CorvaneQueryResponse_t* responses[CV_RX_BATCH_MAX];
    int count = 0;
    CorvaneMessage_t* message = nullptr;  // a server message ends the pass
    int rc = RECV_NONE;                   // of the last receive
    char error_text[CV_ERROR_BUFFER_SIZE] = "";
};

// Receives a frame, then the responses already whole in the buffer behind
// it (socket lock held, shared), so that their requests are matched under
// one hold of the async mutex.
void receive_pass(cv_cloud_handle* handle, uint16_t conn_id, bool* quiet, rx_pass* pass) {
    do {
        CorvaneQueryResponse_t* response = nullptr;
        pass->rc = _cv_receive_tcp(handle, &response, &pass->message, quiet);
        if (pass->rc == RECV_SUCCESS)
            cv_log_trace(CV_TRACE_DEFAULT, "%s(): recvfunc successful for conn_id %hu", "_cv_worker_rx", conn_id);
        if (response && pass->rc == RECV_SUCCESS)
            pass->responses[pass->count++] = response;
        else if (response)
            ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, response);
    } while (pass->rc == RECV_SUCCESS && !pass->message && pass->count < CV_RX_BATCH_MAX &&
             _cv_frame_buffered(handle));
    if (pass->rc == RECV_CLOSED || pass->rc == RECV_ERROR)
        _cv_copy_error_text(handle, pass->error_text);
}

// Handles what one pass took (no lock held): finishes the answers, then a
// server message or a broken connection. `who` names the reader in the log.
void finish_pass(cv_cloud_handle* handle, uint16_t conn_id, rx_pass* pass, const char* who) {
    if (pass->count > 0)
        _cv_async_handle_responses(handle, pass->responses, pass->count);
    switch (pass->rc) {
    case RECV_SUCCESS:
        if (pass->message)
            _cv_global_msg_handler(handle, pass->message);
        else if (pass->count == 0)
            cv_log_error("%s: DANGER: INTERNAL ERROR: RECV_SUCCESS without message or response for conn_id %hu", who,
                         conn_id);
        break;
    case RECV_NONE:
        break;
    case RECV_CLOSED:
    case RECV_ERROR:
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): recvfunc indicates %s for conn_id %hu", who,
                     pass->rc == RECV_CLOSED ? "peer closed the connection" : "an error", conn_id);
        if (pass->message)
            ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, pass->message);
        connection_broken(handle, conn_id, pass->error_text, who);
        break;
    default:
        cv_log_error("%s(): recvfunc failed with %d for conn_id %hu", who, pass->rc, conn_id);
        _cv_async_receiver_waits(handle);
        sleep_period(handle);
        break;
    }
}

bool take_receive_side(cv_async_state* a) { return !a->rx_busy.exchange(true, std::memory_order_acquire); }

// Lets the receive side go: waiting callers that found it taken try again
// (and a stopping engine sees it free). The receive worker needs no waking:
// while callers wait it leaves the stream to them.
void let_receive_side_go(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    a->rx_busy.store(false, std::memory_order_release);
    if ((a->rx_waiters.load() == 0 && !stopping(handle)) || !cv_cloud_async_lock(handle))
        return;
    pthread_cond_broadcast(&a->done_cond);
    cv_cloud_async_unlock(handle);
}

// A waiting caller gives the receive side back; it sends no more, so the
// queue is the transmit worker's again.
void release_receive_side(cv_cloud_handle* handle) {
    let_receive_side_go(handle);
    _cv_async_receiver_waits(handle);
}

// Of a pass a waiting caller read, whether `response` answers its own
// request alone (async mutex held): anything else finishes on the receive
// worker.
bool answers_only(cv_cloud_handle* handle, const CorvaneQueryResponse_t* response, const own_answer& waiter) {
    const long txid = response->header.txid;
    if (txid != static_cast<long>(waiter.txid))
        return false;
    auto found = handle->async.response_tree.find(waiter.txid);
    return found != handle->async.response_tree.end() && found->second->count == 1 &&
           found->second->user_data[0] == &waiter;
}

// Hands what a waiting caller read for others to the receive worker with the
// receive side (async mutex held). False when the worker cannot take it
// (stopping): the caller finishes it then.
bool hand_to_worker(cv_cloud_handle* handle, CorvaneQueryResponse_t** responses, int count,
                    CorvaneMessage_t* message) {
    cv_async_state* a = &handle->async;
    static_assert(sizeof a->rx_handed_responses / sizeof a->rx_handed_responses[0] == CV_RX_BATCH_MAX);
    if (stopping(handle) || !a->rx_started || a->rx_handed)
        return false;
    for (int i = 0; i < count; i++)
        a->rx_handed_responses[i] = responses[i];
    a->rx_handed_count = count;
    a->rx_handed_message = message;
    a->rx_handed = true;
    pthread_cond_broadcast(&a->rx_cond);
    return true;
}

// Finishes what a waiting caller's pass took (no lock held): its own answer
// here, answers of others and a server message on the receive worker (then
// the caller stops reading: true), a broken connection here (that runs no
// callback). While the engine stops, the caller finishes everything.
bool finish_own_pass(cv_cloud_handle* handle, uint16_t conn_id, rx_pass* pass, const own_answer& waiter) {
    sorted_responses sorted;
    bool handed = false;
    if (pass->count > 0 || pass->message) {
        if (!cv_cloud_async_lock(handle)) {
            finish_pass(handle, conn_id, pass, "cv_cloud_query_wait");
            return false;
        }
        match_responses(handle, pass->responses, &pass->count, &sorted,
                        [&](const CorvaneQueryResponse_t* r) { return answers_only(handle, r, waiter); });
        handed = (pass->count > 0 || pass->message) &&
                 hand_to_worker(handle, pass->responses, pass->count, pass->message);
        cv_cloud_async_unlock(handle);
        sorted.free_stale();
        finish_matched(handle, sorted.matched, sorted.count);
    }
    if (handed) {
        pass->count = 0;
        pass->message = nullptr;
    }
    if (pass->rc != RECV_SUCCESS || pass->count > 0 || pass->message)
        finish_pass(handle, conn_id, pass, "cv_cloud_query_wait");
    return handed;
}

// The receive worker finishes what a waiting caller handed to it, then
// lets the receive side go. False when nothing was handed.
bool finish_handed(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    rx_pass pass;
    pass.rc = RECV_SUCCESS;
    if (!cv_cloud_async_lock(handle))
        return false;
    const bool handed = a->rx_handed;
    if (handed) {
        pass.count = a->rx_handed_count;
        for (int i = 0; i < pass.count; i++)
            pass.responses[i] = a->rx_handed_responses[i];
        pass.message = a->rx_handed_message;
        a->rx_handed_count = 0;
        a->rx_handed_message = nullptr;
        a->rx_handed = false;
    }
    cv_cloud_async_unlock(handle);
    if (!handed)
        return false;
    let_receive_side_go(handle);
    finish_pass(handle, 0, &pass, "_cv_worker_rx");
    return true;
}

// What was handed to a receive worker that stopped first goes unfinished:
// its requests are still outstanding, so stopping fails them once (async
// mutex held). Gives the receive side back.
void drop_handed(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    if (!a->rx_handed)
        return;
    for (int i = 0; i < a->rx_handed_count; i++)
        ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, a->rx_handed_responses[i]);
    if (a->rx_handed_message)
        ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, a->rx_handed_message);
    a->rx_handed_count = 0;
    a->rx_handed_message = nullptr;
    a->rx_handed = false;
    a->rx_busy.store(false);
}

// The receive worker leaves the stream to waiting callers: it waits while
// any are there or one reads, and after they are gone until the end of its
// period, unless answers of others are due (or stop, or a hand-over). A
// burst of waiting lookups then costs it no wake-up each.
void park_while_callers_read(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    auto callers_read = [a] { return a->rx_waiters.load() > 0 || a->rx_busy.load(std::memory_order_acquire); };
    if (!callers_read())
        return;
    _cv_async_receiver_waits(handle);
    if (!cv_cloud_async_lock(handle))
        return;
    a->rx_parked = true;
    struct timespec deadline = deadline_in(a->period_ns);
    while (!stopping(handle) && !a->rx_handed && (callers_read() || a->outstanding == 0)) {
        if (cv_cloud_async_lock_cond_timedwait(&a->rx_cond, handle, &deadline) != 0) {
            if (!callers_read())
                break;
            deadline = deadline_in(a->period_ns);  // still theirs: look again a period later
        }
    }
    a->rx_parked = false;
    cv_cloud_async_unlock(handle);
}

// Waits (socket lock held, shared) until a quiet stream has something to
// read, without the receive side, for at most the receive window. True
// when a pass is due; false also when a waiting caller came, which takes
// the stream.
bool stream_ready(cv_cloud_handle* handle, bool* quiet) {
    if (!*quiet || _cv_frame_buffered(handle))
        return true;
    _cv_async_receiver_waits(handle);
    cv_async_state* a = &handle->async;
    a->rx_watching.store(true);
    // A waiting caller that came before the flag was up is seen here; one
    // that comes later ends the wait through the wake-up descriptor.
    const int ready = a->rx_waiters.load() > 0 ? CV_WAIT_WOKEN : _cv_wait_readable(handle, _cv_receive_deadline(handle));
    a->rx_watching.store(false);
    if (ready == 0 || ready == CV_WAIT_WOKEN)
        return false;
    *quiet = false;  // readable, or polling failed: the read tells which
    return true;
}

// A caller's passes until its own answer came, while it holds the receive
// side: OWN_READ, or OWN_BUSY when someone else reads, OWN_NO_STREAM, or
// OWN_STOPPING when the engine stops first.
own_read read_own_answer(cv_cloud_handle* handle, const own_answer& waiter) {
    if (stopping(handle))
        return OWN_STOPPING;
    if (!take_receive_side(&handle->async))
        return OWN_BUSY;
    own_read result = OWN_READ;
    while (!waiter.done.load(std::memory_order_acquire) && !stopping(handle)) {
        if (!_cv_lock_rw(handle, &handle->socket_lock, 0)) {
            result = OWN_NO_STREAM;
            break;
        }
        if (handle->socket < 0) {
            _cv_unlock_rw(handle, &handle->socket_lock);
            result = OWN_NO_STREAM;
            break;
        }
        const uint16_t conn_id = handle->conn_id;
        bool quiet = true;  // just sent: the answer is not there yet, poll first
        rx_pass pass;
        receive_pass(handle, conn_id, &quiet, &pass);
        _cv_unlock_rw(handle, &handle->socket_lock);
        if (finish_own_pass(handle, conn_id, &pass, waiter))
            return OWN_READ;  // the receive side went with what was handed
    }
    release_receive_side(handle);
    return result == OWN_READ && stopping(handle) && !waiter.done.load() ? OWN_STOPPING : result;
}

bool on_worker(const cv_async_state* a) {
    const pthread_t self = pthread_self();
    return (a->rx_started && pthread_equal(self, a->rx_thread)) ||
           (a->tx_started && pthread_equal(self, a->tx_thread)) ||
           (a->periodic_started && pthread_equal(self, a->periodic_thread));
}

void* _cv_worker_rx(void* arg) {
    auto* handle = static_cast<cv_cloud_handle*>(arg);
    // The connection whose stream was left quiet by the last receive (see
    // _cv_receive_tcp): the next wait on it starts with a poll, not a read.
    bool quiet = false;
    uint16_t quiet_conn_id = 0;
    uint32_t quiet_gen = 0;
    while (!stopping(handle)) {
        note_wakeup(handle);
        if (finish_handed(handle))
            continue;
        park_while_callers_read(handle);
        if (!_cv_lock_rw(handle, &handle->socket_lock, 0)) {
            sleep_period(handle);
            continue;
        }
        if (handle->socket < 0) {
            _cv_unlock_rw(handle, &handle->socket_lock);
            _cv_async_receiver_waits(handle);
            // Until the transmit worker connects (it signals).
            if (cv_cloud_async_lock(handle)) {
                wait_until(handle, deadline_in(CV_IDLE_WAIT_USEC * 1000), [handle] { return connected(handle); });
                cv_cloud_async_unlock(handle);
            } else {
                sleep_period(handle);
            }
            continue;
        }
        const uint16_t conn_id = handle->conn_id;
        const uint32_t gen = handle->disconnect_gen.load(std::memory_order_relaxed);
        quiet = quiet && conn_id == quiet_conn_id && gen == quiet_gen;
        quiet_conn_id = conn_id;
        quiet_gen = gen;
        // An idle stream is watched without the receive side, so that a
        // waiting caller may take it meanwhile and read its own answer.
        if (!stream_ready(handle, &quiet) || !take_receive_side(&handle->async)) {
            _cv_unlock_rw(handle, &handle->socket_lock);
            continue;
        }
        rx_pass pass;
        receive_pass(handle, conn_id, &quiet, &pass);
        _cv_unlock_rw(handle, &handle->socket_lock);
        let_receive_side_go(handle);
        finish_pass(handle, conn_id, &pass, "_cv_worker_rx");
    }
    _cv_async_receiver_waits(handle);
    return nullptr;
}

// A request being written, or whose answer is being read, is not expired
// meanwhile; when its time-out has passed it is looked at again this soon.
constexpr int64_t BUSY_RECHECK_USEC = 10000;

// Finishes, one at a time, requests whose time-out (from submission) passed
// at `now`. True when it finished any (their callbacks took time, and the
// mutex was let go). Otherwise it lowers `*next_usec` to the earliest time
// one of the others is due.
bool expire_requests(cv_cloud_handle* handle, const struct timeval& now, int64_t* next_usec) {
    cv_async_state* a = &handle->async;
    const long long timeout = cv_tv_usec(handle->options.timeout);
    const long long limit = cv_tv_usec(now) - timeout;
    uint32_t next_txid = 0;
    bool expired_any = false;
    // Ends at once on an idle handle: nothing outstanding, no walk.
    while (!a->response_tree.empty()) {
        cv_async_request* expired = nullptr;
        for (auto it = a->response_tree.lower_bound(next_txid); it != a->response_tree.end(); ++it) {
            cv_async_request* request = it->second;
            if (request->state & CV_REQ_FINISHING)
                continue;
            const int64_t due = cv_tv_usec(request->start) + timeout + 1;
            if ((request->state & CV_REQ_SENDING) || request->rx_intent) {
                *next_usec = std::min(*next_usec, std::max<int64_t>(due, cv_tv_usec(now) + BUSY_RECHECK_USEC));
                continue;
            }
            if (cv_tv_usec(request->start) < limit) {
                expired = request;
                break;
            }
            *next_usec = std::min(*next_usec, due);
        }
        if (!expired)
            break;
        expired_any = true;
        expired->state |= CV_REQ_FINISHING;
        next_txid = expired->txid + 1;
        handle->stats.timeouts++;
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): txid=%lu timed out", "_cv_worker_periodic",
                     static_cast<unsigned long>(expired->txid));
        // Callbacks run without the lock; the walk resumes after this txid.
        cv_cloud_async_unlock(handle);
        _cv_finish_query(handle, expired, nullptr, CV_STATUS_FAILED | CV_STATUS_TIMEOUT);
        cv_cloud_async_lock(handle);
    }
    return expired_any;
}

void* _cv_worker_periodic(void* arg) {
    auto* handle = static_cast<cv_cloud_handle*>(arg);
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): thread started.", "_cv_worker_periodic");
    while (!stopping(handle)) {
        if (!cv_cloud_async_lock(handle)) {
            sleep_period(handle);
            continue;
        }
        // The mutex is held from pass to pass and let go only while waiting
        // and while callbacks run. A pass sleeps until the next thing due:
        // the ping, or the earliest time-out. Whatever moves either earlier
        // (a request submitted, the ping schedule changed) clears
        // `periodic_due_usec` under the mutex and wakes it; the cap only
        // bounds what a missed signal could cost.
        struct timeval now;
        _cv_now(&now);
        while (!stopping(handle)) {
            note_wakeup(handle);
            if (_cv_periodic_tick(handle, &now))
                _cv_now(&now);
            int64_t due = cv_tv_usec(now) + CV_IDLE_WAIT_USEC;
            if (expire_requests(handle, now, &due)) {
                // The mutex was let go: look again at what came meanwhile.
                _cv_now(&now);
                continue;
            }
            due = std::min(due, _cv_periodic_next_usec(handle));
            handle->idle.periodic_due_usec = due;
            wait_until(handle, timespec_at(due), [handle, due] { return handle->idle.periodic_due_usec != due; });
            _cv_now(&now);
        }
        cv_cloud_async_unlock(handle);
    }
    return nullptr;
}

void join_worker(pthread_t thread, bool* started, const char* name) {
    if (!*started)
        return;
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): joining %s thread", "_cv_async_deinit", name);
    int rc = pthread_join(thread, nullptr);
    if (rc != 0)
        cv_log_error("%s(): DANGER: pthread_join for %s thread failed with %d", "_cv_async_deinit", name, rc);
    *started = false;
}

int start_worker(pthread_t* thread, bool* started, void* (*fn)(void*), cv_cloud_handle* handle, const char* name) {
    int rc = pthread_create(thread, nullptr, fn, handle);
    if (rc != 0) {
        cv_log_error("%s(): pthread_create failed for %s thread with %d", "_cv_async_init", name, rc);
        return rc;
    }
    *started = true;
    // Named for top, gdb and profilers: "cv-periodic", "cv-rx", "cv-tx".
    char title[16];
    snprintf(title, sizeof title, "cv-%s", name);
    pthread_setname_np(*thread, title);
    return 0;
}

int _initialize_async_socket_rwlock(pthread_rwlock_t* lock) {
    // Writers first: the workers take the lock shared back to back, and a
    // disconnect or a new connection must not wait behind them forever.
    pthread_rwlockattr_t attr;
    int rc = pthread_rwlockattr_init(&attr);
    if (rc != 0)
        return rc;
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    rc = pthread_rwlock_init(lock, &attr);
    pthread_rwlockattr_destroy(&attr);
    return rc;
}

}  // namespace

int _cv_async_init(cv_cloud_handle* handle, const cv_cloud_async_opts* opts) {
    if (handle->query_method != CV_QUERY_METHOD_TCP) {
        cv_log_error("%s(): unsupported query type %d", __func__, handle->query_method);
        return -1;
    }
    uint32_t limit = opts && opts->limit ? opts->limit : CV_ASYNC_LIMIT_MAX;
    if (limit > CV_ASYNC_LIMIT_MAX) {
        cv_log_error("%s(): unsupported limit %ld", __func__, static_cast<long>(limit));
        return -1;
    }
    cv_async_state* a = &handle->async;
    a->limit = limit;
    a->period_ns = (opts && opts->worker_period_ms ? static_cast<long>(opts->worker_period_ms) : DEFAULT_PERIOD_MS) *
                   1000000L;
    a->txid_bucket = static_cast<int32_t*>(calloc(limit, sizeof(int32_t)));
    if (!a->txid_bucket) {
        cv_log_error("%s(): calloc for async_txid_bucket failed", __func__);
        return -1;
    }
    for (uint32_t i = 0; i < limit; i++)
        a->txid_bucket[i] = static_cast<int32_t>(i + 1);
    a->txid_assign = 0;
    a->txid_unassign = 0;
    struct timeval now;
    gettimeofday(&now, nullptr);
    a->random_seed = static_cast<unsigned int>(now.tv_sec ^ now.tv_usec);

    int rc = _cv_wake_open(handle);
    if (rc == 0)
        rc = cv_cloud_async_mutex_init(&handle->async_mutex);
    if (rc == 0) {
        a->lock_ready = true;
        rc = _initialize_async_socket_rwlock(&handle->socket_lock);
        if (rc == 0) {
            rc = init_monotonic_cond(&a->cond);
            if (rc == 0) {
                rc = init_monotonic_cond(&a->done_cond);
                if (rc == 0 && (rc = init_monotonic_cond(&a->wake_cond)) != 0)
                    pthread_cond_destroy(&a->done_cond);
                if (rc == 0 && (rc = init_monotonic_cond(&a->sent_cond)) != 0) {
                    pthread_cond_destroy(&a->wake_cond);
                    pthread_cond_destroy(&a->done_cond);
                }
                if (rc == 0 && (rc = init_monotonic_cond(&a->rx_cond)) != 0) {
                    pthread_cond_destroy(&a->sent_cond);
                    pthread_cond_destroy(&a->wake_cond);
                    pthread_cond_destroy(&a->done_cond);
                }
                if (rc == 0)
                    a->cond_ready = true;
                else
                    pthread_cond_destroy(&a->cond);
            }
            if (rc != 0)
                pthread_rwlock_destroy(&handle->socket_lock);
        }
        if (rc != 0) {
            cv_cloud_async_mutex_destroy(&handle->async_mutex);
            a->lock_ready = false;
        }
    }
    if (rc != 0) {
        _cv_wake_close(handle);
        free(a->txid_bucket);
        a->txid_bucket = nullptr;
        return -1;
    }
    handle->flags |= CV_HANDLE_FLAG_ASYNC;
    if (start_worker(&a->periodic_thread, &a->periodic_started, _cv_worker_periodic, handle, "periodic") != 0 ||
        start_worker(&a->rx_thread, &a->rx_started, _cv_worker_rx, handle, "rx") != 0 ||
        start_worker(&a->tx_thread, &a->tx_started, _cv_worker_tx, handle, "tx") != 0) {
        _cv_async_deinit(handle);
        return -1;
    }
    return 0;
}

void _cv_async_deinit(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    if (!(handle->flags & CV_HANDLE_FLAG_ASYNC))
        return;
    handle->flags |= CV_HANDLE_FLAG_STOP;
    // Idle workers wake now instead of at the end of their wait.
    _cv_wake_receiver(handle);
    if (cv_cloud_async_lock(handle)) {
        pthread_cond_broadcast(&a->cond);
        pthread_cond_broadcast(&a->wake_cond);
        pthread_cond_broadcast(&a->rx_cond);
        cv_cloud_async_unlock(handle);
    }
    join_worker(a->periodic_thread, &a->periodic_started, "periodic");
    join_worker(a->rx_thread, &a->rx_started, "rx");
    join_worker(a->tx_thread, &a->tx_started, "tx");

    cv_cloud_async_lock(handle);
    // A caller still writing its own frame keeps its request until it is done.
    while (a->tx_busy) {
        struct timespec deadline = deadline_in(a->period_ns);
        cv_cloud_async_lock_cond_timedwait(&a->cond, handle, &deadline);
    }
    // So does a caller reading its own answer; what it handed to the
    // stopped receive worker goes. Its socket wait sees the stop flag, or
    // ends on the wake-up descriptor, signalled again on each look: the
    // stopped receive worker may have taken the first signal.
    drop_handed(handle);
    while (a->rx_busy.load()) {
        _cv_wake_receiver(handle);
        struct timespec deadline = deadline_in(a->period_ns);
        cv_cloud_async_lock_cond_timedwait(&a->done_cond, handle, &deadline);
    }
    // Nobody waits on the descriptor any more.
    _cv_wake_close(handle);
    for (;;) {
        cv_async_request* pending = nullptr;
        for (auto& entry : a->response_tree) {
            if (!(entry.second->state & CV_REQ_FINISHING)) {
                pending = entry.second;
                break;
            }
        }
        if (!pending)
            break;
        pending->state |= CV_REQ_FINISHING;
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): erroring out incomplete query: txid=%lu", __func__,
                     static_cast<unsigned long>(pending->txid));
        cv_cloud_async_unlock(handle);
        _cv_finish_query(handle, pending, nullptr, CV_STATUS_FAILED);
        cv_cloud_async_lock(handle);
    }
    size_t dropped = 0;
    while (cv_txq_item* item = a->txq_head) {
        txq_unlink(a, item);
        if (item->message) {
            ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, item->message);
            free(item);
            dropped++;
        } else {
            cv_log_error("%s: DANGER: unexpected non-message in tx queue. (will leak memory)", __func__);
        }
    }
    cv_cloud_async_unlock(handle);
    if (dropped)
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): dropped %zu queued message(s).", __func__, dropped);

    int rc;
    if (a->cond_ready && (rc = pthread_cond_destroy(&a->cond)) != 0)
        cv_log_error("%s(): DANGER: pthread_cond_destroy failed with %d", __func__, rc);
    if (a->cond_ready && (rc = pthread_cond_destroy(&a->done_cond)) != 0)
        cv_log_error("%s(): DANGER: pthread_cond_destroy failed with %d", __func__, rc);
    if (a->cond_ready && (rc = pthread_cond_destroy(&a->wake_cond)) != 0)
        cv_log_error("%s(): DANGER: pthread_cond_destroy failed with %d", __func__, rc);
    if (a->cond_ready && (rc = pthread_cond_destroy(&a->rx_cond)) != 0)
        cv_log_error("%s(): DANGER: pthread_cond_destroy failed with %d", __func__, rc);
    if (a->cond_ready && (rc = pthread_cond_destroy(&a->sent_cond)) != 0)
        cv_log_error("%s(): DANGER: pthread_cond_destroy failed with %d", __func__, rc);
    a->cond_ready = false;
    if (a->lock_ready) {
        if ((rc = pthread_rwlock_destroy(&handle->socket_lock)) != 0)
            cv_log_error("%s(): DANGER: pthread_rwlock_destroy failed with %d", __func__, rc);
        if ((rc = cv_cloud_async_mutex_destroy(&handle->async_mutex)) != 0)
            cv_log_error("%s(): DANGER: pthread_mutex_destroy failed with %d", __func__, rc);
        a->lock_ready = false;
    }
    free(a->txid_bucket);
    a->txid_bucket = nullptr;
    a->query_tree.clear();
    a->response_tree.clear();
    a->request_pool.drain();
    a->query_node_pool.drain();
    a->response_node_pool.drain();
    handle->flags &= ~(CV_HANDLE_FLAG_ASYNC | CV_HANDLE_FLAG_STOP);
}

cv_cloud_stats cv_cloud_get_stats(cv_cloud_handle* handle) {
    cv_cloud_stats copy{};
    if (handle && cv_cloud_async_lock(handle)) {
        copy = handle->stats;
        cv_cloud_async_unlock(handle);
        copy.worker_wakeups = handle->idle.wakeups.load(std::memory_order_relaxed);
    }
    return copy;
}
