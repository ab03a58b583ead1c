// bench_registration: a full registration (enrolment, management post, cloud
// `reg` query) against the loopback testbed, the bare cost of its parts, and
// the memory of the periodic management renewal.
//
// 1. --runs full registrations, each with a fresh handle and no certificate:
//    p50 and p99 of the whole run and of each step (status 6, 8, 10 as seen by
//    the host's status callback).
// 2. The bare costs, p50 of --runs each: one enrolment with the EST client
//    alone (fresh context, TLS handshake included); one form post on a fresh
//    kit HTTP client through register_endpoint; one cloud handle that
//    connects (mutual TLS) and answers one `reg` query. Their sum against the
//    full registration's p50 is the share of the run that is necessary work.
// 3. --renewals management renewals on one registered handle (the periodic
//    task's work, with the interval at 0 so each one posts): heap in use
//    before and after (mallinfo2), the growth per renewal, and the peak.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <mutex>
#include <vector>

#include "bench_result.h"
#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "est/est.h"
#include "kit/registration_manager/cloud_query.h"
#include "kit/registration_manager/cloud_registration.h"
#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/registration_manager/vesta_registration.h"
#include "kit/tessel_client/register.h"
#include "kit/tessel_init.h"
#include "kit/tessel_logger.h"
#include "kit/tessel_sync.h"
#include "testbed/cloud_server.h"
#include "testbed/est_server.h"
#include "testbed/management_server.h"
#include "testbed/pki.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint8_t kAgent[16] = {0x5e, 0x11, 0x22, 0x33, 0x44, 0x55, 0x46, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xf0};
const uint8_t kBusiness[16] = {0xb0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

struct Run {
    std::mutex mutex;
    std::condition_variable done_cv;
    Clock::time_point start;
    std::vector<std::pair<int, Clock::time_point>> steps;
    int final_state = -1;
};

void on_status(const tessel_status_update_info* info, void* ctx) {
    auto* run = static_cast<Run*>(ctx);
    std::lock_guard<std::mutex> lock(run->mutex);
    run->steps.emplace_back(info->state, Clock::now());
}

void on_completed(const tessel_registration_run_state* state, void* ctx) {
    auto* run = static_cast<Run*>(ctx);
    {
        std::lock_guard<std::mutex> lock(run->mutex);
        run->final_state = state->state;
    }
    run->done_cv.notify_all();
}

uint8_t* on_guid(void*) {
    auto* guid = static_cast<uint8_t*>(malloc(16));
    memcpy(guid, kAgent, 16);
    return guid;
}

int on_prepare(vesta_registration_info* info, vesta_host_info* host, void*) {
    snprintf(host->hostname, sizeof host->hostname, "%s", "bench-endpoint");
    host->nic_count = 1;
    snprintf(host->nics[0].friendly_name, sizeof host->nics[0].friendly_name, "%s", "Ethernet");
    snprintf(host->nics[0].ip, sizeof host->nics[0].ip, "%s", "10.1.2.3");
    snprintf(info->entries[0].key, sizeof info->entries[0].key, "%s", "os[name]");
    snprintf(info->entries[0].value, sizeof info->entries[0].value, "%s", "Bench OS");
    info->count = 1;
    return 0;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 50;
    int renewals = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0) runs = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--renewals") == 0) renewals = atoi(argv[i + 1]);
    }
    tessel_logger_init();
    tessel_init();

    testbed::Pki pki;
    testbed::EstServer est;
    testbed::EstServerOptions est_options;
    est_options.identity = &pki.server();
    est_options.ca = &pki.ca();
    testbed::ManagementServer management;
    testbed::ManagementServerOptions mgmt_options;
    mgmt_options.identity = &pki.server();
    mgmt_options.client_ca = pki.ca().cert();
    mgmt_options.keep_posts = false;
    testbed::CloudServer cloud;
    testbed::CloudServerOptions cloud_options;
    cloud_options.identity = &pki.server();
    cloud_options.client_ca = pki.ca().cert();
    cloud_options.keep_log = false;
    if (!est.start(est_options) || !management.start(mgmt_options) || !cloud.start(cloud_options)) {
        fprintf(stderr, "bench_registration: cannot start the testbed\n");
        return 1;
    }
    cloud.set_reg_answers({0});

    testbed::PKeyPtr key = testbed::generate_key(testbed::KeyType::P256);
    X509* roots[1] = {pki.ca().cert()};
    Run run;
    registration_config config{};
    memcpy(config.identity.agent_guid, kAgent, 16);
    memcpy(config.identity.business_guid, kBusiness, 16);
    memcpy(config.identity.affiliate_guid, kBusiness, 16);
    snprintf(config.identity.user_agent, sizeof config.identity.user_agent, "%s", "dtk-bench/1.0");
    snprintf(config.identity.product_version, sizeof config.identity.product_version, "%s", "1.0.0.1");
    config.client_keypair = key.get();
    config.system_trust_root_certs = roots;
    config.system_trust_root_certs_count = 1;
    config.ekds_version = 1;
    snprintf(config.hosts.est_host, sizeof config.hosts.est_host, "%s", "127.0.0.1");
    config.hosts.cloud_port = est.port();
    snprintf(config.hosts.cloud_host, sizeof config.hosts.cloud_host, "127.0.0.1:%u", cloud.port());
    snprintf(config.hosts.vesta_mgmt_url, sizeof config.hosts.vesta_mgmt_url, "%s", management.base_url().c_str());
    config.hosts.proxy.type = TESSEL_PROXY_NONE;
    config.callbacks = {on_status, &run, on_completed, &run, nullptr, nullptr, on_guid, nullptr, on_prepare,
                        nullptr, nullptr, nullptr, nullptr, nullptr};

    std::vector<double> total, enrol, vesta, cloud_step;
    tessel_registration_handle* kept = nullptr;
    for (int i = 0; i < runs; ++i) {
        {
            std::lock_guard<std::mutex> lock(run.mutex);
            run.steps.clear();
            run.final_state = -1;
        }
        tessel_registration_handle* handle = tessel_registration_new(&config);
        auto start = Clock::now();
        if (!handle || tessel_registration_start(handle, 0) != 0) {
            fprintf(stderr, "bench_registration: cannot start a run\n");
            return 1;
        }
        std::unique_lock<std::mutex> lock(run.mutex);
        run.done_cv.wait_for(lock, std::chrono::seconds(60), [&] { return run.final_state >= 0; });
        if (run.final_state != tessel_cloud_connection_succeeded || run.steps.size() != 3) {
            fprintf(stderr, "bench_registration: run %d ended in state %d\n", i, run.final_state);
            return 1;
        }
        total.push_back(ms(run.steps[2].second - start));
        enrol.push_back(ms(run.steps[0].second - start));
        vesta.push_back(ms(run.steps[1].second - run.steps[0].second));
        cloud_step.push_back(ms(run.steps[2].second - run.steps[1].second));
        lock.unlock();
        if (i + 1 == runs)
            kept = handle;
        else
            tessel_registration_free(handle);
    }
    printf("full registration over %d runs: p50 %.2f ms, p99 %.2f ms\n", runs, percentile(total, 0.5),
           percentile(total, 0.99));
    printf("  enrolment  p50 %.2f ms  p99 %.2f ms\n", percentile(enrol, 0.5), percentile(enrol, 0.99));
    printf("  management p50 %.2f ms  p99 %.2f ms\n", percentile(vesta, 0.5), percentile(vesta, 0.99));
    printf("  cloud reg  p50 %.2f ms  p99 %.2f ms\n", percentile(cloud_step, 0.5), percentile(cloud_step, 0.99));

    // The bare costs: each part alone, as the run's step does it.
    // p50 of `once` over the runs; `after` (untimed) cleans up after each.
    auto bare_p50 = [&](const char* what, const std::function<bool()>& once,
                        const std::function<void()>& after = [] {}) {
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) {
            auto start = Clock::now();
            bool ok = once();
            times.push_back(ms(Clock::now() - start));
            after();
            if (!ok) {
                fprintf(stderr, "bench_registration: bare %s failed\n", what);
                exit(1);
            }
        }
        return percentile(times, 0.5);
    };
    const std::string anchors = pki.ca().credential().cert_pem;
    const double bare_enrol = bare_p50("enrolment", [&] {
        est_context* ctx = est_client_init(reinterpret_cast<const unsigned char*>(anchors.data()),
                                           static_cast<int>(anchors.size()));
        if (!ctx) return false;
        testbed::X509ReqPtr csr = testbed::make_csr(key.get(), "bench-endpoint");
        int len = 0;
        bool ok = est_client_set_auth(ctx, "bench", "bench-password") == EST_ERR_NONE &&
                  est_client_set_target(ctx, "127.0.0.1", est.port()) == EST_ERR_NONE;
        ctx->auth_mode = AUTH_BASIC;
        ok = ok && est_client_enroll_csr(ctx, csr.get(), &len, key.get()) == EST_ERR_NONE && len > 0;
        est_context_free(ctx);
        return ok;
    });

    vesta_info info{};
    snprintf(info.agent_guid, sizeof info.agent_guid, "%s", "5e112233-4455-4677-8899-aabbccddeef0");
    snprintf(info.business_guid, sizeof info.business_guid, "%s", "b0010203-0405-0607-0809-0a0b0c0d0e0f");
    snprintf(info.affiliate_guid, sizeof info.affiliate_guid, "%s", "b0010203-0405-0607-0809-0a0b0c0d0e0f");
    snprintf(info.mgmt_url, sizeof info.mgmt_url, "%s", management.base_url().c_str());
    vesta_registration_info reg_info{};
    vesta_host_info host_info{};
    on_prepare(&reg_info, &host_info, nullptr);
    const double bare_post = bare_p50("management post", [&] {
        http_client_identity identity = {pki.client().x509(), pki.client().pkey(), roots, 1};
        http_client_handle* http = http_client_handle_new("dtk-bench/1.0", nullptr, nullptr, &identity);
        uint32_t status = 0;
        int rc = register_endpoint(&info, &host_info, &reg_info, nullptr, &status, http);
        http_client_handle_free(http);
        return rc == 0;
    });

    // The handle's teardown is not part of the cost.
    cv_cloud_handle* bare_handle = nullptr;
    const double bare_cloud = bare_p50(
        "cloud connection and reg query",
        [&] {
            bare_handle = cloud_create_handle(kept, 0);
            return bare_handle && cloud_query_register(bare_handle, kAgent) == CLOUD_QUERY_REGISTERED;
        },
        [&] {
            if (!bare_handle) return;
            cv_cloud_async_wait(bare_handle);
            cv_cloud_deinit(bare_handle);
            bare_handle = nullptr;
        });
    const double bare_sum = bare_enrol + bare_post + bare_cloud;
    printf("bare costs p50: enrolment %.2f ms, management post %.2f ms, cloud connect + reg %.2f ms\n", bare_enrol,
           bare_post, bare_cloud);
    printf("bare sum %.2f ms; bare / full %.2f (management bare / step %.2f)\n", bare_sum,
           bare_sum / percentile(total, 0.5), bare_post / percentile(vesta, 0.5));
    // A full registration against its three steps done bare: the aim is bare / full >= 0.8.
    bench_result("registration_full_p50", percentile(total, 0.5), "ms", bare_sum, "<=1.25");

    // Renewals on the registered handle, each one due.
    {
        TESSEL_SCOPED_WRITE_LOCK(&kept->data.lock);
        kept->vesta_reregistration_interval = 0;
    }
    for (int i = 0; i < 10; ++i) vesta_reregistration(kept);  // warm-up
    struct mallinfo2 before = mallinfo2();
    auto start = Clock::now();
    int failures = 0;
    for (int i = 0; i < renewals; ++i) failures += vesta_reregistration(kept) != 0;
    double elapsed = ms(Clock::now() - start);
    struct mallinfo2 after = mallinfo2();
    long growth = static_cast<long>(after.uordblks) - static_cast<long>(before.uordblks);
    printf("%d renewals (%d failed): %.3f ms each; heap in use %zu -> %zu bytes (%+ld, %+.1f per renewal)\n",
           renewals, failures, elapsed / renewals, before.uordblks, after.uordblks, growth,
           renewals ? static_cast<double>(growth) / renewals : 0.0);
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    printf("peak resident set %ld KiB\n", usage.ru_maxrss);
    bench_result("registration_renewal", elapsed / renewals, "ms");
    bench_result("registration_renewal_heap_growth", renewals ? static_cast<double>(growth) / renewals : 0.0,
                 "bytes/renewal");
    bench_result("registration_peak_rss", static_cast<double>(usage.ru_maxrss), "KiB");
    tessel_registration_free(kept);
    cloud.stop();
    management.stop();
    est.stop();
    return 0;
}
