// The asynchronous query engine of a cloud handle: submission with
// piggy-backing of identical lookups, transaction ids, the transmit queue and
// the three workers (transmit, receive, periodic with time-outs).
//
// Every accepted query's callback runs exactly once: with its response, after
// its time-out (counted from submission), after a send failure, or at
// shutdown. A lost connection re-queues the request with its txid.
#pragma once

#include <cstdint>

#include "CorvaneMessage.h"
#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"
#include "cloud/cv_cloud_handle.h"

// Completion status bits.
constexpr uint32_t CV_STATUS_FAILED = 0x01;      // no usable response, or disposition 4
constexpr uint32_t CV_STATUS_FIRST = 0x02;       // the query that went on the network
constexpr uint32_t CV_STATUS_TIMEOUT = 0x08;
constexpr uint32_t CV_STATUS_TRUNCATED = 0x10;   // sent without its execution context
constexpr uint32_t CV_STATUS_NO_CERT = 0x20;     // the handle had no client certificate

// Queries per request: the first plus at most 999 piggy-backed ones.
constexpr int32_t MAX_REPEAT_QUERIES = 1000;
constexpr uint32_t CV_ASYNC_LIMIT_MAX = 65535;

// Request states.
constexpr uint32_t CV_REQ_FINISHING = 0x1;
constexpr uint32_t CV_REQ_SENDING = 0x2;
constexpr uint32_t CV_REQ_FIRST_WAITS = 0x4;  // the first query's caller waits for it (cv_cloud_query_wait)

// Results of cv_cloud_query_async.
enum cv_cloud_async_result {
    CV_ASYNC_QUEUED = 1,
    CV_ASYNC_ATTACHED = 0,
    CV_ASYNC_ERR_SYNC_HANDLE = -1,
    CV_ASYNC_ERR_TYPE = -2,
    CV_ASYNC_ERR_NOMEM = -3,
    CV_ASYNC_ERR_COND = -4,
    CV_ASYNC_ERR_UUID = -5,
    CV_ASYNC_ERR_LOCK = -6,
    CV_ASYNC_ERR_NO_PIGGYBACK = -7,
    CV_ASYNC_ERR_REPEAT_LIMIT = -8,
    CV_ASYNC_ERR_LIMIT = -9,
    CV_ASYNC_ERR_HEADER = -10,
    CV_ASYNC_ERR_COLLISION = -11,
    CV_ASYNC_ERR_REVERT = -12,
    CV_ASYNC_ERR_ON_WORKER = -13,  // cv_cloud_query_wait on one of the handle's workers
};

// One network request with the queries attached to it. The arrays start with
// room for the first query only and grow as identical queries attach.
struct cv_async_request {
    cv_cloud_query_cb callback;  // of the queries that do not wait (null while none)
    int32_t count;     // queries attached, 1..MAX_REPEAT_QUERIES
    int32_t capacity;  // room in the arrays
    cv_txq_item* txq_item;  // queued item, or null
    struct timeval start;   // submission (monotonic); the time-out runs from here
    uint8_t state;          // CV_REQ_*
    uint8_t rx_intent;      // a response waits for the send to end
    uint8_t status;         // extra completion bits (CV_STATUS_TRUNCATED)
    uint32_t txid;
    uint32_t sent_gen;      // disconnect_gen of the connection it was last sent on
    // The first query's identity packed in the order of _cv_node_cmp_queue
    // (see cv_request_query_less), so that most comparisons in the query
    // tree stay in the record; 0 when the query's fields do not fit.
    uint64_t key_hi;
    uint64_t key_lo;
    cv_txq_item item;       // its transmit queue entry (txq_item points here while queued)
    CorvaneQuery_t** queries;
    // Per query: the caller's data, or for a waiting caller its record. Once
    // grown, the array is followed by one byte per query telling which
    // queries wait (the first one's in `state`: CV_REQ_FIRST_WAITS).
    void** user_data;
    CorvaneQuery_t* first_query;  // inline room for the first entry
    void* first_user_data;
    // Its places in the two trees, so that finishing needs no search.
    cv_query_tree::iterator query_pos;
    cv_response_tree::iterator response_pos;
};

// 1 queued, 0 attached to an identical outstanding request, negative refused
// (the caller keeps the query then).
int cv_cloud_query_async(cv_cloud_handle* handle, CorvaneQuery_t* query, cv_cloud_query_cb callback,
                         void* user_data);
// As cv_cloud_query_async, then returns once the query's callback ran (on
// this thread when the caller read the answer itself). While nobody else
// reads the stream the caller reads it itself, so that its answer wakes no
// worker; answers of other requests and server messages it reads go to the
// receive worker, whose callbacks run there. It may attach to an identical
// outstanding request, and asynchronous queries to its request: the request
// is then finished on the receive worker. Refused on the handle's own
// workers (CV_ASYNC_ERR_ON_WORKER).
int cv_cloud_query_wait(cv_cloud_handle* handle, CorvaneQuery_t* query, cv_cloud_query_cb callback,
                        void* user_data);
// Blocks until no request is outstanding. 0, or -1 when the lock fails.
int cv_cloud_async_wait(cv_cloud_handle* handle);

// Presets of every query: version and the S2C solicitation flag.
void _cv_query_presets(cv_cloud_handle* handle, CorvaneQuery_t* query);
// Total order of first queries for piggy-backing (<0, 0, >0).
int _cv_node_cmp_queue(const CorvaneQuery_t* a, const CorvaneQuery_t* b);

int _cv_async_init(cv_cloud_handle* handle, const cv_cloud_async_opts* opts);
void _cv_async_deinit(cv_cloud_handle* handle);

uint32_t _cv_txid_assign(cv_cloud_handle* handle);
void _cv_txid_unassign(cv_cloud_handle* handle, uint32_t txid);

// Responses read together: at most this many are matched in one go.
constexpr int CV_RX_BATCH_MAX = 32;

// Matches `count` responses (at most CV_RX_BATCH_MAX) to their requests
// under one hold of the async mutex, runs the callbacks without locks and
// releases the requests under one more hold.
void _cv_async_handle_responses(cv_cloud_handle* handle, CorvaneQueryResponse_t** responses, int count);
// The receive worker is about to wait (for the socket, a connection or a
// period): it stops sending the queue at the end of its passes, and wakes
// the transmit worker when something is queued.
void _cv_async_receiver_waits(cv_cloud_handle* handle);
void _cv_finish_query(cv_cloud_handle* handle, cv_async_request* request, CorvaneQueryResponse_t* response,
                      uint32_t status);
// Queues again every request that went out on a connection that has since
// been closed (called after a disconnect, without the socket lock).
void _cv_async_requeue_sent(cv_cloud_handle* handle);
// Queues a message (an acknowledgement) at the tail; false when out of memory.
bool _cv_queue_message(cv_cloud_handle* handle, CorvaneMessage_t* message);

// Snapshot of the counters, taken under the async mutex.
cv_cloud_stats cv_cloud_get_stats(cv_cloud_handle* handle);
