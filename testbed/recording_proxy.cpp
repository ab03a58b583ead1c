#include "testbed/recording_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace testbed {

namespace {

constexpr int kPollSliceMs = 50;
constexpr size_t kMaxHead = 16 * 1024;
constexpr int kMaxRequestsPerConnection = 8;
constexpr auto kIdleBound = std::chrono::seconds(5);

const char kChallenge[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"proxy\"\r\n"
    "Content-Length: 0\r\n\r\n";

}  // namespace

bool RecordingProxy::start() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd_, 64) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    port_ = ntohs(addr.sin_port);
    stopping_ = false;
    acceptor_ = std::thread([this] { accept_loop(); });
    return true;
}

void RecordingProxy::stop() {
    if (listen_fd_ < 0) return;
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers) worker.join();
    close(listen_fd_);
    listen_fd_ = -1;
}

std::string RecordingProxy::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> RecordingProxy::heads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_;
}

void RecordingProxy::accept_loop() {
    while (!stopping_) {
        pollfd pfd{listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, kPollSliceMs) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_.size() >= kMaxConnections) {
            close(fd);
            continue;
        }
        workers_.emplace_back([this, fd] {
            serve_connection(fd);
            close(fd);
        });
    }
}

void RecordingProxy::serve_connection(int fd) {
    std::string buffered;
    for (int request = 0; request < kMaxRequestsPerConnection; ++request) {
        const auto deadline = std::chrono::steady_clock::now() + kIdleBound;
        size_t end;
        while ((end = buffered.find("\r\n\r\n")) == std::string::npos) {
            if (stopping_ || buffered.size() > kMaxHead || std::chrono::steady_clock::now() > deadline) return;
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, kPollSliceMs) <= 0) continue;
            char buf[2048];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            buffered.append(buf, static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            heads_.push_back(buffered.substr(0, end + 4));
        }
        // A request to forward may carry a body; this proxy never reads one,
        // so it answers and ends the connection after such a request.
        const bool body = buffered.find("Content-Length:") < end || buffered.find("content-length:") < end;
        buffered.erase(0, end + 4);
        if (send(fd, kChallenge, sizeof kChallenge - 1, MSG_NOSIGNAL) < 0 || body) return;
    }
}

}  // namespace testbed
