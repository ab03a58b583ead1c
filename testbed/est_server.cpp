#include "testbed/est_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>

namespace testbed {

namespace {

constexpr int k_poll_slice_ms = 100;
constexpr int k_io_timeout_ms = 5000;
constexpr size_t k_max_request = 64 * 1024;
constexpr const char* k_enroll_path = "/.well-known/est/simpleenroll";

const char* reason_phrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 423: return "Locked";
    default: return "Internal Server Error";
    }
}

std::string base64(const unsigned char* data, size_t len, bool line_breaks)
{
    std::string out;
    if (!line_breaks) {
        out.resize(4 * ((len + 2) / 3) + 1);
        int n = EVP_EncodeBlock((unsigned char*)out.data(), data, (int)len);
        out.resize(n > 0 ? (size_t)n : 0);
        return out;
    }
    EVP_ENCODE_CTX* enc = EVP_ENCODE_CTX_new();
    out.resize(len / 48 * 65 + 66 + 1);
    int n = 0, tail = 0;
    EVP_EncodeInit(enc);
    EVP_EncodeUpdate(enc, (unsigned char*)out.data(), &n, data, (int)len);
    EVP_EncodeFinal(enc, (unsigned char*)out.data() + n, &tail);
    EVP_ENCODE_CTX_free(enc);
    out.resize((size_t)(n + tail));
    return out;
}

// Decodes base64, ignoring line breaks; false on malformed input.
bool unbase64(const std::string& text, std::string& out)
{
    std::string clean;
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != ' ') clean += c;
    }
    if (clean.size() % 4 != 0) return false;
    out.resize(clean.size() / 4 * 3 + 1);
    int n = EVP_DecodeBlock((unsigned char*)out.data(), (const unsigned char*)clean.data(), (int)clean.size());
    if (n < 0) return false;
    size_t pad = 0;
    while (pad < 2 && pad < clean.size() && clean[clean.size() - 1 - pad] == '=') pad++;
    out.resize((size_t)n - pad);
    return true;
}

std::string md5_hex(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; i++) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// Parameters of a digest line: name=value or name="value", comma separated.
std::map<std::string, std::string> digest_params(const std::string& text)
{
    std::map<std::string, std::string> params;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == ',')) i++;
        size_t eq = text.find('=', i);
        if (eq == std::string::npos) break;
        std::string name = text.substr(i, eq - i);
        i = eq + 1;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            size_t close = text.find('"', i + 1);
            if (close == std::string::npos) break;
            value = text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            size_t comma = text.find(',', i);
            value = text.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
            i = comma == std::string::npos ? text.size() : comma;
        }
        params[name] = value;
    }
    return params;
}

struct Request {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::string header(const char* name) const
    {
        for (const auto& h : headers) {
            if (strcasecmp(h.first.c_str(), name) == 0) return h.second;
        }
        return "";
    }
};

// Waits until the TLS connection has data or the bound passes.
bool wait_readable(SSL* ssl, int fd, const std::atomic<bool>& stopping)
{
    if (SSL_pending(ssl) > 0) return true;
    for (int waited = 0; waited < k_io_timeout_ms && !stopping.load(); waited += k_poll_slice_ms) {
        pollfd pfd {fd, POLLIN, 0};
        int rc = poll(&pfd, 1, k_poll_slice_ms);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
    return false;
}

bool read_request(SSL* ssl, int fd, const std::atomic<bool>& stopping, Request& req)
{
    std::string data;
    size_t header_end = std::string::npos;
    char buf[8192];
    for (int reads = 0; reads < 256 && header_end == std::string::npos; reads++) {
        if (!wait_readable(ssl, fd, stopping)) return false;
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) return false;
        data.append(buf, (size_t)n);
        header_end = data.find("\r\n\r\n");
        if (data.size() > k_max_request) return false;
    }
    if (header_end == std::string::npos) return false;
    size_t line_end = data.find("\r\n");
    std::string line = data.substr(0, line_end);
    size_t sp1 = line.find(' ');
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
    req.method = line.substr(0, sp1);
    req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t pos = line_end + 2;
    while (pos < header_end) {
        size_t eol = data.find("\r\n", pos);
        std::string h = data.substr(pos, eol - pos);
        size_t colon = h.find(':');
        if (colon != std::string::npos) {
            size_t v = colon + 1;
            while (v < h.size() && h[v] == ' ') v++;
            req.headers.emplace_back(h.substr(0, colon), h.substr(v));
        }
        pos = eol + 2;
    }
    size_t length = strtoul(req.header("Content-Length").c_str(), nullptr, 10);
    if (length > k_max_request) return false;
    req.body = data.substr(header_end + 4);
    for (int reads = 0; reads < 256 && req.body.size() < length; reads++) {
        if (!wait_readable(ssl, fd, stopping)) return false;
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) return false;
        req.body.append(buf, (size_t)n);
    }
    if (req.body.size() < length) return false;
    req.body.resize(length);
    return true;
}

bool write_all(SSL* ssl, const std::string& data)
{
    size_t off = 0;
    for (int writes = 0; off < data.size() && writes < 100000; writes++) {
        int n = SSL_write(ssl, data.data() + off, (int)std::min<size_t>(data.size() - off, 1 << 16));
        if (n <= 0) return false;
        off += (size_t)n;
    }
    return off == data.size();
}

std::string status_line(const EstBehaviour& b, int status)
{
    if (!b.raw_status_line.empty()) return b.raw_status_line + "\r\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) + "\r\n";
}

std::string challenge(const EstBehaviour& b)
{
    std::string h = "WWW-Authenticate: ";
    switch (b.auth) {
    case EstAuth::Basic: h += "Basic realm=\"" + b.realm + "\""; break;
    case EstAuth::Bearer: h += "Bearer realm=\"" + b.realm + "\""; break;
    default:
        h += "Digest realm=\"" + b.realm + "\", nonce=\"" + b.nonce + "\"";
        if (b.challenge_qop) h += ", qop=\"auth\"";
        if (!b.algorithm.empty()) h += ", algorithm=" + b.algorithm;
        break;
    }
    return h + "\r\n";
}

bool verify_guid(const std::string& guid, const std::string& sig_b64, X509_REQ* csr)
{
    std::string sig;
    EVP_PKEY* pub = csr ? X509_REQ_get0_pubkey(csr) : nullptr;
    if (guid.size() != 36 || !pub || !unbase64(sig_b64, sig)) return false;
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(pub, nullptr);
    bool ok = pctx && EVP_PKEY_verify_init(pctx) == 1 &&
              EVP_PKEY_verify(pctx, (const unsigned char*)sig.data(), sig.size(),
                              (const unsigned char*)guid.data(), guid.size()) == 1;
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

// JSON string escaping as a strict reader expects it.
std::string json_string(const std::string& value)
{
    std::string out = "\"";
    for (unsigned char c : value) {
        if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            if (c == '"' || c == '\\') out += '\\';
            out += (char)c;
        }
    }
    return out + "\"";
}

bool csr_name_is(X509_REQ* csr, int nid, const std::string& expected)
{
    X509_NAME* name = csr ? X509_REQ_get_subject_name(csr) : nullptr;
    char buf[256] = {0};
    int n = name ? X509_NAME_get_text_by_NID(name, nid, buf, sizeof buf) : -1;
    return expected.empty() ? n < 0 : (n >= 0 && expected == buf);
}

bool verify_ekdsv2(const EstBehaviour& b, const std::string& user, const std::string& password, X509_REQ* csr)
{
    std::string expected = "{\"actcode\":" + json_string(b.v2_actcode) + ",\"devid\":" + json_string(b.v2_devid) +
                           ",\"productid\":" + json_string(b.v2_productid) + "}";
    return user == b.v2_user && password == expected && csr_name_is(csr, NID_commonName, b.v2_user) &&
           csr_name_is(csr, NID_organizationName, b.v2_org);
}

std::string pkcs7_certs_only(X509* cert)
{
    PKCS7* p7 = PKCS7_new();
    std::string out;
    if (p7 && PKCS7_set_type(p7, NID_pkcs7_signed) && PKCS7_content_new(p7, NID_pkcs7_data) &&
        PKCS7_add_certificate(p7, cert)) {
        unsigned char* der = nullptr;
        int len = i2d_PKCS7(p7, &der);
        if (len > 0) out = base64(der, (size_t)len, true);
        OPENSSL_free(der);
    }
    PKCS7_free(p7);
    return out;
}

}  // namespace

bool EstServer::start(const EstServerOptions& options)
{
    if (!options.identity || thread_.joinable()) return false;
    ca_ = options.ca;
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) return false;
    bool ok = SSL_CTX_use_certificate(ctx_, options.identity->x509()) == 1 &&
              SSL_CTX_use_PrivateKey(ctx_, options.identity->pkey()) == 1;
    for (X509* extra : options.chain) {
        ok = ok && SSL_CTX_add1_chain_cert(ctx_, extra) == 1;
    }
    listen_fd_ = ok ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options.port);
    socklen_t alen = sizeof addr;
    const int reuse = 1;
    // Also on ephemeral ports: connections accepted now must not block a restart on this port.
    if (listen_fd_ >= 0)
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (listen_fd_ < 0 || bind(listen_fd_, (sockaddr*)&addr, sizeof addr) != 0 ||
        listen(listen_fd_, 64) != 0 || getsockname(listen_fd_, (sockaddr*)&addr, &alen) != 0) {
        if (listen_fd_ >= 0) close(listen_fd_);
        listen_fd_ = -1;
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
        return false;
    }
    port_ = ntohs(addr.sin_port);
    stopping_ = false;
    thread_ = std::thread(&EstServer::accept_loop, this);
    return true;
}

void EstServer::stop()
{
    if (!thread_.joinable()) return;
    stopping_ = true;
    thread_.join();
    close(listen_fd_);
    listen_fd_ = -1;
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
}

void EstServer::set_behaviour(const EstBehaviour& behaviour)
{
    std::lock_guard<std::mutex> lock(mutex_);
    behaviour_ = behaviour;
}

EstBehaviour EstServer::behaviour() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return behaviour_;
}

EstServerStats EstServer::stats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void EstServer::reset_stats()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stats_ = EstServerStats {};
}

void EstServer::accept_loop()
{
    // A client that goes away mid-response must not kill the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (!stopping_.load()) {
        pollfd pfd {listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, k_poll_slice_ms) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stats_.connections++;
        }
        serve(fd);
        close(fd);
        ERR_clear_error();
    }
}

void EstServer::serve(int fd)
{
    timeval tv {k_io_timeout_ms / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(ctx_);
    if (!ssl) return;
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.handshakes++;
    }
    Request req;
    std::string response;
    if (read_request(ssl, fd, stopping_, req)) {
        const EstBehaviour b = behaviour();
        if (req.method == "GET" && req.target == "/domains") {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stats_.domains_requests++;
            }
            if (b.domains_close) {
                SSL_free(ssl);
                return;
            }
            response = "HTTP/1.1 " + std::to_string(b.domains_status) + " " + reason_phrase(b.domains_status) +
                       "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(b.domains_body.size()) +
                       "\r\nConnection: close\r\n\r\n" + b.domains_body;
        } else if (req.method == "POST" && req.target == k_enroll_path) {
            response = enroll(b, req.header("Authorization"), req.body);
        } else {
            response = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        }
        write_all(ssl, response);
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
}

bool EstServer::authorized(const EstBehaviour& b, const std::string& authorization, X509_REQ* csr)
{
    auto count = [this](int EstServerStats::*field) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.*field += 1;
    };
    switch (b.auth) {
    case EstAuth::None:
        return true;
    case EstAuth::Basic: {
        std::string pair;
        if (authorization.rfind("Basic ", 0) != 0 || !unbase64(authorization.substr(6), pair)) return false;
        size_t colon = pair.find(':');
        if (colon == std::string::npos) return false;
        std::string user = pair.substr(0, colon), password = pair.substr(colon + 1);
        if (b.verify_guid_signature) {
            bool ok = verify_guid(user, password, csr);
            count(ok ? &EstServerStats::guid_verified : &EstServerStats::guid_rejected);
            return ok;
        }
        if (b.verify_ekdsv2) {
            bool ok = verify_ekdsv2(b, user, password, csr);
            count(ok ? &EstServerStats::v2_verified : &EstServerStats::v2_rejected);
            return ok;
        }
        return user == b.user && password == b.password;
    }
    case EstAuth::Digest: {
        if (authorization.rfind("Digest ", 0) != 0) return false;
        auto p = digest_params(authorization.substr(7));
        std::string ha1 = md5_hex(b.user + ":" + b.realm + ":" + b.password);
        std::string ha2 = md5_hex(std::string("POST:") + k_enroll_path);
        std::string expected =
            md5_hex(ha1 + ":" + b.nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":" + p["qop"] + ":" + ha2);
        bool ok = p["username"] == b.user && p["realm"] == b.realm && p["nonce"] == b.nonce &&
                  p["uri"] == k_enroll_path && p["qop"] == "auth" && p["nc"] == "00000001" &&
                  p["cnonce"].size() == 16 && p["response"] == expected;
        count(ok ? &EstServerStats::digest_verified : &EstServerStats::digest_rejected);
        return ok;
    }
    case EstAuth::Bearer: {
        std::string token;
        return authorization.rfind("Bearer ", 0) == 0 && unbase64(authorization.substr(7), token) &&
               !b.token.empty() && token == b.token;
    }
    }
    return false;
}

std::string EstServer::enroll(const EstBehaviour& b, const std::string& authorization, const std::string& body)
{
    X509ReqPtr csr;
    std::string der;
    if (unbase64(body, der)) {
        const unsigned char* p = (const unsigned char*)der.data();
        csr.reset(d2i_X509_REQ(nullptr, &p, (long)der.size()));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.enroll_requests++;
        stats_.authorizations.push_back(authorization);
        stats_.last_csr_subject.clear();
        if (csr) {
            char* s = X509_NAME_oneline(X509_REQ_get_subject_name(csr.get()), nullptr, 0);
            if (s) stats_.last_csr_subject = s;
            OPENSSL_free(s);
        }
    }
    const std::string tail = "Connection: close\r\n\r\n";
    if (!authorized(b, authorization, csr.get())) {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.challenges++;
        return status_line(b, 401) + challenge(b) + "Content-Length: 0\r\n" + tail;
    }
    const auto answer_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(b.answer_delay_ms);
    while (!stopping_.load() && std::chrono::steady_clock::now() < answer_at) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (b.status != 200) {
        std::string r = status_line(b, b.status);
        if (b.status == 202 && !b.retry_after.empty()) r += "Retry-After: " + b.retry_after + "\r\n";
        return r + "Content-Length: 0\r\n" + tail;
    }
    if (b.huge_body) {
        return status_line(b, 200) + "Content-Type: " + b.content_type + "\r\nContent-Length: " +
               std::to_string(b.huge_body) + "\r\n" + tail + std::string(b.huge_body, 'A');
    }
    X509Ptr cert;
    CertSpec spec;
    spec.not_after = b.issued_not_after;
    if (csr && ca_) {
        if (b.cert_for_other_key) {
            PKeyPtr other = generate_key(KeyType::P256);
            X509ReqPtr other_csr = make_csr(other.get(), "other key");
            cert = ca_->sign_csr(other_csr.get(), spec);
        } else {
            cert = ca_->sign_csr(csr.get(), spec);
        }
    }
    std::string p7 = cert ? pkcs7_certs_only(cert.get()) : std::string();
    if (p7.empty()) {
        return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n" + tail;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.issued++;
    }
    return status_line(b, 200) + "Content-Type: " + b.content_type +
           "\r\nContent-Transfer-Encoding: base64\r\nContent-Length: " +
           std::to_string((long)p7.size() + b.content_length_excess) + "\r\n" + tail + p7;
}

}  // namespace testbed
