// dtk-testbed: runs the local servers of the testbed stand-alone for demos and
// manual runs, and prints where they listen and where the test PKI lives.
// Stops on SIGINT or SIGTERM.
#include <openssl/rand.h>
#include <signal.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config_store.h"
#include "testbed/cloud_server.h"
#include "testbed/est_server.h"
#include "testbed/http_file_server.h"
#include "testbed/https_server.h"
#include "testbed/management_server.h"
#include "testbed/pki.h"
#include "testbed/proxies.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage() {
    printf("usage: dtk-testbed [--mtls]\n"
           "       dtk-testbed up [--store PATH] [--answers FILE] [--policy FILE] [--control FILE] [--print]\n"
           "                      [--expired-server]\n"
           "       dtk-testbed cloud\n"
           "       dtk-testbed management\n"
           "  --mtls  the HTTPS server requires a client certificate from the test CA\n"
           "  cloud   run only the cloud lookup server (mutual TLS, client certificate from the test CA)\n"
           "  management  run only the management server (form posts to /mgmt/register, mutual TLS)\n"
           "  up      run every server (EST, management, cloud lookup, HTTPS, PAC, tinyproxy,\n"
           "          microsocks), write the configuration that points an agent at them into the\n"
           "          store (--store) or print it; --answers names a file of lines\n"
           "          \"<sha256 hex> <disposition> [name]\" the cloud server answers file lookups with\n"
           "          (others: disposition 1); prints \"testbed ready\" once everything listens\n"
           "          --expired-server: every TLS server shows an expired certificate\n"
           "          --control names a file polled for commands, one a line, each answered\n"
           "          \"control: <command> ok|failed\" on standard output; the file is removed once read:\n"
           "            cloud restart | cloud stop | cloud start (on its old port) | cloud chaos SEED\n"
           "            cloud calm | cloud deliver COUNT (server messages)\n"
           "            cloud stall | cloud answer (file lookups get no answer / answers again)\n"
           "            cloud stats (a line \"cloud stats: ...\": counts since the server's last start)\n"
           "            management restart | management status CODE COUNT | est restart\n"
           "            proxy stop | proxy start (the PAC file follows the proxy's new port)\n");
}

void print_pki(testbed::Pki& pki) {
    printf("pki directory:   %s\n", pki.dir().c_str());
    printf("ca certificate:  %s\n", pki.ca().credential().cert_path.c_str());
    printf("client cert/key: %s %s\n", pki.client().cert_path.c_str(), pki.client().key_path.c_str());
}

// The cloud lookup server alone, answering every query with its defaults.
int run_cloud() {
    testbed::Pki pki;
    testbed::CloudServer cloud;
    testbed::CloudServerOptions options;
    options.identity = &pki.server();
    options.client_ca = pki.ca().cert();
    options.keep_log = false;
    if (!cloud.start(options)) {
        fprintf(stderr, "dtk-testbed: cannot start the cloud server\n");
        return 1;
    }
    print_pki(pki);
    printf("cloud server:    127.0.0.1:%u (framed protocol, mutual TLS)\n", (unsigned)cloud.port());
    fflush(stdout);
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cloud.stop();
    auto stats = cloud.stats();
    printf("cloud server:    %d connections, %ld queries, %ld responses, %ld acks\n", stats.handshakes, stats.queries,
           stats.responses, stats.acks);
    return 0;
}

// The management server alone: every registration is answered 200 and
// printed with the client certificate's subject and its fields.
int run_management() {
    testbed::Pki pki;
    testbed::ManagementServer management;
    testbed::ManagementServerOptions options;
    options.identity = &pki.server();
    options.client_ca = pki.ca().cert();
    if (!management.start(options)) {
        fprintf(stderr, "dtk-testbed: cannot start the management server\n");
        return 1;
    }
    print_pki(pki);
    printf("management:      %s (POST <url>/register, mutual TLS)\n", management.base_url().c_str());
    fflush(stdout);
    size_t printed = 0;
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto posts = management.posts();
        for (; printed < posts.size(); ++printed) {
            const auto& post = posts[printed];
            printf("register from \"%s\" -> %d\n", post.client_subject.c_str(), post.status);
            for (const auto& [name, value] : post.fields)
                printf("  %s = %s\n", name.c_str(), name == "itoken" ? "*****" : value.c_str());
        }
        fflush(stdout);
    }
    management.stop();
    return 0;
}

// `dtk-testbed up`: every server of the testbed at once, and the configuration
// that points an agent at them.

// Answers the cloud server gives to file lookups, keyed by SHA-256.
struct FileAnswer {
    long disposition = 1;
    std::string name;
};
using FileAnswers = std::map<std::string, FileAnswer>;

std::string hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

// Lines "<sha256 hex> <disposition> [name]"; blank lines and '#' comments skipped.
bool read_answers(const std::string& path, FileAnswers* answers) {
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "dtk-testbed: cannot read %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream fields(line);
        std::string hash;
        FileAnswer answer;
        if (!(fields >> hash) || hash[0] == '#')
            continue;
        if (hash.size() != 64 || !(fields >> answer.disposition)) {
            fprintf(stderr, "dtk-testbed: %s:%d: expected \"<sha256 hex> <disposition> [name]\"\n", path.c_str(),
                    number);
            return false;
        }
        std::getline(fields >> std::ws, answer.name);
        for (char& c : hash)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        (*answers)[hash] = answer;
    }
    return true;
}

// A file lookup answered from `answers`, or not at all while `stall` is set;
// every other query keeps its default.
testbed::QueryHook file_answer_hook(FileAnswers answers, long first_seen, std::shared_ptr<std::atomic<bool>> stall) {
    return [answers = std::move(answers), first_seen, stall](const testbed::ReceivedQuery& query) {
        if (query.type != CorvaneQueryData_PR_file)
            return testbed::Reply::defaults();
        if (stall->load())
            return testbed::Reply::drop();
        testbed::QueryPtr decoded = testbed::decode_query(query.der);
        if (!decoded)
            return testbed::Reply::defaults();
        const OCTET_STRING_t& hash = decoded->data.choice.file.hash;
        auto found = answers.find(hex(hash.buf, static_cast<size_t>(hash.size)));
        FileAnswer answer = found == answers.end() ? FileAnswer{} : found->second;
        return testbed::Reply::defaults().edited([answer, first_seen](CorvaneQueryResponse_t& response) {
            response.header.disposition = answer.disposition;
            if (response.data.present != CorvaneQueryResponseData_PR_fileResponse)
                return;
            CorvaneFileResponse_t& file = response.data.choice.fileResponse;
            file.firstSeen = first_seen;
            OCTET_STRING_fromBuf(&file.name, answer.name.data(), static_cast<int>(answer.name.size()));
        });
    };
}

std::string new_guid_text() {
    uint8_t bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
    std::string text = hex(bytes, sizeof bytes);
    return text.substr(0, 8) + "-" + text.substr(8, 4) + "-" + text.substr(12, 4) + "-" + text.substr(16, 4) + "-" +
           text.substr(20);
}

hostkit::ConfigEntry text_entry(hostkit::ConfigView view, const std::string& key, const std::string& value,
                                const std::string& name = "") {
    hostkit::ConfigEntry entry;
    entry.view = view;
    entry.key = key;
    entry.name = name;
    entry.text = value;
    return entry;
}

hostkit::ConfigEntry int_entry(const std::string& key, int64_t value,
                               hostkit::ConfigView view = hostkit::ConfigView::Local) {
    hostkit::ConfigEntry entry;
    entry.view = view;
    entry.key = key;
    entry.type = hostkit::ValueType::Integer;
    entry.integer = value;
    return entry;
}

struct UpOptions {
    std::string store;        // write the configuration here
    std::string answers;      // file answers of the cloud server
    std::string policy_file;  // served as the policy (default: a small built-in one)
    std::string control;      // polled for commands that script the servers
    bool print = false;       // print the configuration
    bool expired = false;     // every server shows an expired certificate
};

int usage_up() {
    fprintf(stderr, "usage: dtk-testbed up [--store PATH] [--answers FILE] [--policy FILE] [--control FILE] [--print]\n"
                    "                      [--expired-server]\n");
    return 2;
}

bool parse_up(int argc, char** argv, UpOptions* options) {
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::string* target = arg == "--store" ? &options->store
                              : arg == "--answers" ? &options->answers
                              : arg == "--policy" ? &options->policy_file
                              : arg == "--control" ? &options->control
                                                  : nullptr;
        if (target && i + 1 < argc)
            *target = argv[++i];
        else if (arg == "--print")
            options->print = true;
        else if (arg == "--expired-server")
            options->expired = true;
        else
            return false;
    }
    if (options->store.empty())
        options->print = true;
    return true;
}

std::string slurp(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    *ok = static_cast<bool>(in) || in.eof();
    return text.str();
}

// Every server of the testbed, started together and stopped in reverse.
struct Testbed {
    testbed::Pki pki;
    testbed::EstServer est;
    testbed::ManagementServer management;
    testbed::CloudServer cloud;
    testbed::HttpsServer https;
    testbed::HttpFileServer pac;
    testbed::Tinyproxy tinyproxy;
    testbed::Microsocks microsocks;
    // Kept for restarts on the same ports.
    testbed::EstServerOptions est_options;
    testbed::ManagementServerOptions management_options;
    testbed::CloudServerOptions cloud_options;

    // Set by "cloud stall": file lookups get no answer.
    std::shared_ptr<std::atomic<bool>> stall_files = std::make_shared<std::atomic<bool>>(false);
    // What every TLS server shows: the test server certificate, or its expired twin.
    const testbed::Credential* identity = nullptr;

    bool start(const FileAnswers& answers, const std::string& policy, bool expired) {
        identity = expired ? &pki.expired_server() : &pki.server();
        est_options = {};
        est_options.identity = identity;
        est_options.ca = &pki.ca();
        if (!est.start(est_options))
            return fail("the EST server");
        management_options = {};
        management_options.identity = identity;
        management_options.client_ca = pki.ca().cert();
        if (!management.start(management_options))
            return fail("the management server");
        cloud_options = {};
        cloud_options.identity = identity;
        cloud_options.client_ca = pki.ca().cert();
        cloud_options.keep_log = false;
        cloud.set_reg_answers({0});
        cloud.set_hook(file_answer_hook(answers, static_cast<long>(time(nullptr)) - 86400, stall_files));
        if (!cloud.start(cloud_options))
            return fail("the cloud lookup server");
        serve_files(policy);
        testbed::TlsServerOptions https_options;
        https_options.identity = identity;
        if (!https.start(https_options))
            return fail("the HTTPS server");
        if (!tinyproxy.start(std::nullopt))
            return fail("tinyproxy");
        if (!microsocks.start(std::nullopt))
            return fail("microsocks");
        if (!pac.start())
            return fail("the PAC server");
        serve_pac();
        return true;
    }

    void serve_pac() {
        pac.serve("/proxy.pac", "function FindProxyForURL(url, host) {\n  return \"PROXY 127.0.0.1:" +
                                    std::to_string(tinyproxy.port()) + "\";\n}\n");
    }

    // Stops a server so that its next start takes the same port: clients
    // configured with it find the new server.
    template <class Server, class Options>
    static void stop_keeping_port(Server& server, Options& options) {
        options.port = server.port();
        server.stop();
    }

    // The old port can stay taken a moment while clients close their ends.
    static bool restart(const std::function<bool()>& start) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (start())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // One line of the control file; false when it is unknown or fails.
    bool control(const std::string& line) {
        std::istringstream words(line);
        std::string server, verb;
        words >> server >> verb;
        if (server == "cloud" && verb == "restart") {
            stop_keeping_port(cloud, cloud_options);
            return restart([&] { return cloud.start(cloud_options); });
        }
        if (server == "cloud" && verb == "stop") {
            stop_keeping_port(cloud, cloud_options);
            return true;
        }
        if (server == "cloud" && verb == "start")
            return restart([&] { return cloud.start(cloud_options); });
        if (server == "management" && verb == "restart") {
            stop_keeping_port(management, management_options);
            return restart([&] { return management.start(management_options); });
        }
        if (server == "est" && verb == "restart") {
            stop_keeping_port(est, est_options);
            return restart([&] { return est.start(est_options); });
        }
        if (server == "cloud" && (verb == "stall" || verb == "answer")) {
            stall_files->store(verb == "stall");
            return true;
        }
        if (server == "cloud" && verb == "chaos") {
            testbed::ChaosOptions chaos;
            if (!(words >> chaos.seed))
                return false;
            chaos.drop = 0.02;
            chaos.close_mid_frame = 0.01;
            chaos.garbage = 0.01;
            chaos.duplicate = 0.02;
            chaos.delay = 0.05;
            chaos.max_events = 1 << 30;
            cloud.set_chaos(chaos);
            return true;
        }
        int count = 0;
        if (server == "cloud" && verb == "deliver" && words >> count && count >= 0) {
            // Server messages of type 1 with distinct ids, to every connection.
            for (int i = 0; i < count; ++i) {
                testbed::Deliver message;
                RAND_bytes(message.id.data(), static_cast<int>(message.id.size()));
                message.type = 1;
                message.data = {'t', 'e', 's', 't'};
                if (cloud.deliver(message) < 1)
                    return false;
            }
            return true;
        }
        if (server == "cloud" && verb == "calm") {
            cloud.clear_chaos();
            return true;
        }
        if (server == "cloud" && verb == "stats") {
            // Since the server's last start.
            const testbed::CloudServerStats s = cloud.stats();
            printf("cloud stats: %d handshakes, %d open, %ld queries, %ld responses, %ld messages sent, %ld acks\n",
                   s.handshakes, s.open, s.queries, s.responses, s.messages_sent, s.acks);
            return true;
        }
        int code = 0;
        if (server == "management" && verb == "status" && words >> code >> count && count >= 0) {
            management.script(std::vector<int>(static_cast<size_t>(count), code));
            return true;
        }
        if (server == "proxy" && verb == "stop") {
            tinyproxy.stop();
            return true;
        }
        if (server == "proxy" && verb == "start") {
            tinyproxy.stop();
            if (!tinyproxy.start(std::nullopt))
                return false;
            serve_pac();
            return true;
        }
        return false;
    }

    void stop() {
        pac.stop();
        microsocks.stop();
        tinyproxy.stop();
        https.stop();
        cloud.stop();
        management.stop();
        est.stop();
    }

    // The policy under every serial a demo asks for, a small and a large file.
    void serve_files(const std::string& policy) {
        auto answer = [](std::string body, std::string type) {
            return [body = std::move(body), type = std::move(type)](const testbed::HttpRequest&,
                                                                      testbed::HttpExchange& exchange) {
                exchange.respond(200, body, {{"Content-Type", type}});
            };
        };
        for (uint32_t serial = 0; serial < 16; ++serial)
            https.on("/policy/current-" + std::to_string(kPolicyFetchBit | serial), answer(policy, "text/xml"));
        https.on("/files/hello.txt", answer("hello from the testbed\n", "text/plain"));
        https.on("/files/large.bin", answer(testbed::large_download(), "application/octet-stream"));
    }

    std::vector<hostkit::ConfigEntry> configuration() {
        using hostkit::ConfigView;
        const std::string mgmt = management.base_url();
        // The enrolment server is reached on the cloud port setting, the cloud
        // server through the port in its host name (production has both on 443).
        return {
            text_entry(ConfigView::Local, "config/vesta/endpoint/est", "127.0.0.1"),
            int_entry("config/agent/cloud/asn1_port", est.port()),
            text_entry(ConfigView::Local, "config/agent/cloud/asn1_host", "127.0.0.1:" + std::to_string(cloud.port())),
            text_entry(ConfigView::Local, "config/vesta/endpoint/mgmt", mgmt),
            text_entry(ConfigView::Secure, "config/agent/cloud/trustedcerts/cert", pki.ca().credential().cert_pem),
            text_entry(ConfigView::Local, "config/agent/version", "1.0"),
            text_entry(ConfigView::Local, "config/agent/revision", "1"),
            text_entry(ConfigView::Secure, "config/vesta/business/uuid", new_guid_text()),
            text_entry(ConfigView::Secure, "config/agent/affiliate/uuid", new_guid_text()),
            text_entry(ConfigView::Persistent, "config/vesta/install/token", new_guid_text(), "install_token"),
            text_entry(ConfigView::Secure, "config/vesta/endpoint/policy/policy", https.url("/policy/current")),
            // Proxy discovery settings are policy-delivered (secure view).
            text_entry(ConfigView::Secure, "config/proxy/testurl", https.url("/files/hello.txt")),
            text_entry(ConfigView::Secure, "config/proxy/pacloc", pac.url("/proxy.pac")),
            // Configured proxy, PAC file and the direct connection.
            int_entry("config/proxy/srcfl", (1 << 0) | (1 << 2) | (1 << 3), ConfigView::Secure),
        };
    }

    void print_servers() {
        printf("pki directory:   %s\n", pki.dir().c_str());
        printf("est server:      https://127.0.0.1:%u (simpleenroll, /domains)\n", (unsigned)est.port());
        printf("management:      %s (POST <url>/register, mutual TLS)\n", management.base_url().c_str());
        printf("cloud lookup:    127.0.0.1:%u (framed protocol, mutual TLS)\n", (unsigned)cloud.port());
        printf("https server:    %s (policy at /policy/current-<bits>, /files/hello.txt, /files/large.bin, /echo)\n",
               https.url("/").c_str());
        printf("pac file:        %s\n", pac.url("/proxy.pac").c_str());
        printf("tinyproxy:       http://127.0.0.1:%u\n", (unsigned)tinyproxy.port());
        printf("microsocks:      socks5://127.0.0.1:%u\n", (unsigned)microsocks.port());
    }

    static bool fail(const char* what) {
        fprintf(stderr, "dtk-testbed: cannot start %s\n", what);
        return false;
    }

    static constexpr uint32_t kPolicyFetchBit = 0x20000000u;
};

bool write_configuration(const std::string& path, const std::vector<hostkit::ConfigEntry>& entries) {
    std::string error;
    std::unique_ptr<hostkit::ConfigStore> store = hostkit::ConfigStore::Open(path, &error);
    if (!store) {
        fprintf(stderr, "dtk-testbed: %s\n", error.c_str());
        return false;
    }
    bool written = store->RunTransaction([&] {
        for (const auto& entry : entries)
            if (!store->Put(entry))
                return false;
        return true;
    });
    if (!written)
        fprintf(stderr, "dtk-testbed: cannot write %s: %s\n", path.c_str(),
                hostkit::ConfigStore::LastError().c_str());
    return written;
}

void print_configuration(const std::vector<hostkit::ConfigEntry>& entries) {
    for (const auto& entry : entries) {
        std::string key = entry.name.empty() ? entry.key : entry.key + "#" + entry.name;
        std::string value = entry.ValueText();
        if (entry.view == hostkit::ConfigView::Persistent)
            value = "(hidden)";
        else if (value.find('\n') != std::string::npos)
            value = "(PEM, " + std::to_string(value.size()) + " bytes)";
        printf("config:          %-10s %s = %s\n", hostkit::ViewName(entry.view), key.c_str(), value.c_str());
    }
}

// Runs and removes the control file's commands, if there is one. Writers
// rename a finished file into place, so a file seen is whole.
void run_control_file(const std::string& path, Testbed* bed) {
    std::ifstream in(path);
    if (!in)
        return;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    in.close();
    std::remove(path.c_str());
    for (const std::string& line : lines)
        printf("control: %s %s\n", line.c_str(), bed->control(line) ? "ok" : "failed");
    fflush(stdout);
}

int run_up(const UpOptions& options) {
    FileAnswers answers;
    if (!options.answers.empty() && !read_answers(options.answers, &answers))
        return 1;
    std::string policy = "<?xml version=\"1.0\"?>\n<policy serial=\"1\"><name>testbed policy</name></policy>\n";
    if (!options.policy_file.empty()) {
        bool ok = false;
        policy = slurp(options.policy_file, &ok);
        if (!ok) {
            fprintf(stderr, "dtk-testbed: cannot read %s\n", options.policy_file.c_str());
            return 1;
        }
    }
    Testbed bed;
    if (!bed.start(answers, policy, options.expired)) {
        bed.stop();
        return 1;
    }
    std::vector<hostkit::ConfigEntry> entries = bed.configuration();
    if (!options.store.empty() && !write_configuration(options.store, entries)) {
        bed.stop();
        return 1;
    }
    bed.print_servers();
    if (options.print)
        print_configuration(entries);
    if (!options.store.empty())
        printf("store:           %s\n", options.store.c_str());
    printf("testbed ready\n");
    fflush(stdout);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!options.control.empty())
            run_control_file(options.control, &bed);
    }
    bed.stop();
    testbed::CloudServerStats stats = bed.cloud.stats();
    printf("testbed stopped: %d cloud connections, %ld queries; %zu registrations\n", stats.handshakes,
           stats.queries, bed.management.post_count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool mtls = false;
    if (argc >= 2 && strcmp(argv[1], "up") == 0) {
        UpOptions options;
        if (!parse_up(argc, argv, &options))
            return usage_up();
        signal(SIGINT, on_signal);
        signal(SIGTERM, on_signal);
        signal(SIGPIPE, SIG_IGN);
        return run_up(options);
    }
    if (argc == 2 && strcmp(argv[1], "cloud") == 0) {
        signal(SIGINT, on_signal);
        signal(SIGTERM, on_signal);
        return run_cloud();
    }
    if (argc == 2 && strcmp(argv[1], "management") == 0) {
        signal(SIGINT, on_signal);
        signal(SIGTERM, on_signal);
        return run_management();
    }
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--mtls") == 0) {
            mtls = true;
        } else {
            usage();
            return 2;
        }
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    testbed::Pki pki;
    testbed::HttpsServer https;
    testbed::TlsServerOptions options;
    options.identity = &pki.server();
    if (mtls) {
        options.client_ca = pki.ca().cert();
        options.require_client_cert = true;
    }
    if (!https.start(options)) {
        fprintf(stderr, "dtk-testbed: cannot start the HTTPS server\n");
        return 1;
    }
    printf("pki directory:   %s\n", pki.dir().c_str());
    printf("ca certificate:  %s\n", pki.ca().credential().cert_path.c_str());
    printf("client cert/key: %s %s\n", pki.client().cert_path.c_str(), pki.client().key_path.c_str());
    printf("https server:    %s (client certificate %s)\n", https.url("/").c_str(),
           mtls ? "required" : "not requested");
    printf("  paths: /status/<code> /large?size=N&chunk=M /redirect-loop /stall /echo\n");
    testbed::EstServer est;
    testbed::EstServerOptions est_options;
    est_options.identity = &pki.server();
    est_options.ca = &pki.ca();
    if (!est.start(est_options)) {
        fprintf(stderr, "dtk-testbed: cannot start the EST server\n");
        return 1;
    }
    printf("est server:      https://127.0.0.1:%u (simpleenroll without authentication, /domains)\n",
           (unsigned)est.port());
    // The management and cloud servers join here as they are built.
    fflush(stdout);
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    est.stop();
    https.stop();
    return 0;
}
