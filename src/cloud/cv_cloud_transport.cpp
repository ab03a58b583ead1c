#include "cloud/cv_cloud_transport.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cloud/cv_cloud_async.h"
#include "cloud/cv_cloud_lock.h"
#include "cloud/cv_codec.h"

static_assert(CV_STREAM_AGAIN == CURLE_AGAIN && CV_STREAM_UNSUPPORTED == CURLE_UNSUPPORTED_PROTOCOL,
              "stream codes are curl's");

namespace {

int curl_stream_send(void* stream, const void* buffer, size_t length, size_t* sent) {
    return curl_easy_send(static_cast<CURL*>(stream), buffer, length, sent);
}

int curl_stream_recv(void* stream, void* buffer, size_t length, size_t* received) {
    return curl_easy_recv(static_cast<CURL*>(stream), buffer, length, received);
}

const char* curl_stream_strerror(int code) { return curl_easy_strerror(static_cast<CURLcode>(code)); }

const char* stream_error_text(const cv_cloud_handle* handle, int code) {
    const char* text = handle->stream_ops && handle->stream_ops->strerror ? handle->stream_ops->strerror(code) : nullptr;
    return text ? text : "";
}

// Drops the first n buffered bytes; what was read beyond them starts the next frame.
// Nothing moves here: many frames read at once are decoded where they lie,
// and only the start of a frame still incomplete moves, when more is read.
void consume_inbuf(cv_transfer_state* t, size_t n) {
    t->inbuf_fill -= static_cast<int32_t>(n);
    t->inbuf_start = t->inbuf_fill > 0 ? t->inbuf_start + static_cast<int32_t>(n) : 0;
}

void reset_inbuf(cv_transfer_state* t) {
    t->inbuf_start = 0;
    t->inbuf_fill = 0;
}

// The first byte of the buffered input (a frame boundary).
unsigned char* frame_start(cv_transfer_state* t) { return t->inbuf + t->inbuf_start; }

void reset_outbuf(cv_transfer_state* t) {
    t->outbuf_cursor = t->outbuf;
    t->outbuf_pending = 0;
}

}  // namespace

const cv_stream_ops cv_curl_stream_ops = {curl_stream_send, curl_stream_recv, curl_stream_strerror};

int _cv_transfer_init(cv_cloud_handle* handle) {
    reset_outbuf(&handle->transfer);
    reset_inbuf(&handle->transfer);
    return pthread_mutex_init(&handle->transfer.transfer_mutex, nullptr);
}

int _cv_transfer_destroy(cv_cloud_handle* handle) { return pthread_mutex_destroy(&handle->transfer.transfer_mutex); }

void _cv_transfer_clear(cv_cloud_handle* handle) {
    cv_transfer_state* t = &handle->transfer;
    memset(t->outbuf, 0, sizeof t->outbuf);
    memset(t->inbuf, 0, sizeof t->inbuf);
    reset_outbuf(t);
    reset_inbuf(t);
}

void _cv_fill_timeout_tv(cv_cloud_handle* handle, struct timeval* wait) {
    if (handle->query_method != CV_QUERY_METHOD_TCP) {
        cv_log_error("%s(): DANGER: shouldn't be here.", __func__);
        wait->tv_sec = 0;
        wait->tv_usec = 0;
    } else if (handle->flags & CV_HANDLE_FLAG_ASYNC) {
        wait->tv_sec = 0;
        wait->tv_usec = 100000;
    } else {
        *wait = handle->options.timeout;
    }
}

int64_t _cv_monotonic_usec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t _cv_transfer_deadline(cv_cloud_handle* handle) {
    struct timeval wait;
    _cv_fill_timeout_tv(handle, &wait);
    int64_t usec = static_cast<int64_t>(wait.tv_sec) * 1000000 + wait.tv_usec;
    return _cv_monotonic_usec() + (usec > 0 ? usec : 0);
}

namespace {

// One poll of `fds` until `deadline` (see _cv_poll_fd); `who` names the
// caller in the log.
int poll_until(struct pollfd* fds, nfds_t count, int64_t deadline, const char* who) {
    const int64_t left_usec = deadline - _cv_monotonic_usec();
    if (left_usec <= 0)
        return 0;
    // Rounded up, so that a wait of less than a millisecond still waits.
    const int64_t ms = (left_usec + 999) / 1000;
    const int timeout_ms = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    int rc = poll(fds, count, timeout_ms);
    if (rc < 0) {
        int err = errno;
        if (err == EINTR)
            return 0;
        const char* text = strerrordesc_np(err);
        if (text) {
            cv_log_error("%s: poll failed: %s (%d)", who, text, err);
        } else {
            char unknown[64];
            snprintf(unknown, sizeof unknown, "errnum %d [strerror_s() - %d]", err, EINVAL);
            cv_log_error("%s: poll failed: %s (%d)", who, unknown, err);
        }
        return RECV_ERROR;
    }
    return rc;
}

}  // namespace

int _cv_poll_fd(int socket, int64_t deadline, int for_writing) {
    struct pollfd pfd;
    pfd.fd = socket;
    pfd.events = for_writing ? POLLOUT : (POLLIN | POLLPRI);
    pfd.revents = 0;
    return poll_until(&pfd, 1, deadline, __func__);
}

// ---- Waking the receive worker ---------------------------------------------------

int _cv_wake_open(cv_cloud_handle* handle) {
    handle->idle.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (handle->idle.wake_fd < 0) {
        cv_log_error("%s(): eventfd failed with errno = %d", __func__, errno);
        return -1;
    }
    return 0;
}

void _cv_wake_close(cv_cloud_handle* handle) {
    if (handle->idle.wake_fd >= 0)
        close(handle->idle.wake_fd);
    handle->idle.wake_fd = -1;
}

void _cv_wake_receiver(cv_cloud_handle* handle) {
    const int fd = handle->idle.wake_fd;
    if (fd < 0)
        return;
    // A full counter (never in practice) still reads as signalled.
    const uint64_t one = 1;
    ssize_t written = write(fd, &one, sizeof one);
    (void)written;
}

void _cv_writer_arrives(cv_cloud_handle* handle) {
    handle->idle.writers_waiting.fetch_add(1);
    _cv_wake_receiver(handle);
}

void _cv_writer_entered(cv_cloud_handle* handle) { handle->idle.writers_waiting.fetch_sub(1); }

int64_t _cv_receive_deadline(cv_cloud_handle* handle) {
    if (handle->idle.wake_fd < 0)
        return _cv_transfer_deadline(handle);
    return _cv_monotonic_usec() + CV_IDLE_WAIT_USEC;
}

int _cv_wait_readable(cv_cloud_handle* handle, int64_t deadline) {
    const int wake_fd = handle->idle.wake_fd;
    if (wake_fd < 0)
        return _cv_poll_fd(handle->socket, deadline, 0);
    // Whoever wants the wait to end sets its state first and signals after,
    // so it is either seen here or its signal ends the poll.
    if ((handle->flags & CV_HANDLE_FLAG_STOP) || handle->idle.writers_waiting.load() > 0)
        return CV_WAIT_WOKEN;
    struct pollfd fds[2] = {{handle->socket, POLLIN | POLLPRI, 0}, {wake_fd, POLLIN, 0}};
    int rc = poll_until(fds, 2, deadline, "_cv_poll_fd");
    if (rc <= 0)
        return rc;
    if (fds[1].revents) {
        // One read takes every signal so far; the state checked above tells
        // the next wait whether it still holds.
        uint64_t signals;
        ssize_t got = read(wake_fd, &signals, sizeof signals);
        (void)got;
    }
    return fds[0].revents ? 1 : CV_WAIT_WOKEN;
}

namespace {

// After a "try again", or before reading a quiet stream: waits for the
// socket until the deadline. True when an attempt is due; false when the
// deadline passed or polling failed (`*failed` set then). A socket that
// polls ready while the stream keeps saying "again" ends here too once the
// deadline has passed.
bool wait_for_socket(cv_cloud_handle* handle, int64_t deadline, int for_writing, bool* failed) {
    *failed = false;
    int ready = for_writing ? _cv_poll_fd(handle->socket, deadline, 1) : _cv_wait_readable(handle, deadline);
    if (ready == CV_WAIT_WOKEN)
        return false;
    if (for_writing)
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): cv_cumulative_waitfd returned %d", "_cv_write_outbuf", ready);
    *failed = ready < 0;
    return ready > 0 || (ready == 0 && _cv_monotonic_usec() < deadline);
}

}  // namespace

// ---- Sending -------------------------------------------------------------------

int _cv_write_outbuf(cv_cloud_handle* handle, int64_t deadline) {
    cv_transfer_state* t = &handle->transfer;
    while (t->outbuf_pending > 0) {
        size_t sent = 0;
        if (!_cv_lock(&t->transfer_mutex, CV_LOCK_TAG))
            return SEND_CLOSED;
        int rc = handle->stream_ops->send(handle->stream, t->outbuf_cursor, static_cast<size_t>(t->outbuf_pending),
                                          &sent);
        _cv_unlock(&t->transfer_mutex, CV_LOCK_TAG);
        if (rc == CV_STREAM_AGAIN) {
            bool failed;
            if (!wait_for_socket(handle, deadline, 1, &failed))
                break;
            continue;
        }
        if (rc != 0) {
            if (rc != CV_STREAM_UNSUPPORTED)
                cv_log_error("%s(): curl_easy_send failed with error %d (%s)", __func__, rc,
                             stream_error_text(handle, rc));
            return SEND_CLOSED;
        }
        if (sent == 0)
            return SEND_CLOSED;
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): wrote %ld bytes", __func__, static_cast<long>(sent));
        if (sent > static_cast<size_t>(t->outbuf_pending)) {
            cv_log_error("%s(): DANGER: over-sized write: %lld/%lld", __func__, static_cast<long long>(sent),
                         static_cast<long long>(t->outbuf_pending));
            sent = static_cast<size_t>(t->outbuf_pending);
        }
        t->outbuf_cursor += sent;
        t->outbuf_pending -= static_cast<int32_t>(sent);
    }
    return t->outbuf_pending == 0 ? SEND_SUCCESS : SEND_PARTIAL;
}

int _cv_send_outbuf(cv_cloud_handle* handle) {
    cv_transfer_state* t = &handle->transfer;
    if (t->outbuf_pending <= 0)
        return SEND_SUCCESS;
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): leftover %lld bytes in output buffer", __func__,
                 static_cast<long long>(t->outbuf_pending));
    int rc = _cv_write_outbuf(handle, _cv_transfer_deadline(handle));
    if (t->outbuf_pending == 0)
        return SEND_SUCCESS;
    cv_log_error("%s(): failed to flush output buffer (%d), %ld bytes remain", __func__, rc,
                 static_cast<long>(t->outbuf_pending));
    return rc == SEND_CLOSED ? SEND_CLOSED : SEND_RETRY;
}

namespace {

// Flushes leftovers, lets `encode` fill the output buffer with one frame
// (false when encoding failed) and writes it. `failed` and `queued` log.
template <typename Encode, typename Failed, typename Queued>
int send_frame(cv_cloud_handle* handle, Encode encode, Failed failed, Queued queued) {
    if (!handle->stream || !handle->stream_ops)
        return SEND_CLOSED;
    int rc = _cv_send_outbuf(handle);
    if (rc != SEND_SUCCESS)
        return rc;
    cv_transfer_state* t = &handle->transfer;
    size_t size = sizeof t->outbuf;
    if (!encode(t->outbuf, &size)) {
        failed();
        reset_outbuf(t);
        return -1;
    }
    t->outbuf_cursor = t->outbuf;
    t->outbuf_pending = static_cast<int32_t>(size);
    queued(static_cast<long>(size));
    return _cv_write_outbuf(handle, _cv_transfer_deadline(handle));
}

}  // namespace

int _cv_stage_query(cv_cloud_handle* handle, CorvaneQuery_t* query, uint8_t* truncated) {
    cv_transfer_state* t = &handle->transfer;
    if (t->outbuf_pending > 0 && t->outbuf_cursor != t->outbuf)
        return 1;  // the rest of a half-sent frame goes first
    const size_t fill = static_cast<size_t>(t->outbuf_pending);
    size_t size = sizeof t->outbuf - fill;
    uint8_t cut = 0;
    if (fill > 0) {
        // Only whole: as the first frame of a later write it has more room.
        if (cv_encode_query_tcp_whole(query, t->outbuf + fill, &size) != 0)
            return 1;
    } else if (cv_encode_query_tcp(query, t->outbuf, &size, &cut) != 0) {
        cv_log_error("%s(): cv_encode_query_tcp failed", "_cv_send_tcp");
        return -1;
    }
    if (truncated)
        *truncated = cut;
    t->outbuf_cursor = t->outbuf;
    t->outbuf_pending = static_cast<int32_t>(fill + size);
    return 0;
}

int _cv_send_tcp(cv_cloud_handle* handle, CorvaneQuery_t* query, uint8_t* truncated) {
    if (truncated)
        *truncated = 0;
    return send_frame(
        handle,
        [&](unsigned char*, size_t* size) {
            if (_cv_stage_query(handle, query, truncated) != 0)
                return false;
            *size = static_cast<size_t>(handle->transfer.outbuf_pending);
            return true;
        },
        [] {},
        [&](long size) {
            cv_log_trace(CV_TRACE_DEFAULT, "%s(): queued to %s, %ld bytes, sending", "_cv_send_tcp",
                         handle->peer_address, size);
        });
}

int _cv_send_message(cv_cloud_handle* handle, CorvaneMessage_t* message) {
    return send_frame(
        handle, [&](unsigned char* frame, size_t* size) { return cv_encode_message(message, frame, size) == 0; },
        [&] { cv_log_error("%s: cv_encode_message failed.", "_cv_send_message"); },
        [&](long size) { cv_log_trace(CV_TRACE_DEFAULT, "%s: queued message, %ld bytes.", "_cv_send_message", size); });
}

// ---- Errors --------------------------------------------------------------------

void _cv_copy_error_text(cv_cloud_handle* handle, char* text) {
    cv_transfer_state* t = &handle->transfer;
    text[0] = '\0';
    if (!_cv_lock(&t->transfer_mutex, CV_LOCK_TAG))
        return;
    memcpy(text, handle->error_buffer, CV_ERROR_BUFFER_SIZE);
    text[CV_ERROR_BUFFER_SIZE - 1] = '\0';
    _cv_unlock(&t->transfer_mutex, CV_LOCK_TAG);
}

void _cv_read_after_failure(cv_cloud_handle* handle, char* text) {
    // Bounded: a broken connection has at most what was in flight.
    constexpr int max_reads = 8;
    cv_transfer_state* t = &handle->transfer;
    unsigned char discard[CV_RECV_CHUNK];
    for (int i = 0; i < max_reads && handle->stream && handle->stream_ops; i++) {
        size_t received = 0;
        if (!_cv_lock(&t->transfer_mutex, CV_LOCK_TAG))
            break;
        int rc = handle->stream_ops->recv(handle->stream, discard, sizeof discard, &received);
        _cv_unlock(&t->transfer_mutex, CV_LOCK_TAG);
        if (rc != 0 || received == 0)
            break;
    }
    _cv_copy_error_text(handle, text);
}

// ---- Receiving -----------------------------------------------------------------

long _cv_append_inbuf(cv_cloud_handle* handle, const unsigned char* bytes, long n) {
    if (n <= 0)
        return n;
    if (n > TRANSPORT_MAX_SIZE)
        return -1;
    cv_transfer_state* t = &handle->transfer;
    if (static_cast<long>(t->inbuf_fill) + n >= TRANSPORT_MAX_SIZE + 1L) {
        cv_log_error("%s(): %ld-byte write would overflow", __func__, n);
        return -1;
    }
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): appending %ld bytes, %ld bytes in buffer %ld total", __func__, n,
                 static_cast<long>(t->inbuf_fill), static_cast<long>(t->inbuf_fill) + n);
    if (static_cast<long>(t->inbuf_start) + t->inbuf_fill + n > TRANSPORT_MAX_SIZE) {
        memmove(t->inbuf, frame_start(t), static_cast<size_t>(t->inbuf_fill));
        t->inbuf_start = 0;
    }
    memcpy(frame_start(t) + t->inbuf_fill, bytes, static_cast<size_t>(n));
    t->inbuf_fill += static_cast<int32_t>(n);
    return n;
}

int _cv_read_inbuf(cv_cloud_handle* handle, int32_t wanted, int64_t deadline, bool* quiet) {
    cv_transfer_state* t = &handle->transfer;
    unsigned char staging[CV_RECV_CHUNK];
    // A quiet stream holds nothing: a read could only say "try again".
    bool wait_first = quiet && *quiet;
    if (quiet)
        *quiet = false;
    while (t->inbuf_fill < wanted) {
        if (wait_first) {
            bool failed;
            _cv_async_receiver_waits(handle);
            if (wait_for_socket(handle, deadline, 0, &failed)) {
                wait_first = false;
                continue;
            }
            if (failed)
                return RECV_ERROR;
            if (quiet)
                *quiet = true;
            break;
        }
        // As much as there is room for, up to a chunk: under load one read
        // brings many frames, which then cost no read of their own. A frame
        // that cannot fit asks for its whole rest, so that the append refuses it.
        const int32_t room = std::max(wanted, TRANSPORT_MAX_SIZE) - t->inbuf_fill;
        size_t ask = static_cast<size_t>(std::min(room, CV_RECV_CHUNK));
        size_t received = 0;
        if (!_cv_lock(&t->transfer_mutex, CV_LOCK_TAG))
            return RECV_ERROR;
        int rc = handle->stream_ops->recv(handle->stream, staging, ask, &received);
        _cv_unlock(&t->transfer_mutex, CV_LOCK_TAG);
        if (rc == CV_STREAM_AGAIN) {
            // Between frames the reader polls on its own (the receive worker
            // without the receive side, so that a caller may take it).
            if (quiet && t->inbuf_fill == 0) {
                *quiet = true;
                break;
            }
            wait_first = true;
            continue;
        }
        if (rc == CV_STREAM_UNSUPPORTED || (rc == 0 && received == 0))
            return RECV_CLOSED;
        if (rc != 0) {
            cv_log_error("%s(): curl_easy_recv failed with error %d (%s)", __func__, rc, stream_error_text(handle, rc));
            return RECV_ERROR;
        }
        if (_cv_append_inbuf(handle, staging, static_cast<long>(received)) < 0) {
            cv_log_error("%s(): DANGER: _cv_append_inbuf failed", __func__);
            return RECV_CLOSED;
        }
    }
    return t->inbuf_fill >= wanted ? 1 : 0;
}

int _cv_read_message(cv_cloud_handle* handle, int64_t deadline, uint8_t* kind, bool* quiet) {
    if (handle->socket < 0 || !handle->stream || !handle->stream_ops) {
        cv_log_error("%s(): handle is not connected", __func__);
        return RECV_NONE;
    }
    cv_transfer_state* t = &handle->transfer;
    int rc = _cv_read_inbuf(handle, static_cast<int32_t>(CV_FRAME_HEADER_SIZE), deadline, quiet);
    if (rc <= 0)
        return rc < 0 ? rc : RECV_NONE;
    const uint8_t frame_kind = frame_start(t)[4];
    if (frame_kind > CV_FRAME_KIND_MESSAGE) {
        cv_log_error("%s: type byte 0x%02x is unknown.", __func__, frame_kind);
        return RECV_ERROR;
    }
    uint32_t length;
    memcpy(&length, frame_start(t), sizeof length);
    length = ntohl(length);
    if (length == 0) {
        // Skipped; what follows it in the buffer is the next frame.
        consume_inbuf(t, CV_FRAME_HEADER_SIZE);
        return RECV_NONE;
    }
    if (length > static_cast<uint32_t>(TRANSPORT_MAX_SIZE)) {
        cv_log_error("%s(): messagesz %x (%d) > TRANSPORT_MAX_SIZE %d", __func__, length, static_cast<int>(length),
                     TRANSPORT_MAX_SIZE);
        reset_inbuf(t);
        return RECV_ERROR;
    }
    rc = _cv_read_inbuf(handle, static_cast<int32_t>(length + 4), deadline, quiet);
    if (rc <= 0)
        return rc < 0 ? rc : RECV_NONE;
    cv_log_trace(CV_TRACE_DEFAULT, "%s(): %u-byte message received", __func__, length + 4);
    *kind = frame_kind;
    return RECV_SUCCESS;
}

bool _cv_frame_buffered(cv_cloud_handle* handle) {
    cv_transfer_state* t = &handle->transfer;
    if (t->inbuf_fill < static_cast<int32_t>(CV_FRAME_HEADER_SIZE))
        return false;
    uint32_t length;
    memcpy(&length, frame_start(t), sizeof length);
    length = ntohl(length);
    return length <= static_cast<uint32_t>(TRANSPORT_MAX_SIZE) && t->inbuf_fill >= static_cast<int64_t>(length) + 4;
}

int _cv_receive_tcp(cv_cloud_handle* handle, CorvaneQueryResponse_t** response, CorvaneMessage_t** message,
                    bool* quiet) {
    if (!response || !message) {
        cv_log_error("%s: DANGER: INTERNAL ERROR: bad arguments", __func__);
        return RECV_ERROR;
    }
    *response = nullptr;
    *message = nullptr;
    uint8_t kind = 0;
    // A frame already whole in the buffer needs no read, so no deadline
    // (and no clock reading) either.
    const int64_t deadline = _cv_frame_buffered(handle) ? 0 : _cv_receive_deadline(handle);
    int rc = _cv_read_message(handle, deadline, &kind, quiet);
    if (rc == RECV_NONE)
        return rc;
    cv_transfer_state* t = &handle->transfer;
    size_t length = 0;
    if (rc == RECV_SUCCESS) {
        cv_log_trace(CV_TRACE_DEFAULT, "%s(): message received from %s", __func__, handle->peer_address);
        uint32_t payload;
        memcpy(&payload, frame_start(t), sizeof payload);
        length = ntohl(payload) + 4;
        if (kind == CV_FRAME_KIND_QUERY) {
            auto* decoded = static_cast<CorvaneQueryResponse_t*>(calloc(1, sizeof(CorvaneQueryResponse_t)));
            if (!decoded) {
                cv_log_error("%s: response allocation failed.", __func__);
                rc = RECV_ERROR;
            } else if (cv_decode_response(frame_start(t), length, decoded) != 0) {
                cv_log_error("%s: cv_decode_response failed!", __func__);
                ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, decoded);
                rc = RECV_ERROR;
            } else {
                *response = decoded;
            }
        } else if (kind == CV_FRAME_KIND_MESSAGE) {
            auto* decoded = static_cast<CorvaneMessage_t*>(calloc(1, sizeof(CorvaneMessage_t)));
            if (!decoded) {
                cv_log_error("%s: message allocation failed.", __func__);
                rc = RECV_ERROR;
            } else if (cv_decode_message(length, frame_start(t), decoded) != 0) {
                cv_log_error("%s: cv_decode_message failed!", __func__);
                ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, decoded);
                rc = RECV_ERROR;
            } else {
                *message = decoded;
            }
        } else {
            cv_log_error("%s: unknown message type: 0x%02x", __func__, kind);
            rc = RECV_ERROR;
        }
    } else if (rc == RECV_ERROR) {
        cv_log_error("%s(): error reading message", __func__);
    }
    if (rc == RECV_SUCCESS) {
        consume_inbuf(t, length);
    } else {
        reset_inbuf(t);
    }
    return rc;
}
