// The testbed's cloud lookup server: mutual TLS on 127.0.0.1 (ephemeral
// port) speaking the framed protocol of the cloud client.
//
// Wire format, both directions: 4-byte big-endian length (1 + payload
// length), a kind byte (0 = query / response, 1 = message) and a DER payload.
// Every query is BER-decoded with the generated decoder and answered with a
// default response of the matching alternative carrying the query's txid,
// sessid and quuid:
//
//   query type (alternative)   response alternative (response type)
//   1 reg, 2 convict            genResponse (1), errorCode 0, data "OK"
//   3 ping                      pingResponse (2), from PingAnswers
//   4 pingRetro                 pingRetroResponse (3), from PingAnswers
//   5 work                      workResponse (4)
//   6 file                      fileResponse (5)
//   7 fileMulti                 fileMultiResponse (6), one multidata/parentdata entry per file
//   8 netMulti                  netMultiResponse (7), direction/protocol/nettype echoed
//   9 iosApp                    iosAppResponse (8)
//   10 iosNet                   iosNetResponse (9)
//   0 (unknown alternative)     genResponse, errorCode 2, data "UNSUPPORTED"
//
// The response header's disposition is CloudServerOptions::disposition (1 by
// default; 4 would mean failure to the client), its version the query's.
// A client frame with a bad length, an unknown kind byte or an undecodable
// payload closes its connection (counted in bad_frames).
//
// Scripting, all thread-safe and usable while clients are connected:
// - a per-query hook returning a Reply (respond / alter / delay / drop /
//   duplicate / other txid / close / close mid-frame / garbage / unknown kind
//   byte / genResponse error code);
// - a seeded chaos mode with probabilities and a bound on disruptions;
// - ping answers (pingRetroResponse with or without retrospective work);
// - `deliver` messages pushed to one or every connection; the client's `ack`
//   messages are recorded with their return codes;
// - the TLS client-certificate policy, including refusing every client issuer
//   with the "unknown CA" alert.
//
// Threads: one acceptor and one thread per connection. A connection's thread
// alone reads and writes its TLS stream (reads, answers, delayed answers and
// pushed messages are multiplexed with poll and a wake-up pipe), so nothing
// else touches an SSL object. Every wait is sliced (<= 50 ms) and checks the
// stop flag; stop() joins every thread. No thread is detached.
#pragma once

#include <openssl/x509.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneMessage.h"
#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"

namespace testbed {

struct Credential;

using Bytes = std::vector<uint8_t>;
using Uuid = std::array<uint8_t, 16>;

// Which client certificates the handshake accepts.
enum class ClientAuth {
    require_ca,   // a certificate issued by CloudServerOptions::client_ca is required (default)
    require_any,  // some certificate is required; its issuer is not checked
    optional,     // a certificate is requested but not required or checked
};

struct CloudServerOptions {
    const Credential* identity = nullptr;  // server certificate and key (required)
    X509* client_ca = nullptr;             // issuer of acceptable client certificates (require_ca)
    ClientAuth client_auth = ClientAuth::require_ca;
    std::chrono::milliseconds handshake_timeout{5000};
    // Highest TLS version offered (e.g. TLS1_2_VERSION); 0 = OpenSSL's
    // highest. Under TLS 1.3 a refused client certificate is reported to the
    // client only at its first read; under TLS 1.2 inside its handshake.
    int max_tls_version = 0;
    // Most connections served at once; further ones are closed on accept.
    int max_connections = 256;
    // Port to bind on 127.0.0.1; 0 = ephemeral. A fixed port lets a restarted
    // server be found where clients were told to look.
    uint16_t port = 0;
    long disposition = 1;  // header disposition of default responses
    // Receive buffer of the connections in bytes (0 = system default). A
    // small one makes a client's writes back up quickly while pause_reading
    // holds.
    int receive_buffer = 0;
    // Keep every received query (with its DER bytes) and the text log. Turn
    // off for long benchmark runs; counters are kept either way.
    bool keep_log = true;
    size_t log_limit = 200000;  // entries kept per log when keep_log is set
};

// A query as the server received it. Handed to the hook and kept in the log.
struct ReceivedQuery {
    int conn = 0;        // connection id, 1, 2, ... in accept order
    long txid = 0;
    long sessid = 0;
    long version = 0;
    int type = 0;        // query type 1..10 (CorvaneQueryData_PR); 0 = unknown alternative
    long flag = 0;       // header flag (0x8: the client accepts server messages)
    long retro_nonce = 0;  // retrospectiveNonce of a pingRetro; 0 otherwise
    Bytes quuid;         // header quuid bytes
    Bytes der;           // the whole DER payload (decode_query() turns it back into a value)
};

// What to do with one query. Build with the factories, refine with the
// modifiers: Reply::error(5).delayed(200ms), Reply::defaults().times(2).
struct Reply {
    enum class Action {
        respond,          // send the response (default, altered, or `der`)
        drop,             // send nothing; the client's time-out ends the query
        close,            // close the connection (close_notify) without answering
        close_mid_frame,  // write the first half of the response frame, then drop the TCP connection
        garbage,          // write `garbage` raw bytes (not a frame) instead of the response
        unknown_kind,     // send the response frame with kind byte `kind_byte`
    };
    Action action = Action::respond;
    // respond / close_mid_frame / unknown_kind: the payload is, in order of
    // precedence, `der` verbatim (a CorvaneQueryResponse; its txid is not
    // touched), else the default response with `gen_error` (genResponse with
    // that errorCode and data "ERROR") and then `edit` applied, and the txid
    // replaced by `txid` when set.
    Bytes der;
    std::optional<long> gen_error;
    std::function<void(CorvaneQueryResponse_t&)> edit;
    std::optional<long> txid;
    int copies = 1;                     // respond: how many identical frames to send
    std::chrono::milliseconds delay{0};  // wait this long before acting (other queries go on meanwhile)
    Bytes garbage;                      // garbage: empty = 16 bytes starting ff ff (an oversized length)
    uint8_t kind_byte = 2;              // unknown_kind

    static Reply defaults() { return {}; }
    static Reply with_der(Bytes payload);
    // Encodes `response` now (the caller keeps ownership). An encoding failure
    // gives an empty `der`, which sends the default response.
    static Reply with(const CorvaneQueryResponse_t* response);
    static Reply error(long error_code);
    static Reply drop();
    static Reply close();
    static Reply close_mid_frame();
    static Reply garbage_bytes(Bytes bytes = {});
    static Reply unknown_kind(uint8_t kind = 2);

    Reply& delayed(std::chrono::milliseconds ms) { delay = ms; return *this; }
    Reply& times(int n) { copies = n; return *this; }
    Reply& twice() { return times(2); }
    Reply& with_txid(long id) { txid = id; return *this; }
    Reply& edited(std::function<void(CorvaneQueryResponse_t&)> fn) { edit = std::move(fn); return *this; }

    // True for an untouched default reply (chaos applies only to these).
    bool is_default() const;
};

// Called for every decoded query on the connection's thread, concurrently
// from several connections, with no server lock held: it may call the
// server's methods (deliver, stats, ...) except stop(), and should return
// promptly (use Reply::delayed rather than sleeping; stop() waits for it).
// An empty hook answers with defaults.
using QueryHook = std::function<Reply(const ReceivedQuery&)>;

// Random disruptions for stress runs. For each query whose reply is the
// default one, at most one disruption is drawn: drop, close mid-frame,
// garbage, duplicate, then delay (checked in this order with the given
// probabilities). After `max_events` disruptions the server answers normally,
// so a run always ends.
struct ChaosOptions {
    uint64_t seed = 1;
    double drop = 0;
    double close_mid_frame = 0;
    double garbage = 0;
    double duplicate = 0;
    double delay = 0;
    std::chrono::milliseconds max_delay{200};  // delays are drawn uniformly in [1, max_delay]
    int max_events = 1000;
};

// Answers to pings. `pingResponse` carries online, detection_count, delta;
// `pingRetroResponse` carries online, detection_count, serial_number (the
// policy serial), retrospectiveDisposition, htype, hash and name.
struct PingAnswers {
    long online = 1;
    long detection_count = 0;
    long delta = 0;
    long serial_number = 1;
    long htype = 0;
    Bytes hash;
    std::string name;
    // retrospectiveDisposition of answers carrying work; answers without work
    // carry 6 (no work).
    long work_disposition = 1;
    // How many of the next pingRetroResponses carry work (-1: all of them).
    int retro_work = 0;
};

constexpr long kRetroNoWork = 6;

// A server-to-client message.
struct Deliver {
    Uuid id{};
    Uuid dst{};
    long type = 0;
    Bytes data;
};

// An acknowledgement (kind-1 `ack`) received from a client.
struct ReceivedAck {
    int conn = 0;
    Uuid id{};
    Uuid dst{};
    long return_code = 0;
};

struct CloudServerStats {
    int accepted = 0;             // TCP connections accepted
    int handshakes = 0;           // TLS handshakes completed
    int failed_handshakes = 0;    // handshakes that failed (refusals included)
    int unknown_ca_refusals = 0;  // handshakes refused with the "unknown CA" alert by request
    int closed = 0;               // handshaken connections that have ended
    int open = 0;                 // handshaken connections still served
    long queries = 0;             // queries decoded
    long responses = 0;           // response frames handed to the stream (copies counted)
    long messages_sent = 0;       // deliver frames handed to the stream
    long acks = 0;                // acks received
    long bad_frames = 0;          // undecodable or malformed frames from clients
    int chaos_events = 0;         // disruptions made by chaos mode
};

class CloudServer {
public:
    static constexpr int kAllConnections = 0;

    CloudServer();
    ~CloudServer();  // stop()
    CloudServer(const CloudServer&) = delete;
    CloudServer& operator=(const CloudServer&) = delete;

    // Binds 127.0.0.1 on an ephemeral port and starts accepting. False on
    // failure (no identity, bind failure, already started). A server may be
    // started again after stop(): counters and logs start from zero, the
    // scripting (hook, chaos, ping answers, refusal) is kept.
    bool start(const CloudServerOptions& options);
    // Stops accepting, closes every connection and joins all threads. Idempotent.
    void stop();
    uint16_t port() const;

    // Scripting.
    void set_hook(QueryHook hook);
    // Answers `reg` queries (when the hook gives the default reply) with a
    // genResponse carrying the next of `error_codes` (the last one repeats)
    // and header disposition `disposition`; the registration client counts
    // only errorCode 0 with disposition 5 as success. Empty: default answers.
    void set_reg_answers(std::vector<long> error_codes, long disposition = 5);
    void set_chaos(const ChaosOptions& chaos);
    void clear_chaos();
    void set_ping_answers(const PingAnswers& answers);
    // The next n pingRetroResponses carry work (adds to the pending count).
    void add_retro_work(int n = 1);
    void set_client_auth(ClientAuth auth);
    // While on, every client certificate is refused with the TLS "unknown
    // CA" alert, whoever issued it. Such connections are held to
    // TLS 1.2 so that the client receives the alert inside its handshake
    // (under TLS 1.3 it would arrive only with the first read); OpenSSL 3.0
    // clients report it as error 0A000418.
    void set_refuse_client_issuer(bool refuse);
    // Every connection stops reading from its client for `ms` from now
    // (answers already due are still written), then reads again.
    void pause_reading(std::chrono::milliseconds ms);

    // Queues a deliver on one connection (id) or all (kAllConnections); the
    // connection threads write it at once. Returns the number of connections
    // it was queued on.
    int deliver(const Deliver& message, int conn = kAllConnections);
    // Closes one connection (orderly) / all of them from the server side.
    bool close_connection(int conn);
    void close_all();

    // Observation.
    CloudServerStats stats() const;
    long queries_of_type(int type) const;
    long queries_with_txid(long txid) const;
    std::vector<int> open_connections() const;   // ids, ascending
    std::vector<ReceivedQuery> queries() const;  // in arrival order (keep_log)
    std::vector<ReceivedAck> acks() const;       // in arrival order (always kept, up to log_limit)
    // One line per event: connections, handshake results, queries, messages,
    // bad frames, scripted actions (keep_log).
    std::vector<std::string> log() const;

    // Bounded waits; true when the condition holds before the time-out.
    bool wait_for_queries(long n, std::chrono::milliseconds timeout) const;
    bool wait_for_handshakes(int n, std::chrono::milliseconds timeout) const;
    bool wait_for_closed(int n, std::chrono::milliseconds timeout) const;
    bool wait_for_acks(long n, std::chrono::milliseconds timeout) const;
    // `pred` is evaluated without the server's lock (it may call stats()).
    bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Helpers shared by the server, its tests and the benchmarks.

// DER of a value; empty on failure. The testbed's coding is serialised (see
// cloud_responses.h): use these rather than the generated encoder directly
// while a server runs in the process.
Bytes encode_value(asn_TYPE_descriptor_t* type, const void* value);
Bytes encode_response(const CorvaneQueryResponse_t* response);
Bytes encode_query(const CorvaneQuery_t* query);
Bytes encode_message(const CorvaneMessage_t* message);
// A whole frame around a payload.
Bytes make_frame(uint8_t kind, const Bytes& payload);

// Frees a generated value with its descriptor.
struct AsnFree {
    asn_TYPE_descriptor_t* type;
    void operator()(void* value) const {
        if (value) type->free_struct(type, value, 0);
    }
};
using QueryPtr = std::unique_ptr<CorvaneQuery_t, AsnFree>;
using ResponsePtr = std::unique_ptr<CorvaneQueryResponse_t, AsnFree>;
using MessagePtr = std::unique_ptr<CorvaneMessage_t, AsnFree>;

// BER decoding of payloads (not frames); null when undecodable.
QueryPtr decode_query(const Bytes& der);
ResponsePtr decode_response(const Bytes& der);
MessagePtr decode_message(const Bytes& der);

}  // namespace testbed
