// Trust roots handed to the enrolment as one PEM text.
#include "kit/util/certificate_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testbed/pki.h"

namespace {

TEST(CertificateRootsToPem, GivesEveryRootUpToTheFirstGapAndFailsWhenNoneIsLeft) {
    testbed::Pki pki;
    X509* const both[] = {pki.ca().cert(), pki.foreign_ca().cert()};
    char* pem = nullptr;
    size_t len = 0;
    ASSERT_EQ(certificate_roots_to_pem(both, 2, &pem, &len), 0);
    const std::string text(pem, len);
    free(pem);
    EXPECT_NE(text.find("-----BEGIN CERTIFICATE-----", text.find("-----END CERTIFICATE-----")), std::string::npos)
        << "two certificates, one after the other";

    // Nothing to give is a failure, not an empty success.
    X509* const gap[] = {nullptr, pki.ca().cert()};
    pem = nullptr;
    EXPECT_EQ(certificate_roots_to_pem(gap, 2, &pem, &len), -1);
    EXPECT_EQ(pem, nullptr);
    EXPECT_EQ(certificate_roots_to_pem(both, 0, &pem, &len), -1);
    EXPECT_EQ(pem, nullptr);
}

}  // namespace
