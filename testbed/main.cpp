// dtk-testbed: runs the local servers of the testbed stand-alone for demos and
// manual runs, and prints where they listen and where the test PKI lives.
// Stops on SIGINT or SIGTERM.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "testbed/cloud_server.h"
#include "testbed/est_server.h"
#include "testbed/https_server.h"
#include "testbed/management_server.h"
#include "testbed/pki.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage() {
    printf("usage: dtk-testbed [--mtls]\n"
           "       dtk-testbed cloud\n"
           "       dtk-testbed management\n"
           "  --mtls  the HTTPS server requires a client certificate from the test CA\n"
           "  cloud   run only the cloud lookup server (mutual TLS, client certificate from the test CA)\n"
           "  management  run only the management server (form posts to /mgmt/register, mutual TLS)\n");
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

}  // namespace

int main(int argc, char** argv) {
    bool mtls = false;
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
