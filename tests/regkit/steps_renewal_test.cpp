// Which certificate the handle holds and when it must be renewed.
#include <climits>

#include "kit/registration_manager/registration_certificate_private.h"
#include "kit/registration_manager/tessel_registration_certificate.h"
#include "kit/tessel_time.h"
#include "regkit/steps_fixture.h"

namespace steps_test {
namespace {

class Renewal : public StepsFixture {
protected:
    void SetUp() override {
        StepsFixture::SetUp();
        ASSERT_NE(make_registration(), nullptr);
    }
    int kind_of(const std::string& cn) {
        testbed::X509Ptr cert = issue_cert(cn, 30);
        give_cert(cert.get());
        return tessel_registration_certificate_kind(reg_.get());
    }
    bool renew(const std::string& cn, double days, double not_before_days = -1) {
        testbed::X509Ptr cert = issue_cert(cn, days, not_before_days);
        give_cert(cert.get());
        return tessel_registration_certificate_needs_renewal(reg_.get());
    }
    const std::string v2_name = std::string(kAgentText) + ".qrv";
};

TEST_F(Renewal, KindFollowsTheCommonName) {
    EXPECT_EQ(tessel_registration_certificate_kind(reg_.get()), TESSEL_CERT_NONE);
    EXPECT_EQ(kind_of(v2_name), TESSEL_CERT_EKDSV2);  // lower case: the comparison ignores case
    std::string upper = v2_name;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_EQ(kind_of(upper), TESSEL_CERT_EKDSV2);
    EXPECT_EQ(kind_of(kAgentText), TESSEL_CERT_EKDSV1);
    std::string upperAgent = kAgentText;
    for (char& c : upperAgent) c = static_cast<char>(toupper(c));
    EXPECT_EQ(kind_of(upperAgent), TESSEL_CERT_EKDSV1);
    EXPECT_EQ(kind_of(kBusinessText), TESSEL_CERT_UNUSABLE);  // another GUID
    EXPECT_TRUE(log_.contains(3, std::string("certificate common name ") + kBusinessText));
    EXPECT_EQ(kind_of(std::string(kBusinessText) + ".qrv"), TESSEL_CERT_UNREADABLE);
    EXPECT_EQ(kind_of("dtk test client"), TESSEL_CERT_UNREADABLE);
    EXPECT_TRUE(log_.contains(3, "failed to parse uuid from cert subject name"));
}

TEST_F(Renewal, ThresholdsOfBothGenerations) {
    EXPECT_TRUE(tessel_registration_certificate_needs_renewal(reg_.get()));  // none
    EXPECT_TRUE(renew(v2_name, 4));
    EXPECT_TRUE(log_.contains(6, "which is inside the threshold of 5 days"));
    EXPECT_FALSE(renew(v2_name, 6));
    EXPECT_TRUE(renew(kAgentText, 300));
    EXPECT_TRUE(log_.contains(6, "which is inside the threshold of 365 days"));
    EXPECT_FALSE(renew(kAgentText, 400));
    EXPECT_TRUE(renew(kAgentText, 400, 2));  // not valid for two more days
    EXPECT_TRUE(log_.contains(6, "Certificate will not be valid until"));
    EXPECT_TRUE(renew("dtk test client", 400));
    EXPECT_TRUE(log_.contains(3, "Unexpected certificate type, assuming it is expired"));
}

TEST_F(Renewal, TimeEdges) {
    testbed::X509Ptr cert = issue_cert(kAgentText, 400);
    give_cert(cert.get());
    pthread_mutex_lock(&reg_->mutex);
    const int64_t now = tessel_time_now();
    EXPECT_FALSE(registration_certificate_needs_renewal_at(reg_.get(), now));
    // One second past the window's edge renews; the edge itself does not.
    const int64_t not_after = now + 400L * 86400;
    EXPECT_TRUE(registration_certificate_needs_renewal_at(reg_.get(), not_after - TESSEL_EKDSV1_RENEWAL_THRESHOLD + 5));
    EXPECT_FALSE(
        registration_certificate_needs_renewal_at(reg_.get(), not_after - TESSEL_EKDSV1_RENEWAL_THRESHOLD - 5));
    EXPECT_TRUE(registration_certificate_needs_renewal_at(reg_.get(), INT64_MAX - 10));
    pthread_mutex_unlock(&reg_->mutex);
    EXPECT_TRUE(log_.contains(3, "Overflow on time addition of"));
}

}  // namespace
}  // namespace steps_test
