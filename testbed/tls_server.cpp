#include "testbed/tls_server.h"

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

#include "testbed/pki.h"

namespace testbed {

namespace {

constexpr int POLL_SLICE_MS = 50;

bool set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

TlsConnection::TlsConnection(TlsServer& server, int fd, SSL* ssl, std::string peer)
    : server_(server), fd_(fd), ssl_(ssl), peer_(std::move(peer)), io_timeout_(server.options_.io_timeout) {}

TlsConnection::~TlsConnection() {
    close();
    SSL_free(ssl_);
}

bool TlsConnection::stopping() const { return server_.stopping(); }

bool TlsConnection::wait_io(int ssl_error, std::chrono::steady_clock::time_point deadline) {
    short events = ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    while (!stopping() && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd_, events, 0};
        int rc = ::poll(&pfd, 1, POLL_SLICE_MS);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
    return false;
}

bool TlsConnection::handshake() {
    auto deadline = std::chrono::steady_clock::now() + io_timeout_;
    for (;;) {
        ERR_clear_error();
        int rc = SSL_accept(ssl_);
        if (rc == 1) return true;
        int err = SSL_get_error(ssl_, rc);
        if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || !wait_io(err, deadline)) {
            ERR_clear_error();
            return false;
        }
    }
}

long TlsConnection::read(void* buf, size_t len, std::chrono::milliseconds timeout) {
    if (fd_ < 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t got = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl_, buf, len, &got) == 1) return static_cast<long>(got);
        int err = SSL_get_error(ssl_, 0);
        if (err == SSL_ERROR_ZERO_RETURN) return 0;
        if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;  // peer closed without close_notify
        if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || !wait_io(err, deadline)) {
            ERR_clear_error();
            return -1;
        }
    }
}

bool TlsConnection::write_all(const void* data, size_t len) {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(data);
    auto deadline = std::chrono::steady_clock::now() + io_timeout_;
    while (len > 0) {
        size_t put = 0;
        ERR_clear_error();
        if (SSL_write_ex(ssl_, p, len, &put) == 1) {
            p += put;
            len -= put;
            deadline = std::chrono::steady_clock::now() + io_timeout_;
            continue;
        }
        int err = SSL_get_error(ssl_, 0);
        if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || !wait_io(err, deadline)) {
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

void TlsConnection::close() {
    if (fd_ < 0) return;
    SSL_shutdown(ssl_);
    ERR_clear_error();
    ::close(fd_);
    fd_ = -1;
}

std::string TlsConnection::peer_subject() const {
    X509* cert = SSL_get0_peer_certificate(ssl_);
    return cert ? subject_text(cert) : std::string();
}

TlsServer::~TlsServer() { stop(); }

bool TlsServer::start(const TlsServerOptions& options, ConnectionHandler handler) {
    if (!options.identity || ctx_) return false;
    // A client that goes away mid-write must not kill the test process.
    signal(SIGPIPE, SIG_IGN);
    options_ = options;
    handler_ = std::move(handler);
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) return false;
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate(ctx_, options.identity->x509()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx_, options.identity->pkey()) != 1) {
        stop();
        return false;
    }
    if (options.client_ca) {
        X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx_), options.client_ca);
        int mode = SSL_VERIFY_PEER | (options.require_client_cert ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0);
        SSL_CTX_set_verify(ctx_, mode, nullptr);
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options.port);
    socklen_t alen = sizeof addr;
    const int reuse = 1;
    // Also on ephemeral ports: connections accepted now must not block a restart on this port.
    if (listen_fd_ >= 0)
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 64) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &alen) != 0 ||
        !set_nonblocking(listen_fd_)) {
        stop();
        return false;
    }
    port_ = ntohs(addr.sin_port);
    stopping_ = false;
    acceptor_ = std::thread([this] { accept_loop(); });
    return true;
}

void TlsServer::accept_loop() {
    while (!stopping_) {
        reap(false);
        pollfd pfd{listen_fd_, POLLIN, 0};
        if (::poll(&pfd, 1, POLL_SLICE_MS) <= 0) continue;
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        std::string name = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        ++accepted_;
        auto worker = std::make_unique<Worker>();
        Worker* raw = worker.get();
        std::lock_guard<std::mutex> lock(workers_mutex_);
        workers_.push_back(std::move(worker));
        raw->thread = std::thread([this, fd, name, raw] { serve(fd, name, raw); });
    }
}

void TlsServer::serve(int fd, std::string peer, Worker* worker) {
    SSL* ssl = SSL_new(ctx_);
    if (!ssl) {
        ::close(fd);
    } else {
        SSL_set_fd(ssl, fd);
        TlsConnection conn(*this, fd, ssl, std::move(peer));
        if (conn.handshake())
            handler_(conn);
        else
            ++failed_handshakes_;
    }
    ERR_clear_error();
    worker->done = true;
}

void TlsServer::reap(bool all) {
    std::list<std::unique_ptr<Worker>> finished;
    {
        std::lock_guard<std::mutex> lock(workers_mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& w : finished)
        if (w->thread.joinable()) w->thread.join();
}

void TlsServer::stop() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    reap(true);
    if (ctx_) SSL_CTX_free(ctx_);
    ctx_ = nullptr;
}

}  // namespace testbed
