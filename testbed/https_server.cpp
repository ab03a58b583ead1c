#include "testbed/https_server.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace testbed {

namespace {

constexpr size_t MAX_HEADER_BYTES = 64 * 1024;
constexpr size_t MAX_BODY_BYTES = 256u * 1024 * 1024;
constexpr auto IDLE_TIMEOUT = std::chrono::seconds(30);

const char* reason(int status) {
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 423: return "Locked";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string status_head(int status, const HttpHeaders& headers) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    return head;
}

// Parses the request line and header lines of `head` (without the blank line).
bool parse_head(const std::string& head, HttpRequest& req) {
    size_t eol = head.find("\r\n");
    std::string line = head.substr(0, eol);
    size_t sp1 = line.find(' ');
    size_t sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) return false;
    req.method = line.substr(0, sp1);
    req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t q = req.target.find('?');
    req.path = req.target.substr(0, q);
    req.query = q == std::string::npos ? "" : req.target.substr(q + 1);
    size_t pos = eol == std::string::npos ? head.size() : eol + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos) end = head.size();
        std::string field = head.substr(pos, end - pos);
        size_t colon = field.find(':');
        if (colon == std::string::npos) return false;
        req.headers.emplace_back(field.substr(0, colon), trim(field.substr(colon + 1)));
        pos = end + 2;
    }
    return true;
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
    return {};
}

bool HttpRequest::has_header(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return strcasecmp(h.first.c_str(), name.c_str()) == 0; });
}

std::string HttpRequest::param(const std::string& name, const std::string& fallback) const {
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        if (amp == std::string::npos) amp = query.size();
        std::string pair = query.substr(pos, amp - pos);
        size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name) return eq == std::string::npos ? "" : pair.substr(eq + 1);
        pos = amp + 1;
    }
    return fallback;
}

bool HttpExchange::respond(int status, const std::string& body, const HttpHeaders& headers) {
    answered_ = true;
    std::string head = status_head(status, headers);
    if (status != 204 && status != 304) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    head += "\r\n";
    return conn_.write_all(head) && conn_.write_all(body);
}

bool HttpExchange::respond_cut(int status, const std::string& body, size_t announced) {
    std::string head = status_head(status, {}) + "Content-Length: " + std::to_string(announced) + "\r\n\r\n";
    bool written = conn_.write_all(head) && conn_.write_all(body);
    drop();
    return written;
}

bool HttpExchange::begin_chunked(int status, const HttpHeaders& headers) {
    answered_ = true;
    return conn_.write_all(status_head(status, headers) + "Transfer-Encoding: chunked\r\n\r\n");
}

bool HttpExchange::write_chunk(const void* data, size_t len) {
    if (len == 0) return true;
    char size[32];
    int n = snprintf(size, sizeof size, "%zx\r\n", len);
    return conn_.write_all(size, static_cast<size_t>(n)) && conn_.write_all(data, len) && conn_.write_all("\r\n", 2);
}

bool HttpExchange::end_chunked() { return conn_.write_all("0\r\n\r\n", 5); }

bool HttpExchange::stall(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(server_.mutex_);
    const uint64_t generation = server_.release_generation_;
    ++server_.stalled_;
    ++server_.stalls_begun_;
    server_.changed_.notify_all();
    bool released = server_.changed_.wait_for(
        lock, bound, [&] { return server_.release_generation_ != generation || server_.stopping_; });
    released = released && !server_.stopping_;
    --server_.stalled_;
    server_.changed_.notify_all();
    return released;
}

bool HttpExchange::write_raw(const std::string& bytes) {
    answered_ = true;
    return conn_.write_all(bytes);
}

void HttpExchange::drop() {
    dropped_ = true;
    answered_ = true;
    conn_.close();
}

HttpsServer::~HttpsServer() { stop(); }

bool HttpsServer::start(const TlsServerOptions& options) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    return tls_.start(options, [this](TlsConnection& conn) {
        int connection;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connection = ++next_connection_;
        }
        serve_connection(conn, connection);
    });
}

void HttpsServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    tls_.stop();
}

std::string HttpsServer::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port()) + path;
}

std::string HttpsServer::localhost_url(const std::string& path) const {
    return "https://localhost:" + std::to_string(port()) + path;
}

void HttpsServer::on(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[path] = std::move(handler);
}

std::vector<HttpRequest> HttpsServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t HttpsServer::request_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_total_;
}

bool HttpsServer::wait_for_requests(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return request_total_ >= n; });
}

int HttpsServer::stalled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stalled_;
}

bool HttpsServer::wait_for_stalled(int n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return stalled_ >= n; });
}

int HttpsServer::stalls_begun() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stalls_begun_;
}

bool HttpsServer::wait_for_stalls_begun(int n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return stalls_begun_ >= n; });
}

void HttpsServer::release_stalls() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++release_generation_;
    }
    changed_.notify_all();
}

void HttpsServer::serve_connection(TlsConnection& conn, int connection) {
    std::string in;
    char buf[16384];
    while (!conn.stopping()) {
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos) {
            if (in.size() > MAX_HEADER_BYTES) return;
            long got = conn.read(buf, sizeof buf, std::chrono::duration_cast<std::chrono::milliseconds>(IDLE_TIMEOUT));
            if (got <= 0) return;
            in.append(buf, static_cast<size_t>(got));
        }
        HttpRequest req;
        if (!parse_head(in.substr(0, end), req)) {
            HttpExchange(*this, conn).respond(400, "bad request", {{"Connection", "close"}});
            return;
        }
        in.erase(0, end + 4);
        req.client_subject = conn.peer_subject();
        req.peer = conn.peer();
        req.connection = connection;
        if (strcasecmp(req.header("Transfer-Encoding").c_str(), "chunked") == 0) {
            HttpExchange(*this, conn).respond(501, "chunked request bodies are not supported", {{"Connection", "close"}});
            return;
        }
        size_t length = strtoull(req.header("Content-Length").c_str(), nullptr, 10);
        if (length > MAX_BODY_BYTES) return;
        if (length > in.size() && strcasecmp(req.header("Expect").c_str(), "100-continue") == 0 &&
            !conn.write_all("HTTP/1.1 100 Continue\r\n\r\n"))
            return;
        while (in.size() < length) {
            long got = conn.read(buf, sizeof buf);
            if (got <= 0) return;
            in.append(buf, static_cast<size_t>(got));
        }
        req.body = in.substr(0, length);
        in.erase(0, length);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++request_total_;
            if (keep_requests_) requests_.push_back(req);
        }
        changed_.notify_all();

        HttpExchange ex(*this, conn);
        dispatch(req, ex);
        if (ex.dropped_) return;
        if (!ex.answered_ && !ex.respond(500, "no answer")) return;
        if (strcasecmp(req.header("Connection").c_str(), "close") == 0) return;
    }
}

void HttpsServer::dispatch(const HttpRequest& req, HttpExchange& ex) {
    Handler custom;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handlers_.find(req.path);
        if (it != handlers_.end()) custom = it->second;
    }
    if (custom) {
        custom(req, ex);
        return;
    }
    if (answer_hostile(req, ex)) return;
    if (req.path.rfind("/status/", 0) == 0) {
        int status = atoi(req.path.c_str() + 8);
        if (status < 100 || status > 599) status = 400;
        ex.respond(status, status == 204 ? "" : "status " + std::to_string(status));
    } else if (req.path == "/large") {
        uint64_t size = strtoull(req.param("size", "1048576").c_str(), nullptr, 10);
        size_t chunk = strtoull(req.param("chunk", "16384").c_str(), nullptr, 10);
        chunk = std::clamp<size_t>(chunk, 1, 1024 * 1024);
        std::string pattern(chunk + 26, '\0');
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = pattern_byte(i);
        if (!ex.begin_chunked(200, {{"Content-Type", "application/octet-stream"}})) return;
        for (uint64_t sent = 0; sent < size && !tls_.stopping();) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, size - sent));
            if (!ex.write_chunk(pattern.data() + sent % 26, n)) return ex.drop();
            sent += n;
        }
        ex.end_chunked();
    } else if (req.path == "/redirect-loop") {
        ex.respond(302, "again", {{"Location", "/redirect-loop"}});
    } else if (req.path == "/stall") {
        if (ex.stall(std::chrono::milliseconds(stall_bound_ms_.load())))
            ex.respond(200, "late");
        else
            ex.drop();
    } else if (req.path == "/echo") {
        ex.respond(200, req.body, {{"Content-Type", "application/octet-stream"}});
    } else {
        ex.respond(404, "not found");
    }
}

bool HttpsServer::answer_hostile(const HttpRequest& req, HttpExchange& ex) {
    if (req.path.rfind("/hostile/", 0) != 0) return false;
    const std::string what = req.path.substr(9);
    std::string block(16384, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = pattern_byte(i % 26);
    // Sends `piece` again and again until the client leaves, the server stops
    // or the bound is reached.
    auto repeat = [&](const std::function<bool()>& piece) {
        for (uint64_t sent = 0; sent < kHostileBound && !tls_.stopping(); sent += block.size())
            if (!piece()) break;
    };
    if (what == "cut-chunked") {
        ex.write_raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n<policy>TRUNCAT");
    } else if (what == "cut-length") {
        ex.respond_cut(200, "<policy>TRUNCAT", 64);
        return true;
    } else if (what == "unframed") {
        ex.write_raw("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n<policy>TRUNCAT");
    } else if (what == "endless") {
        if (ex.begin_chunked(200)) repeat([&] { return ex.write_chunk(block.data(), block.size()); });
    } else if (what == "endless-headers") {
        if (ex.write_raw("HTTP/1.1 200 OK\r\n"))
            repeat([&] { return ex.write_raw("X-Filler: " + block.substr(0, block.size() - 14) + "\r\n"); });
    } else if (what == "sized") {
        const uint64_t size = std::min<uint64_t>(strtoull(req.param("size", "0").c_str(), nullptr, 10), kHostileBound);
        if (!ex.write_raw("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n")) return true;
        for (uint64_t sent = 0; sent < size && !tls_.stopping();) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - sent));
            if (!ex.write_raw(block.substr(0, n))) break;
            sent += n;
        }
        return true;
    } else if (what == "redirect") {
        ex.respond(302, "moved", {{"Location", req.param("to")}});
        return true;
    } else {
        ex.respond(404, "not found");
        return true;
    }
    ex.drop();
    return true;
}

std::string large_download() {
    std::string bytes(4 << 20, '\0');
    uint32_t state = 0x2545F491u;  // xorshift32
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

}  // namespace testbed
