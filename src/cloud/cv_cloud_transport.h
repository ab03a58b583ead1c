// Framing over a handle's byte stream: the output buffer with its
// partial-write handling, the input buffer that assembles received frames,
// and socket polling. The stream itself (connect-only TLS) is opened and
// closed by connection management; these functions only use
// handle->stream, handle->stream_ops and handle->socket.
//
// Concurrency: every single stream send and receive runs under the transfer
// mutex (not held while polling); the buffers are serialised by the socket
// lock of the caller (receive side and transmit side use separate buffers).
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "CorvaneMessage.h"
#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"
#include "cloud/cv_cloud_handle.h"

// Results of the send and receive operations.
constexpr int RECV_SUCCESS = 0;
constexpr int SEND_SUCCESS = 0;
constexpr int RECV_CLOSED = -4;    // peer closed, stream ended, or the input buffer would overflow
constexpr int RECV_ERROR = -5;     // stream or poll error, bad kind, oversized length, undecodable payload
constexpr int RECV_NONE = -6;      // nothing complete within the wait, zero length, or not connected
constexpr int SEND_CLOSED = -41;   // not connected, or the stream refused the write
constexpr int SEND_RETRY = -42;    // leftover bytes of an earlier frame cannot be flushed; nothing queued
constexpr int SEND_PARTIAL = -43;  // part of the frame written; the rest goes out before the next frame

// Largest single stream read (one TLS record's worth).
constexpr int32_t CV_RECV_CHUNK = 16384;

// Transfer state set-up and tear-down (the transfer mutex); 0 or the pthread error.
int _cv_transfer_init(cv_cloud_handle* handle);
int _cv_transfer_destroy(cv_cloud_handle* handle);
// Empties and zeroes both buffers (on disconnect).
void _cv_transfer_clear(cv_cloud_handle* handle);

// The wait of a transfer: 100 ms on an asynchronous handle, the options'
// time-out on a synchronous one. Receives on a handle with the engine wait
// longer (_cv_receive_deadline).
void _cv_fill_timeout_tv(cv_cloud_handle* handle, struct timeval* wait);

// Transfers end by an absolute deadline on the monotonic clock (microseconds),
// so that time spent in the stream counts as well as time spent polling.
int64_t _cv_monotonic_usec();
// Now plus the handle's wait.
int64_t _cv_transfer_deadline(cv_cloud_handle* handle);

// One poll of `socket` for readability or writability until `deadline`.
// Positive when ready, 0 when the deadline passed (also at once when it has
// already passed) or on interruption, RECV_ERROR on failure.
int _cv_poll_fd(int socket, int64_t deadline, int for_writing);

// ---- The receive worker's wait ----------------------------------------------------
//
// On a handle with the engine, the receive worker waits for the socket with a
// long window (CV_IDLE_WAIT_USEC) holding the socket lock shared; an
// eventfd ends the wait at once when the engine stops or a thread wants the
// lock exclusively, so neither waits the window out.

// The longest idle wait of a worker: how long one receive waits for a silent
// socket with the wake-up descriptor open, and the cap of the transmit and
// periodic workers' sleeps. A safety net only: every event that gives a
// worker work ends its wait, so a missed signal costs at most this.
constexpr int64_t CV_IDLE_WAIT_USEC = 5000000;
// The wait was ended by a wake-up, not by the socket or the deadline.
constexpr int CV_WAIT_WOKEN = -7;

// Opens (0, or -1 logged) and closes the handle's wake-up descriptor.
int _cv_wake_open(cv_cloud_handle* handle);
void _cv_wake_close(cv_cloud_handle* handle);
// Ends the receive worker's current or next socket wait (after the stop flag is set).
void _cv_wake_receiver(cv_cloud_handle* handle);
// Around taking the socket lock exclusively: the receive worker lets go of
// it at once and starts no socket wait until the writer is in.
void _cv_writer_arrives(cv_cloud_handle* handle);
void _cv_writer_entered(cv_cloud_handle* handle);
// The deadline of a receive: the long window with the wake-up descriptor,
// else the transfer deadline.
int64_t _cv_receive_deadline(cv_cloud_handle* handle);
// Waits until the socket is readable (positive), `deadline` passes or the
// wait is interrupted (0), a wake-up came or is pending (CV_WAIT_WOKEN), or
// polling failed (RECV_ERROR). Without the descriptor, a plain _cv_poll_fd.
int _cv_wait_readable(cv_cloud_handle* handle, int64_t deadline);

// Sending: SEND_SUCCESS, SEND_PARTIAL, SEND_CLOSED, SEND_RETRY, or -1 when
// encoding failed (nothing queued).
int _cv_send_tcp(cv_cloud_handle* handle, CorvaneQuery_t* query, uint8_t* truncated);
int _cv_send_message(cv_cloud_handle* handle, CorvaneMessage_t* message);
// Encodes `query` as a frame after the frames staged in the output buffer
// (none of them written yet), for one write of several frames. The first
// frame is encoded as _cv_send_tcp would, with the whole buffer; a later one
// only when it fits whole with its execution context. 0 staged, 1 not staged
// (stage it first in a later write), -1 encoding failed (logged).
int _cv_stage_query(cv_cloud_handle* handle, CorvaneQuery_t* query, uint8_t* truncated);
int _cv_send_outbuf(cv_cloud_handle* handle);
int _cv_write_outbuf(cv_cloud_handle* handle, int64_t deadline);

// The stream's last error text, copied under the transfer mutex into `text`
// (CV_ERROR_BUFFER_SIZE bytes).
void _cv_copy_error_text(cv_cloud_handle* handle, char* text);
// After a write found the connection broken: reads and discards what the
// peer sent before it broke, without waiting, so that a TLS alert waiting
// there (it is reported only when read) reaches the error text; then copies
// the error text as above. Only for a connection that is being given up.
void _cv_read_after_failure(cv_cloud_handle* handle, char* text);

// Receiving one frame within the handle's wait. On RECV_SUCCESS exactly one
// of the outputs is set (and owned by the caller).
//
// `quiet` (optional) carries from one call to the next on the same stream
// that its last read said "try again" and the socket then stayed silent
// until the deadline. Such a stream holds nothing (what it had buffered was
// read), so the next call waits for the socket before reading rather than
// make a read that can only say "try again": an idle connection costs one
// poll per wait. The call sets it again for the next one; whoever switches
// the stream, or reads from it elsewhere, starts again with false.
int _cv_receive_tcp(cv_cloud_handle* handle, CorvaneQueryResponse_t** response, CorvaneMessage_t** message,
                    bool* quiet = nullptr);
// Whether a whole frame waits in the input buffer (the next _cv_receive_tcp
// then needs no read).
bool _cv_frame_buffered(cv_cloud_handle* handle);
// Reads one whole frame into the input buffer; RECV_SUCCESS with its kind.
int _cv_read_message(cv_cloud_handle* handle, int64_t deadline, uint8_t* kind, bool* quiet = nullptr);
// Reads until `wanted` bytes are buffered: 1 reached, 0 deadline passed, or
// RECV_ERROR / RECV_CLOSED. Each read takes what the stream has (up to a
// chunk), so bytes of later frames may follow; _cv_receive_tcp keeps them.
int _cv_read_inbuf(cv_cloud_handle* handle, int32_t wanted, int64_t deadline, bool* quiet = nullptr);
// Appends n bytes to the input buffer: n, or -1 when they do not fit.
long _cv_append_inbuf(cv_cloud_handle* handle, const unsigned char* bytes, long n);
