// The cloud handle: one per connection to the cloud lookup service, with its
// options, connection state, transfer buffers, ping schedule and the state of
// the asynchronous query engine.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>

#include "cloud/cv_block_pool.h"

struct CorvaneQuery;
struct CorvaneQueryResponse;
struct cv_cloud_handle;

// The only supported query method: a TLS stream carrying frames.
constexpr int CV_QUERY_METHOD_TCP = 6;

// Capacity of each transfer buffer and the largest accepted frame length field.
constexpr int32_t TRANSPORT_MAX_SIZE = 65791;  // 0x100FF

// A time value in microseconds.
inline long long cv_tv_usec(const struct timeval& tv) {
    return static_cast<long long>(tv.tv_sec) * 1000000LL + tv.tv_usec;
}

// Handle flags.
constexpr uint32_t CV_HANDLE_FLAG_ASYNC = 0x1;  // the query engine runs (set by _cv_async_init)
constexpr uint32_t CV_HANDLE_FLAG_STOP = 0x2;   // the engine's workers are told to end

// Option flags.
constexpr uint32_t CV_OPT_FLAG_PING_ON_INIT = 0x1;   // first ping after the early interval
constexpr uint32_t CV_OPT_FLAG_S2C_DISABLED = 0x2;   // do not solicit server-to-client messages

// Header flag of every query unless S2C solicitation is disabled.
constexpr long CV_QUERY_FLAG_AGENT_WILL_ACCEPT_S2C = 0x8;

// ---- Callbacks ------------------------------------------------------------------

// Completion of a query: (query, response or null, status bits, user data).
// The callback owns the query from then on; the response is freed after the
// callbacks of the request ran. The result is only counted.
typedef int (*cv_cloud_query_cb)(struct CorvaneQuery* query, struct CorvaneQueryResponse* response, uint32_t status,
                                 void* user_data);
// Policy and retrospective callbacks have the same shape.
typedef cv_cloud_query_cb cv_cloud_ping_result_cb;
// Called with every ping query before it is queued.
typedef int (*cv_cloud_ping_prepare_cb)(struct CorvaneQuery* query);
// Server message handler: (handle, dst UUID bytes, id UUID bytes, message
// type, data, data length, user data) -> acknowledgement code.
typedef uint16_t (*cv_cloud_msg_cb)(cv_cloud_handle* handle, const uint8_t* dst, const uint8_t* id, uint32_t type,
                                    const uint8_t* data, size_t length, void* user_data);
// Adds trusted roots to the certificate store of every TLS context.
typedef void (*cv_cloud_trust_store_cb)(X509_STORE* store, void* user_data);
// Asked whenever a connection is needed; *need_cert is 1 on entry when the
// handle has no client certificate. Non-zero: no connection now.
typedef int (*cv_cloud_provision_cb)(cv_cloud_handle* handle, uint8_t* need_cert, void* user_data);
// A provisioning result that refuses the connection on purpose (its owner is
// going away): the attempt ends as any refusal, but it is no fault.
#define CV_PROVISION_WITHDRAWN 1
typedef void (*cv_cloud_resolve_failure_cb)(void* user_data);
// Connection attempt failed at the network or TLS level (attempt time, seconds).
typedef void (*cv_cloud_conn_failure_cb)(int64_t attempt_time, void* user_data);
// A connection attempt ended otherwise (success or another failure).
typedef void (*cv_cloud_conn_attempt_cb)(void* user_data);

// Acknowledgement codes.
constexpr uint16_t CV_ACK_UNHANDLED = 0xDEAF;
constexpr uint16_t CV_ACK_TEMPORARY_REJECT = 0xB0B0;  // no acknowledgement is sent

struct cv_cloud_msg_cb_node {
    uint32_t type;
    cv_cloud_msg_cb callback;
    cv_cloud_msg_cb_node* next;
    void* user_data;
};

// ---- Options ---------------------------------------------------------------------

struct cv_cloud_opts {
    uint32_t flags;  // CV_OPT_FLAG_*
    uint16_t product;
    uint8_t version_major;
    uint8_t version_minor;
    uint16_t version_build;
    struct timeval ping_interval;
    struct timeval ping_early_interval;
    struct timeval further_interval;  // not read by the ping schedule
    struct timeval reconnect_wait;
    uint8_t query_version;
    cv_cloud_ping_prepare_cb ping_prepare_cb;
    cv_cloud_ping_result_cb retrospective_cb;
    void* retrospective_data;
    cv_cloud_ping_result_cb policy_cb;
    cv_cloud_trust_store_cb trust_store_cb;
    void* trust_store_data;
    cv_cloud_provision_cb provision_cb;
    void* provision_data;
    void* policy_data;
    struct timeval timeout;  // query time-out and synchronous transfer wait
    char* proxy_url;         // owned copy, or null
    uint32_t proxy_auth;     // bit 0 basic, bit 3 NTLM; 0 = library default
    int32_t insecure;
    int32_t port;
    cv_cloud_resolve_failure_cb resolve_failure_cb;
    void* resolve_failure_data;
    cv_cloud_msg_cb general_msg_cb;
    void* general_msg_data;
    cv_cloud_msg_cb_node* msg_callbacks;
};

struct cv_cloud_async_opts {
    uint32_t limit;  // 1..65535; 0 = 65535
    uint32_t worker_period_ms;  // a worker's pause after a failed step (lock, connection attempt); 0 = 100
};

// ---- Transport --------------------------------------------------------------------

// The byte stream under the frames. Results are the stream library's codes:
// 0 success, CV_STREAM_AGAIN when nothing can be moved now (poll the socket),
// CV_STREAM_UNSUPPORTED when the stream is gone, anything else an error. A
// receive of 0 bytes with result 0 means the peer closed the stream.
typedef int (*cv_stream_send_fn)(void* stream, const void* buffer, size_t length, size_t* sent);
typedef int (*cv_stream_recv_fn)(void* stream, void* buffer, size_t length, size_t* received);
typedef const char* (*cv_stream_strerror_fn)(int code);

constexpr int CV_STREAM_UNSUPPORTED = 1;  // CURLE_UNSUPPORTED_PROTOCOL
constexpr int CV_STREAM_AGAIN = 81;       // CURLE_AGAIN

struct cv_stream_ops {
    cv_stream_send_fn send;
    cv_stream_recv_fn recv;
    cv_stream_strerror_fn strerror;
};

// The connect-only curl stream: `stream` is the easy handle.
extern const cv_stream_ops cv_curl_stream_ops;

// Per-handle transfer state: the two frame buffers.
struct cv_transfer_state {
    unsigned char outbuf[TRANSPORT_MAX_SIZE];
    unsigned char* outbuf_cursor;  // first byte not yet written
    int32_t outbuf_pending;        // bytes from the cursor not yet written; 0 = free
    unsigned char inbuf[TRANSPORT_MAX_SIZE];
    int32_t inbuf_start;           // offset of the first valid byte, a frame boundary
    int32_t inbuf_fill;            // valid bytes from there
    pthread_mutex_t transfer_mutex;  // held around every single stream send and receive
};

// ---- Locks and statistics ----------------------------------------------------------

// The async mutex with its diagnostics.
struct cv_async_mutex {
    pthread_mutex_t mutex;      // recursive
    struct timeval acquired_at;  // outermost acquisition (monotonic clock)
    const char* owner_tag;       // caller tag of the outermost acquirer, or null
    uint32_t depth;              // nested acquisitions by the owner
};

// Diagnostics only; written under the async mutex (the lock counts by the
// lock functions, which hold it).
struct cv_cloud_stats {
    uint64_t async_locks;
    uint64_t async_unlocks;
    uint64_t queued;             // requests put on the network
    uint64_t piggybacked;        // queries attached to an outstanding request
    uint64_t refused_limit;      // -9
    uint64_t refused_repeat;     // -8
    uint64_t stale_responses;
    uint64_t timeouts;
    uint64_t sends;
    uint64_t send_retries;
    uint64_t responses;
    uint64_t failed_responses;   // a response with the failure bit
    uint64_t rx_intent_waits;
    int64_t rx_intent_longest_usec;
    uint64_t callback_failures;  // ping-prepare, policy, retrospective callbacks
    uint64_t retro_received;
    uint64_t acks_sent;
    int64_t fastest_response_usec;  // -1 until the first response
    int64_t slowest_response_usec;
    uint64_t outstanding_high;
    uint64_t worker_wakeups;  // passes of the three workers (cv_idle.wakeups)
};

// ---- Ping schedule ------------------------------------------------------------------

constexpr uint8_t CV_PERIODIC_PING = 14;

typedef int (*cv_periodic_cb)(struct CorvaneQuery* query, struct CorvaneQueryResponse* response, uint32_t status,
                              cv_cloud_handle* handle);

struct cv_periodic {
    uint8_t type;                      // CV_PERIODIC_PING
    struct timeval last_run;           // monotonic
    struct timeval last_success;
    struct timeval interval;           // 0 = no pings
    struct timeval early_interval;
    struct timeval fast_interval;
    uint8_t want_early;                // 0 none, 1 early, 2 fast
    cv_periodic_cb callback;
    cv_cloud_handle* user_data;
    uint32_t in_flight;
    uint32_t failures;
};

// ---- Query engine --------------------------------------------------------------------

struct cv_async_request;
struct CorvaneMessage;

// One entry of the transmit queue: a request to send or a message.
struct cv_txq_item {
    cv_txq_item* prev;
    cv_txq_item* next;
    cv_async_request* request;
    struct CorvaneMessage* message;
};

// Orders outstanding requests by query identity (piggy-backing).
struct cv_request_query_less {
    bool operator()(const cv_async_request* a, const cv_async_request* b) const;
};

using cv_query_tree = std::set<cv_async_request*, cv_request_query_less, cv_pool_allocator<cv_async_request*>>;
using cv_response_tree =
    std::map<uint32_t, cv_async_request*, std::less<uint32_t>,
             cv_pool_allocator<std::pair<const uint32_t, cv_async_request*>>>;

struct cv_async_state {
    uint32_t limit;
    int32_t* txid_bucket;  // ring of `limit` free txids; -1 marks a taken slot
    uint32_t txid_assign;
    uint32_t txid_unassign;
    unsigned int random_seed;
    cv_txq_item* txq_head;
    cv_txq_item* txq_tail;
    // Free request records and tree nodes (under the async mutex); declared
    // before the trees, so that it outlives them.
    cv_block_pool request_pool;
    cv_block_pool query_node_pool;
    cv_block_pool response_node_pool;
    cv_query_tree query_tree{cv_request_query_less(), cv_pool_allocator<cv_async_request*>(&query_node_pool)};
    cv_response_tree response_tree{std::less<uint32_t>(), cv_pool_allocator<cv_response_tree::value_type>(
                                                              &response_node_pool)};  // by txid
    uint32_t outstanding;  // requests submitted and not yet completely finished
    // The sending side (output buffer, stream writes) is in use: by the
    // transmit worker, or by a caller writing its own frame on an idle
    // connection. Whoever sets it alone touches the output buffer.
    bool tx_busy;
    // Items in the transmit queue, counted beside the list for the receive
    // worker, which reads it without the mutex just before it waits.
    std::atomic<uint32_t> queued;
    // The receive worker is busy with answers and sends what is queued at the
    // end of each pass (see _cv_async_receiver_waits): a submitter need not
    // wake the transmit worker meanwhile.
    std::atomic<bool> rx_will_send;
    pthread_cond_t cond;       // the queue gained an item, or the sending side became free (monotonic clock)
    pthread_cond_t done_cond;  // a request finished; separate, so finishing does not wake the transmit worker
    pthread_cond_t wake_cond;  // a connection is up, a deadline moved earlier, or the engine stops: ends the idle waits of the other workers
    pthread_cond_t sent_cond;  // a request that a response waits for is no longer being sent

    // Callers that wait for their own answer (cv_cloud_query_wait) read it
    // themselves while the stream is theirs, as a bare client would.
    // The receive side (input buffer, stream reads) is in use: by the receive
    // worker for one pass, by a waiting caller, or handed to the worker with
    // what a caller read for others. The worker waits on a quiet stream
    // without it.
    std::atomic<bool> rx_busy;
    // Waiting callers between their submission and their answer: while there
    // are any, the receive worker leaves a quiet stream to them.
    std::atomic<uint32_t> rx_waiters;
    // The receive worker waits on the socket; a new waiting caller ends that
    // wait through the handle's wake-up descriptor (idle.wake_fd) before it
    // sends its query.
    std::atomic<bool> rx_watching;
    bool rx_parked;            // the receive worker waits on rx_cond
    pthread_cond_t rx_cond;    // ends that wait: a hand-over, a lookup nobody waits for, or stop
    // What a waiting caller read for other requests (under the async mutex),
    // handed to the receive worker with the receive side, so that no other
    // caller's callback runs on the waiting caller's thread.
    bool rx_handed;
    int rx_handed_count;
    struct CorvaneQueryResponse* rx_handed_responses[32];  // CV_RX_BATCH_MAX
    struct CorvaneMessage* rx_handed_message;
    long period_ns;            // a worker's pause after a failed step
    bool cond_ready;
    bool lock_ready;
    pthread_t periodic_thread;
    pthread_t rx_thread;
    pthread_t tx_thread;
    bool periodic_started;
    bool rx_started;
    bool tx_started;
};

// ---- The handle ------------------------------------------------------------------------

constexpr size_t CV_ERROR_BUFFER_SIZE = 256;  // CURL_ERROR_SIZE

struct cv_cloud_handle {
    int query_method;  // CV_QUERY_METHOD_TCP
    cv_cloud_opts options;
    uint8_t endpoint_uuid[16];
    char* server;  // host only, after the port was split off
    std::atomic<uint32_t> flags;  // CV_HANDLE_FLAG_*

    cv_periodic periodic;
    uint16_t retro_nonce;      // 0 = none drawn yet
    uint16_t ping_conn_id;     // conn_id the last ping went out on
    int64_t last_online;
    int64_t last_detection_count;

    cv_cloud_stats stats;

    char error_buffer[CV_ERROR_BUFFER_SIZE];
    char peer_address[65];  // IP address text of the connected server, "<unknown>" when not known
    void* stream;           // connect-only stream, or null
    const cv_stream_ops* stream_ops;
    int socket;             // socket of the stream, -1 when not connected
    uint16_t conn_id;       // increased on every successful connection
    // Increased (under the socket lock, exclusive) whenever a stream is
    // closed: a request sent under an older value went out on a connection
    // that is gone and is sent again.
    std::atomic<uint32_t> disconnect_gen;
    struct timeval last_attempt;  // monotonic
    // Increased when the proxy or the client credentials change: a
    // connection set up with the old ones while they changed is not used.
    std::atomic<uint32_t> settings_gen;
    // The server's "unknown CA" alert was read on the current connection
    // (seen by the TLS layer itself: the stream's error text keeps only the
    // first error of a connection, which may be the write that met the reset).
    std::atomic<bool> unknown_ca_alert;

    pthread_mutex_t client_auth_mutex;
    X509* client_cert;
    EVP_PKEY* client_keypair;

    uint8_t refresh;
    int64_t last_refresh;  // monotonic seconds, 0 = never

    cv_cloud_conn_failure_cb conn_failure_cb;
    cv_cloud_conn_attempt_cb conn_attempt_cb;
    void* conn_cb_data;

    cv_transfer_state transfer;

    cv_async_mutex async_mutex;
    pthread_rwlock_t socket_lock;
    cv_async_state async;

    // Idle workers sleep until an event, not from period to period.
    struct cv_idle {
        // eventfd that ends the receive worker's socket wait (stop, or a
        // thread that wants the socket lock exclusively); -1 without engine.
        int wake_fd = -1;
        // Threads waiting for the socket lock exclusively: the receive worker
        // does not start a socket wait while any does.
        std::atomic<uint32_t> writers_waiting{0};
        // Passes of the three workers' loops (diagnostics; tests count them).
        std::atomic<uint64_t> wakeups{0};
        // When the periodic worker next looks (monotonic microseconds), under
        // the async mutex: a request due earlier wakes it.
        int64_t periodic_due_usec = 0;
    } idle;
};
