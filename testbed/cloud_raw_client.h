// A bare TLS client of the framed cloud protocol, with no query engine: it
// writes frames built by the project's codec and reads whatever the server
// sends. Used by the cloud server's own tests and as the ceiling of the cloud
// benchmark. One thread per client; every wait is bounded.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <string>

#include "testbed/cloud_server.h"

namespace testbed {

struct RawClientOptions {
    uint16_t port = 0;                     // 127.0.0.1:port
    const Credential* identity = nullptr;  // client certificate and key; none when null
    X509* trust = nullptr;                 // authority of the server certificate; unchecked when null
    std::chrono::milliseconds timeout{5000};  // bound of the handshake and of each write
};

class RawCloudClient {
public:
    enum class Read { frame, timeout, closed, error };

    RawCloudClient() = default;
    ~RawCloudClient();
    RawCloudClient(const RawCloudClient&) = delete;
    RawCloudClient& operator=(const RawCloudClient&) = delete;

    // TCP connect and TLS handshake. On failure the OpenSSL error that ended
    // the handshake is kept (e.g. 0A000418 for the "unknown CA" alert).
    bool connect(const RawClientOptions& options);
    unsigned long last_error() const { return last_error_; }
    std::string last_error_text() const;

    bool send_bytes(const uint8_t* bytes, size_t n);
    bool send_bytes(const Bytes& bytes) { return send_bytes(bytes.data(), bytes.size()); }
    // A kind-0 frame through cv_encode_query_tcp / a kind-1 frame through cv_encode_message.
    bool send_query(CorvaneQuery_t* query);
    bool send_message(CorvaneMessage_t* message);

    // Reads one whole frame (kind and payload) within `timeout`. A frame
    // whose length field exceeds the protocol's maximum reads as error.
    Read read_frame(uint8_t* kind, Bytes* payload, std::chrono::milliseconds timeout);
    // read_frame() of a kind-0 frame decoded with cv_decode_response; null
    // on anything else.
    ResponsePtr read_response(std::chrono::milliseconds timeout);
    // Everything the server sends until it closes or `timeout` passes
    // (buffered, unparsed bytes included); `closed` tells which.
    Bytes read_until_closed(std::chrono::milliseconds timeout, bool* closed);

    void close();
    bool connected() const { return ssl_ != nullptr; }
    SSL* ssl() const { return ssl_; }

private:
    // Moves received bytes into the buffer: 1 got some, 0 timeout, -1 closed, -2 error.
    int fill(std::chrono::steady_clock::time_point deadline);
    bool wait_io(int ssl_error, std::chrono::steady_clock::time_point deadline);

    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
    unsigned long last_error_ = 0;
    std::chrono::milliseconds timeout_{5000};
    Bytes in_;
    Bytes frame_;  // encoding buffer, kept between sends
};

}  // namespace testbed
