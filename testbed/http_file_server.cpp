#include "testbed/http_file_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>

namespace testbed {

namespace {

constexpr int POLL_SLICE_MS = 50;
constexpr size_t MAX_REQUEST = 16 * 1024;
constexpr auto IO_BOUND = std::chrono::seconds(10);

std::string HeaderValue(const std::string& head, const std::string& name) {
    size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        size_t colon = head.find(':', pos);
        size_t end = head.find("\r\n", pos);
        if (colon == std::string::npos || colon > end) continue;
        std::string key = head.substr(pos, colon - pos);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key != name) continue;
        size_t value = head.find_first_not_of(' ', colon + 1);
        return head.substr(value, end - value);
    }
    return "";
}

bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR) return false;
        if (n > 0) sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

HttpFileServer::~HttpFileServer() { stop(); }

bool HttpFileServer::start(const std::string& address, uint16_t port) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return false;
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    socklen_t len = sizeof addr;
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd_, 64) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    address_ = address;
    port_ = ntohs(addr.sin_port);
    stopping_ = false;
    acceptor_ = std::thread([this] { accept_loop(); });
    return true;
}

void HttpFileServer::stop() {
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

std::string HttpFileServer::url(const std::string& path) const {
    return "http://" + address_ + ":" + std::to_string(port_) + path;
}

void HttpFileServer::serve(const std::string& path, const std::string& body, const std::string& type) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[path] = File{body, type, false};
}

void HttpFileServer::stall(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[path] = File{"", "", true};
}

void HttpFileServer::challenge_as_proxy() {
    std::lock_guard<std::mutex> lock(mutex_);
    challenge_ = true;
}

std::vector<std::string> HttpFileServer::heads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_;
}

std::vector<std::string> HttpFileServer::hosts_asking(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hosts_.find(path);
    return it == hosts_.end() ? std::vector<std::string>() : it->second;
}

void HttpFileServer::accept_loop() {
    while (!stopping_) {
        pollfd pfd{listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, POLL_SLICE_MS) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Tests make a handful of connections: their threads are joined at stop().
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, fd] {
            serve_connection(fd);
            close(fd);
        });
    }
}

void HttpFileServer::serve_connection(int fd) {
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + IO_BOUND;
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (stopping_ || head.size() > MAX_REQUEST || std::chrono::steady_clock::now() > deadline) return;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, POLL_SLICE_MS) <= 0) continue;
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        head.append(buf, static_cast<size_t>(n));
    }
    bool challenge;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        heads_.push_back(head.substr(0, head.find("\r\n\r\n") + 4));
        challenge = challenge_;
    }
    if (challenge) {
        SendAll(fd, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n"
                    "Content-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    // "GET /path?query HTTP/1.1"
    size_t sp1 = head.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : head.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) return;
    std::string path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    path = path.substr(0, path.find('?'));
    File file;
    bool found;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hosts_[path].push_back(HeaderValue(head, "host"));
        auto it = files_.find(path);
        found = it != files_.end();
        if (found) file = it->second;
    }
    if (file.stall) {
        while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(POLL_SLICE_MS));
        return;
    }
    std::string status = found ? "200 OK" : "404 Not Found";
    std::string body = found ? file.body : "not found\n";
    std::string type = found ? file.type : "text/plain";
    SendAll(fd, "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

}  // namespace testbed
