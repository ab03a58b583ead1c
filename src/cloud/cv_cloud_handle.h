// The cloud handle: one per connection to the cloud lookup service. This
// record holds what the lock functions and the transport need; connection
// management and the query engine add their fields to it.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>

// The only supported query method: a TLS stream carrying frames.
constexpr int CV_QUERY_METHOD_TCP = 6;

// Capacity of each transfer buffer and the largest accepted frame length field.
constexpr int32_t TRANSPORT_MAX_SIZE = 65791;  // 0x100FF

// Handle flags.
constexpr uint32_t CV_HANDLE_FLAG_ASYNC = 0x1;  // the query engine runs (set by _cv_async_init)
constexpr uint32_t CV_HANDLE_FLAG_STOP = 0x2;   // the engine's workers are told to end

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

// The async mutex with its diagnostics.
struct cv_async_mutex {
    pthread_mutex_t mutex;      // recursive
    struct timeval acquired_at;  // outermost acquisition (monotonic clock)
    const char* owner_tag;       // caller tag of the outermost acquirer, or null
    uint32_t depth;              // nested acquisitions by the owner
};

// Options copied into the handle. Only the fields the transport reads so far.
struct cv_cloud_opts {
    struct timeval timeout;  // query time-out and synchronous transfer wait (default 5 s)
};

struct cv_cloud_stats {
    uint64_t async_locks;
    uint64_t async_unlocks;
};

// Per-handle transfer state: the two frame buffers.
struct cv_transfer_state {
    unsigned char outbuf[TRANSPORT_MAX_SIZE];
    unsigned char* outbuf_cursor;  // first byte not yet written
    int32_t outbuf_pending;        // bytes from the cursor not yet written; 0 = free
    unsigned char inbuf[TRANSPORT_MAX_SIZE];
    int32_t inbuf_fill;            // valid bytes, starting at a frame boundary
    pthread_mutex_t transfer_mutex;  // held around every single stream send and receive
};

struct cv_cloud_handle {
    int query_method;  // CV_QUERY_METHOD_TCP
    cv_cloud_opts options;
    uint32_t flags;  // CV_HANDLE_FLAG_*

    cv_cloud_stats stats;

    char peer_address[65];  // IP address text of the connected server, "<unknown>" when not known
    void* stream;           // connect-only stream, or null
    const cv_stream_ops* stream_ops;
    int socket;             // socket of the stream, -1 when not connected
    uint16_t conn_id;       // increased on every successful connection

    cv_transfer_state transfer;

    cv_async_mutex async_mutex;
    pthread_rwlock_t socket_lock;
};
