// What a fleet costs and how it comes back, in one run: N endpoints, each
// with its own cloud handle, client certificate and connection, in this one
// process (the library's instance is one per process, but its cloud handles
// are independent: each has its connection, certificate and three workers),
// each kept by the keeper of `dtk-agent run` (apps/dtk-agent/connection_keeper.*,
// ticked every 200 ms as `run` ticks it), against the testbed cloud server in
// a child process, so that this process's memory and CPU are the endpoints'.
// It reports:
// - memory (RSS, malloc heap in use) and threads per connected endpoint;
// - CPU per endpoint while the fleet idles (its keepalives included);
// - after the server was stopped for a while and started again: the
//   reconnections (handshakes the server completed) per second, the largest
//   share of them in any one-second window, and the time until every
//   endpoint's ping is answered again; then one file lookup per endpoint;
// - what brought each endpoint back (see Cause), per second and in the
//   worst second, so that a peak can be explained by numbers.
// The library's own first ping comes a minute after a handle is made (then
// every 15 minutes); the outage starts after it, so that what brings the
// fleet back is the keepers alone. Every phase is bounded in time.
// Usage: bench_fleet [--endpoints N] [--idle S] [--outage S] [--keepalive S]
//                    [--floor-ms MS] [--cap-ms MS] [--limit S]
#include <curl/curl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backoff.h"
#include "bench_result.h"
#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "cloud/cv_cloud_lock.h"
#include "completions.h"
#include "connection_keeper.h"
#include "corvane_runtime.h"
#include "testbed/cloud_queries.h"
#include "testbed/cloud_server.h"
#include "testbed/pki.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kTick = 200ms;           // `run`'s main loop
constexpr auto kSample = 100ms;         // the server child's count of handshakes
constexpr auto kLibraryFirstPing = 60s;  // the library's early ping after a handle is made

struct Settings {
    int endpoints = 500;
    int idle_s = 20;
    int outage_s = 30;
    int keepalive_s = agent::ConnectionKeeper::kDefaultCheckSeconds;
    agent::BackoffPolicy backoff;  // the keeper's for the keepalive unless given
    bool floor_given = false;
    int limit_s = 300;  // bound of the fleet's return (and of its first connection)
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- The server in a child process ---------------------------------------------------------
//
// Commands, one line each on a pipe: "start" (answers "ok PORT"; the port is
// kept for later starts), "stop", "slots" (handshakes per 100 ms since the
// last start: "ok n0 n1 ..."), "quit". The child dies with its parent.

void child_serve(testbed::Pki& pki, int max_connections, int in, int out) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    testbed::CloudServer server;
    testbed::CloudServerOptions options;
    options.identity = &pki.server();
    options.client_ca = pki.ca().cert();
    options.keep_log = false;
    options.max_connections = max_connections;
    FILE* answers = fdopen(out, "w");
    std::vector<int> slots;
    int counted = 0;
    bool started = false;
    Clock::time_point since;
    std::string line;
    for (;;) {
        pollfd pfd{in, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(kSample.count()));
        if (started) {
            const size_t slot = static_cast<size_t>((Clock::now() - since) / kSample);
            if (slot < 36000) {  // an hour of slots at most
                slots.resize(std::max(slots.size(), slot + 1), 0);
                const int handshakes = server.stats().handshakes;
                slots[slot] += handshakes - counted;
                counted = handshakes;
            }
        }
        if (ready <= 0)
            continue;
        char c;
        if (read(in, &c, 1) != 1)
            break;  // the parent went away
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line == "start") {
            started = server.start(options);
            options.port = server.port();
            slots.clear();
            counted = 0;
            since = Clock::now();
            fprintf(answers, started ? "ok %u\n" : "fail\n", options.port);
        } else if (line == "stop") {
            server.stop();
            started = false;
            fprintf(answers, "ok\n");
        } else if (line == "slots") {
            fprintf(answers, "ok");
            for (int n : slots)
                fprintf(answers, " %d", n);
            fprintf(answers, "\n");
        } else if (line == "quit") {
            break;
        }
        fflush(answers);
        line.clear();
    }
    server.stop();
}

class ServerChild {
public:
    // Must run before this process starts a thread.
    bool spawn(testbed::Pki& pki, int max_connections) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0)
            return false;
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            close(down[1]);
            close(up[0]);
            child_serve(pki, max_connections, down[0], up[1]);
            _exit(0);  // the parent owns the PKI's files
        }
        close(down[0]);
        close(up[1]);
        to_ = down[1];
        from_ = fdopen(up[0], "r");
        return from_ != nullptr;
    }
    ~ServerChild() {
        if (pid_ <= 0)
            return;
        ask("quit", false);
        int status;
        for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(100ms);
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        close(to_);
        fclose(from_);
    }
    // The answer's words after "ok"; empty on failure. Every command is
    // answered at once, but stopping joins the server's threads: allow 30 s.
    std::vector<long> ask(const std::string& command, bool answer = true) {
        const std::string text = command + "\n";
        if (write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || !answer)
            return {};
        pollfd pfd{fileno(from_), POLLIN, 0};
        if (poll(&pfd, 1, 30000) <= 0)
            return {};
        std::string line;
        for (int c; (c = fgetc(from_)) != EOF && c != '\n';)
            line += static_cast<char>(c);
        std::istringstream words(line);
        std::string ok;
        words >> ok;
        std::vector<long> values;
        for (long v; words >> v;)
            values.push_back(v);
        if (ok != "ok")
            return {};
        values.insert(values.begin(), 1);  // "ok" itself, so that a bare "ok" is not empty
        return values;
    }

private:
    pid_t pid_ = -1;
    int to_ = -1;
    FILE* from_ = nullptr;
};

// ---- Endpoints --------------------------------------------------------------------------------

// The cloud client's log lines (refused connections during the outage) are
// counted, not printed: a fleet's would drown the figures.
std::atomic<long> log_lines{0};
void count_line(const char*, void*) { log_lines++; }

void add_ca(X509_STORE* store, void* ca) { X509_STORE_add_cert(store, static_cast<X509*>(ca)); }

// What made an endpoint connect, told by its own connection callbacks: the
// keeper's ping (a keepalive, or the retry after the n-th miss in a row)
// when the connection came straight after it; "held" when an attempt for
// that ping had failed first, so that the library connected on its own
// reconnect wait; "other" for anything else (the library's own ping).
enum Cause { kKeepalive, kRetry1, kRetry2, kRetry3, kRetryMore, kHeld, kOther, kCauses };
const char* const kCauseNames[kCauses] = {"keepalive", "retry 1", "retry 2", "retry 3", "retry 4+", "held", "other"};
// A connection this long after the keeper's ping, with no failed attempt
// between, was not made for that ping (the library's wait is 5 s).
constexpr auto kStraightAfter = 3s;

struct Reconnection {
    Clock::time_point at;
    Cause cause;
};

// Every endpoint's connections, appended by the cloud workers (a few per
// endpoint in a run: the lock is not contended).
class ReconnectionLog {
public:
    void add(Clock::time_point at, Cause cause) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.size() < 1000000)
            entries_.push_back({at, cause});
    }
    std::vector<Reconnection> since(Clock::time_point from) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Reconnection> out;
        for (const Reconnection& r : entries_)
            if (r.at >= from)
                out.push_back(r);
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<Reconnection> entries_;
};
ReconnectionLog reconnections_log;

// One endpoint: a cloud handle as the kit makes it (default options: the
// 5 s reconnect wait and query time-out, the 900 s ping with the early one a
// minute after the handle is made), kept by `run`'s keeper.
class Endpoint : public agent::KeeperLink {
public:
    Endpoint(const testbed::Credential& credential, X509* ca, uint16_t port, const Settings& settings, uint64_t seed)
        : keeper_(this, nullptr, settings.keepalive_s, settings.backoff, seed) {
        cv_cloud_opts opts;
        cv_cloud_initialize_opts(CV_QUERY_METHOD_TCP, &opts);
        opts.trust_store_cb = add_ca;
        opts.trust_store_data = ca;
        uint8_t uuid[16] = {0xf1, 0xee, 0x70};
        memcpy(uuid + 8, &seed, sizeof seed);
        const std::string server = "127.0.0.1:" + std::to_string(port);
        handle_ = cv_cloud_init(CV_QUERY_METHOD_TCP, &opts, uuid, server.c_str(), credential.pkey(),
                                credential.x509(), nullptr);
        cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
        if (handle_)
            cv_cloud_set_connection_callbacks(handle_, on_failed_attempt, on_attempt, this);
    }
    ~Endpoint() override { close(); }
    void close() {
        if (handle_)
            cv_cloud_deinit(handle_);
        handle_ = nullptr;
    }

    bool Ready() override { return handle_ != nullptr; }
    int QueryAsync(CorvaneQuery* query, TesselQueryCallback callback, void* userData) override {
        ping_sent_.store(Clock::now().time_since_epoch().count());
        ping_kind_.store(std::min<long>(in_a_row_, kRetryMore));
        attempt_failed_.store(false);
        return cv_cloud_query_async(handle_, query, callback, userData);
    }
    void Report(bool answered) override {
        if (answered) {
            last_answer = Clock::now();
            in_a_row_ = 0;
        } else {
            misses++;
            in_a_row_++;
        }
    }

    void tick() { keeper_.Tick(); }
    cv_cloud_handle* handle() const { return handle_; }

    Clock::time_point last_answer{};  // on the ticking thread only
    long misses = 0;

private:
    // On a cloud worker of this handle.
    static void on_failed_attempt(int64_t, void* self) { static_cast<Endpoint*>(self)->attempt_failed_.store(true); }
    static void on_attempt(void* self) {
        auto* e = static_cast<Endpoint*>(self);
        const auto now = Clock::now();
        const Clock::time_point sent{Clock::duration(e->ping_sent_.load())};
        Cause cause = kOther;
        if (e->attempt_failed_.exchange(false))
            cause = kHeld;
        else if (now - sent < kStraightAfter)
            cause = static_cast<Cause>(e->ping_kind_.load());
        reconnections_log.add(now, cause);
    }

    cv_cloud_handle* handle_ = nullptr;
    long in_a_row_ = 0;  // misses since the last answer (ticking thread)
    // The keeper's last ping: when, which kind (a Cause up to kRetryMore),
    // and whether a connection attempt failed since.
    std::atomic<Clock::rep> ping_sent_{0};
    std::atomic<long> ping_kind_{kOther};
    std::atomic<bool> attempt_failed_{false};
    agent::ConnectionKeeper keeper_;
};

using Fleet = std::vector<std::unique_ptr<Endpoint>>;

// Ticks every keeper as `run` does until `done()` or `limit` passed; true when done.
template <class Done>
bool tick_until(Fleet& fleet, Clock::duration limit, Done done) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto next = Clock::now() + kTick;
        for (auto& e : fleet)
            e->tick();
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_until(next);
    }
}

long answered_since(const Fleet& fleet, Clock::time_point since) {
    return std::count_if(fleet.begin(), fleet.end(), [&](const auto& e) { return e->last_answer > since; });
}

// ---- Process figures --------------------------------------------------------------------------

long status_field(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = -1;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        if (words >> key && key == name && (words >> value))
            break;
    }
    return value;
}

struct Footprint {
    double rss_kib, heap_kib;
    long threads;
};
Footprint footprint() {
    malloc_trim(0);
    const struct mallinfo2 heap = mallinfo2();
    // Blocks malloc maps of their own (a handle with its two 64 KiB transport buffers) count too.
    return {static_cast<double>(status_field("VmRSS:")), (heap.uordblks + heap.hblkhd) / 1024.0,
            status_field("Threads:")};
}

double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

bool raise_descriptor_limit(long needed) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur != RLIM_INFINITY && static_cast<long>(limit.rlim_cur) < needed) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min<rlim_t>(limit.rlim_max, needed);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY || static_cast<long>(limit.rlim_cur) >= needed;
}

// One file lookup per endpoint, all at once; how many were answered within 60 s.
long lookup_everywhere(Fleet& fleet) {
    Completions c;
    c.notify_at = static_cast<long>(fleet.size());
    long sent = 0;
    for (size_t i = 0; i < fleet.size(); i++) {
        CorvaneQuery_t* q = testbed::file_lookup(static_cast<int>(i));
        if (cv_cloud_query_async(fleet[i]->handle(), q, Completions::callback, &c) < 0)
            ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, q);
        else
            sent++;
    }
    c.wait([&] { return c.done >= sent; }, 60s);
    return c.done - c.failed;
}

// The endpoints' own count of their connections since `from`, by cause:
// per second (as the server's histogram) and within the second from `peak`.
void print_causes(const std::vector<Reconnection>& seen, Clock::time_point from, size_t seconds_shown,
                  Clock::time_point peak) {
    long total[kCauses] = {}, in_peak[kCauses] = {};
    std::vector<std::array<long, kCauses>> per_second(seconds_shown, std::array<long, kCauses>{});
    for (const Reconnection& r : seen) {
        total[r.cause]++;
        const auto second = static_cast<size_t>((r.at - from) / 1s);
        if (second < seconds_shown)
            per_second[second][r.cause]++;
        if (r.at >= peak && r.at < peak + 1s)
            in_peak[r.cause]++;
    }
    printf("fleet: the endpoints saw %zu reconnections; by cause (all, in the worst second from %.1f s):", seen.size(),
           seconds(peak - from));
    for (int c = 0; c < kCauses; c++)
        printf("%s %s %ld, %ld", c ? ";" : "", kCauseNames[c], total[c], in_peak[c]);
    printf("\n");
    for (int c = 0; c < kCauses; c++) {
        if (!total[c])
            continue;
        printf("fleet:   %-9s per second:", kCauseNames[c]);
        for (const auto& counts : per_second)
            printf(" %ld", counts[c]);
        printf("\n");
    }
}

bool parse(int argc, char** argv, Settings* s) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const long v = strtol(argv[i + 1], nullptr, 10);
        if (v < 1 || v > 1000000)
            return false;
        if (name == "--endpoints") s->endpoints = static_cast<int>(v);
        else if (name == "--idle") s->idle_s = static_cast<int>(v);
        else if (name == "--outage") s->outage_s = static_cast<int>(v);
        else if (name == "--keepalive") s->keepalive_s = static_cast<int>(v);
        else if (name == "--floor-ms") {
            s->backoff.floor = agent::Millis(v);
            s->floor_given = true;
        } else if (name == "--cap-ms") s->backoff.cap = agent::Millis(v);
        else if (name == "--limit") s->limit_s = static_cast<int>(v);
        else return false;
    }
    if (!s->floor_given)
        s->backoff.floor = agent::KeepaliveBackoff(std::chrono::seconds(s->keepalive_s)).floor;
    return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!parse(argc, argv, &settings)) {
        fprintf(stderr, "usage: %s [--endpoints N] [--idle S] [--outage S] [--keepalive S] [--floor-ms MS] "
                        "[--cap-ms MS] [--limit S]\n", argv[0]);
        return 2;
    }
    const int n = settings.endpoints;
    // Per endpoint: its socket here; the server's socket and wake-up pipe.
    if (!raise_descriptor_limit(4L * n + 256)) {
        fprintf(stderr, "bench_fleet: cannot have %ld open files (RLIMIT_NOFILE)\n", 4L * n + 256);
        return 1;
    }
    corvane_asn1_init();
    printf("fleet: %d endpoints, keepalive %d s, back-off %.1f s to %.1f s, idle %d s, outage %d s; "
           "load average %.2f\n", n, settings.keepalive_s, settings.backoff.floor.count() / 1000.0,
           settings.backoff.cap.count() / 1000.0, settings.idle_s, settings.outage_s,
           [] { double l[1] = {0}; getloadavg(l, 1); return l[0]; }());

    testbed::Pki pki;
    auto issued = Clock::now();
    std::vector<testbed::Credential> credentials;
    credentials.reserve(n);
    for (int i = 0; i < n; i++) {
        testbed::CertSpec spec;
        spec.common_name = "dtk fleet endpoint " + std::to_string(i);
        credentials.push_back(pki.issue(spec, "fleet-" + std::to_string(i)));
    }
    printf("fleet: %d distinct client certificates issued in %.2f s\n", n, seconds(Clock::now() - issued));

    ServerChild server;
    if (!server.spawn(pki, n + 64)) {
        fprintf(stderr, "bench_fleet: cannot start the server process\n");
        return 1;
    }
    const auto started = server.ask("start");
    if (started.size() != 2) {
        fprintf(stderr, "bench_fleet: the cloud server did not start\n");
        return 1;
    }
    const auto port = static_cast<uint16_t>(started[1]);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    cv_log_set_sink(count_line, nullptr);

    const Footprint before = footprint();
    const auto made = Clock::now();
    Fleet fleet;
    for (int i = 0; i < n; i++) {
        fleet.push_back(std::make_unique<Endpoint>(credentials[i], pki.ca().cert(), port, settings, agent::RandomSeed()));
        if (!fleet.back()->handle()) {
            fprintf(stderr, "bench_fleet: cv_cloud_init failed for endpoint %d\n", i);
            return 1;
        }
    }
    const auto last_made = Clock::now();
    const bool up = tick_until(fleet, std::chrono::seconds(settings.limit_s),
                               [&] { return answered_since(fleet, made) == n; });
    printf("fleet: %ld of %d endpoints connected and answered in %.1f s\n", answered_since(fleet, made), n,
           seconds(Clock::now() - made));
    if (!up)
        return 1;
    tick_until(fleet, 2s, [] { return false; });  // let the first answers' work settle
    const Footprint after = footprint();
    const double rss = (after.rss_kib - before.rss_kib) / n, heap = (after.heap_kib - before.heap_kib) / n;
    const double threads = static_cast<double>(after.threads - before.threads) / n;
    printf("fleet: per endpoint %.1f KiB RSS, %.1f KiB heap in use, %.2f threads (process: %.0f MiB RSS, %ld "
           "threads)\n", rss, heap, threads, after.rss_kib / 1024, after.threads);

    const double cpu0 = cpu_seconds();
    const auto idle0 = Clock::now();
    tick_until(fleet, std::chrono::seconds(settings.idle_s), [] { return false; });
    const double idle_cpu = (cpu_seconds() - cpu0) / seconds(Clock::now() - idle0);
    const double idle_per_endpoint = 100.0 * idle_cpu / n;
    printf("fleet: idle %.2f %% of a core in all, %.4f %% per endpoint\n", 100 * idle_cpu, idle_per_endpoint);

    // The library's first ping of every handle passes before the outage.
    tick_until(fleet, last_made + kLibraryFirstPing + 5s - Clock::now(), [] { return false; });
    if (server.ask("stop").empty())
        return 1;
    const auto stopped = Clock::now();
    tick_until(fleet, std::chrono::seconds(settings.outage_s), [] { return false; });
    long missed = 0;
    for (auto& e : fleet)
        missed += e->misses;
    if (server.ask("start").size() != 2) {
        fprintf(stderr, "bench_fleet: the cloud server did not start again\n");
        return 1;
    }
    const auto restarted = Clock::now();
    const bool back = tick_until(fleet, std::chrono::seconds(settings.limit_s),
                                 [&] { return answered_since(fleet, restarted) == n; });
    const double fleet_back = seconds(Clock::now() - restarted);
    std::vector<double> returns;
    for (auto& e : fleet)
        if (e->last_answer > restarted)
            returns.push_back(seconds(e->last_answer - restarted));
    std::sort(returns.begin(), returns.end());
    // A few more seconds for stragglers' handshakes to be counted.
    tick_until(fleet, 2s, [] { return false; });
    std::vector<long> slots = server.ask("slots");
    if (!slots.empty())
        slots.erase(slots.begin());
    long reconnections = 0, window = 0, peak = 0;
    size_t peak_last = 0;  // the last slot of the worst window
    const size_t per_second = std::chrono::seconds(1) / kSample;
    std::vector<long> histogram((slots.size() + per_second - 1) / per_second, 0);
    for (size_t i = 0; i < slots.size(); i++) {
        reconnections += slots[i];
        histogram[i / per_second] += slots[i];
        window += slots[i] - (i >= per_second ? slots[i - per_second] : 0);
        if (window > peak) {
            peak = window;
            peak_last = i;
        }
    }
    const double peak_share = reconnections ? 100.0 * peak / reconnections : 0;
    printf("fleet: server away %.1f s (%ld pings missed meanwhile); after its restart %ld reconnections, at most "
           "%ld (%.1f %%) in one second\n", seconds(restarted - stopped), missed, reconnections, peak, peak_share);
    printf("fleet: reconnections per second after the restart:");
    for (long count : histogram)
        printf(" %ld", count);
    printf("\n");
    // Slot k holds what the server counted during the 100 ms before its k-th reading.
    print_causes(reconnections_log.since(restarted), restarted, histogram.size(),
                 restarted + kSample * static_cast<long>(peak_last) - std::chrono::seconds(1));
    printf("fleet: %zu of %d endpoints answered again; half within %.1f s, all within %.1f s%s\n", returns.size(), n,
           returns.empty() ? 0 : returns[returns.size() / 2], returns.empty() ? 0 : returns.back(),
           back ? "" : " (not all: limit reached)");
    const long looked_up = lookup_everywhere(fleet);
    printf("fleet: a file lookup on every endpoint: %ld of %d answered (cloud client: %ld log lines)\n", looked_up,
           n, log_lines.load());

    bench_result("fleet_endpoints_answering", static_cast<double>(looked_up), "endpoints", n, ">=1");
    bench_result("fleet_rss_per_endpoint", rss, "KiB", NAN, "<=1024");
    bench_result("fleet_heap_per_endpoint", heap, "KiB");
    bench_result("fleet_threads_per_endpoint", threads, "threads");
    bench_result("fleet_idle_cpu_per_endpoint", idle_per_endpoint, "%core", NAN, "<=0.02");
    bench_result("fleet_reconnect_peak_1s_share", peak_share, "%", NAN, "<=5");
    bench_result("fleet_return_seconds", fleet_back, "s", NAN, "<=180");

    // Handles are let go in parallel: each join waits for its workers' next wake-up.
    const auto closing = Clock::now();
    std::vector<std::thread> closers;
    std::atomic<size_t> next{0};
    for (int t = 0; t < 8; t++)
        closers.emplace_back([&] {
            for (size_t i; (i = next++) < fleet.size();)
                fleet[i]->close();
        });
    for (auto& t : closers)
        t.join();
    printf("fleet: %d handles closed in %.1f s\n", n, seconds(Clock::now() - closing));
    fleet.clear();
    return back && looked_up == n ? 0 : 1;
}
