#include "regkit/mgr_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <thread>

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "kit/tessel_sync.h"
#include "corvane_runtime.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "testbed/cloud_queries.h"

namespace mgr_test {

ScaledClock::ScaledClock(uint64_t second_ns, uint32_t random_value)
    : epoch_(static_cast<int64_t>(time(nullptr))), start_(std::chrono::steady_clock::now()),
      random_value_(random_value) {
    clock_ = {now, random, second_ns, this};
    tessel_clock_set(&clock_);
}

ScaledClock::~ScaledClock() { tessel_clock_set(nullptr); }

int64_t ScaledClock::now(void* self) {
    auto* clock = static_cast<ScaledClock*>(self);
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                        clock->start_);
    return clock->epoch_ + static_cast<int64_t>(static_cast<uint64_t>(elapsed.count()) / clock->clock_.second_ns);
}

uint32_t ScaledClock::random(void* self) { return static_cast<ScaledClock*>(self)->random_value_; }

void HostRecord::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    statuses.clear();
    est_errors.clear();
    final_states.clear();
    final_connector.clear();
    prepared_at.clear();
    guid_requests = 0;
    certificates = 0;
}

bool HostRecord::wait(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, pred);
}

namespace {

HostRecord& record_of(void* ctx) { return *static_cast<HostRecord*>(ctx); }

void on_status(const tessel_status_update_info* info, void* ctx) {
    HostRecord& host = record_of(ctx);
    {
        std::lock_guard<std::mutex> lock(host.mutex);
        host.statuses.push_back(info->state);
        host.est_errors.push_back(info->last_est_error);
    }
    if (host.on_status)
        host.on_status(info->state);
    host.changed.notify_all();
}

void on_completed(const tessel_registration_run_state* run, void* ctx) {
    HostRecord& host = record_of(ctx);
    {
        std::lock_guard<std::mutex> lock(host.mutex);
        host.final_states.push_back(run->state);
        host.final_connector.push_back(run->connector != nullptr);
    }
    host.changed.notify_all();
}

void on_certificate(X509*, void* ctx) {
    HostRecord& host = record_of(ctx);
    std::lock_guard<std::mutex> lock(host.mutex);
    ++host.certificates;
}

// The first request gets the test's agent GUID, later ones the second GUID.
uint8_t* on_new_guid(void* ctx) {
    HostRecord& host = record_of(ctx);
    std::lock_guard<std::mutex> lock(host.mutex);
    ++host.guid_requests;
    auto* guid = static_cast<uint8_t*>(malloc(16));
    memcpy(guid, host.next_guid, 16);
    return guid;
}

int on_prepare(vesta_registration_info* registration_info, vesta_host_info* host_info, void* ctx) {
    HostRecord& host = record_of(ctx);
    fill_host_records(registration_info, host_info);
    std::lock_guard<std::mutex> lock(host.mutex);
    host.prepared_at.push_back(tessel_time_now());
    host.changed.notify_all();
    return host.prepare_result;
}

}  // namespace

bool lookup(client_connector* connector) {
    cloud_conn* conn = tessel_client_connector_get_cloud_conn(connector);
    if (!conn) return false;
    cv_cloud_handle* cloud = tessel_cloud_connector_get_cloud_handle(conn);
    CorvaneQuery_t* query = testbed::file_lookup(1);
    auto answered = std::make_shared<std::promise<bool>>();
    auto* slot = new std::shared_ptr<std::promise<bool>>(answered);
    auto done = [](CorvaneQuery_t* q, CorvaneQueryResponse_t* response, uint32_t, void* user) -> int {
        auto* p = static_cast<std::shared_ptr<std::promise<bool>>*>(user);
        (*p)->set_value(response != nullptr);
        delete p;
        ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, q);
        return 0;
    };
    bool result = false;
    if (cloud && cv_cloud_query_async(cloud, query, done, slot) >= 0) {
        auto future = answered->get_future();
        result = future.wait_for(20s) == std::future_status::ready && future.get();
    } else {
        delete slot;
        ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
    }
    tessel_cloud_conn_release(conn);
    return result;
}

std::vector<unsigned> announced_waits(const testbed::KitLogCapture& log) {
    std::vector<unsigned> waits;
    const std::string marker = "next registration attempt in ";
    for (const auto& line : log.lines()) {
        size_t at = line.text.find(marker);
        if (at != std::string::npos) waits.push_back(static_cast<unsigned>(atoi(line.text.c_str() + at + marker.size())));
    }
    return waits;
}

void fill_host_records(vesta_registration_info* registration_info, vesta_host_info* host_info) {
    auto entry = [&](const char* key, int32_t type, const char* value, uint32_t number) {
        vesta_registration_entry& e = registration_info->entries[registration_info->count++];
        snprintf(e.key, sizeof e.key, "%s", key);
        e.type = type;
        snprintf(e.value, sizeof e.value, "%s", value);
        e.number = number;
    };
    entry("os[name]", VESTA_ENTRY_TEXT, "Test OS & Friends 11", 0);
    entry("os[build]", VESTA_ENTRY_NUMBER, "", 0);
    entry("empty", VESTA_ENTRY_TEXT, "", 0);
    entry("odd", 7, "never sent", 0);
    snprintf(host_info->hostname, sizeof host_info->hostname, "%s", "endpoint-7.example");
    host_info->nic_count = 3;
    for (unsigned i = 0; i < 3; ++i) {
        vesta_nic_info& nic = host_info->nics[i];
        snprintf(nic.name, sizeof nic.name, "{adapter-%u}", i);
        snprintf(nic.friendly_name, sizeof nic.friendly_name, "Ethernet %u", i);
        snprintf(nic.mac, sizeof nic.mac, "00:11:22:33:44:%02u", i);
        snprintf(nic.ip, sizeof nic.ip, "10.0.0.%u", i + 1);
        snprintf(nic.ipv6, sizeof nic.ipv6, "fe80::%u", i + 1);
        nic.up = 1;
    }
}

void MgrFixture::SetUp() {
    key_ = testbed::generate_key(testbed::KeyType::P256);
    roots_[0] = pki().ca().cert();
    registration_agent_identity& id = config_.identity;
    memcpy(id.agent_guid, kAgentGuid, 16);
    memcpy(id.business_guid, kBusinessGuid, 16);
    memcpy(id.affiliate_guid, kAffiliateGuid, 16);
    memcpy(id.actcode, kActcode, 16);
    snprintf(id.devid, sizeof id.devid, "%s", "dev-0042");
    snprintf(id.productid, sizeof id.productid, "%s", "dtk-endpoint");
    snprintf(id.product_version, sizeof id.product_version, "%s", "8.4.2.77");
    snprintf(id.user_agent, sizeof id.user_agent, "%s", "dtk-mgr-test/1.0");
    config_.client_keypair = key_.get();
    config_.system_trust_root_certs = roots_;
    config_.system_trust_root_certs_count = 1;
    config_.ekds_version = 1;
    // Nothing listens on port 1: a step that is not pointed at a server fails fast.
    snprintf(config_.hosts.est_host, sizeof config_.hosts.est_host, "%s", "127.0.0.1");
    config_.hosts.cloud_port = 1;
    snprintf(config_.hosts.cloud_host, sizeof config_.hosts.cloud_host, "%s", "127.0.0.1:1");
    snprintf(config_.hosts.vesta_mgmt_url, sizeof config_.hosts.vesta_mgmt_url, "%s", "https://127.0.0.1:1/mgmt");
    config_.hosts.cloud_opt_override = 5;
    config_.hosts.proxy.type = TESSEL_PROXY_NONE;
    registration_callbacks& cb = config_.callbacks;
    cb.status_update_fn = on_status;
    cb.status_update_ctx = &host_;
    cb.registration_completed_fn = on_completed;
    cb.registration_completed_ctx = &host_;
    cb.new_certificate_fn = on_certificate;
    cb.new_certificate_ctx = &host_;
    cb.new_guid_fn = on_new_guid;
    cb.new_guid_ctx = &host_;
    cb.prepare_vesta_registration_fn = on_prepare;
    cb.prepare_vesta_registration_ctx = &host_;
}

void MgrFixture::TearDown() {
    reg_.reset();
    cloud_.stop();
    est_.stop();
    management_.stop();
    // The activation code and the private key never reach a log line.
    const std::string all = log_.dump();
    for (const char* secret : {kActcodeText, "PRIVATE KEY"})
        EXPECT_EQ(all.find(secret), std::string::npos) << "secret in the log: " << secret;
}

void MgrFixture::start_management() {
    testbed::ManagementServerOptions options;
    options.identity = &pki().server();
    options.client_ca = pki().ca().cert();
    ASSERT_TRUE(management_.start(options));
    snprintf(config_.hosts.vesta_mgmt_url, sizeof config_.hosts.vesta_mgmt_url, "%s",
             management_.base_url().c_str());
}

void MgrFixture::start_est() {
    testbed::EstServerOptions options;
    options.identity = &pki().server();
    options.ca = &pki().ca();
    ASSERT_TRUE(est_.start(options));
    config_.hosts.cloud_port = est_.port();
}

void MgrFixture::start_cloud() {
    testbed::CloudServerOptions options;
    options.identity = &pki().server();
    options.client_ca = pki().ca().cert();
    ASSERT_TRUE(cloud_.start(options));
    cloud_.set_reg_answers({0});
    snprintf(config_.hosts.cloud_host, sizeof config_.hosts.cloud_host, "127.0.0.1:%u", cloud_.port());
}

tessel_registration_handle* MgrFixture::make_registration() {
    reg_.reset(tessel_registration_new(&config_));
    return reg_.get();
}

bool MgrFixture::run_ended(std::chrono::milliseconds bound) {
    if (!host_.wait([&] { return !host_.final_states.empty(); }, bound)) return false;
    return !reg_ || eventually([&] {
        TESSEL_SCOPED_LOCK(&reg_->mutex);
        return reg_->thread_ctx == nullptr;
    }, bound);
}

void MgrFixture::stop_in_flight(bool free_handle) {
    constexpr auto bound = 5s;
    const auto start = std::chrono::steady_clock::now();
    if (free_handle)
        reg_.reset();
    else
        tessel_registration_stop(reg_.get());
    ASSERT_TRUE(run_ended(bound)) << log_.dump();
    EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
    std::lock_guard<std::mutex> lock(host_.mutex);
    EXPECT_EQ(host_.final_states, std::vector<int>{1});
}

void MgrFixture::register_and_renew(std::vector<int> script, int64_t interval) {
    use_clock(500000, 0);
    start_est();
    start_management();
    start_cloud();
    management_.script(std::move(script));
    ASSERT_NE(make_registration(), nullptr);
    {
        TESSEL_SCOPED_WRITE_LOCK(&reg_->data.lock);
        reg_->vesta_reregistration_interval = interval;
    }
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(run_ended()) << log_.dump();
}

std::vector<int> MgrFixture::statuses() {
    std::lock_guard<std::mutex> lock(host_.mutex);
    return host_.statuses;
}

}  // namespace mgr_test
