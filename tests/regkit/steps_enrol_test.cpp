// Certificate acquisition against the testbed's EST server: both generations
// with the server checking the GUID signature and the JSON password, the
// generation probe, and each failure mapped to its state and EST code.
#include "kit/registration_manager/certificate_acquisition.h"
#include "kit/registration_manager/tessel_registration_certificate.h"
#include "regkit/steps_fixture.h"

namespace steps_test {
namespace {

class Enrol : public StepsFixture {
protected:
    void SetUp() override {
        StepsFixture::SetUp();
        start_est();
    }
    testbed::EstBehaviour v1() const {
        testbed::EstBehaviour b;
        b.auth = testbed::EstAuth::Basic;
        b.verify_guid_signature = true;
        return b;
    }
    testbed::EstBehaviour v2() const {
        testbed::EstBehaviour b;
        b.auth = testbed::EstAuth::Basic;
        b.verify_ekdsv2 = true;
        b.v2_user = std::string(kAgentText) + ".qrv";
        b.v2_org = kBusinessText;
        b.v2_actcode = kActcodeText;
        b.v2_devid = config_.identity.devid;
        b.v2_productid = std::string(config_.identity.productid) + "," + config_.identity.product_version;
        return b;
    }
    int32_t last_est_error() {
        return reg_->last_est_error;
    }
};

TEST_F(Enrol, FirstGenerationSignsTheGuidAndKeepsAValidCertificate) {
    est_.set_behaviour(v1());
    ASSERT_NE(make_registration(), nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_succeeded);
    EXPECT_EQ(est_.stats().guid_verified, 1);
    EXPECT_EQ(est_.stats().last_csr_subject, std::string("/CN=") + kAgentText);
    EXPECT_EQ(tessel_registration_certificate_kind(reg_.get()), TESSEL_CERT_EKDSV1);
    EXPECT_FALSE(tessel_registration_certificate_needs_renewal(reg_.get()));
    EXPECT_EQ(certificates_saved_, 1);
    EXPECT_TRUE(log_.contains(5, "requesting a certificate via est enrollment"));

    // A second pass finds the certificate good and does not enrol again.
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_succeeded);
    EXPECT_EQ(est_.stats().enroll_requests, 1);
    EXPECT_TRUE(log_.contains(6, "valid certificate already present, skipping enrolment"));
}

TEST_F(Enrol, SecondGenerationSendsTheJsonPassword) {
    // Control characters, quotes and backslashes in the device id are escaped.
    strcpy(config_.identity.devid, "dev\t\"7\"\\x");
    config_.ekds_version = 2;
    est_.set_behaviour(v2());
    ASSERT_NE(make_registration(), nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_succeeded);
    EXPECT_EQ(est_.stats().v2_verified, 1) << log_.dump();
    EXPECT_EQ(est_.stats().v2_rejected, 0);
    EXPECT_EQ(tessel_registration_certificate_kind(reg_.get()), TESSEL_CERT_EKDSV2);

    // A wrong activation code is refused by the server: authentication failure.
    testbed::EstBehaviour b = v2();
    b.v2_actcode = "00000000-0000-0000-0000-000000000000";
    est_.set_behaviour(b);
    give_cert(nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_failed);
    EXPECT_EQ(est_.stats().v2_rejected, 1);
    EXPECT_EQ(last_est_error(), TESSEL_EST_AUTH_FAIL);
    EXPECT_TRUE(log_.contains(3, "The EST server was unable to authenticate the EST client (5)"));
}

TEST_F(Enrol, ProbeChoosesTheGeneration) {
    config_.ekds_version = 0;
    testbed::EstBehaviour b = v2();
    b.domains_body = "qrv_v2";
    est_.set_behaviour(b);
    ASSERT_NE(make_registration(), nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_succeeded);
    EXPECT_EQ(est_.stats().v2_verified, 1);

    // Both offered and no activation code: the first generation instead.
    memset(config_.identity.actcode, 0, 16);
    b = v1();
    b.domains_body = "v1:qrv_v2";
    est_.set_behaviour(b);
    ASSERT_NE(make_registration(), nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_succeeded);
    EXPECT_EQ(est_.stats().guid_verified, 1);
    EXPECT_TRUE(log_.contains(3, "Missing actcode, not able to register with EKDSV2"));

    // Only the second generation and no activation code: state 5.
    b.domains_body = "qrv_v2";
    est_.set_behaviour(b);
    give_cert(nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_missing_actcode);

    // A server that does not answer the probe: state 3 and EST code 7.
    b.domains_close = true;
    est_.set_behaviour(b);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_failed);
    EXPECT_EQ(last_est_error(), TESSEL_EST_IP_CONNECT);
    EXPECT_TRUE(log_.contains(3, "Failed to connect to est host to query supported domains."));
}

TEST_F(Enrol, EachServerRefusalHasItsState) {
    ASSERT_NE(make_registration(), nullptr);
    struct Case {
        int status;
        int state;
        const char* message;
    } cases[] = {
        {403, tessel_certificate_acquisition_failed_forbidden,
         "EST server returned forbidden, it understood the request, but refuses to authorize it"},
        {423, tessel_certificate_acquisition_duplicate_guid,
         "Attempted to provision a new certificate with EST but the GUID already exists"},
        {500, tessel_certificate_acquisition_failed, "Error connecting to 127.0.0.1:"},
    };
    for (const Case& c : cases) {
        testbed::EstBehaviour b = v1();
        b.status = c.status;
        est_.set_behaviour(b);
        log_.clear();
        EXPECT_EQ(certificate_acquisition(reg_.get()), c.state) << c.status;
        EXPECT_TRUE(log_.contains(3, c.message)) << log_.dump();
        EXPECT_NE(last_est_error(), TESSEL_EST_OK) << c.status;
        EXPECT_EQ(reg_->client_cert, nullptr);
    }
    EXPECT_TRUE(log_.contains(6, "***EST [ERROR]"));  // the EST client's lines reach the kit log

    // A certificate already inside the renewal window when issued is refused
    // and the one held before stays.
    testbed::X509Ptr old = issue_cert(kAgentText, 100);
    give_cert(old.get());
    testbed::EstBehaviour b = v1();
    b.issued_not_after = 200L * 86400;
    est_.set_behaviour(b);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_failed);
    EXPECT_TRUE(log_.contains(3, "Acquired EST certificate is invalid"));
    EXPECT_EQ(reg_->client_cert, old.get());

    // Nothing listening: cannot connect, EST code 7.
    const uint16_t port = est_.port();
    est_.stop();
    (void)port;
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_failed);
    EXPECT_EQ(last_est_error(), TESSEL_EST_IP_CONNECT);
    EXPECT_TRUE(log_.contains(3, "Unable to connect to requested host/port (7)"));
}

TEST_F(Enrol, ConfigurationThatCannotEnrol) {
    config_.ekds_version = 2;
    memset(config_.identity.actcode, 0, 16);
    ASSERT_NE(make_registration(), nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_missing_actcode);

    config_.ekds_version = -1;  // passes creation, fails here
    ASSERT_NE(make_registration(), nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_failed);
    EXPECT_TRUE(log_.contains(3, "Invalid ekds version configuration. ekds_version: -1"));

    config_.ekds_version = 2;
    memcpy(config_.identity.actcode, kActcode, 16);
    config_.identity.productid[0] = '\0';
    ASSERT_NE(make_registration(), nullptr);
    EXPECT_EQ(certificate_acquisition(reg_.get()), tessel_certificate_acquisition_failed);
    EXPECT_TRUE(log_.contains(3, "Missing productid from agent identity required for EKDSV2 enrollment."));
    EXPECT_TRUE(log_.contains(3, "Failed to populate est info"));
    EXPECT_EQ(est_.stats().enroll_requests, 0);
}

}  // namespace
}  // namespace steps_test
