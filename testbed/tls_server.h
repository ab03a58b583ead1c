// A TLS listener on 127.0.0.1 (ephemeral port) that runs a handler per
// accepted connection on its own thread. Optional client certificates are
// verified against a given authority. Every wait is bounded and gives up when
// the server stops, so stop() always returns promptly. The HTTPS server is
// built on it; protocol servers (framed TLS streams) can use it directly.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace testbed {

struct Credential;

struct TlsServerOptions {
    const Credential* identity = nullptr;  // server certificate and key (required)
    X509* client_ca = nullptr;             // verify client certificates against this authority
    bool require_client_cert = false;      // refuse handshakes without a valid client certificate
    std::chrono::milliseconds io_timeout{10000};  // bound of one read or write
    uint16_t port = 0;  // 0 = ephemeral; a fixed one lets a restarted server be found again
};

class TlsServer;

// One accepted, handshaken connection; used by one handler thread.
class TlsConnection {
public:
    TlsConnection(TlsServer& server, int fd, SSL* ssl, std::string peer);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // Bytes read (> 0), 0 at orderly end of stream, -1 on error, time-out or stop.
    long read(void* buf, size_t len, std::chrono::milliseconds timeout);
    long read(void* buf, size_t len) { return read(buf, len, io_timeout_); }
    bool write_all(const void* data, size_t len);
    bool write_all(const std::string& data) { return write_all(data.data(), data.size()); }
    // Sends close_notify (best effort) and closes the socket.
    void close();

    bool stopping() const;
    SSL* ssl() const { return ssl_; }
    // RFC 2253 subject of the verified client certificate; empty without one.
    std::string peer_subject() const;
    // "127.0.0.1:port" of the connecting side (a proxy's address when one is used).
    const std::string& peer() const { return peer_; }

private:
    friend class TlsServer;
    bool handshake();
    bool wait_io(int ssl_error, std::chrono::steady_clock::time_point deadline);

    TlsServer& server_;
    int fd_;
    SSL* ssl_;
    std::string peer_;
    std::chrono::milliseconds io_timeout_;
};

class TlsServer {
public:
    using ConnectionHandler = std::function<void(TlsConnection&)>;

    TlsServer() = default;
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // Binds 127.0.0.1 on an ephemeral port and starts accepting. False on failure.
    bool start(const TlsServerOptions& options, ConnectionHandler handler);
    // Stops accepting, wakes every connection and joins all threads.
    void stop();

    uint16_t port() const { return port_; }
    bool stopping() const { return stopping_.load(); }
    // Handshakes that failed (for example a refused client certificate).
    int failed_handshakes() const { return failed_handshakes_.load(); }
    // Connections accepted so far.
    int accepted() const { return accepted_.load(); }

private:
    friend class TlsConnection;
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void accept_loop();
    void serve(int fd, std::string peer, Worker* worker);
    void reap(bool all);

    SSL_CTX* ctx_ = nullptr;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    TlsServerOptions options_;
    ConnectionHandler handler_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> failed_handshakes_{0};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::mutex workers_mutex_;
    std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace testbed
