// A plain HTTP/1.1 server for PAC and wpad.dat files (WPAD is fetched over
// plain HTTP), or a hostile proxy asking for Basic credentials. Binds 127.0.0.1 by default, on an ephemeral port or a given
// one (port 80 inside a test's own network namespace). One thread per
// connection; every connection is closed after one answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testbed {

class HttpFileServer {
public:
    HttpFileServer() = default;
    ~HttpFileServer();
    HttpFileServer(const HttpFileServer&) = delete;
    HttpFileServer& operator=(const HttpFileServer&) = delete;

    // False when the address cannot be bound.
    bool start(const std::string& address = "127.0.0.1", uint16_t port = 0);
    // Stops accepting, releases stalled requests and joins every thread.
    void stop();

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port><path>".
    std::string url(const std::string& path) const;

    // Answers GET `path` with 200 and `body`.
    void serve(const std::string& path, const std::string& body,
               const std::string& type = "application/x-ns-proxy-autoconfig");
    // Holds requests for `path` without answering until stop().
    void stall(const std::string& path);

    // Host headers of the requests for `path`, in arrival order.
    std::vector<std::string> hosts_asking(const std::string& path) const;

    // Plays a proxy that wants credentials: every request, whatever it asks
    // for (CONNECT included), is answered with 407 and
    // "Proxy-Authenticate: Basic". Nothing is ever granted.
    void challenge_as_proxy();
    // Every request head received (request line and headers), in arrival order.
    std::vector<std::string> heads() const;

private:
    struct File {
        std::string body;
        std::string type;
        bool stall = false;
    };
    void accept_loop();
    void serve_connection(int fd);

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::string address_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::map<std::string, File> files_;
    std::map<std::string, std::vector<std::string>> hosts_;
    std::vector<std::string> heads_;
    bool challenge_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace testbed
