// The testbed's management server: HTTPS with a required client certificate
// from the given authority, on 127.0.0.1 (ephemeral port). Every form post to
// "<base path>/register" is recorded with the client certificate's subject and
// its parsed fields, and answered with the next scripted status (200 when the
// script is empty).
#pragma once

#include <openssl/x509.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "testbed/https_server.h"

namespace testbed {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// "a=1&b=%5B2%5D" -> {{"a","1"},{"b","[2]"}}; "+" decodes to a blank.
FormFields parse_form(const std::string& body);

struct ManagementPost {
    std::string path;
    std::string client_subject;  // RFC 2253
    std::string peer;            // "address:port" of the connecting side (a proxy's, when proxied)
    std::string content_type;
    std::string body;            // as sent
    FormFields fields;           // decoded, in order
    int status = 0;              // what the server answered

    // First value of `name`, or "" (see has()).
    std::string field(const std::string& name) const;
    bool has(const std::string& name) const;
};

struct ManagementServerOptions {
    const Credential* identity = nullptr;  // server certificate and key (required)
    X509* client_ca = nullptr;             // client certificates must chain to it (required)
    std::string base_path = "/mgmt";
    // Keep every post; off for long benchmark runs (then only counted).
    bool keep_posts = true;
    uint16_t port = 0;  // 0 = ephemeral
};

class ManagementServer {
public:
    ManagementServer() = default;
    ~ManagementServer() { stop(); }
    ManagementServer(const ManagementServer&) = delete;
    ManagementServer& operator=(const ManagementServer&) = delete;

    bool start(const ManagementServerOptions& options);
    void stop();

    // "https://127.0.0.1:<port><base path>" (what the endpoint is configured with).
    std::string base_url() const;
    uint16_t port() const { return https_.port(); }

    // Statuses for the next posts, in order; afterwards `fallback`. A status
    // of 0 holds that post until release() (or stop, or 30 s) and answers 200.
    void script(std::vector<int> statuses, int fallback = 200);
    // Waits (bounded) until a post is held; release() lets held posts go.
    bool wait_for_held(std::chrono::milliseconds timeout) const { return https_.wait_for_stalled(1, timeout); }
    void release() { https_.release_stalls(); }
    std::vector<ManagementPost> posts() const;
    size_t post_count() const;
    // Waits (bounded) until at least `n` posts were recorded.
    bool wait_for_posts(size_t n, std::chrono::milliseconds timeout) const;
    // Handshakes refused, e.g. for a missing or foreign client certificate.
    int failed_handshakes() const { return https_.failed_handshakes(); }

private:
    void handle(const HttpRequest& request, HttpExchange& exchange);

    HttpsServer https_;
    std::string base_path_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<int> script_;
    int fallback_ = 200;
    std::vector<ManagementPost> posts_;
    size_t post_count_ = 0;
    bool keep_posts_ = true;
};

}  // namespace testbed
