#include "testbed/cloud_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

#include "cloud/cv_cloud_handle.h"
#include "cloud/cv_codec.h"
#include "corvane_runtime.h"
#include "testbed/cloud_responses.h"
#include "testbed/pki.h"

namespace testbed {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 50;                   // longest single wait of any loop
constexpr size_t kReadChunk = 16384;           // one TLS record
// Reading stops for a turn after this many bytes or frames, so that a client
// that never stops sending still gets its answers.
constexpr size_t kReadBudget = 64 * 1024;
constexpr int kFramesPerTurn = 16;
constexpr auto kCloseFlushLimit = std::chrono::seconds(2);  // time to flush before a scripted close
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

int verify_accept_any(int, X509_STORE_CTX*) { return 1; }

// OpenSSL turns this verification error into the "unknown CA" alert.
int verify_refuse_issuer(int, X509_STORE_CTX* ctx) {
    X509_STORE_CTX_set_error(ctx, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
    return 0;
}

std::string uuid_text(const Uuid& u) {
    char text[40];
    snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
             u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    return text;
}

Uuid to_uuid(const OCTET_STRING_t& s) {
    Uuid u{};
    if (s.buf) memcpy(u.data(), s.buf, std::min<size_t>(u.size(), static_cast<size_t>(s.size)));
    return u;
}

std::string ssl_error_text() {
    unsigned long e = ERR_peek_last_error();
    char text[256] = "no TLS error";
    if (e) ERR_error_string_n(e, text, sizeof text);
    return text;
}

Bytes default_garbage() {
    // Starts with a length no frame may have, so the client's framing fails at once.
    Bytes g{0xff, 0xff, 0xff, 0xff, 0x00};
    g.resize(16, 0xa5);
    return g;
}

}  // namespace

// --- Reply ---------------------------------------------------------------

Reply Reply::with_der(Bytes payload) {
    Reply r;
    r.der = std::move(payload);
    return r;
}

Reply Reply::with(const CorvaneQueryResponse_t* response) { return with_der(encode_response(response)); }

Reply Reply::error(long error_code) {
    Reply r;
    r.gen_error = error_code;
    return r;
}

Reply Reply::drop() {
    Reply r;
    r.action = Action::drop;
    return r;
}

Reply Reply::close() {
    Reply r;
    r.action = Action::close;
    return r;
}

Reply Reply::close_mid_frame() {
    Reply r;
    r.action = Action::close_mid_frame;
    return r;
}

Reply Reply::garbage_bytes(Bytes bytes) {
    Reply r;
    r.action = Action::garbage;
    r.garbage = std::move(bytes);
    return r;
}

Reply Reply::unknown_kind(uint8_t kind) {
    Reply r;
    r.action = Action::unknown_kind;
    r.kind_byte = kind;
    return r;
}

bool Reply::is_default() const {
    return action == Action::respond && der.empty() && !gen_error && !edit && !txid && copies == 1 &&
           delay.count() == 0;
}

// --- shared state ----------------------------------------------------------

namespace {

// The part of a connection that other threads touch: queued messages, a
// close request and the wake-up pipe of its thread.
struct ConnShared {
    int id = 0;
    std::mutex m;
    std::deque<Bytes> outbox;
    bool close_requested = false;
    int wake_r = -1;
    int wake_w = -1;
    std::atomic<bool> handshaken{false};
    std::atomic<bool> done{false};

    ConnShared() {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) wake_r = fds[0], wake_w = fds[1];
    }
    ~ConnShared() {
        if (wake_r >= 0) ::close(wake_r);
        if (wake_w >= 0) ::close(wake_w);
    }
    void wake() {
        char c = 1;
        if (wake_w >= 0 && ::write(wake_w, &c, 1) < 0) {
            // Full pipe: the thread is already due to wake.
        }
    }
    void drain() {
        char buf[64];
        while (wake_r >= 0 && ::read(wake_r, buf, sizeof buf) > 0) {
        }
    }
};

// All of the server's state; CloudServer::Impl only names it for the header.
struct ServerCore {
    struct Worker {
        std::shared_ptr<ConnShared> conn;
        std::thread thread;
    };

    CloudServerOptions options;
    SSL_CTX* ctx = nullptr;
    int listen_fd = -1;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::mutex workers_mutex;
    std::list<std::unique_ptr<Worker>> workers;
    int next_id = 1;

    // Everything below is guarded by mu; cv is signalled on every event.
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    CloudServerStats stats;
    std::array<long, 16> per_type{};
    std::unordered_map<long, long> per_txid;
    std::vector<ReceivedQuery> queries;
    std::vector<ReceivedAck> acks;
    std::vector<std::string> log;
    std::shared_ptr<const QueryHook> hook;
    std::optional<ChaosOptions> chaos;
    std::mt19937_64 rng;
    PingAnswers ping;
    std::deque<long> reg_codes;  // scripted genResponse codes of `reg` queries
    bool reg_scripted = false;
    long reg_disposition = 5;
    ClientAuth client_auth = ClientAuth::require_ca;
    bool refuse_issuer = false;
    std::atomic<int64_t> read_pause_until{0};  // Clock ticks; no reading before

    bool reading_paused() const { return Clock::now().time_since_epoch().count() < read_pause_until.load(); }

    void accept_loop();
    void reap(bool all);
    void serve(int fd, std::string peer, std::shared_ptr<ConnShared> conn);

    void note_locked(const std::string& line) {
        if (options.keep_log && log.size() < options.log_limit) log.push_back(line);
    }
    void note(const std::string& line) {
        std::lock_guard<std::mutex> lock(mu);
        note_locked(line);
    }
    template <typename F>
    void update(F&& f) {
        {
            std::lock_guard<std::mutex> lock(mu);
            f();
        }
        cv.notify_all();
    }

    void record_query(const ReceivedQuery& q);
    Reply decide(const ReceivedQuery& q);
    void apply_chaos_locked(Reply& r, int conn, long txid);
    Bytes response_payload(const CorvaneQuery_t& query, const Reply& r);
};

void ServerCore::record_query(const ReceivedQuery& q) {
    update([&] {
        stats.queries++;
        per_type[static_cast<size_t>(q.type) < per_type.size() ? q.type : 0]++;
        per_txid[q.txid]++;
        if (!options.keep_log) return;  // no text built for benchmark runs
        if (queries.size() < options.log_limit) queries.push_back(q);
        note_locked("conn " + std::to_string(q.conn) + " query type=" + std::to_string(q.type) +
                    " txid=" + std::to_string(q.txid) + " sessid=" + std::to_string(q.sessid) + " " +
                    std::to_string(q.der.size()) + " bytes");
    });
}

Reply ServerCore::decide(const ReceivedQuery& q) {
    std::shared_ptr<const QueryHook> h;
    {
        std::lock_guard<std::mutex> lock(mu);
        h = hook;
    }
    Reply r = (h && *h) ? (*h)(q) : Reply{};
    if (r.is_default()) {
        std::lock_guard<std::mutex> lock(mu);
        if (q.type == CorvaneQueryData_PR_reg && reg_scripted) {
            long code = reg_codes.front();
            if (reg_codes.size() > 1) reg_codes.pop_front();
            long disposition = reg_disposition;
            r = Reply::error(code).edited([disposition](CorvaneQueryResponse_t& resp) {
                resp.header.disposition = disposition;
            });
            note_locked("conn " + std::to_string(q.conn) + " reg answered errorCode=" + std::to_string(code));
        } else {
            apply_chaos_locked(r, q.conn, q.txid);
        }
    }
    return r;
}

void ServerCore::apply_chaos_locked(Reply& r, int conn, long txid) {
    if (!chaos || stats.chaos_events >= chaos->max_events) return;
    const ChaosOptions& c = *chaos;
    double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    const char* what = nullptr;
    if ((u -= c.drop) < 0) {
        r = Reply::drop();
        what = "drop";
    } else if ((u -= c.close_mid_frame) < 0) {
        r = Reply::close_mid_frame();
        what = "close mid-frame";
    } else if ((u -= c.garbage) < 0) {
        r = Reply::garbage_bytes();
        what = "garbage";
    } else if ((u -= c.duplicate) < 0) {
        r.copies = 2;
        what = "duplicate";
    } else if ((u -= c.delay) < 0) {
        long most = std::max<long>(1, static_cast<long>(c.max_delay.count()));
        r.delay = std::chrono::milliseconds(std::uniform_int_distribution<long>(1, most)(rng));
        what = "delay";
    }
    if (!what) return;
    stats.chaos_events++;
    note_locked("conn " + std::to_string(conn) + " chaos " + what + " txid=" + std::to_string(txid));
}

Bytes ServerCore::response_payload(const CorvaneQuery_t& query, const Reply& r) {
    if (!r.der.empty()) return r.der;
    PingAnswers answers;
    bool work = false;
    long disposition;
    {
        std::lock_guard<std::mutex> lock(mu);
        answers = ping;
        disposition = options.disposition;
        if (query.data.present == CorvaneQueryData_PR_pingRetro && !r.gen_error && ping.retro_work != 0) {
            work = true;
            if (ping.retro_work > 0) ping.retro_work--;
        }
    }
    ResponsePtr resp = build_default_response(query, disposition, answers, work);
    if (!resp) return {};
    if (r.gen_error) set_gen_response(*resp, *r.gen_error, "ERROR");
    if (r.edit) r.edit(*resp);
    if (r.txid) resp->header.txid = *r.txid;
    return encode_response(resp.get());
}

// --- one connection --------------------------------------------------------

enum class Ending { none, orderly, abrupt };

// Runs one connection on its own thread: handshake, then a loop that reads
// frames, answers them (now or when due), writes queued messages and closes
// when the script, the peer or the server says so.
class Session {
public:
    Session(ServerCore& srv, ConnShared& shared, int fd, SSL* ssl, std::string peer)
        : srv_(srv), shared_(shared), fd_(fd), ssl_(ssl), peer_(std::move(peer)) {}
    ~Session() {
        SSL_free(ssl_);
        if (fd_ >= 0) ::close(fd_);
    }
    void run();

private:
    struct Pending {
        Bytes data;
        Ending ending = Ending::none;  // close after writing data
        int responses = 0;
    };

    bool handshake();
    bool wait(short events, int timeout_ms);
    int pump_in();
    int handle_frames();
    void handle_query(Bytes payload);
    void handle_message(const Bytes& payload);
    void bad_frame(const std::string& why);
    void schedule(const CorvaneQuery_t& query, const ReceivedQuery& rq, const Reply& r);
    void run_due(Clock::time_point now);
    void take_outbox();
    bool flush();
    void begin_close(Ending how) {
        ending_ = how;
        close_deadline_ = Clock::now() + kCloseFlushLimit;
    }
    std::string tag() const { return "conn " + std::to_string(shared_.id) + " "; }

    ServerCore& srv_;
    ConnShared& shared_;
    int fd_;
    SSL* ssl_;
    std::string peer_;
    Bytes in_;
    size_t in_off_ = 0;
    Bytes out_;
    size_t out_off_ = 0;
    std::multimap<Clock::time_point, Pending> pending_;
    Ending ending_ = Ending::none;
    Clock::time_point close_deadline_;
};

bool Session::wait(short events, int timeout_ms) {
    pollfd pfd[2] = {{fd_, events, 0}, {shared_.wake_r, POLLIN, 0}};
    int rc = ::poll(pfd, shared_.wake_r >= 0 ? 2 : 1, timeout_ms);
    if (rc > 0 && (pfd[1].revents & POLLIN)) shared_.drain();
    return rc >= 0 || errno == EINTR;
}

bool Session::handshake() {
    bool refuse;
    ClientAuth auth;
    {
        std::lock_guard<std::mutex> lock(srv_.mu);
        refuse = srv_.refuse_issuer;
        auth = srv_.client_auth;
    }
    if (refuse) {
        // TLS 1.2 verifies the client before the server's Finished, so the
        // client sees the alert inside its own handshake.
        SSL_set_max_proto_version(ssl_, TLS1_2_VERSION);
        SSL_set_verify(ssl_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify_refuse_issuer);
    } else if (auth == ClientAuth::require_ca) {
        SSL_set_verify(ssl_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    } else if (auth == ClientAuth::require_any) {
        SSL_set_verify(ssl_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify_accept_any);
    } else {
        SSL_set_verify(ssl_, SSL_VERIFY_PEER, verify_accept_any);
    }
    auto deadline = Clock::now() + srv_.options.handshake_timeout;
    std::string why = "timed out";
    while (!srv_.stopping && Clock::now() < deadline) {
        ERR_clear_error();
        int rc = SSL_accept(ssl_);
        if (rc == 1) {
            X509* cert = SSL_get0_peer_certificate(ssl_);
            std::string subject = cert ? subject_text(cert) : "no client certificate";
            shared_.handshaken = true;
            srv_.update([&] {
                srv_.stats.handshakes++;
                srv_.note_locked(tag() + "connected from " + peer_ + " (" + subject + ", " +
                                 SSL_get_version(ssl_) + ")");
            });
            return true;
        }
        int err = SSL_get_error(ssl_, rc);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            why = ssl_error_text();
            break;
        }
        wait(err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, kSliceMs);
    }
    ERR_clear_error();
    srv_.update([&] {
        srv_.stats.failed_handshakes++;
        if (refuse) srv_.stats.unknown_ca_refusals++;
        srv_.note_locked(tag() + "handshake failed from " + peer_ + (refuse ? " (refused issuer): " : ": ") + why);
    });
    return false;
}

void Session::run() {
    if (!handshake()) return;
    std::string reason = "server stopped";
    while (!srv_.stopping) {
        take_outbox();
        const bool paused = srv_.reading_paused();
        if (ending_ == Ending::none && !paused) {
            int rc = pump_in();
            if (rc < 0) {
                reason = rc == -1 ? "closed by peer" : "read error";
                ending_ = Ending::abrupt;
                break;
            }
        }
        if (ending_ == Ending::none) run_due(Clock::now());
        if (!flush()) {
            reason = "write error";
            ending_ = Ending::abrupt;
            break;
        }
        if (ending_ != Ending::none) {
            if (out_off_ == out_.size()) {
                reason = ending_ == Ending::orderly ? "closed by the script" : "dropped mid-frame by the script";
                break;
            }
            if (Clock::now() > close_deadline_) {
                reason = "closed by the script (unflushed)";
                break;
            }
        }
        int timeout = kSliceMs;
        if (ending_ == Ending::none && !pending_.empty()) {
            auto until = std::chrono::ceil<std::chrono::milliseconds>(pending_.begin()->first - Clock::now());
            timeout = static_cast<int>(std::clamp<long>(until.count(), 0, kSliceMs));
        }
        short events = (paused ? 0 : POLLIN) | (out_off_ < out_.size() ? POLLOUT : 0);
        if (!wait(events, timeout)) {
            reason = "poll error";
            break;
        }
    }
    if (ending_ == Ending::orderly || srv_.stopping) SSL_shutdown(ssl_);
    ERR_clear_error();
    if (ending_ == Ending::abrupt) ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
    // Out of open_connections() before the close is counted.
    shared_.done = true;
    srv_.update([&] {
        srv_.stats.closed++;
        srv_.note_locked(tag() + "closed: " + reason);
    });
}

// Reads what the stream has; -1 at the peer's end of stream, -2 on error.
int Session::pump_in() {
    unsigned char buf[kReadChunk];
    size_t budget = kReadBudget;
    int frames = 0;
    while (budget > 0 && frames < kFramesPerTurn && ending_ == Ending::none && !srv_.reading_paused()) {
        size_t got = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl_, buf, sizeof buf, &got) == 1) {
            in_.insert(in_.end(), buf, buf + got);
            budget -= std::min(got, budget);
            frames += handle_frames();
            continue;
        }
        int err = SSL_get_error(ssl_, 0);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
        bool eof = err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0);
        ERR_clear_error();
        return eof ? -1 : -2;
    }
    return 0;
}

// Handles the complete frames buffered; returns how many.
int Session::handle_frames() {
    int handled = 0;
    while (ending_ == Ending::none && in_.size() - in_off_ >= CV_FRAME_HEADER_SIZE) {
        const unsigned char* p = in_.data() + in_off_;
        uint32_t length = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        if (length == 0 || length > static_cast<uint32_t>(TRANSPORT_MAX_SIZE)) {
            bad_frame("length " + std::to_string(length));
            return handled;
        }
        if (in_.size() - in_off_ < 4 + size_t{length}) break;
        uint8_t kind = p[4];
        Bytes payload(p + CV_FRAME_HEADER_SIZE, p + 4 + length);
        in_off_ += 4 + size_t{length};
        handled++;
        if (kind == CV_FRAME_KIND_QUERY)
            handle_query(std::move(payload));
        else if (kind == CV_FRAME_KIND_MESSAGE)
            handle_message(payload);
        else
            bad_frame("kind byte " + std::to_string(kind));
    }
    if (in_off_ == in_.size()) {
        in_.clear();
        in_off_ = 0;
    } else if (in_off_ > kReadBudget) {
        in_.erase(in_.begin(), in_.begin() + static_cast<long>(in_off_));
        in_off_ = 0;
    }
    return handled;
}

// A client that breaks the framing gets its connection closed, as a real
// server would.
void Session::bad_frame(const std::string& why) {
    srv_.update([&] {
        srv_.stats.bad_frames++;
        srv_.note_locked(tag() + "bad frame: " + why + "; closing");
    });
    begin_close(Ending::orderly);
}

void Session::handle_query(Bytes payload) {
    QueryPtr query = decode_query(payload);
    if (!query) {
        bad_frame("undecodable query of " + std::to_string(payload.size()) + " bytes");
        return;
    }
    const CorvaneQuery_t& q = *query;
    ReceivedQuery rq;
    rq.conn = shared_.id;
    rq.txid = q.header.txid;
    rq.sessid = q.header.sessid;
    rq.version = q.version;
    rq.type = q.data.present;
    rq.flag = q.header.flag;
    if (q.data.present == CorvaneQueryData_PR_pingRetro) rq.retro_nonce = q.data.choice.pingRetro.retrospectiveNonce;
    if (q.header.quuid.buf) rq.quuid.assign(q.header.quuid.buf, q.header.quuid.buf + q.header.quuid.size);
    rq.der = std::move(payload);
    srv_.record_query(rq);
    schedule(q, rq, srv_.decide(rq));
}

void Session::handle_message(const Bytes& payload) {
    MessagePtr message = decode_message(payload);
    if (!message) {
        bad_frame("undecodable message of " + std::to_string(payload.size()) + " bytes");
        return;
    }
    if (message->present != CorvaneMessage_PR_ack) {
        srv_.note(tag() + "unexpected message alternative " + std::to_string(message->present));
        return;
    }
    const CorvaneMessageAck_t& a = message->choice.ack;
    ReceivedAck ack{shared_.id, to_uuid(a.id), to_uuid(a.dst), a.returnCode};
    srv_.update([&] {
        srv_.stats.acks++;
        if (srv_.acks.size() < srv_.options.log_limit) srv_.acks.push_back(ack);
        srv_.note_locked(tag() + "ack id=" + uuid_text(ack.id) + " dst=" + uuid_text(ack.dst) +
                         " code=" + std::to_string(ack.return_code));
    });
}

void Session::schedule(const CorvaneQuery_t& query, const ReceivedQuery& rq, const Reply& r) {
    const std::string what = "txid=" + std::to_string(rq.txid);
    Pending p;
    switch (r.action) {
    case Reply::Action::drop:
        srv_.note(tag() + "dropping " + what);
        return;
    case Reply::Action::close:
        p.ending = Ending::orderly;
        break;
    case Reply::Action::garbage:
        p.data = r.garbage.empty() ? default_garbage() : r.garbage;
        break;
    case Reply::Action::respond:
    case Reply::Action::close_mid_frame:
    case Reply::Action::unknown_kind: {
        Bytes payload = srv_.response_payload(query, r);
        if (payload.empty()) {
            srv_.note(tag() + "cannot encode the response to " + what + "; not answering");
            return;
        }
        Bytes frame = make_frame(r.action == Reply::Action::unknown_kind ? r.kind_byte : CV_FRAME_KIND_QUERY, payload);
        if (r.action == Reply::Action::close_mid_frame) {
            p.data.assign(frame.begin(), frame.begin() + static_cast<long>(frame.size() / 2));
            p.ending = Ending::abrupt;
        } else if (r.action == Reply::Action::unknown_kind) {
            p.data = std::move(frame);
        } else {
            for (int i = 0; i < std::max(1, r.copies); i++) p.data.insert(p.data.end(), frame.begin(), frame.end());
            p.responses = std::max(1, r.copies);
        }
        break;
    }
    }
    if (r.action != Reply::Action::respond || !r.is_default())
        srv_.note(tag() + "scripted reply to " + what + ": action " + std::to_string(static_cast<int>(r.action)) +
                  " delay " + std::to_string(r.delay.count()) + " ms, " + std::to_string(p.data.size()) + " bytes");
    pending_.emplace(Clock::now() + r.delay, std::move(p));
}

void Session::run_due(Clock::time_point now) {
    int responses = 0;
    while (!pending_.empty() && pending_.begin()->first <= now) {
        Pending p = std::move(pending_.begin()->second);
        pending_.erase(pending_.begin());
        out_.insert(out_.end(), p.data.begin(), p.data.end());
        responses += p.responses;
        if (p.ending != Ending::none) {
            begin_close(p.ending);
            pending_.clear();
            break;
        }
    }
    if (responses) srv_.update([&] { srv_.stats.responses += responses; });
}

void Session::take_outbox() {
    std::deque<Bytes> frames;
    bool close_now;
    {
        std::lock_guard<std::mutex> lock(shared_.m);
        frames.swap(shared_.outbox);
        close_now = shared_.close_requested;
        shared_.close_requested = false;
    }
    if (ending_ != Ending::none) return;
    for (const Bytes& f : frames) out_.insert(out_.end(), f.begin(), f.end());
    if (!frames.empty()) srv_.update([&] { srv_.stats.messages_sent += static_cast<long>(frames.size()); });
    if (close_now) {
        srv_.note(tag() + "closing on request");
        begin_close(Ending::orderly);
    }
}

// Writes as much as the stream takes; false when the connection is unusable.
bool Session::flush() {
    while (out_off_ < out_.size()) {
        size_t put = 0;
        ERR_clear_error();
        if (SSL_write_ex(ssl_, out_.data() + out_off_, out_.size() - out_off_, &put) == 1) {
            out_off_ += put;
            continue;
        }
        int err = SSL_get_error(ssl_, 0);
        ERR_clear_error();
        if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) return true;
        return false;
    }
    out_.clear();
    out_off_ = 0;
    return true;
}

}  // namespace

struct CloudServer::Impl : ServerCore {};

// --- server --------------------------------------------------------------

void ServerCore::serve(int fd, std::string peer, std::shared_ptr<ConnShared> conn) {
    SSL* ssl = SSL_new(ctx);
    if (!ssl) {
        ::close(fd);
    } else {
        SSL_set_fd(ssl, fd);
        Session session(*this, *conn, fd, ssl, std::move(peer));
        session.run();
    }
    ERR_clear_error();
    conn->done = true;
    cv.notify_all();
}

void ServerCore::accept_loop() {
    while (!stopping) {
        reap(false);
        pollfd pfd{listen_fd, POLLIN, 0};
        if (::poll(&pfd, 1, kSliceMs) <= 0) continue;
        sockaddr_in addr{};
        socklen_t alen = sizeof addr;
        int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&addr), &alen, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
        std::string peer = std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
        std::lock_guard<std::mutex> lock(workers_mutex);
        int id = next_id++;
        update([&] { stats.accepted++; });
        if (static_cast<int>(workers.size()) >= options.max_connections) {
            ::close(fd);
            note("conn " + std::to_string(id) + " refused: too many connections");
            continue;
        }
        auto worker = std::make_unique<Worker>();
        worker->conn = std::make_shared<ConnShared>();
        worker->conn->id = id;
        auto conn = worker->conn;
        worker->thread = std::thread([this, fd, peer, conn] { serve(fd, peer, conn); });
        workers.push_back(std::move(worker));
    }
}

void ServerCore::reap(bool all) {
    std::list<std::unique_ptr<Worker>> finished;
    {
        std::lock_guard<std::mutex> lock(workers_mutex);
        for (auto it = workers.begin(); it != workers.end();) {
            if (all || (*it)->conn->done) {
                finished.push_back(std::move(*it));
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& w : finished)
        if (w->thread.joinable()) w->thread.join();
}

CloudServer::CloudServer() : impl_(std::make_unique<Impl>()) {}

CloudServer::~CloudServer() { stop(); }

uint16_t CloudServer::port() const { return impl_->port; }

bool CloudServer::start(const CloudServerOptions& options) {
    Impl& s = *impl_;
    if (!options.identity || s.ctx) return false;
    corvane_asn1_init();
    // A client that goes away mid-write must not kill the process.
    signal(SIGPIPE, SIG_IGN);
    s.options = options;
    {
        // A restarted server counts and logs afresh; its scripting stays.
        std::lock_guard<std::mutex> lock(s.mu);
        s.client_auth = options.client_auth;
        s.stats = CloudServerStats{};
        s.per_type.fill(0);
        s.per_txid.clear();
        s.queries.clear();
        s.acks.clear();
        s.log.clear();
    }
    s.ctx = SSL_CTX_new(TLS_server_method());
    if (!s.ctx) return false;
    SSL_CTX_set_mode(s.ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate(s.ctx, options.identity->x509()) != 1 ||
        SSL_CTX_use_PrivateKey(s.ctx, options.identity->pkey()) != 1) {
        stop();
        return false;
    }
    if (options.max_tls_version) SSL_CTX_set_max_proto_version(s.ctx, options.max_tls_version);
    if (options.client_ca) X509_STORE_add_cert(SSL_CTX_get_cert_store(s.ctx), options.client_ca);
    s.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options.port);
    socklen_t alen = sizeof addr;
    const int reuse = 1;
    // Also on ephemeral ports: connections accepted now must not block a restart on this port.
    if (s.listen_fd >= 0)
        setsockopt(s.listen_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (s.listen_fd >= 0 && options.receive_buffer > 0)
        setsockopt(s.listen_fd, SOL_SOCKET, SO_RCVBUF, &options.receive_buffer, sizeof options.receive_buffer);
    // A full backlog: a fleet that connects at once is not turned into SYN retries.
    if (s.listen_fd < 0 || ::bind(s.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(s.listen_fd, SOMAXCONN) != 0 ||
        ::getsockname(s.listen_fd, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) {
        stop();
        return false;
    }
    s.port = ntohs(addr.sin_port);
    s.stopping = false;
    s.acceptor = std::thread([&s] { s.accept_loop(); });
    return true;
}

void CloudServer::stop() {
    Impl& s = *impl_;
    s.stopping = true;
    if (s.acceptor.joinable()) s.acceptor.join();
    if (s.listen_fd >= 0) ::close(s.listen_fd);
    s.listen_fd = -1;
    s.reap(true);
    if (s.ctx) SSL_CTX_free(s.ctx);
    s.ctx = nullptr;
    s.cv.notify_all();
}

void CloudServer::set_hook(QueryHook hook) {
    auto h = hook ? std::make_shared<const QueryHook>(std::move(hook)) : nullptr;
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->hook = std::move(h);
}

void CloudServer::set_reg_answers(std::vector<long> error_codes, long disposition) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->reg_codes.assign(error_codes.begin(), error_codes.end());
    impl_->reg_scripted = !impl_->reg_codes.empty();
    impl_->reg_disposition = disposition;
}

void CloudServer::set_chaos(const ChaosOptions& chaos) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->chaos = chaos;
    impl_->rng.seed(chaos.seed);
}

void CloudServer::clear_chaos() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->chaos.reset();
}

void CloudServer::set_ping_answers(const PingAnswers& answers) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->ping = answers;
}

void CloudServer::add_retro_work(int n) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->ping.retro_work >= 0) impl_->ping.retro_work += n;
}

void CloudServer::set_client_auth(ClientAuth auth) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->client_auth = auth;
}

void CloudServer::set_refuse_client_issuer(bool refuse) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->refuse_issuer = refuse;
}

void CloudServer::pause_reading(std::chrono::milliseconds ms) {
    impl_->read_pause_until = (Clock::now() + ms).time_since_epoch().count();
}

int CloudServer::deliver(const Deliver& message, int conn) {
    corvane_asn1_init();
    CorvaneMessage_t value{};
    value.present = CorvaneMessage_PR_deliver;
    CorvaneMessageDeliver_t& d = value.choice.deliver;
    OCTET_STRING_fromBuf(&d.id, reinterpret_cast<const char*>(message.id.data()), 16);
    OCTET_STRING_fromBuf(&d.dst, reinterpret_cast<const char*>(message.dst.data()), 16);
    d.type = message.type;
    OCTET_STRING_fromBuf(&d.data, message.data.empty() ? "" : reinterpret_cast<const char*>(message.data.data()),
                         static_cast<int>(message.data.size()));
    Bytes der = encode_message(&value);
    ASN_STRUCT_FREE_CONTENTS_ONLY(asn_DEF_CorvaneMessage, &value);
    if (der.empty()) return 0;
    Bytes frame = make_frame(CV_FRAME_KIND_MESSAGE, der);
    int queued = 0;
    std::lock_guard<std::mutex> lock(impl_->workers_mutex);
    for (auto& w : impl_->workers) {
        ConnShared& c = *w->conn;
        if (!c.handshaken || c.done || (conn != kAllConnections && c.id != conn)) continue;
        {
            std::lock_guard<std::mutex> cl(c.m);
            c.outbox.push_back(frame);
        }
        c.wake();
        queued++;
        impl_->note("conn " + std::to_string(c.id) + " deliver id=" + uuid_text(message.id) +
                    " type=" + std::to_string(message.type));
    }
    return queued;
}

bool CloudServer::close_connection(int conn) {
    std::lock_guard<std::mutex> lock(impl_->workers_mutex);
    for (auto& w : impl_->workers) {
        ConnShared& c = *w->conn;
        if (c.done || (conn != kAllConnections && c.id != conn)) continue;
        {
            std::lock_guard<std::mutex> cl(c.m);
            c.close_requested = true;
        }
        c.wake();
        if (conn != kAllConnections) return true;
    }
    return conn == kAllConnections;
}

void CloudServer::close_all() { close_connection(kAllConnections); }

CloudServerStats CloudServer::stats() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    CloudServerStats s = impl_->stats;
    s.open = s.handshakes - s.closed;
    return s;
}

long CloudServer::queries_of_type(int type) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return type >= 0 && static_cast<size_t>(type) < impl_->per_type.size() ? impl_->per_type[type] : 0;
}

long CloudServer::queries_with_txid(long txid) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->per_txid.find(txid);
    return it == impl_->per_txid.end() ? 0 : it->second;
}

std::vector<int> CloudServer::open_connections() const {
    std::vector<int> ids;
    std::lock_guard<std::mutex> lock(impl_->workers_mutex);
    for (auto& w : impl_->workers)
        if (w->conn->handshaken && !w->conn->done) ids.push_back(w->conn->id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<ReceivedQuery> CloudServer::queries() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->queries;
}

std::vector<ReceivedAck> CloudServer::acks() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->acks;
}

std::vector<std::string> CloudServer::log() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->log;
}

bool CloudServer::wait_for_queries(long n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->stats.queries >= n; });
}

bool CloudServer::wait_for_handshakes(int n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->stats.handshakes >= n; });
}

bool CloudServer::wait_for_closed(int n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->stats.closed >= n; });
}

bool CloudServer::wait_for_acks(long n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->stats.acks >= n; });
}

bool CloudServer::wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (Clock::now() >= deadline) return false;
        std::unique_lock<std::mutex> lock(impl_->mu);
        impl_->cv.wait_for(lock, kWaitSlice);
    }
}

}  // namespace testbed
