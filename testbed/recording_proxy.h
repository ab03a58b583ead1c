// A hostile HTTP proxy on 127.0.0.1 for tests: it keeps every request head it
// receives (CONNECT or absolute-form) and answers each with 407 and
// "Proxy-Authenticate: Basic", keeping the connection open for the client's
// next try, so a client willing to hand over credentials does. It grants
// nothing. One thread per connection (at most kMaxConnections, later ones are
// closed at once), every read bounded in size and time, joined at stop().
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testbed {

class RecordingProxy {
public:
    static constexpr size_t kMaxConnections = 64;

    RecordingProxy() = default;
    ~RecordingProxy() { stop(); }
    RecordingProxy(const RecordingProxy&) = delete;
    RecordingProxy& operator=(const RecordingProxy&) = delete;

    bool start();
    void stop();
    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>".
    std::string url() const;

    // The request heads received so far, in arrival order.
    std::vector<std::string> heads() const;
    // Connections accepted so far.
    size_t connections() const { return connections_; }

private:
    void accept_loop();
    void serve_connection(int fd);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> connections_{0};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::string> heads_;
    std::vector<std::thread> workers_;
};

}  // namespace testbed
