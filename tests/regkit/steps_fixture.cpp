#include "regkit/steps_fixture.h"

#include <openssl/x509.h>

#include <cstdlib>
#include <future>

#include "cloud/cloud_client_fixture.h"
#include "cloud/cv_cloud_async.h"

#include "kit/registration_manager/tessel_registration_certificate.h"

namespace steps_test {

testbed::Pki& pki() {
    static testbed::Pki instance;
    return instance;
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool lookup(cv_cloud_handle* cloud, int n) {
    std::promise<bool> answered;
    auto done = [](CorvaneQuery_t* query, CorvaneQueryResponse_t* response, uint32_t status, void* data) {
        cloud_client_test::free_query(query);
        static_cast<std::promise<bool>*>(data)->set_value(
            response && !(status & CV_STATUS_FAILED) && response->data.present == CorvaneQueryResponseData_PR_fileResponse);
        return 0;
    };
    CorvaneQuery_t* query = cloud_client_test::file_query(n);
    if (cv_cloud_query_async(cloud, query, done, &answered) < 0) {
        cloud_client_test::free_query(query);
        return false;
    }
    return answered.get_future().get();
}

namespace {

uint8_t* new_guid(void*) {
    auto* g = static_cast<uint8_t*>(malloc(16));
    memcpy(g, kAgentGuid, 16);
    return g;
}

int skip_vesta(vesta_registration_info*, vesta_host_info*, void*) {
    return 1;
}

}  // namespace

void StepsFixture::SetUp() {
    key_ = testbed::generate_key(testbed::KeyType::P256);
    roots_[0] = pki().ca().cert();
    registration_agent_identity& id = config_.identity;
    memcpy(id.agent_guid, kAgentGuid, 16);
    memcpy(id.business_guid, kBusinessGuid, 16);
    memcpy(id.affiliate_guid, kAffiliateGuid, 16);
    memcpy(id.actcode, kActcode, 16);
    strcpy(id.devid, "dev-1234");
    strcpy(id.productid, "dtk-endpoint");
    strcpy(id.product_version, "8.4.2.77");
    strcpy(id.user_agent, "dtk-steps-test/1.0");
    config_.client_keypair = key_.get();
    config_.system_trust_root_certs = roots_;
    config_.system_trust_root_certs_count = 1;
    config_.ekds_version = 1;
    strcpy(config_.hosts.est_host, "127.0.0.1");
    strcpy(config_.hosts.cloud_host, "127.0.0.1:1");
    config_.hosts.cloud_port = 1;
    strcpy(config_.hosts.vesta_mgmt_url, "https://127.0.0.1:1");
    config_.hosts.proxy.type = TESSEL_PROXY_NONE;
    config_.callbacks.new_guid_fn = new_guid;
    config_.callbacks.prepare_vesta_registration_fn = skip_vesta;
    config_.callbacks.new_certificate_fn = [](X509*, void* self) {
        auto* f = static_cast<StepsFixture*>(self);
        std::lock_guard<std::mutex> lock(f->seen_mutex_);
        f->certificates_saved_++;
    };
    config_.callbacks.new_certificate_ctx = this;
    config_.callbacks.dns_resolver_fn = [](void* self) {
        // Certificate acquisition calls it with a null context.
        (void)self;
    };
}

void StepsFixture::TearDown() {
    reg_.reset();
    cloud_.stop();
    est_.stop();
    expect_no_secret_logged();
}

void StepsFixture::start_est() {
    testbed::EstServerOptions options;
    options.identity = &pki().server();
    options.ca = &pki().ca();
    ASSERT_TRUE(est_.start(options));
    config_.hosts.cloud_port = est_.port();
}

void StepsFixture::start_cloud() {
    testbed::CloudServerOptions options;
    options.identity = &pki().server();
    options.client_ca = pki().ca().cert();
    ASSERT_TRUE(cloud_.start(options));
    snprintf(config_.hosts.cloud_host, sizeof config_.hosts.cloud_host, "127.0.0.1:%u", cloud_.port());
}

tessel_registration_handle* StepsFixture::make_registration() {
    reg_.reset(tessel_registration_new(&config_));
    return reg_.get();
}

testbed::X509Ptr StepsFixture::issue_cert(const std::string& cn, double days, double not_before_days) {
    // A certificate for the fixture's key, signed by the test CA.
    testbed::X509ReqPtr csr = testbed::make_csr(key_.get(), cn);
    testbed::CertSpec spec;
    spec.common_name = cn;
    spec.not_after = static_cast<long>(days * 86400);
    spec.not_before = static_cast<long>(not_before_days * 86400);
    return pki().ca().sign_csr(csr.get(), spec);
}

void StepsFixture::give_cert(X509* cert) {
    tessel_registration_handle* h = reg_.get();
    pthread_mutex_lock(&h->mutex);
    X509_free(h->client_cert);
    if (cert) X509_up_ref(cert);
    h->client_cert = cert;
    pthread_mutex_unlock(&h->mutex);
}

void StepsFixture::expect_no_secret_logged() const {
    const std::string all = log_.dump();
    for (const char* secret : {kActcodeText, "\"actcode\"", "proxy-Pa55", "PRIVATE KEY"})
        EXPECT_EQ(all.find(secret), std::string::npos) << "secret in the log: " << secret;
}

}  // namespace steps_test
