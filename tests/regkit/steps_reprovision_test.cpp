// Whole registration runs that meet a rejected or ageing certificate: the
// cloud's "unknown CA" alert drops the certificate and the run enrols again;
// the cloud client's provisioning check starts a re-provisioning run.
#include <algorithm>

#include "kit/registration_manager/registration_cloud_cb.h"
#include "kit/registration_manager/tessel_registration_certificate.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "regkit/steps_fixture.h"
#include "testbed/management_server.h"

namespace steps_test {
namespace {

class Reprovision : public StepsFixture {
protected:
    void SetUp() override {
        StepsFixture::SetUp();
        start_est();
        start_cloud();
        testbed::ManagementServerOptions mgmt;
        mgmt.identity = &pki().server();
        mgmt.client_ca = pki().ca().cert();
        ASSERT_TRUE(mgmt_.start(mgmt));
        snprintf(config_.hosts.vesta_mgmt_url, sizeof config_.hosts.vesta_mgmt_url, "%s", mgmt_.base_url().c_str());
        config_.hosts.cloud_opt_override = 3;
        testbed::EstBehaviour b;
        b.auth = testbed::EstAuth::Basic;
        b.verify_guid_signature = true;
        est_.set_behaviour(b);
        cloud_.set_reg_answers({0});
        config_.callbacks.prepare_vesta_registration_fn = [](vesta_registration_info*, vesta_host_info* host, void*) {
            strcpy(host->hostname, "steps-host");
            return 0;
        };
        config_.callbacks.status_update_fn = [](const tessel_status_update_info* info, void* self) {
            auto* f = static_cast<Reprovision*>(self);
            std::lock_guard<std::mutex> lock(f->seen_mutex_);
            f->states_.push_back(info->state);
        };
        config_.callbacks.status_update_ctx = this;
        config_.callbacks.registration_completed_fn = [](const tessel_registration_run_state* run, void* self) {
            auto* f = static_cast<Reprovision*>(self);
            std::lock_guard<std::mutex> lock(f->seen_mutex_);
            f->completed_.push_back(run->state);
            f->connector_ = run->connector;
        };
        config_.callbacks.registration_completed_ctx = this;
    }
    void TearDown() override {
        reg_.reset();
        mgmt_.stop();
        StepsFixture::TearDown();
    }
    bool completed(size_t runs) {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> lock(seen_mutex_);
                return completed_.size() >= runs;
            },
            90s);
    }
    std::vector<int> states() {
        std::lock_guard<std::mutex> lock(seen_mutex_);
        return states_;
    }
    // A lookup through the connector the last run handed over.
    bool lookup_through_connector() {
        cloud_conn* conn = tessel_client_connector_get_cloud_conn(connector_);
        bool ok = conn && lookup(tessel_cloud_connector_get_cloud_handle(conn), 7);
        tessel_cloud_conn_release(conn);
        return ok;
    }

    testbed::ManagementServer mgmt_;
    testbed::X509Ptr cert_;
    std::vector<int> states_, completed_;
    client_connector* connector_ = nullptr;
};

TEST_F(Reprovision, UnknownCaDropsTheCertificateAndTheRunEnrolsAgain) {
    cert_ = issue_cert(kAgentText, 400);
    config_.client_cert = cert_.get();
    cloud_.set_refuse_client_issuer(true);
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    // Once the alert has been sent the client holds no certificate; the
    // server accepts the next one.
    ASSERT_TRUE(eventually([&] { return cloud_.stats().unknown_ca_refusals >= 1; }, 30s));
    cloud_.set_refuse_client_issuer(false);
    ASSERT_TRUE(completed(1)) << log_.dump();
    EXPECT_EQ(completed_[0], tessel_cloud_connection_succeeded);
    EXPECT_TRUE(log_.contains(3, "failed due to invalid certificate. Will reacquire certificate."));
    EXPECT_EQ(est_.stats().issued, 1);
    EXPECT_EQ(est_.stats().guid_verified, 1);
    // The first pass kept the configured certificate; after the rejection the
    // run went back to acquisition (state 0) and on to completion.
    std::vector<int> seen = states();
    auto restart = std::find(seen.begin(), seen.end(), tessel_registration_not_started);
    ASSERT_NE(restart, seen.end());
    EXPECT_NE(std::find(restart, seen.end(), tessel_certificate_acquisition_succeeded), seen.end());
    EXPECT_EQ(seen.back(), tessel_cloud_connection_succeeded);
    EXPECT_NE(locked([](auto* h) { return h->client_cert; }), cert_.get());
    EXPECT_TRUE(lookup_through_connector());
}

TEST_F(Reprovision, ProvisioningCheckStartsOneRunWhenTheCertificateAges) {
    ASSERT_NE(make_registration(), nullptr);
    cv_cloud_handle* any = reinterpret_cast<cv_cloud_handle*>(reg_.get());  // only checked for null
    uint8_t need = 0;

    // A fresh certificate: nothing to do.
    testbed::X509Ptr fresh = issue_cert(kAgentText, 400);
    give_cert(fresh.get());
    EXPECT_EQ(registration_cloud_provision_check(any, &need, reg_->hook_token), 0);
    EXPECT_EQ(locked([](auto* h) { return h->thread_ctx; }), nullptr);

    // Shutting down: skipped whatever the flag says.
    need = 1;
    locked([](auto* h) { return h->shutting_down = 1; });
    EXPECT_EQ(registration_cloud_provision_check(any, &need, reg_->hook_token), 0);
    EXPECT_EQ(need, 1);
    locked([](auto* h) { return h->shutting_down = 0; });

    // A re-provisioning run already active: the flag is cleared, nothing starts.
    locked([](auto* h) { return h->reprovisioning = 1; });
    EXPECT_EQ(registration_cloud_provision_check(any, &need, reg_->hook_token), 0);
    EXPECT_EQ(need, 0);
    EXPECT_EQ(locked([](auto* h) { return h->thread_ctx; }), nullptr);
    locked([](auto* h) { return h->reprovisioning = 0; });

    // An ageing certificate starts a run that enrols a new one.
    testbed::X509Ptr ageing = issue_cert(kAgentText, 300);
    give_cert(ageing.get());
    need = 0;
    EXPECT_EQ(registration_cloud_provision_check(any, &need, reg_->hook_token), 0);
    EXPECT_EQ(need, 1);
    ASSERT_TRUE(completed(1)) << log_.dump();
    EXPECT_EQ(completed_[0], tessel_cloud_connection_succeeded);
    EXPECT_EQ(est_.stats().issued, 1);
    // The run lets go of the handle after its last callback.
    EXPECT_TRUE(eventually([&] { return locked([](auto* h) { return h->thread_ctx == nullptr; }); }, 10s));
    EXPECT_EQ(locked([](auto* h) { return h->reprovisioning; }), 0);
    EXPECT_FALSE(tessel_registration_certificate_needs_renewal(reg_.get()));
    EXPECT_TRUE(lookup_through_connector());
}

TEST_F(Reprovision, ARefusedReprovisioningEndsInStateTwoAndKeepsTheHostsConnector) {
    cert_ = issue_cert(kAgentText, 400);
    config_.client_cert = cert_.get();
    ASSERT_NE(make_registration(), nullptr);
    ASSERT_EQ(tessel_registration_start(reg_.get(), -1), 0);
    ASSERT_TRUE(completed(1)) << log_.dump();
    ASSERT_EQ(completed_[0], tessel_cloud_connection_succeeded);
    client_connector* const held = connector_;
    ASSERT_NE(held, nullptr);
    ASSERT_TRUE(eventually([&] { return locked([](auto* h) { return h->thread_ctx == nullptr; }); }, 10s));

    // The certificate ages and the EST server now refuses to enrol the endpoint.
    testbed::EstBehaviour refusing = est_.behaviour();
    refusing.status = 403;
    est_.set_behaviour(refusing);
    testbed::X509Ptr ageing = issue_cert(kAgentText, 300);
    give_cert(ageing.get());
    cv_cloud_handle* any = reinterpret_cast<cv_cloud_handle*>(reg_.get());  // only checked for null
    uint8_t need = 0;
    EXPECT_EQ(registration_cloud_provision_check(any, &need, reg_->hook_token), 0);
    EXPECT_EQ(need, 1);
    ASSERT_TRUE(completed(2)) << log_.dump();
    EXPECT_EQ(completed_[1], tessel_certificate_acquisition_failed_forbidden);
    // The run handed back the connector the host holds, which the handle
    // keeps; the refused endpoint's cloud connection is retired.
    EXPECT_EQ(connector_, held);
    EXPECT_TRUE(eventually([&] { return locked([](auto* h) { return h->thread_ctx == nullptr; }); }, 10s));
    EXPECT_EQ(locked([](auto* h) { return h->client_connector; }), held);
    EXPECT_EQ(locked([](auto* h) { return h->reprovisioning; }), 0);
    EXPECT_EQ(est_.stats().issued, 0);
    EXPECT_FALSE(lookup_through_connector());
}

}  // namespace
}  // namespace steps_test
