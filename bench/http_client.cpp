// bench_http_client: cost of the kit's HTTP client over a bare libcurl easy
// handle, and memory of a large streamed download.
//
// 1. Small GETs on one request over a kept-alive TLS connection to the
//    testbed's HTTPS server, through http_client_send_request and through a
//    bare easy handle set up with the same options, in alternating rounds.
//    Prints both rates and their ratio (wrapper / bare).
// 2. A mode-2 download of 1 GiB (size adjustable with --download-mib) and the
//    process's peak resident size afterwards (getrusage).
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_result.h"
#include "kit/http_client/http_client.h"
#include "kit/tessel_init.h"
#include "kit/tessel_logger.h"
#include "testbed/https_server.h"
#include "testbed/pki.h"

namespace {

using Clock = std::chrono::steady_clock;

size_t append_body(char* data, size_t size, size_t nmemb, void* out) {
    static_cast<std::string*>(out)->append(data, size * nmemb);
    return size * nmemb;
}

size_t count_bytes(char*, size_t size, size_t nmemb, void* total) {
    *static_cast<uint64_t*>(total) += size * nmemb;
    return size * nmemb;
}

CURLcode trust_ca(CURL*, void* ctx, void* ca) {
    X509_STORE_add_cert(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ctx)), static_cast<X509*>(ca));
    return CURLE_OK;
}

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The options http_client_send_request sets for a GET in memory mode.
CURL* bare_handle(const std::string& url, X509* ca, std::string* body, char* errbuf) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "dtk-bench/1.0");
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, trust_ca);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, ca);
    curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(curl, CURLOPT_PROXY, static_cast<char*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "GET");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 15L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    return curl;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 10, per_round = 300;
    uint64_t download_mib = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--requests") == 0) per_round = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--download-mib") == 0) download_mib = strtoull(argv[i + 1], nullptr, 10);
    }
    tessel_logger_init();
    tessel_init();

    testbed::Pki pki;
    testbed::HttpsServer server;
    testbed::TlsServerOptions options;
    options.identity = &pki.server();
    if (!server.start(options)) {
        fprintf(stderr, "cannot start the HTTPS server\n");
        return 1;
    }
    const std::string url = server.url("/status/200");

    X509* trust[] = {pki.ca().cert()};
    http_client_identity identity{nullptr, nullptr, trust, 1};
    http_client_handle* handle = http_client_handle_new("dtk-bench/1.0", nullptr, nullptr, &identity);
    http_client_header_list no_headers{nullptr, 0};
    http_client_request_t* req = http_client_request_new(handle, &no_headers);
    std::string bare_body;
    char errbuf[CURL_ERROR_SIZE];
    CURL* bare = bare_handle(url, pki.ca().cert(), &bare_body, errbuf);

    auto wrapper_get = [&] {
        http_client_request_set_write_mode(req, HTTP_CLIENT_WRITE_MEMORY, nullptr, nullptr, nullptr, nullptr);
        http_client_response* resp = http_client_send_request(req, url.c_str(), "GET", nullptr, 0);
        bool ok = resp && resp->error == 0 && resp->status == 200 && resp->body_len == 10;
        http_client_response_free(resp);
        return ok;
    };
    auto bare_get = [&] {
        bare_body.clear();
        long status = 0;
        bool ok = curl_easy_perform(bare) == CURLE_OK &&
                  curl_easy_getinfo(bare, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200 &&
                  bare_body.size() == 10;
        return ok;
    };
    // Warm up: both connections established and kept alive.
    for (int i = 0; i < 20; ++i) {
        if (!wrapper_get()) {
            fprintf(stderr, "warm-up request through the kit failed\n");
            return 1;
        }
        if (!bare_get()) {
            fprintf(stderr, "warm-up request through libcurl failed: %s\n", errbuf);
            return 1;
        }
    }

    double wrapper_s = 0, bare_s = 0;
    int failures = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        for (int i = 0; i < per_round; ++i) failures += !wrapper_get();
        auto t1 = Clock::now();
        for (int i = 0; i < per_round; ++i) failures += !bare_get();
        auto t2 = Clock::now();
        wrapper_s += std::chrono::duration<double>(t1 - t0).count();
        bare_s += std::chrono::duration<double>(t2 - t1).count();
    }
    const double total = static_cast<double>(rounds) * per_round;
    const double wrapper_rate = total / wrapper_s, bare_rate = total / bare_s;
    printf("small GETs over one kept-alive TLS connection: %d x %d each\n", rounds, per_round);
    printf("  http_client_send_request: %9.0f requests/s\n", wrapper_rate);
    printf("  bare libcurl easy handle: %9.0f requests/s\n", bare_rate);
    printf("  ratio wrapper/bare:       %9.3f\n", wrapper_rate / bare_rate);
    bench_result("http_keepalive_gets_per_s", wrapper_rate, "1/s", bare_rate);
    printf("  connections accepted by the server: %d, failed requests: %d\n", server.connections(), failures);

    const long rss_before = peak_rss_kib();
    uint64_t received = 0;
    const uint64_t size = download_mib * 1024 * 1024;
    http_client_request_set_write_mode(req, HTTP_CLIENT_WRITE_CALLBACK, count_bytes, &received, nullptr, nullptr);
    const std::string large = server.url("/large?size=" + std::to_string(size) + "&chunk=262144");
    auto t0 = Clock::now();
    http_client_response* resp = http_client_send_request(req, large.c_str(), "GET", nullptr, 0);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const bool ok = resp && resp->error == 0 && resp->status == 200 && received == size;
    http_client_response_free(resp);
    printf("mode-2 download of %llu MiB: %s, %.1f MiB/s\n", static_cast<unsigned long long>(download_mib),
           ok ? "complete" : "FAILED", static_cast<double>(received) / (1024.0 * 1024.0) / secs);
    printf("  peak RSS: %.1f MiB before, %.1f MiB after (limit 64 MiB)\n", rss_before / 1024.0,
           peak_rss_kib() / 1024.0);
    bench_result("http_download_mib_per_s", ok ? static_cast<double>(received) / (1024.0 * 1024.0) / secs : 0, "MiB/s");
    bench_result("http_download_peak_rss", peak_rss_kib() / 1024.0, "MiB", NAN, "<=64");

    curl_easy_cleanup(bare);
    http_client_request_free(req);
    http_client_handle_free(handle);
    server.stop();
    return ok && failures == 0 ? 0 : 1;
}
