// Trust roots handed to the enrolment as one PEM text; the renewal window.
#include "kit/util/certificate_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
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

TEST(CertificateExpiresWithin, RenewsOnlyACertificateEndingBeforeNowPlusThreshold) {
    testbed::Pki pki;
    testbed::CertSpec spec;
    spec.common_name = "renewal";
    testbed::Credential leaf = pki.issue(spec, "renewal");
    struct tm end_tm {};
    ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notAfter(leaf.cert.get()), &end_tm), 1);
    const int64_t end = timegm(&end_tm);
    const int64_t threshold = 7 * 86400;
    struct Row {
        int64_t now;
        bool renew;
    } const rows[] = {
        {end - threshold - 1, false},
        {end - threshold, false},  // ends exactly at now + threshold: not earlier
        {end - threshold + 1, true},
        {end, true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(certificate_expires_within(leaf.cert.get(), threshold, row.now), row.renew)
            << "now = end - " << end - row.now;
}

}  // namespace
