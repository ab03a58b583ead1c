// An HTTPS/1.1 server for tests on 127.0.0.1 (ephemeral port), with keep-alive.
// Built-in paths:
//   /status/<code>          that status ("status <code>" as body; none for 204)
//   /large?size=N&chunk=M   N bytes of pattern_byte() in chunks of M (chunked encoding)
//   /redirect-loop          302 to itself
//   /stall                  answers only after release_stalls(), stop() or the stall bound
//   /echo                   200 with the request body
// Hostile answers, each bounded so that a client that never gives up cannot
// keep the server busy for good:
//   /hostile/cut-chunked    a chunk that announces more than it carries, then the connection drops
//   /hostile/cut-length     a body shorter than its Content-Length, then the connection drops
//   /hostile/unframed       a body with neither length nor chunks, ended by closing the connection
//   /hostile/endless        chunks until the client leaves (at most kHostileBound bytes)
//   /hostile/endless-headers header lines until the client leaves (at most kHostileBound bytes)
//   /hostile/sized?size=N   a whole body of N bytes with Content-Length (N at most kHostileBound)
//   /hostile/redirect?to=U  302 to U, whatever its scheme
// Any other path: the handler registered with on(), else 404.
// Every request is recorded (method, target, headers, body, client subject, peer).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "testbed/tls_server.h"

namespace testbed {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string path;    // target without the query
    std::string query;
    HttpHeaders headers;
    std::string body;
    std::string client_subject;  // RFC 2253; empty without a client certificate
    std::string peer;            // "127.0.0.1:port" of the connecting side
    int connection = 0;          // sequence number of the connection it came on

    // First value of a header (name compared case-insensitively), or "".
    std::string header(const std::string& name) const;
    bool has_header(const std::string& name) const;
    // Value of a query parameter, or `fallback`.
    std::string param(const std::string& name, const std::string& fallback = "") const;
};

// Most bytes a hostile answer sends.
constexpr uint64_t kHostileBound = uint64_t{1} << 30;

// The byte at `offset` of every streamed test body.
inline char pattern_byte(uint64_t offset) { return static_cast<char>('a' + offset % 26); }

class HttpsServer;

// What a handler uses to answer one request.
class HttpExchange {
public:
    // A complete response with Content-Length (none for 204 and 304).
    bool respond(int status, const std::string& body, const HttpHeaders& headers = {});
    // A response that announces `announced` bytes of body, sends only `body`
    // and drops the connection: a transfer cut short.
    bool respond_cut(int status, const std::string& body, size_t announced);
    // A chunked response: begin, any number of chunks, end.
    bool begin_chunked(int status, const HttpHeaders& headers = {});
    bool write_chunk(const void* data, size_t len);
    bool end_chunked();
    // Waits until release_stalls(), stop() or `bound` (whichever first). True
    // when released normally, false when the server stops or the bound passed.
    bool stall(std::chrono::milliseconds bound);
    // Bytes as they are, for answers no well-behaved server gives.
    bool write_raw(const std::string& bytes);
    // Drops the connection without answering.
    void drop();
    bool answered() const { return answered_; }

private:
    friend class HttpsServer;
    HttpExchange(HttpsServer& server, TlsConnection& conn) : server_(server), conn_(conn) {}
    HttpsServer& server_;
    TlsConnection& conn_;
    bool answered_ = false;
    bool dropped_ = false;
};

class HttpsServer {
public:
    using Handler = std::function<void(const HttpRequest&, HttpExchange&)>;

    HttpsServer() = default;
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    bool start(const TlsServerOptions& options);
    void stop();

    uint16_t port() const { return tls_.port(); }
    // "https://127.0.0.1:<port><path>" and "https://localhost:<port><path>".
    std::string url(const std::string& path) const;
    std::string localhost_url(const std::string& path) const;

    // Handler for an exact path (replaces a built-in one). Set before requests arrive.
    void on(const std::string& path, Handler handler);
    // How long /stall holds a request at most.
    void set_stall_bound(std::chrono::milliseconds bound) { stall_bound_ms_ = bound.count(); }

    // Off: requests are only counted, not kept (long benchmark runs).
    void set_keep_requests(bool keep) {
        std::lock_guard<std::mutex> lock(mutex_);
        keep_requests_ = keep;
    }
    std::vector<HttpRequest> requests() const;
    size_t request_count() const;
    // Waits (bounded) until at least `n` requests were recorded.
    bool wait_for_requests(size_t n, std::chrono::milliseconds timeout) const;
    // Requests now held by stall(); waits (bounded) until at least `n` are.
    int stalled() const;
    bool wait_for_stalled(int n, std::chrono::milliseconds timeout) const;
    // Stalls begun since start. Unlike stalled(), a stall released just before
    // the count is read cannot hide a new one, so a test waits on this one.
    int stalls_begun() const;
    bool wait_for_stalls_begun(int n, std::chrono::milliseconds timeout) const;
    void release_stalls();
    int failed_handshakes() const { return tls_.failed_handshakes(); }
    int connections() const { return tls_.accepted(); }

private:
    friend class HttpExchange;
    void serve_connection(TlsConnection& conn, int connection);
    void dispatch(const HttpRequest& req, HttpExchange& ex);
    // The /hostile/ answers; false when `req` names none of them.
    bool answer_hostile(const HttpRequest& req, HttpExchange& ex);

    TlsServer tls_;
    std::map<std::string, Handler> handlers_;
    std::atomic<int64_t> stall_bound_ms_{60000};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<HttpRequest> requests_;
    size_t request_total_ = 0;
    bool keep_requests_ = true;
    int stalled_ = 0;
    int stalls_begun_ = 0;
    uint64_t release_generation_ = 0;
    bool stopping_ = false;
    int next_connection_ = 0;
};

// The body `dtk-testbed up` serves at /files/large.bin: 4 MiB that do not
// repeat in any short period, long enough a download for its progress to show.
std::string large_download();

}  // namespace testbed
