// Framing over a handle's stream, driven through a socket pair: the handle's
// end is a non-blocking stream, the test plays the server on the other end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include "cloud/cv_cloud_transport.h"
#include "cloud_test_util.h"
#include "corvane_samples.h"

using namespace corvane_samples;

namespace {

constexpr int kSendError = 55;  // the stream library's send and receive failure codes
constexpr int kRecvError = 56;

int fd_send(void* stream, const void* buffer, size_t length, size_t* sent) {
    ssize_t n = send(*static_cast<int*>(stream), buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN ? CV_STREAM_AGAIN : kSendError;
    *sent = static_cast<size_t>(n);
    return 0;
}

int fd_recv(void* stream, void* buffer, size_t length, size_t* received) {
    ssize_t n = recv(*static_cast<int*>(stream), buffer, length, MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN ? CV_STREAM_AGAIN : kRecvError;
    *received = static_cast<size_t>(n);
    return 0;
}

const char* fd_strerror(int code) { return code == kSendError ? "Failed sending data to the peer" : "other"; }

const cv_stream_ops kSocketOps = {fd_send, fd_recv, fd_strerror};

// A stream that answers every call with "try again" although its socket polls
// ready. Past `give_up` it fails instead, so that a transfer that would never
// end makes the test fail rather than hang.
struct AgainStream {
    int64_t give_up;
    long calls;
};

int again_result(void* stream) {
    auto* s = static_cast<AgainStream*>(stream);
    s->calls++;
    return _cv_monotonic_usec() < s->give_up ? CV_STREAM_AGAIN : kRecvError;
}

int again_send(void* stream, const void*, size_t, size_t*) { return again_result(stream); }
int again_recv(void* stream, void*, size_t, size_t*) { return again_result(stream); }

const cv_stream_ops kAgainOps = {again_send, again_recv, fd_strerror};

// The socket stream, counting its reads.
struct CountingStream {
    int fd;
    long reads;
};

int counting_send(void* stream, const void* buffer, size_t length, size_t* sent) {
    return fd_send(&static_cast<CountingStream*>(stream)->fd, buffer, length, sent);
}

int counting_recv(void* stream, void* buffer, size_t length, size_t* received) {
    auto* s = static_cast<CountingStream*>(stream);
    s->reads++;
    return fd_recv(&s->fd, buffer, length, received);
}

const cv_stream_ops kCountingOps = {counting_send, counting_recv, fd_strerror};

class Transport : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ours_ = fds[0];
        peer_ = fds[1];
        int small = 4096;
        setsockopt(ours_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        handle_.reset(new cv_cloud_handle{});
        handle_->query_method = CV_QUERY_METHOD_TCP;
        handle_->flags = CV_HANDLE_FLAG_ASYNC;
        handle_->options.timeout = {5, 0};
        snprintf(handle_->peer_address, sizeof handle_->peer_address, "127.0.0.1");
        handle_->stream = &ours_;
        handle_->stream_ops = &kSocketOps;
        handle_->socket = ours_;
        ASSERT_EQ(_cv_transfer_init(handle_.get()), 0);
    }
    void TearDown() override {
        _cv_transfer_destroy(handle_.get());
        if (ours_ >= 0)
            close(ours_);
        if (peer_ >= 0)
            close(peer_);
    }

    void peer_write(const std::vector<unsigned char>& bytes) {
        ASSERT_EQ(write(peer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Everything the handle has sent so far (waits up to 2 s for `expected` bytes).
    std::vector<unsigned char> peer_read(size_t expected) {
        std::vector<unsigned char> got;
        unsigned char chunk[65536];
        for (int i = 0; i < 200 && got.size() < expected; i++) {
            ssize_t n = recv(peer_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0)
                got.insert(got.end(), chunk, chunk + n);
            else
                usleep(10000);
        }
        return got;
    }

    std::vector<unsigned char> query_frame(CorvaneQuery_t* query) {
        std::vector<unsigned char> out(TRANSPORT_MAX_SIZE);
        size_t size = out.size();
        EXPECT_EQ(cv_encode_query_tcp(query, out.data(), &size, nullptr), 0);
        out.resize(size);
        return out;
    }

    int receive(asn_ptr<CorvaneQueryResponse_t>* response, asn_ptr<CorvaneMessage_t>* message,
                bool* quiet = nullptr) {
        CorvaneQueryResponse_t* r = nullptr;
        CorvaneMessage_t* m = nullptr;
        int rc = _cv_receive_tcp(handle_.get(), &r, &m, quiet);
        *response = asn_ptr<CorvaneQueryResponse_t>(r, {&asn_DEF_CorvaneQueryResponse});
        *message = asn_ptr<CorvaneMessage_t>(m, {&asn_DEF_CorvaneMessage});
        return rc;
    }

    int ours_ = -1;
    int peer_ = -1;
    std::unique_ptr<cv_cloud_handle> handle_;
};

}  // namespace

TEST_F(Transport, SendsFramesAndKeepsLeftovers) {
    cv_log_capture log;
    auto ping = ping_query(5);
    ASSERT_EQ(_cv_send_tcp(handle_.get(), ping.get(), nullptr), SEND_SUCCESS);
    auto ping_bytes = query_frame(ping.get());
    EXPECT_EQ(peer_read(ping_bytes.size()), ping_bytes);
    auto ack = ack_message(2);
    ASSERT_EQ(_cv_send_message(handle_.get(), ack.get()), SEND_SUCCESS);
    auto ack_bytes = message_frame(ack.get());
    EXPECT_EQ(peer_read(ack_bytes.size()), ack_bytes);

    // Nobody reads: the big frame goes out in part, the rest stays pending.
    auto big = file_multi_query(4, 4, nullptr, 60000);
    auto big_bytes = query_frame(big.get());
    ASSERT_EQ(_cv_send_tcp(handle_.get(), big.get(), nullptr), SEND_PARTIAL);
    const int32_t pending = handle_->transfer.outbuf_pending;
    ASSERT_GT(pending, 0);
    ASSERT_LT(pending, static_cast<int32_t>(big_bytes.size()));

    // While the leftover cannot be flushed, no new frame is taken.
    EXPECT_EQ(_cv_send_tcp(handle_.get(), ping.get(), nullptr), SEND_RETRY);
    EXPECT_TRUE(log.contains("_cv_send_outbuf(): failed to flush output buffer (-43), "));
    EXPECT_EQ(handle_->transfer.outbuf_pending, pending);

    // The peer drains; flushing completes the big frame, byte for byte.
    std::vector<unsigned char> received;
    std::thread reader([&] { received = peer_read(big_bytes.size()); });
    int rc = SEND_PARTIAL;
    for (int i = 0; i < 100 && handle_->transfer.outbuf_pending > 0; i++)
        rc = _cv_send_outbuf(handle_.get());
    reader.join();
    EXPECT_EQ(rc, SEND_SUCCESS);
    EXPECT_EQ(received, big_bytes);

    // A query that cannot be encoded queues nothing.
    log.clear();
    auto broken = ping_query(6);
    broken->data.present = CorvaneQueryData_PR_NOTHING;
    EXPECT_EQ(_cv_send_tcp(handle_.get(), broken.get(), nullptr), -1);
    EXPECT_TRUE(log.contains("_cv_send_tcp(): cv_encode_query_tcp failed\n"));
    EXPECT_EQ(handle_->transfer.outbuf_pending, 0);

    // The peer is gone: the stream refuses the write.
    close(peer_);
    peer_ = -1;
    log.clear();
    EXPECT_EQ(_cv_send_tcp(handle_.get(), ping.get(), nullptr), SEND_CLOSED);
    EXPECT_TRUE(log.contains("_cv_write_outbuf(): curl_easy_send failed with error 55 (Failed sending data to the peer)"));

    handle_->stream = nullptr;
    EXPECT_EQ(_cv_send_tcp(handle_.get(), ping.get(), nullptr), SEND_CLOSED);
}

TEST_F(Transport, AssemblesFramesArrivingInPieces) {
    cv_log_capture log;
    auto resp = response(CorvaneQueryResponseData_PR_fileResponse);
    auto bytes = response_frame(resp.get());
    asn_ptr<CorvaneQueryResponse_t> got;
    asn_ptr<CorvaneMessage_t> message;

    peer_write({bytes.begin(), bytes.begin() + 3});
    EXPECT_EQ(receive(&got, &message), RECV_NONE);
    EXPECT_EQ(handle_->transfer.inbuf_fill, 3);
    peer_write({bytes.begin() + 3, bytes.begin() + 20});
    EXPECT_EQ(receive(&got, &message), RECV_NONE);
    EXPECT_EQ(handle_->transfer.inbuf_fill, 20);
    // The rest, followed by the start of the next frame: this frame is
    // decoded, the start of the next stays buffered.
    auto deliver = deliver_message();
    auto next = message_frame(deliver.get());
    std::vector<unsigned char> rest(bytes.begin() + 20, bytes.end());
    rest.insert(rest.end(), next.begin(), next.begin() + 2);
    peer_write(rest);
    ASSERT_EQ(receive(&got, &message), RECV_SUCCESS);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(got->data.present, CorvaneQueryResponseData_PR_fileResponse);
    EXPECT_EQ(der(&asn_DEF_CorvaneQueryResponse, got.get()), der(&asn_DEF_CorvaneQueryResponse, resp.get()));
    EXPECT_EQ(handle_->transfer.inbuf_fill, 2);
    EXPECT_EQ(handle_->transfer.inbuf[handle_->transfer.inbuf_start], next[0]);

    peer_write({next.begin() + 2, next.end()});
    ASSERT_EQ(receive(&got, &message), RECV_SUCCESS);
    EXPECT_EQ(got, nullptr);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->present, CorvaneMessage_PR_deliver);

    // An empty frame and a whole frame in one read: the empty one is
    // skipped without losing the other, which then needs no read.
    std::vector<unsigned char> both = {0, 0, 0, 0, 0};
    both.insert(both.end(), bytes.begin(), bytes.end());
    peer_write(both);
    EXPECT_EQ(receive(&got, &message), RECV_NONE);
    EXPECT_EQ(handle_->transfer.inbuf_fill, static_cast<int32_t>(bytes.size()));
    ASSERT_EQ(receive(&got, &message), RECV_SUCCESS);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(handle_->transfer.inbuf_fill, 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Transport, AQuietStreamIsWaitedForBeforeItIsRead) {
    cv_log_capture log;
    CountingStream counting{ours_, 0};
    handle_->stream = &counting;
    handle_->stream_ops = &kCountingOps;
    asn_ptr<CorvaneQueryResponse_t> got;
    asn_ptr<CorvaneMessage_t> message;
    bool quiet = false;

    // The read says "try again" and the socket stays silent: quiet.
    EXPECT_EQ(receive(&got, &message, &quiet), RECV_NONE);
    EXPECT_TRUE(quiet);
    long reads = counting.reads;
    EXPECT_GE(reads, 1);
    // Quiet and still silent: a wait, no read.
    EXPECT_EQ(receive(&got, &message, &quiet), RECV_NONE);
    EXPECT_TRUE(quiet);
    EXPECT_EQ(counting.reads, reads);

    // A frame arrives in pieces: the wait ends on the first, which is kept;
    // the stream is quiet again until the rest comes.
    auto resp = response(CorvaneQueryResponseData_PR_fileResponse);
    auto bytes = response_frame(resp.get());
    peer_write({bytes.begin(), bytes.begin() + 3});
    EXPECT_EQ(receive(&got, &message, &quiet), RECV_NONE);
    EXPECT_EQ(handle_->transfer.inbuf_fill, 3);
    EXPECT_TRUE(quiet);
    EXPECT_GT(counting.reads, reads);
    // The rest and a whole second frame: both decoded, the second from the
    // buffer without a read of its own.
    auto deliver = deliver_message();
    auto next = message_frame(deliver.get());
    std::vector<unsigned char> rest(bytes.begin() + 3, bytes.end());
    rest.insert(rest.end(), next.begin(), next.end());
    peer_write(rest);
    ASSERT_EQ(receive(&got, &message, &quiet), RECV_SUCCESS);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(der(&asn_DEF_CorvaneQueryResponse, got.get()), der(&asn_DEF_CorvaneQueryResponse, resp.get()));
    EXPECT_FALSE(quiet);
    reads = counting.reads;
    ASSERT_EQ(receive(&got, &message, &quiet), RECV_SUCCESS);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->present, CorvaneMessage_PR_deliver);
    EXPECT_EQ(counting.reads, reads);
    EXPECT_FALSE(quiet);

    // After frames the stream may hold more: it is read before any wait.
    EXPECT_EQ(receive(&got, &message, &quiet), RECV_NONE);
    EXPECT_EQ(counting.reads, reads + 1);
    EXPECT_TRUE(quiet);

    // The peer closes while the stream is quiet: the wait ends, the read tells.
    close(peer_);
    peer_ = -1;
    EXPECT_EQ(receive(&got, &message, &quiet), RECV_CLOSED);
    EXPECT_FALSE(quiet);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Transport, FramingErrorsDiscardTheInput) {
    cv_log_capture log;
    asn_ptr<CorvaneQueryResponse_t> got;
    asn_ptr<CorvaneMessage_t> message;

    peer_write({0, 0, 0, 1, 0x02});
    EXPECT_EQ(receive(&got, &message), RECV_ERROR);
    EXPECT_TRUE(log.contains("_cv_read_message: type byte 0x02 is unknown.\n"));
    EXPECT_TRUE(log.contains("_cv_receive_tcp(): error reading message\n"));
    EXPECT_EQ(handle_->transfer.inbuf_fill, 0);

    peer_write({0, 0, 0, 0, 0});
    EXPECT_EQ(receive(&got, &message), RECV_NONE);
    EXPECT_EQ(handle_->transfer.inbuf_fill, 0);

    peer_write({0, 1, 1, 0, 0});
    EXPECT_EQ(receive(&got, &message), RECV_ERROR);
    EXPECT_TRUE(log.contains("_cv_read_message(): messagesz 10100 (65792) > TRANSPORT_MAX_SIZE 65791\n"));
    EXPECT_EQ(handle_->transfer.inbuf_fill, 0);

    // A payload that does not decode.
    log.clear();
    peer_write(frame(0, {0x30, 0x03, 0x80, 0x01}));
    EXPECT_EQ(receive(&got, &message), RECV_ERROR);
    EXPECT_TRUE(log.contains("_cv_receive_tcp: cv_decode_response failed!\n"));
    peer_write(frame(1, {0xA0, 0x05, 0x80}));
    EXPECT_EQ(receive(&got, &message), RECV_ERROR);
    EXPECT_TRUE(log.contains("_cv_receive_tcp: cv_decode_message failed!\n"));
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(message, nullptr);

    // The largest accepted length does not fit the input buffer with its header.
    log.clear();
    std::vector<unsigned char> huge = {0, 1, 0, 0xFF, 0};
    huge.resize(65795, 0x30);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        int flags = fcntl(peer_, F_GETFL);
        fcntl(peer_, F_SETFL, flags & ~O_NONBLOCK);
        size_t done = 0;
        while (done < huge.size()) {
            ssize_t n = write(peer_, huge.data() + done, huge.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        written = true;
    });
    int rc = RECV_NONE;
    for (int i = 0; i < 100 && rc == RECV_NONE; i++)
        rc = receive(&got, &message);
    EXPECT_EQ(rc, RECV_CLOSED);
    EXPECT_TRUE(log.contains("-byte write would overflow\n"));
    EXPECT_TRUE(log.contains("_cv_read_inbuf(): DANGER: _cv_append_inbuf failed\n"));
    EXPECT_EQ(handle_->transfer.inbuf_fill, 0);
    // Drop what is left of the frame so that the writer can finish.
    unsigned char sink[16384];
    for (int i = 0; i < 500 && (!written || recv(ours_, sink, sizeof sink, MSG_DONTWAIT) > 0); i++)
        if (recv(ours_, sink, sizeof sink, MSG_DONTWAIT) <= 0)
            usleep(2000);
    writer.join();

    // The peer closes; a handle without a socket reads nothing.
    close(peer_);
    peer_ = -1;
    EXPECT_EQ(receive(&got, &message), RECV_CLOSED);
    handle_->socket = -1;
    log.clear();
    EXPECT_EQ(receive(&got, &message), RECV_NONE);
    EXPECT_TRUE(log.contains("_cv_read_message(): handle is not connected\n"));
    CorvaneMessage_t* m = nullptr;
    EXPECT_EQ(_cv_receive_tcp(handle_.get(), nullptr, &m), RECV_ERROR);
    EXPECT_TRUE(log.contains("_cv_receive_tcp: DANGER: INTERNAL ERROR: bad arguments\n"));
}

TEST_F(Transport, BufferAndWaitLimits) {
    cv_log_capture log;
    std::vector<unsigned char> bytes(TRANSPORT_MAX_SIZE + 1, 0x30);
    EXPECT_EQ(_cv_append_inbuf(handle_.get(), bytes.data(), 0), 0);
    EXPECT_EQ(_cv_append_inbuf(handle_.get(), bytes.data(), -3), -3);
    EXPECT_EQ(_cv_append_inbuf(handle_.get(), bytes.data(), TRANSPORT_MAX_SIZE + 1), -1);
    EXPECT_EQ(_cv_append_inbuf(handle_.get(), bytes.data(), 65000), 65000);
    EXPECT_EQ(_cv_append_inbuf(handle_.get(), bytes.data(), 792), -1);
    EXPECT_TRUE(log.contains("_cv_append_inbuf(): 792-byte write would overflow\n"));
    EXPECT_EQ(_cv_append_inbuf(handle_.get(), bytes.data(), 791), 791);
    EXPECT_EQ(handle_->transfer.inbuf_fill, TRANSPORT_MAX_SIZE);
    _cv_transfer_clear(handle_.get());
    EXPECT_EQ(handle_->transfer.inbuf_fill, 0);
    EXPECT_EQ(handle_->transfer.inbuf[0], 0);

    // Nothing to read: the poll ends at the deadline; a passed deadline ends it at once.
    EXPECT_EQ(_cv_poll_fd(ours_, _cv_monotonic_usec() + 20000, 0), 0);
    EXPECT_EQ(_cv_poll_fd(ours_, _cv_monotonic_usec() - 500000, 0), 0);
    EXPECT_GT(_cv_poll_fd(ours_, _cv_monotonic_usec() + 1000000, 1), 0);
    const int64_t before = _cv_monotonic_usec();
    const int64_t deadline = _cv_transfer_deadline(handle_.get());
    EXPECT_GE(deadline, before + 100000);
    EXPECT_LE(deadline, _cv_monotonic_usec() + 100000);

    struct timeval wait;
    _cv_fill_timeout_tv(handle_.get(), &wait);
    EXPECT_EQ(wait.tv_sec, 0);
    EXPECT_EQ(wait.tv_usec, 100000);
    handle_->flags = 0;
    _cv_fill_timeout_tv(handle_.get(), &wait);
    EXPECT_EQ(wait.tv_sec, 5);
    handle_->query_method = 5;
    log.clear();
    _cv_fill_timeout_tv(handle_.get(), &wait);
    EXPECT_EQ(wait.tv_sec, 0);
    EXPECT_EQ(wait.tv_usec, 0);
    EXPECT_TRUE(log.contains("_cv_fill_timeout_tv(): DANGER: shouldn't be here.\n"));
}

TEST_F(Transport, TransfersEndByTheirDeadlineWhileTheStreamSaysAgainOnAReadySocket) {
    cv_log_capture log;
    AgainStream again{_cv_monotonic_usec() + 5000000, 0};
    handle_->stream = &again;
    handle_->stream_ops = &kAgainOps;
    // A byte from the peer makes the socket readable; it is writable anyway.
    peer_write({0});

    asn_ptr<CorvaneQueryResponse_t> got;
    asn_ptr<CorvaneMessage_t> message;
    EXPECT_EQ(receive(&got, &message), RECV_NONE);
    EXPECT_GT(again.calls, 1);

    const long calls = again.calls;
    auto ping = ping_query(5);
    EXPECT_EQ(_cv_send_tcp(handle_.get(), ping.get(), nullptr), SEND_PARTIAL);
    EXPECT_GT(again.calls, calls + 1);
    EXPECT_EQ(handle_->transfer.outbuf_pending, static_cast<int32_t>(query_frame(ping.get()).size()));
    EXPECT_FALSE(log.contains("failed with error"));
}
