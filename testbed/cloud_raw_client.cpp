#include "testbed/cloud_raw_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "cloud/cv_cloud_handle.h"
#include "cloud/cv_codec.h"
#include "testbed/cloud_responses.h"
#include "testbed/pki.h"

namespace testbed {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 50;

}  // namespace

RawCloudClient::~RawCloudClient() { close(); }

std::string RawCloudClient::last_error_text() const {
    char text[256] = "";
    if (last_error_) ERR_error_string_n(last_error_, text, sizeof text);
    return text;
}

bool RawCloudClient::wait_io(int ssl_error, Clock::time_point deadline) {
    short events = ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    while (Clock::now() < deadline) {
        pollfd pfd{fd_, events, 0};
        int rc = ::poll(&pfd, 1, kSliceMs);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
    return false;
}

bool RawCloudClient::connect(const RawClientOptions& options) {
    close();
    signal(SIGPIPE, SIG_IGN);
    last_error_ = 0;
    timeout_ = options.timeout;
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_) return false;
    if (options.identity && (SSL_CTX_use_certificate(ctx_, options.identity->x509()) != 1 ||
                             SSL_CTX_use_PrivateKey(ctx_, options.identity->pkey()) != 1)) {
        last_error_ = ERR_peek_last_error();
        close();
        return false;
    }
    if (options.trust) {
        X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx_), options.trust);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options.port);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int flags = fcntl(fd_, F_GETFL, 0);
    fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    auto deadline = Clock::now() + timeout_;
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(ssl_);
        if (rc == 1) return true;
        int err = SSL_get_error(ssl_, rc);
        if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || !wait_io(err, deadline)) {
            last_error_ = ERR_peek_last_error();
            ERR_clear_error();
            close();
            return false;
        }
    }
}

bool RawCloudClient::send_bytes(const uint8_t* bytes, size_t n) {
    if (!ssl_) return false;
    size_t off = 0;
    auto deadline = Clock::now() + timeout_;
    while (off < n) {
        size_t put = 0;
        ERR_clear_error();
        if (SSL_write_ex(ssl_, bytes + off, n - off, &put) == 1) {
            off += put;
            continue;
        }
        int err = SSL_get_error(ssl_, 0);
        if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || !wait_io(err, deadline)) {
            last_error_ = ERR_peek_last_error();
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

bool RawCloudClient::send_query(CorvaneQuery_t* query) {
    frame_.resize(TRANSPORT_MAX_SIZE);
    size_t size = frame_.size();
    {
        std::lock_guard<std::mutex> lock(codec_mutex());
        if (cv_encode_query_tcp(query, frame_.data(), &size, nullptr) != 0) return false;
    }
    return send_bytes(frame_.data(), size);
}

bool RawCloudClient::send_message(CorvaneMessage_t* message) {
    frame_.resize(TRANSPORT_MAX_SIZE);
    size_t size = frame_.size();
    {
        std::lock_guard<std::mutex> lock(codec_mutex());
        if (cv_encode_message(message, frame_.data(), &size) != 0) return false;
    }
    return send_bytes(frame_.data(), size);
}

int RawCloudClient::fill(Clock::time_point deadline) {
    if (!ssl_) return -2;
    unsigned char buf[16384];
    for (;;) {
        size_t got = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl_, buf, sizeof buf, &got) == 1) {
            in_.insert(in_.end(), buf, buf + got);
            return 1;
        }
        int err = SSL_get_error(ssl_, 0);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (Clock::now() >= deadline) return 0;
            pollfd pfd{fd_, static_cast<short>(err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            int rc = ::poll(&pfd, 1, static_cast<int>(std::min<long>(std::max<long>(left, 0), kSliceMs)));
            if (rc < 0 && errno != EINTR) return -2;
            continue;
        }
        // A peer that vanishes without close_notify reads as closed too.
        bool eof = err == SSL_ERROR_ZERO_RETURN || err == SSL_ERROR_SYSCALL;
        last_error_ = ERR_peek_last_error();
        ERR_clear_error();
        return eof ? -1 : -2;
    }
}

RawCloudClient::Read RawCloudClient::read_frame(uint8_t* kind, Bytes* payload, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (in_.size() >= CV_FRAME_HEADER_SIZE) {
            uint32_t length = (uint32_t{in_[0]} << 24) | (uint32_t{in_[1]} << 16) | (uint32_t{in_[2]} << 8) | in_[3];
            if (length == 0 || length > static_cast<uint32_t>(TRANSPORT_MAX_SIZE)) return Read::error;
            if (in_.size() >= 4 + size_t{length}) {
                *kind = in_[4];
                payload->assign(in_.begin() + CV_FRAME_HEADER_SIZE, in_.begin() + 4 + length);
                in_.erase(in_.begin(), in_.begin() + 4 + length);
                return Read::frame;
            }
        }
        int rc = fill(deadline);
        if (rc == 0) return Read::timeout;
        if (rc == -1) return Read::closed;
        if (rc < 0) return Read::error;
    }
}

ResponsePtr RawCloudClient::read_response(std::chrono::milliseconds timeout) {
    uint8_t kind = 0;
    Bytes payload;
    if (read_frame(&kind, &payload, timeout) != Read::frame || kind != CV_FRAME_KIND_QUERY) return nullptr;
    Bytes frame = make_frame(kind, payload);
    ResponsePtr resp(static_cast<CorvaneQueryResponse_t*>(calloc(1, sizeof(CorvaneQueryResponse_t))),
                     AsnFree{&asn_DEF_CorvaneQueryResponse});
    if (!resp) return nullptr;
    std::lock_guard<std::mutex> lock(codec_mutex());
    if (cv_decode_response(frame.data(), frame.size(), resp.get()) != 0) return nullptr;
    return resp;
}

Bytes RawCloudClient::read_until_closed(std::chrono::milliseconds timeout, bool* closed) {
    auto deadline = Clock::now() + timeout;
    *closed = false;
    for (;;) {
        int rc = fill(deadline);
        if (rc == 1) continue;
        *closed = rc < 0;
        break;
    }
    Bytes out;
    out.swap(in_);
    return out;
}

void RawCloudClient::close() {
    if (ssl_) {
        SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    ERR_clear_error();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (ctx_) SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    in_.clear();
}

}  // namespace testbed
