// The testbed's EST server: HTTPS on 127.0.0.1 (ephemeral port), one connection
// at a time on its own thread, every wait bounded.
//   POST /.well-known/est/simpleenroll  signs the base64 PKCS#10 body with the
//        test CA and answers a base64 PKCS#7 (certs-only) as
//        "application/pkcs7-mime"; optional basic, digest or bearer
//        authentication with 401 challenges, GUID-signature check, the
//        second generation's "<guid>.qrv" user with its JSON password, and scripted
//        misbehaviour (other statuses, raw status lines, Retry-After, huge or
//        short bodies, wrong content type, a certificate for another key).
//   GET /domains                        the configured body and status, or no
//                                       answer at all (domains_close).
// Responses are written raw, so any status line can be sent.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testbed/pki.h"

namespace testbed {

enum class EstAuth { None, Basic, Digest, Bearer };

struct EstBehaviour {
    // Authentication demanded on simpleenroll. A request without (or with
    // wrong) credentials gets a 401 with the challenge below.
    EstAuth auth = EstAuth::None;
    std::string user;      // basic and digest
    std::string password;  // basic and digest
    std::string token;     // bearer (the client sends it base64-encoded)
    std::string realm = "dtk est realm";
    std::string nonce = "6f0e5a1c9d2b4e8f";
    std::string algorithm = "MD5";  // empty: no algorithm parameter
    bool challenge_qop = true;
    // Basic credentials are a GUID and the base64 signature of its 36
    // characters made with the key of the request's CSR.
    bool verify_guid_signature = false;
    // Second generation: basic credentials are the user `v2_user` ("<guid>.qrv")
    // and exactly the JSON object {"actcode":..,"devid":..,"productid":..}
    // with these values; the CSR must carry CN = user and O = `v2_org`.
    bool verify_ekdsv2 = false;
    std::string v2_user, v2_org, v2_actcode, v2_devid, v2_productid;

    // Misbehaviour, applied after a successful authentication.
    int status = 200;                // any other value answers that status without signing
    std::string retry_after;         // with status 202
    std::string raw_status_line;     // replaces the status line (no CRLF), e.g. "HTTP/1.0 200 OK"
    std::string content_type = "application/pkcs7-mime; smime-type=certs-only";
    size_t huge_body = 0;            // answer 200 with this many body bytes instead of a certificate
    long content_length_excess = 0;  // Content-Length claims this many bytes more than are sent
    bool cert_for_other_key = false; // issue the certificate for a fresh key
    long issued_not_after = 2L * 365 * 24 * 3600;  // validity of issued certificates, seconds from now
    int answer_delay_ms = 0;         // an authorised enrolment is answered this long after it was read

    // GET /domains
    int domains_status = 200;
    std::string domains_body = "v1:qrv_v2";
    bool domains_close = false;  // close the connection without answering /domains
};

struct EstServerStats {
    int connections = 0;        // TCP connections accepted
    int handshakes = 0;         // completed TLS handshakes
    int enroll_requests = 0;    // simpleenroll requests read
    int challenges = 0;         // 401 answers
    int digest_verified = 0;    // digest lines whose response was right
    int digest_rejected = 0;
    int guid_verified = 0;      // GUID signatures that verified
    int guid_rejected = 0;
    int v2_verified = 0;        // second-generation credentials that matched
    int v2_rejected = 0;
    int issued = 0;             // certificates issued
    int domains_requests = 0;
    std::vector<std::string> authorizations;  // Authorization header of each enroll request ("" if none)
    std::string last_csr_subject;             // one-line subject ("/O=.../CN=...") of the last CSR
};

struct EstServerOptions {
    const Credential* identity = nullptr;  // server certificate and key (required)
    std::vector<X509*> chain;              // further certificates sent after it
    Authority* ca = nullptr;               // signs the CSRs (required for enrolment)
    uint16_t port = 0;                     // 0 = ephemeral
};

class EstServer {
public:
    EstServer() = default;
    ~EstServer() { stop(); }
    EstServer(const EstServer&) = delete;
    EstServer& operator=(const EstServer&) = delete;

    bool start(const EstServerOptions& options);
    void stop();
    uint16_t port() const { return port_; }

    void set_behaviour(const EstBehaviour& behaviour);
    EstBehaviour behaviour() const;
    EstServerStats stats() const;
    void reset_stats();

private:
    void accept_loop();
    void serve(int fd);
    std::string enroll(const EstBehaviour& b, const std::string& authorization, const std::string& body);
    bool authorized(const EstBehaviour& b, const std::string& authorization, X509_REQ* csr);

    SSL_CTX* ctx_ = nullptr;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    Authority* ca_ = nullptr;
    std::atomic<bool> stopping_ {false};
    std::thread thread_;
    mutable std::mutex mutex_;
    EstBehaviour behaviour_;
    EstServerStats stats_;
};

}  // namespace testbed
