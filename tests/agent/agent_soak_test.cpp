// Soak of the agent against `dtk-testbed up`, off by default (skipped unless
// DTK_SOAK_SECONDS is set). Run it with
//   scripts/test.sh soak 1800
// which builds what it needs and runs
//   DTK_SOAK_SECONDS=1800 build/default/bin/test_agent --gtest_filter='AgentSoak*'
// (120 s proves the set-up; the figures that count come from a long run).
//
// `dtk-agent run --keepalive 10` holds its cloud connection and takes server
// messages while, without pause, one `dtk-agent lookup --json` process after
// another asks the cloud about a tree of files (through a copy of the run's
// registered store). One fault every few seconds, in turn:
//   chaos on the cloud server (drops, half frames, garbage, duplicates, delays);
//   the cloud server calmed and restarted;
//   the management and EST servers restarted (a fresh store must then enrol
//   and register);
//   tinyproxy, which carries the traffic (saved by discovery from the PAC
//   file), stopped: the agents must find their way without it;
//   tinyproxy started again on a new port and saved again by discovery for
//   the lookups (the run must find it, or the direct way, by itself).
// Checked: every lookup process ends by itself (no crash, no hang) and, once
// registered, prints exactly one result per file: answered plus failed equals
// submitted, no file twice or missing. After the faults the run is connected
// again and handles new server messages. The run's resident set at the end
// stays within a bound of the one after warm-up. At the end the run is killed
// with SIGKILL: the store must be whole (registered, a certificate that
// matches its key) and a new run must connect with that certificate, unchanged.
// Figures are printed as "soak: ..." lines.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_process.h"
#include "config_store.h"
#include "persistent_config.h"
#include "testbed_process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using agent_test::Child;
using agent_test::Count;
using agent_test::JsonField;
using agent_test::Result;
using agent_test::Slurp;

namespace {

const std::string kBin = std::string(DTK_BINARY_DIR) + "/bin/";
constexpr int kTreeFiles = 40;
constexpr int kMessagesPerFault = 20;
constexpr auto kFaultPeriod = 8s;
constexpr int kLookupSeconds = 60;  // a lookup process's own bound (registration and answers)

std::vector<std::string> AgentArgv(const fs::path& store, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kBin + "dtk-agent", "--store", store.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Waits (bounded) until `text` occurs `n` times in `file`.
bool WaitForCount(const fs::path& file, const std::string& text, size_t n, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (Count(Slurp(file), text) < n) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// What the lookup processes did, and every breach of "once per file".
struct LookupFigures {
    long runs = 0;           // lookup processes started
    long unregistered = 0;   // ended without registering in time (nothing submitted)
    long submitted = 0;      // files asked about by registered processes
    long answered = 0;
    long failed = 0;         // a result line with an error (time-out, no connection)
    std::vector<std::string> breaches;
};

// One lookup process over `tree`, its results added to `figures`.
void LookupOnce(const fs::path& store, const fs::path& scratch, const std::vector<std::string>& tree,
                LookupFigures* figures) {
    std::vector<std::string> args = {"lookup", "--json", "--timeout", std::to_string(kLookupSeconds)};
    args.insert(args.end(), tree.begin(), tree.end());
    Result result = agent_test::RunProgram(AgentArgv(store, args), scratch, std::chrono::seconds(3 * kLookupSeconds));
    ++figures->runs;
    if (result.exitCode < 0 || result.exitCode >= 128) {
        figures->breaches.push_back("a lookup process ended with " + std::to_string(result.exitCode) + ":\n" +
                                    result.err.substr(result.err.size() > 2000 ? result.err.size() - 2000 : 0));
        return;
    }
    const std::vector<std::string> lines = agent_test::Lines(result.out);
    if (lines.empty() && result.err.find("not registered with the cloud in time") != std::string::npos) {
        ++figures->unregistered;
        return;
    }
    std::map<std::string, int> seen;
    for (const std::string& line : lines) {
        ++seen[JsonField(line, "path")];
        if (JsonField(line, "disposition") != "<absent>")
            ++figures->answered;
        else
            ++figures->failed;
    }
    figures->submitted += static_cast<long>(tree.size());
    for (const std::string& path : tree)
        if (seen[path] != 1)
            figures->breaches.push_back(path + " has " + std::to_string(seen[path]) + " results (exit " +
                                        std::to_string(result.exitCode) + "):\n" + result.out + result.err);
    if (seen.size() != tree.size())
        figures->breaches.push_back("results for files never asked about:\n" + result.out);
}

// The store's certificate and key (read as the library reads them): the
// certificate, and whether it was made for the key. "" when either is missing.
std::string StoredCertificateOfItsKey(const fs::path& path, bool* matches) {
    *matches = false;
    std::string error;
    auto store = hostkit::ConfigStore::Open(path.string(), &error, hostkit::ConfigStore::Mode::ReadOnly);
    if (!store)
        return "";
    hostkit::PersistentConfig persistent(store.get());
    auto read = [&](const char* key, const char* name) {
        char* value = persistent.ReadString(key, name);
        std::string copy = value ? value : "";
        persistent.FreeString(value);
        return copy;
    };
    const std::string certPem = read("config/agent/client_cert", "client_cert");
    const std::string keyPem = read("config/agent/client_keypair", "client_keypair");
    BIO* certBio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
    BIO* keyBio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
    X509* cert = certBio ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    *matches = cert && key && X509_check_private_key(cert, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    return cert ? certPem : "";
}

// Adds the cloud server's counts since its last start ("cloud stats" line).
void AddCloudStats(agent_test::TestbedProcess& testbed, long* handshakes, long* messages, long* acks) {
    if (!testbed.Control("cloud stats"))
        return;
    const std::string output = testbed.Output();
    const size_t at = output.rfind("cloud stats: ");
    long h = 0, open = 0, queries = 0, responses = 0, sent = 0, acked = 0;
    if (at != std::string::npos &&
        sscanf(output.c_str() + at, "cloud stats: %ld handshakes, %ld open, %ld queries, %ld responses, %ld messages sent, %ld acks",
               &h, &open, &queries, &responses, &sent, &acked) == 6) {
        *handshakes += h;
        *messages += sent;
        *acks += acked;
    }
}

TEST(AgentSoak, RunAndLookupsSurviveServerFaultsWithEveryLookupAnsweredOnceAndFlatMemory) {
    const char* seconds = getenv("DTK_SOAK_SECONDS");
    if (!seconds || atoi(seconds) <= 0)
        GTEST_SKIP() << "set DTK_SOAK_SECONDS to run the soak";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(atoi(seconds));

    char pattern[] = "/tmp/dtk-agent-soak-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    agent_test::TestbedProcess testbed;
    std::string why;
    ASSERT_TRUE(testbed.Start(root, {}, &why)) << why;
    const fs::path store = root / "config.db";
    testbed.CopyStore(store);
    Result registered = agent_test::RunProgram(AgentArgv(store, {"register", "--timeout", "60"}), root);
    ASSERT_EQ(registered.exitCode, 0) << registered.out << registered.err;
    // Discovery saves the PAC file's proxy (tinyproxy): from here on the
    // agents' traffic goes through it while it is up.
    Result saved = agent_test::RunProgram(AgentArgv(store, {"proxy", "discover", "--save"}), root);
    ASSERT_EQ(saved.exitCode, 0) << saved.out << saved.err;
    ASSERT_NE(saved.out.find("chosen: http"), std::string::npos) << saved.out;

    // The lookup processes use a copy of the registered store: the soak saves
    // the proxy again into theirs when it comes back, while the run's store
    // changes only by the run's own discovery. (A proxy saved behind a
    // running agent's back, then found working by its discovery, counts as
    // unchanged, and the agent keeps the dead proxy it holds.)
    const fs::path lookupStore = root / "lookups.db";
    for (const char* suffix : {"", "-wal", "-shm"})
        if (fs::exists(store.string() + suffix))
            fs::copy_file(store.string() + suffix, lookupStore.string() + suffix);

    std::vector<std::string> tree;
    fs::create_directories(root / "tree");
    for (int i = 0; i < kTreeFiles; ++i) {
        tree.push_back((root / "tree" / ("f" + std::to_string(i))).string());
        std::ofstream(tree.back()) << "soak file " << i << "\n";
    }

    Child run;
    const fs::path runOut = root / "service.out";
    // A connection check every 10 s: the run finds its way back to a
    // restarted server within a fault period or two.
    ASSERT_TRUE(run.Start(AgentArgv(store, {"run", "--keepalive", "10"}), runOut, root / "service.err"));
    ASSERT_TRUE(WaitForCount(runOut, "cloud connection: connected", 1, 60s)) << Slurp(runOut);

    // Lookups without pause until the deadline, on their own thread.
    LookupFigures lookups;
    std::mutex lookupsMutex;
    std::atomic<bool> stop{false};
    std::atomic<long> warm{0};
    // Output files of their own: the fault loop runs programs meanwhile.
    const fs::path lookupScratch = root / "lookups";
    fs::create_directories(lookupScratch);
    std::thread lookupDriver([&] {
        while (!stop.load()) {
            LookupFigures one;
            LookupOnce(lookupStore, lookupScratch, tree, &one);
            std::lock_guard<std::mutex> lock(lookupsMutex);
            lookups.runs += one.runs;
            lookups.unregistered += one.unregistered;
            lookups.submitted += one.submitted;
            lookups.answered += one.answered;
            lookups.failed += one.failed;
            lookups.breaches.insert(lookups.breaches.end(), one.breaches.begin(), one.breaches.end());
            warm = lookups.runs;
        }
    });
    // Warm-up: the first lookup process has ended; its memory is the start.
    const auto warmBound = std::chrono::steady_clock::now() + std::chrono::seconds(3 * kLookupSeconds);
    while (warm.load() == 0 && std::chrono::steady_clock::now() < warmBound)
        std::this_thread::sleep_for(100ms);
    const long rssStart = agent_test::ProcessMemoryKiB(run.Pid(), "VmRSS");

    const std::vector<std::vector<std::string>> faults = {
        {"cloud chaos"}, {"cloud calm", "cloud restart"}, {"management restart", "est restart"},
        {"proxy stop"},  {"proxy start"},
    };
    long rssLow = rssStart, rssHigh = rssStart, delivered = 0, freshRegistrations = 0, freshFailures = 0;
    long proxySaves = 0, deliveries = 0, handshakes = 0, messagesSent = 0, acks = 0;
    int step = 0;
    std::vector<std::string> controlFailures;
    for (; std::chrono::steady_clock::now() < deadline; ++step) {
        const std::vector<std::string>& fault = faults[static_cast<size_t>(step) % faults.size()];
        if (fault.back() == "cloud restart")
            AddCloudStats(testbed, &handshakes, &messagesSent, &acks);
        for (const std::string& command : fault) {
            const std::string line = command == "cloud chaos" ? "cloud chaos " + std::to_string(step + 1) : command;
            if (!testbed.Control(line))
                controlFailures.push_back(line);
        }
        // Refused when no client is connected at that moment.
        ++deliveries;
        if (testbed.Control("cloud deliver " + std::to_string(kMessagesPerFault)))
            delivered += kMessagesPerFault;
        if (fault.front() == "management restart") {
            // A new endpoint enrols and registers against the restarted servers.
            const fs::path fresh = root / "fresh.db";
            for (const char* suffix : {"", "-wal", "-shm"})
                fs::remove(fresh.string() + suffix);
            testbed.CopyStore(fresh);
            Result again = agent_test::RunProgram(AgentArgv(fresh, {"register", "--timeout", "90"}), root, 120s);
            (again.exitCode == 0 ? freshRegistrations : freshFailures)++;
        }
        if (fault.front() == "proxy start") {
            // The proxy is back on a new port: discovery saves it again for
            // the lookups; the run finds it by itself when it needs it.
            Result again = agent_test::RunProgram(AgentArgv(lookupStore, {"proxy", "discover", "--save"}), root);
            if (again.exitCode == 0 && again.out.find("chosen: http") != std::string::npos)
                ++proxySaves;
        }
        const long rss = agent_test::ProcessMemoryKiB(run.Pid(), "VmRSS");
        ASSERT_GT(rss, 0) << "the run has ended:\n" << Slurp(runOut) << Slurp(root / "service.err");
        rssLow = std::min(rssLow, rss);
        rssHigh = std::max(rssHigh, rss);
        const auto next = std::min(deadline, std::chrono::steady_clock::now() + kFaultPeriod);
        while (std::chrono::steady_clock::now() < next)
            std::this_thread::sleep_for(100ms);
    }
    stop = true;
    lookupDriver.join();  // bounded: the process in progress is killed at its own bound
    EXPECT_TRUE(testbed.Control("cloud calm"));
    EXPECT_TRUE(testbed.Control("proxy start"));
    AddCloudStats(testbed, &handshakes, &messagesSent, &acks);
    // After every fault the run still takes server messages: it is connected
    // again (a delivery is refused while no client is) and handles them.
    const size_t handledBefore = Count(Slurp(runOut), "server message: type 1");
    const auto messageBound = std::chrono::steady_clock::now() + 90s;
    bool deliveredAtEnd = false;
    while (!(deliveredAtEnd = testbed.Control("cloud deliver 5")) && std::chrono::steady_clock::now() < messageBound)
        std::this_thread::sleep_for(1s);
    EXPECT_TRUE(deliveredAtEnd) << "the run did not connect again after the faults:\n" << Slurp(runOut);
    EXPECT_TRUE(WaitForCount(runOut, "server message: type 1", handledBefore + 5, 60s)) << Slurp(runOut);
    const long rssEnd = agent_test::ProcessMemoryKiB(run.Pid(), "VmRSS");
    const long peak = agent_test::ProcessMemoryKiB(run.Pid(), "VmHWM");
    const std::string runText = Slurp(runOut);

    run.Signal(SIGKILL);
    EXPECT_EQ(run.Wait(10s), 128 + SIGKILL);
    Result status = agent_test::RunProgram(AgentArgv(store, {"status", "--json"}), root);
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(JsonField(status.out, "registered"), "true") << status.out;
    EXPECT_EQ(JsonField(status.out, "certificate"), "true") << status.out;
    EXPECT_EQ(JsonField(status.out, "client_key"), "true") << status.out;
    bool matches = false;
    const std::string cert = StoredCertificateOfItsKey(store, &matches);
    EXPECT_FALSE(cert.empty());
    EXPECT_TRUE(matches) << "the stored certificate is not the stored key's";
    Child after;
    ASSERT_TRUE(after.Start(AgentArgv(store, {"run"}), root / "after.out", root / "after.err"));
    EXPECT_TRUE(WaitForCount(root / "after.out", "cloud connection: connected", 1, 120s)) << Slurp(root / "after.out");
    after.Signal(SIGTERM);
    EXPECT_EQ(after.Wait(15s), 0);
    EXPECT_EQ(StoredCertificateOfItsKey(store, &matches), cert) << "the new run did not accept the stored certificate";
    EXPECT_TRUE(matches);

    printf("soak: %d faults in %s s; %ld lookup processes (%ld not registered in time), %ld lookups submitted, "
           "%ld answered, %ld errors, %zu breaches of once-per-file\n",
           step, seconds, lookups.runs, lookups.unregistered, lookups.submitted, lookups.answered, lookups.failed,
           lookups.breaches.size());
    // Every lookup process, fresh registration and the run handshake once
    // when nothing fails: the rest are reconnections.
    const long expectedHandshakes = lookups.runs + freshRegistrations + freshFailures + 1;
    printf("soak: cloud server: %ld TLS handshakes, about %ld of them reconnections; %ld server messages sent, %ld "
           "acknowledged\n",
           handshakes, std::max(0L, handshakes - expectedHandshakes), messagesSent, acks);
    printf("soak: run: %zu times not answering and %zu answering again (its reconnections), %zu server messages "
           "handled (%ld delivered to it and other clients in %ld of %ld deliveries); fresh registrations %ld ok, "
           "%ld failed; proxy saved again %ld times\n",
           Count(runText, "cloud connection: not answering"), Count(runText, "cloud connection: answering again"),
           Count(runText, "server message: type 1"), delivered, delivered / kMessagesPerFault, deliveries,
           freshRegistrations, freshFailures, proxySaves);
    printf("soak: run VmRSS start %ld KiB, end %ld KiB (low %ld, high %ld); VmHWM %ld KiB\n", rssStart, rssEnd,
           rssLow, rssHigh, peak);
    fflush(stdout);

    for (const std::string& breach : lookups.breaches)
        ADD_FAILURE() << breach;
    EXPECT_TRUE(controlFailures.empty()) << controlFailures.front() << "\n" << testbed.Output();
    EXPECT_EQ(lookups.answered + lookups.failed, lookups.submitted);
    EXPECT_GT(lookups.answered, lookups.submitted / 2) << "most lookups should be answered despite the faults";
    EXPECT_GT(lookups.runs, lookups.unregistered * 2) << "most lookup processes should register";
    // Flat: the end within a quarter (and at least 8 MiB) of the start.
    EXPECT_LE(rssEnd, rssStart + std::max(rssStart / 4, 8192L));
    EXPECT_EQ(freshFailures, 0);
    EXPECT_EQ(testbed.Stop(), 0);
    if (!HasFailure())
        fs::remove_all(root);
}

}  // namespace
