// dtk-testbed: runs the local servers of the testbed stand-alone for demos and
// manual runs, and prints where they listen and where the test PKI lives.
// Stops on SIGINT or SIGTERM.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "testbed/est_server.h"
#include "testbed/https_server.h"
#include "testbed/pki.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage() {
    printf("usage: dtk-testbed [--mtls]\n"
           "  --mtls  the HTTPS server requires a client certificate from the test CA\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool mtls = false;
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
