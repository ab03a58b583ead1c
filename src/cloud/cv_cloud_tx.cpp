// The sending side of the query engine: the transmit worker, which writes
// the queued lookups together (up to 16 KiB per stream write), and a caller
// writing its own lookup on an idle connection. Whoever sends holds the
// sending side (`tx_busy`, under the async mutex) and alone touches the
// output buffer; the stream is used under the socket lock, shared.
#include <algorithm>
#include <cstdlib>

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_engine.h"
#include "cloud/cv_cloud_lock.h"
#include "cloud/cv_cloud_transport.h"

namespace cv_engine {

namespace {

// A caller writes its own frame only while at most this many requests
// (its own included) are in flight; beyond, the transmit worker batches.
constexpr uint32_t CV_DIRECT_SEND_MAX_IN_FLIGHT = 4;

// Requests written with one stream write: what the transmit worker found
// queued, or a caller's own frame.
constexpr int TX_BATCH_MAX = 128;
// A write stops taking frames once it holds this many bytes (a TLS record).
constexpr int32_t TX_BATCH_BYTES = 16384;

struct tx_batch {
    cv_async_request* requests[TX_BATCH_MAX];
    // Their first queries, taken under the async mutex: the request's array
    // moves when identical lookups attach meanwhile.
    CorvaneQuery_t* queries[TX_BATCH_MAX];
    uint8_t truncated[TX_BATCH_MAX];
    int count = 0;
    int staged = 0;              // the first `staged` requests went into the write
    bool encode_failed = false;  // requests[0] cannot be encoded (nothing staged then)
    int rc = SEND_CLOSED;        // result of the write
    uint16_t conn_id = 0;
    uint32_t gen = 0;            // disconnect generation of the connection written on
    char error_text[CV_ERROR_BUFFER_SIZE];
};

// One write on the current connection, under the socket lock (shared), by
// the holder of the sending side: `send` runs when a stream is up, else the
// result is SEND_CLOSED. `gen` (optional) receives the connection's
// disconnect generation. When the write finds the connection broken, what
// the server sent before is read while the lock is still held, so that its
// alert is in `error_text` whichever thread met the failure first.
template <typename Send>
int send_on_connection(cv_cloud_handle* handle, Send send, uint16_t* conn_id, uint32_t* gen, char* error_text) {
    int rc = SEND_CLOSED;
    error_text[0] = '\0';
    if (!_cv_lock_rw(handle, &handle->socket_lock, 0))
        return rc;
    *conn_id = handle->conn_id;
    if (gen)
        *gen = handle->disconnect_gen.load();
    if (handle->socket >= 0 && handle->stream && handle->stream_ops) {
        rc = send();
        if (rc == SEND_CLOSED)
            _cv_read_after_failure(handle, error_text);
    }
    _cv_unlock_rw(handle, &handle->socket_lock);
    return rc;
}

// Frames the batch's queries into the output buffer, after the rest of a
// half-sent frame has gone, and writes them with one stream write until
// `deadline`. The first frame is encoded as if alone; a later one only
// when it fits whole, else it waits for the next write.
void write_batch(cv_cloud_handle* handle, tx_batch* b, int64_t deadline) {
    b->rc = send_on_connection(
        handle,
        [&] {
            int rc = _cv_send_outbuf(handle);
            if (rc != SEND_SUCCESS)
                return rc;
            while (b->staged < b->count && handle->transfer.outbuf_pending < TX_BATCH_BYTES) {
                rc = _cv_stage_query(handle, b->queries[b->staged], &b->truncated[b->staged]);
                if (rc != 0) {
                    b->encode_failed = rc < 0;
                    break;
                }
                b->staged++;
            }
            if (b->staged == 0)
                return SEND_SUCCESS;
            cv_log_trace(CV_TRACE_DEFAULT, "%s(): queued to %s, %d frame(s), %ld bytes, sending", "_cv_send_tcp",
                         handle->peer_address, b->staged, static_cast<long>(handle->transfer.outbuf_pending));
            return _cv_write_outbuf(handle, deadline);
        },
        &b->conn_id, &b->gen, b->error_text);
}

// After the write (async mutex held): the written requests count as sent;
// the others go back to the head of the queue, in their order, keeping
// their txids. Returns the request to fail because it cannot be encoded
// (marked finishing), or null; `worker` false leaves that to the transmit
// worker, so that callbacks run on the workers only.
cv_async_request* settle_batch(cv_cloud_handle* handle, tx_batch* b, bool worker) {
    const bool written = b->rc == SEND_SUCCESS || b->rc == SEND_PARTIAL;
    const uint32_t gen_now = handle->disconnect_gen.load();
    cv_async_request* failed = nullptr;
    for (int i = b->count - 1; i >= 0; i--) {
        cv_async_request* request = b->requests[i];
        request->state &= ~CV_REQ_SENDING;
        if (request->rx_intent)
            pthread_cond_broadcast(&handle->async.sent_cond);
        if (written && i < b->staged) {
            handle->stats.sends++;
            if (b->truncated[i])
                request->status |= CV_STATUS_TRUNCATED;
            if (is_ping_request(request))
                handle->ping_conn_id = b->conn_id;
            request->sent_gen = b->gen;
            // The connection went away while this frame was written: the
            // re-queue pass may have missed it, so it goes again now.
            if (gen_now != b->gen && !request->rx_intent)
                queue_request(handle, request, true);
            continue;
        }
        if (b->encode_failed && i == 0 && worker) {
            cv_log_error("%s(): queryfunc failed for query method %d with %d", "_cv_process_txqitem",
                         handle->query_method, -1);
            // With a response waiting, the receive worker finishes it.
            if (!request->rx_intent) {
                request->state |= CV_REQ_FINISHING;
                failed = request;
            }
            continue;
        }
        if (!written)
            handle->stats.send_retries++;
        queue_request(handle, request, true);
    }
    return failed;
}

// Whether the rest of a half-sent frame waits in the output buffer (async
// mutex held and the sending side free; the socket lock comes after it).
bool output_pending(cv_cloud_handle* handle) {
    if (!_cv_lock_rw(handle, &handle->socket_lock, 0))
        return false;
    bool pending = handle->socket >= 0 && handle->transfer.outbuf_pending > 0;
    _cv_unlock_rw(handle, &handle->socket_lock);
    return pending;
}

// A stream is up and nothing waits in the output buffer (as above).
bool stream_idle(cv_cloud_handle* handle) {
    if (!_cv_lock_rw(handle, &handle->socket_lock, 0))
        return false;
    bool idle = handle->socket >= 0 && handle->transfer.outbuf_pending == 0;
    _cv_unlock_rw(handle, &handle->socket_lock);
    return idle;
}

// Gives the sending side back (async mutex held) and wakes the transmit
// worker when there is work for it: what was queued meanwhile (unless the
// receive worker, giving it back, comes round to send it), the rest of a
// half-sent frame, or the shutdown waiting for the side.
void release_sender(cv_cloud_handle* handle, bool receiver = false) {
    cv_async_state* a = &handle->async;
    a->tx_busy = false;
    const bool queue_waits = a->txq_head && !(receiver && a->rx_will_send.load(std::memory_order_relaxed));
    if (queue_waits || stopping(handle) || output_pending(handle))
        pthread_cond_broadcast(&a->cond);
}

// The end of a failed or unfinished write, without locks.
void after_write(cv_cloud_handle* handle, tx_batch* b, cv_async_request* failed, const char* who) {
    if (failed)
        _cv_finish_query(handle, failed, nullptr, CV_STATUS_FAILED);
    if (b->rc == SEND_CLOSED) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): queryfunc returned SEND_CLOSED, disconnecting", "_cv_process_txqitem");
        connection_broken(handle, b->conn_id, b->error_text, who);
    }
}

// Sends a message item alone (sending side held, no lock); a failed
// acknowledgement is logged and dropped.
void send_message_item(cv_cloud_handle* handle, cv_txq_item* item) {
    uint16_t conn_id = 0;
    char error_text[CV_ERROR_BUFFER_SIZE];
    int rc = send_on_connection(
        handle, [&] { return _cv_send_message(handle, item->message); }, &conn_id, nullptr, error_text);
    if (rc != SEND_SUCCESS && rc != SEND_PARTIAL) {
        cv_log_error("%s: _cv_send_message failed with %d.", "_cv_process_txqitem", rc);
        if (rc == SEND_CLOSED)
            connection_broken(handle, conn_id, error_text, "_cv_worker_tx");
    } else if (cv_cloud_async_lock(handle)) {
        handle->stats.acks_sent++;
        cv_cloud_async_unlock(handle);
    }
    ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, item->message);
    free(item);
}

// Takes the queries that follow one another at the head of the queue into
// `b`, takes the sending side for them and writes them until `deadline`
// (async mutex held, released here). `receiver`: the receive worker writes,
// and sends what is queued meanwhile at the end of its next pass.
void send_queued(cv_cloud_handle* handle, tx_batch* b, int64_t deadline, bool receiver) {
    cv_async_state* a = &handle->async;
    while (b->count < TX_BATCH_MAX && a->txq_head && a->txq_head->request) {
        cv_txq_item* item = a->txq_head;
        txq_unlink(a, item);
        cv_async_request* request = item->request;
        request->txq_item = nullptr;
        if (request->state & CV_REQ_FINISHING)
            continue;  // timed out while queued: its finish is under way
        request->state |= CV_REQ_SENDING;
        b->queries[b->count] = request->queries[0];
        b->requests[b->count++] = request;
    }
    if (b->count == 0) {
        cv_cloud_async_unlock(handle);
        return;
    }
    a->tx_busy = true;
    cv_cloud_async_unlock(handle);

    write_batch(handle, b, deadline);

    cv_cloud_async_lock(handle);
    cv_async_request* failed = settle_batch(handle, b, true);
    release_sender(handle, receiver);
    cv_cloud_async_unlock(handle);
    after_write(handle, b, failed, receiver ? "_cv_worker_rx" : "_cv_worker_tx");
}

// Sends what heads the queue: a message alone, or the queries that follow
// one another there, together. Called with the async mutex held and the
// sending side free; releases the mutex.
void _cv_process_txqitem(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    cv_txq_item* head = a->txq_head;
    if (head->message || !head->request) {
        txq_unlink(a, head);
        if (!head->message) {
            cv_cloud_async_unlock(handle);
            cv_log_error("%s: DANGER: unhandled qitem!", "_cv_process_txqitem");
            free(head);
            return;
        }
        a->tx_busy = true;
        cv_cloud_async_unlock(handle);
        send_message_item(handle, head);
        if (cv_cloud_async_lock(handle)) {
            release_sender(handle);
            cv_cloud_async_unlock(handle);
        }
        return;
    }
    tx_batch batch;
    send_queued(handle, &batch, _cv_transfer_deadline(handle), false);
    if (batch.rc == SEND_CLOSED || batch.rc == SEND_RETRY)
        sleep_period(handle);
}

// Writes the rest of a half-sent frame as soon as the socket takes it (one
// transfer wait at a time), rather than with the next frame: its answer may
// be all that the caller waits for. The sending side is held.
void flush_output(cv_cloud_handle* handle) {
    uint16_t conn_id = 0;
    char error_text[CV_ERROR_BUFFER_SIZE];
    int rc = send_on_connection(
        handle,
        [&] {
            cv_log_trace(CV_TRACE_DEFAULT, "%s(): writing the %ld bytes left of a frame", "_cv_worker_tx",
                         static_cast<long>(handle->transfer.outbuf_pending));
            return _cv_write_outbuf(handle, _cv_transfer_deadline(handle));
        },
        &conn_id, nullptr, error_text);
    if (rc == SEND_CLOSED)
        connection_broken(handle, conn_id, error_text, "_cv_worker_tx");
}

// After a refused connection attempt: sleeps until the reconnect wait lets
// the next one go, at least a pause (a refusal before any attempt, such as
// no certificate yet, is asked again after a pause). `last_attempt` is
// written by this worker only.
void sleep_until_next_attempt(cv_cloud_handle* handle) {
    long ns = handle->async.period_ns;
    if (handle->last_attempt.tv_sec != 0) {
        struct timeval now;
        _cv_now(&now);
        const int64_t left = cv_tv_usec(handle->last_attempt) + cv_tv_usec(handle->options.reconnect_wait) -
                             cv_tv_usec(now);
        ns = static_cast<long>(std::clamp<int64_t>(left, ns / 1000, CV_IDLE_WAIT_USEC) * 1000);
    }
    sleep_for(handle, ns);
}

}  // namespace

// Gives up connection `conn_id`, which broke under `worker`. A client
// certificate the server refused shows in `error_text` as its "unknown CA"
// alert; it is dropped then, so that the next attempt asks for a new one
// instead of repeating the refused handshake.
void connection_broken(cv_cloud_handle* handle, uint16_t conn_id, const char* error_text, const char* worker) {
    if (_cv_check_unknown_ca(handle, error_text))
        cv_log_error("%s(): the server refused our certificate (alert unknown ca), we remove current "
                     "certificate to obtain a new one via EST",
                     worker);
    _cv_disconnect(handle, 0, conn_id);
}

// Whether a stream is up (async mutex held; the socket lock comes after it).
bool connected(cv_cloud_handle* handle) {
    if (!_cv_lock_rw(handle, &handle->socket_lock, 0))
        return false;
    bool up = handle->socket >= 0;
    _cv_unlock_rw(handle, &handle->socket_lock);
    return up;
}

// A caller writes its own new request when the connection is idle (async
// mutex held once, request in both trees and not queued): nothing queued,
// nobody sending, nothing half-sent, and few requests in flight (under load
// the transmit worker's batches write more per stream write). It never
// connects and never waits for the socket: what the socket does not take at
// once, the transmit worker writes. Returns false (nothing done) when the
// request is to be queued instead; true after the attempt, the mutex released.
bool send_directly(cv_cloud_handle* handle, cv_async_request* request) {
    cv_async_state* a = &handle->async;
    if (a->txq_head || a->tx_busy || a->outstanding > CV_DIRECT_SEND_MAX_IN_FLIGHT || stopping(handle) ||
        handle->async_mutex.depth != 1 || !stream_idle(handle))
        return false;
    a->tx_busy = true;
    request->state |= CV_REQ_SENDING;

    tx_batch batch;
    batch.requests[0] = request;
    batch.queries[0] = request->queries[0];
    batch.count = 1;
    cv_cloud_async_unlock(handle);
    write_batch(handle, &batch, _cv_monotonic_usec());

    cv_cloud_async_lock(handle);
    settle_batch(handle, &batch, false);
    release_sender(handle);
    cv_cloud_async_unlock(handle);
    after_write(handle, &batch, nullptr, "cv_cloud_query_async");
    return true;
}

void send_for_receiver(cv_cloud_handle* handle) {
    cv_async_state* a = &handle->async;
    const bool up = !stopping(handle) && connected(handle);
    a->rx_will_send = up;
    if (!up || a->tx_busy || !a->txq_head || !a->txq_head->request || !stream_idle(handle)) {
        // Nothing for it to write: a message heads the queue, whoever holds
        // the sending side takes the queue when done, the transmit worker
        // has the rest of a frame to write first (the receive worker must
        // not wait for the socket), or there is no stream.
        const bool wake = a->txq_head != nullptr && !a->tx_busy;
        cv_cloud_async_unlock(handle);
        if (wake)
            pthread_cond_broadcast(&a->cond);
        return;
    }
    // As a caller writes its own lookup: without waiting for the socket;
    // what it does not take, the transmit worker writes.
    tx_batch batch;
    send_queued(handle, &batch, _cv_monotonic_usec(), true);
}

void* _cv_worker_tx(void* arg) {
    auto* handle = static_cast<cv_cloud_handle*>(arg);
    cv_async_state* a = &handle->async;
    while (!stopping(handle)) {
        if (!cv_cloud_async_lock(handle)) {
            sleep_period(handle);
            continue;
        }
        // Every change that gives this worker work broadcasts `cond`: an item
        // queued (by a submitter, unless the receive worker will send it and
        // then hands over in _cv_async_receiver_waits; a message; a request
        // put back), the sending side given back with work left
        // (release_sender), and the stop. The cap is a safety net for that
        // hand-over between the receive worker and submitters, the one path
        // whose signal depends on another thread's flag.
        while (!stopping(handle) && (a->tx_busy || (!a->txq_head && !output_pending(handle)))) {
            struct timespec deadline = deadline_in(CV_IDLE_WAIT_USEC * 1000);
            cv_cloud_async_lock_cond_timedwait(&a->cond, handle, &deadline);
            note_wakeup(handle);
        }
        if (stopping(handle) || a->tx_busy) {
            cv_cloud_async_unlock(handle);
            continue;
        }
        if (!a->txq_head) {
            const bool pending = output_pending(handle);
            a->tx_busy = pending;
            cv_cloud_async_unlock(handle);
            if (pending) {
                flush_output(handle);
                if (cv_cloud_async_lock(handle)) {
                    release_sender(handle);
                    cv_cloud_async_unlock(handle);
                }
            }
            continue;
        }
        if (connected(handle)) {
            // The usual case: straight on, without letting go of the lock.
            _cv_process_txqitem(handle);
            continue;
        }
        cv_cloud_async_unlock(handle);
        if (_cv_handle_connect(handle) != 0) {
            cv_log_trace(CV_TRACE_DEFAULT, "%s(): _cv_handle_connect failed, waiting.", "_cv_worker_tx");
            sleep_until_next_attempt(handle);
            continue;
        }
        // The receive worker waits for a stream: the answer may come at once.
        if (cv_cloud_async_lock(handle)) {
            pthread_cond_broadcast(&a->wake_cond);
            cv_cloud_async_unlock(handle);
        }
    }
    return nullptr;
}

}  // namespace cv_engine
