// bench_facade: cost of the instance's facades over what they wrap, in the
// same run against the testbed's HTTPS and cloud servers.
//
// The facade makes a kit handle and request per operation (so each request
// takes the proxy stored at that moment); the baseline does the same with the
// kit alone, so the ratio is the facade's own cost:
// 1. form posts: TesselHttp Init + AddPostNameValue + MakeRequest against
//    http_client_handle_new + request + send of the same body;
// 2. downloads of --download-kib KiB (default 256) into a file: DownloadFile
//    (temporary file beside the target, synced, renamed into place) against
//    the kit writing the same file the same way (StagedFile), which is the
//    ceiling; the kit writing the target directly, without sync or rename, is
//    measured too and shows what the durability of the replacement costs.
// 3. cloud lookups (--lookups per round, default 20000, 1000 in flight):
//    TesselCloudWrapper::QueryAsync, which takes and drops a counted reference
//    on the client connector's current connection per call, against
//    cv_cloud_query_async on the same cloud handle of the same connection.
// Rounds alternate between the two sides (--rounds and --requests per round
// for HTTP, default 24 x 10; --lookup-rounds, default 6, for lookups, where each side keeps its
// fastest round). Prints rates and ratios (facade / kit); the aim is 0.95 or more.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "corvane_runtime.h"
#include "frame/TesselCloudWrapper.h"
#include "frame/TesselRegistrationEntity.h"
#include "bench_result.h"
#include "completions.h"
#include "host_log.h"
#include "http/StagedFile.h"
#include "http/TesselHttp.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/http_client/http_client.h"
#include "kit/tessel_init.h"
#include "kit/tessel_logger.h"
#include "testbed/cloud_queries.h"
#include "testbed/cloud_server.h"
#include "testbed/https_server.h"
#include "testbed/pki.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kUserAgent[] = "dtk-bench/1.0";

class BenchIdentity : public IHttpIdentitySource {
public:
    explicit BenchIdentity(X509* ca) : ca_(ca) {}
    bool PopulateAgentIdentity(HttpAgentIdentity* identity) override {
        identity->userAgent = kUserAgent;
        X509_up_ref(ca_);
        identity->trustCerts.push_back(ca_);
        return true;
    }

private:
    X509* ca_;
};

size_t append_body(char* data, size_t size, size_t nmemb, void* out) {
    static_cast<std::string*>(out)->append(data, size * nmemb);
    return size * nmemb;
}

size_t write_file(char* data, size_t size, size_t nmemb, void* file) {
    return fwrite(data, size, nmemb, static_cast<FILE*>(file)) * size;
}

// The kit alone: a handle and a request for one send, as the facade does.
bool kit_send(X509* ca, const std::string& url, const char* method, const std::string& body, curl_write_callback fn,
              void* data) {
    X509* trust[] = {ca};
    http_client_identity identity{nullptr, nullptr, trust, 1};
    http_client_handle* handle = http_client_handle_new(kUserAgent, nullptr, nullptr, &identity);
    http_client_header_list no_headers{nullptr, 0};
    http_client_request_t* req = http_client_request_new(handle, &no_headers);
    http_client_request_set_write_mode(req, HTTP_CLIENT_WRITE_CALLBACK, fn, data, nullptr, nullptr);
    http_client_response* resp =
        http_client_send_request(req, url.c_str(), method, body.data(), static_cast<int64_t>(body.size()));
    bool ok = resp && resp->error == 0 && resp->status == 200;
    http_client_response_free(resp);
    http_client_request_free(req);
    http_client_handle_free(handle);
    return ok;
}

// Seconds spent by each side, in rounds of `per_round` calls per side; the
// side that goes first moves on by one every round.
void alternate(int rounds, int per_round, const std::vector<std::function<bool()>>& sides,
               std::vector<double>* seconds, int* failures) {
    seconds->assign(sides.size(), 0.0);
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < sides.size(); ++k) {
            const size_t side = (k + static_cast<size_t>(r)) % sides.size();
            auto start = Clock::now();
            for (int i = 0; i < per_round; ++i) *failures += !sides[side]();
            (*seconds)[side] += std::chrono::duration<double>(Clock::now() - start).count();
        }
    }
}

void report(const char* what, const char* figure, double total, double facade_s, double kit_s) {
    printf("%s: %.0f each\n", what, total);
    printf("  facade: %9.1f /s\n", total / facade_s);
    printf("  kit:    %9.1f /s\n", total / kit_s);
    printf("  ratio facade/kit: %.3f\n", kit_s / facade_s);
    bench_result(figure, total / facade_s, "1/s", total / kit_s, ">=0.95");
}

constexpr long kWindow = 1000;  // lookups in flight
const uint8_t kAgentUuid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// `count` distinct lookups through `submit`, at most kWindow in flight;
// true when every one was answered.
bool lookups(long count, long first_id, const std::function<int(CorvaneQuery_t*, Completions*)>& submit) {
    Completions batch;
    batch.notify_at = count;
    long refused = 0;
    for (long i = 0; i < count; ++i) {
        batch.wait([&] { return i - refused - batch.done < kWindow; });
        CorvaneQuery_t* query = testbed::file_lookup(first_id + i);
        if (submit(query, &batch) < 0) {
            ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
            ++refused;
            --batch.notify_at;
        }
    }
    batch.wait([&] { return batch.done + refused >= count; });
    return refused == 0 && batch.failed == 0 && batch.done == count;
}

void add_ca(X509_STORE* store, void* ca) { X509_STORE_add_cert(store, static_cast<X509*>(ca)); }

// Lookups through the cloud wrapper against the cloud client alone, on one
// connection of a client connector as registration leaves it.
int bench_lookups(testbed::Pki& pki, int rounds, long per_round) {
    testbed::CloudServer server;
    testbed::CloudServerOptions options;
    options.identity = &pki.server();
    options.client_ca = pki.ca().cert();
    options.keep_log = false;
    if (!server.start(options)) {
        fprintf(stderr, "cannot start the cloud server\n");
        return 1;
    }
    cv_cloud_opts opts;
    cv_cloud_initialize_opts(CV_QUERY_METHOD_TCP, &opts);
    opts.flags = 0;
    opts.timeout = {60, 0};
    opts.trust_store_cb = add_ca;
    opts.trust_store_data = pki.ca().cert();
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    cv_cloud_handle* cloud = cv_cloud_init(CV_QUERY_METHOD_TCP, &opts, kAgentUuid, host.c_str(), pki.client().pkey(),
                                           pki.client().x509(), nullptr);
    cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
    client_connector* connector = nullptr;
    if (!cloud || tessel_client_connector_new(&connector) != 0 ||
        tessel_client_connector_set_cloud_handle(connector, cloud) != 0) {
        fprintf(stderr, "cannot set up the cloud connection\n");
        return 1;
    }
    TesselRegistrationEntity entity;
    entity.SetClientConnector(connector);
    // Registration leaves the entity holding a reference of its own.
    entity.SetCloudReference(tessel_client_connector_get_cloud_conn(connector));
    TesselCloudWrapper wrapper(&entity);
    {
        constexpr int kHandles = 200000;
        auto start = Clock::now();
        for (int i = 0; i < kHandles; ++i) {
            CloudHandle handle(&entity);
            if (!handle.Get()) return 1;
        }
        printf("CloudHandle, taken and released: %.0f ns each\n",
               std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kHandles);
    }
    auto through_wrapper = [&](CorvaneQuery_t* query, Completions* batch) {
        return wrapper.QueryAsync(query, Completions::callback, batch);
    };
    auto direct = [&](CorvaneQuery_t* query, Completions* batch) {
        return cv_cloud_query_async(cloud, query, Completions::callback, batch);
    };
    int failures = !lookups(100, -1000, through_wrapper) + !lookups(100, -2000, direct);
    long next_id = 0;
    // Each side keeps its fastest round: a round that a neighbour on the
    // machine disturbed counts for neither.
    double wrapper_s = INFINITY, direct_s = INFINITY;
    auto timed = [&](const std::function<int(CorvaneQuery_t*, Completions*)>& submit, double* seconds) {
        auto start = Clock::now();
        failures += !lookups(per_round, next_id, submit);
        next_id += per_round;
        *seconds = std::min(*seconds, std::chrono::duration<double>(Clock::now() - start).count());
    };
    // Each side goes first in every other round.
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            timed(through_wrapper, &wrapper_s);
            timed(direct, &direct_s);
        } else {
            timed(direct, &direct_s);
            timed(through_wrapper, &wrapper_s);
        }
    }
    report("cloud lookups, 1000 in flight, one connection, best round", "facade_lookups_per_s",
           static_cast<double>(per_round), wrapper_s, direct_s);
    printf("  failed batches: %d\n", failures);
    tessel_cloud_conn_release(entity.GetCloudReference());
    entity.SetCloudReference(nullptr);
    entity.SetClientConnector(nullptr);
    tessel_client_connector_free(connector);
    server.stop();
    return failures == 0 ? 0 : 1;
}


}  // namespace

int main(int argc, char** argv) {
    // Short rounds of HTTP requests, so a change of the machine's load meets
    // both sides alike; lookups go in rounds of their own size.
    int rounds = 24, per_round = 10, lookup_rounds = 6;
    unsigned long download_kib = 256;
    long lookups_per_round = 20000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--lookup-rounds") == 0) lookup_rounds = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--requests") == 0) per_round = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--download-kib") == 0) download_kib = strtoul(argv[i + 1], nullptr, 10);
        if (strcmp(argv[i], "--lookups") == 0) lookups_per_round = atol(argv[i + 1]);
    }
    tessel_logger_init();
    tessel_init();

    testbed::Pki pki;
    testbed::HttpsServer server;
    testbed::TlsServerOptions options;
    options.identity = &pki.server();
    const std::string file_body(download_kib * 1024, 'p');
    server.on("/form", [](const testbed::HttpRequest& req, testbed::HttpExchange& ex) {
        ex.respond(req.body == "name=value%20one&n=42" ? 200 : 400, "ok");
    });
    server.on("/file", [&](const testbed::HttpRequest&, testbed::HttpExchange& ex) { ex.respond(200, file_body); });
    if (!server.start(options)) {
        fprintf(stderr, "cannot start the HTTPS server\n");
        return 1;
    }
    char dir_pattern[] = "/tmp/dtk-bench-facade-XXXXXX";
    if (!mkdtemp(dir_pattern)) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = dir_pattern;
    // The facade's lines go where a host's would: to its log file.
    hostkit::SetLogFile(dir + "/facade.log");
    const std::string form_url = server.url("/form"), file_url = server.url("/file");
    X509* ca = pki.ca().cert();
    BenchIdentity identity(ca);

    auto facade_form = [&] {
        TesselHttp http(nullptr, &identity, nullptr);
        if (http.Init("POST", form_url.c_str(), nullptr, 0, 0) != S_OK) return false;
        http.SetQuietValues(true);
        http.AddPostNameValue(L"name", L"value one");
        http.AddPostNameValue(L"n", static_cast<uint32_t>(42));
        int32_t status = 0;
        char* body = nullptr;
        bool ok = http.MakeRequest(&status, &body) == S_OK;
        free(body);
        return ok;
    };
    auto kit_form = [&] {
        std::string received;
        return kit_send(ca, form_url, "POST", "name=value%20one&n=42", append_body, &received) &&
               received == "ok";
    };
    const std::string facade_target = dir + "/facade.bin", kit_target = dir + "/kit.bin";
    const std::wstring facade_wide(facade_target.begin(), facade_target.end());
    auto facade_download = [&] {
        TesselHttp http(nullptr, &identity, nullptr);
        int32_t status = 0;
        return http.DownloadFile(file_url.c_str(), facade_wide.c_str(), &status);
    };
    auto kit_download = [&] {
        StagedFile file(kit_target);
        return file.Open() && kit_send(ca, file_url, "GET", "", write_file, file.File()) && file.Commit();
    };
    const std::string plain_target = dir + "/plain.bin";
    auto kit_plain_download = [&] {
        FILE* file = fopen(plain_target.c_str(), "wb");
        if (!file) return false;
        bool ok = kit_send(ca, file_url, "GET", "", write_file, file);
        return fclose(file) == 0 && ok;
    };

    int failures = 0;
    for (int i = 0; i < 5; ++i)
        failures += !facade_form() + !kit_form() + !facade_download() + !kit_download() + !kit_plain_download();
    if (failures) {
        fprintf(stderr, "warm-up failed (%d)\n", failures);
        return 1;
    }
    const double total = static_cast<double>(rounds) * per_round;
    std::vector<double> seconds;
    alternate(rounds, per_round, {facade_form, kit_form}, &seconds, &failures);
    report("form posts, a new TLS connection each", "facade_form_posts_per_s", total, seconds[0], seconds[1]);
    // Two sides at a time, so each follows the other as often as itself (the
    // unsynced side leaves dirty pages behind that the next side's sync meets).
    alternate(rounds, per_round, {facade_download, kit_download}, &seconds, &failures);
    char what[128];
    snprintf(what, sizeof what, "downloads of %lu KiB into %s, both staged, synced and renamed", download_kib,
             dir.c_str());
    report(what, "facade_downloads_per_s", total, seconds[0], seconds[1]);
    alternate(rounds, per_round, {facade_download, kit_plain_download}, &seconds, &failures);
    printf("  against the kit writing the target directly (no sync, no rename):\n");
    printf("  facade: %9.1f /s, kit: %9.1f /s, ratio %.3f (what durability costs)\n", total / seconds[0],
           total / seconds[1], seconds[1] / seconds[0]);
    bench_result("facade_downloads_vs_unsynced_kit_per_s", total / seconds[0], "1/s", total / seconds[1]);
    struct stat facade_stat{}, kit_stat{};
    bool same = stat(facade_target.c_str(), &facade_stat) == 0 && stat(kit_target.c_str(), &kit_stat) == 0 &&
                facade_stat.st_size == kit_stat.st_size && facade_stat.st_size == static_cast<off_t>(file_body.size());
    printf("  failed operations: %d, files complete: %s\n", failures, same ? "yes" : "NO");

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    server.stop();
    const int lookup_result = bench_lookups(pki, lookup_rounds, lookups_per_round);
    return failures == 0 && same && lookup_result == 0 ? 0 : 1;
}
