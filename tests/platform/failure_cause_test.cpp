// The words a failed transfer is told in, for each cause a user meets.
#include "platform/failure_cause.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cerrno>

namespace {

TEST(FailureCause, EachTransferFailureHasItsWords) {
    struct Row {
        int code;
        long verify;
        long timeout;
        bool proxy;
        const char* words;
    } rows[] = {
        {CURLE_COULDNT_CONNECT, 0, 0, false, "connection refused"},
        {CURLE_COULDNT_CONNECT, 0, 0, true, "proxy refused the connection"},
        {CURLE_COULDNT_RESOLVE_HOST, 0, 0, false, "name not resolved"},
        {CURLE_OPERATION_TIMEDOUT, 0, 15, false, "no answer within 15 s"},
        {CURLE_OPERATION_TIMEDOUT, 0, 0, false, "no answer in time"},
        {CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_HAS_EXPIRED, 0, false, "server certificate has expired"},
        {CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 0, false,
         "server certificate is from an unknown CA"},
        {CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_HOSTNAME_MISMATCH, 0, false,
         "server certificate does not name the server"},
        {CURLE_URL_MALFORMAT, 0, 0, false, "transfer failed (libcurl code 3)"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(platform::TransferCause(row.code, row.verify, row.timeout, row.proxy), row.words) << row.code;
    EXPECT_EQ(platform::ConnectErrorCause(ECONNREFUSED), "connection refused");
}

TEST(FailureCause, ThePeerFollowsTheWordsBounded) {
    EXPECT_EQ(platform::CauseWithPeer("connection refused", "est.example.net", 443),
              "connection refused (est.example.net:443)");
    EXPECT_EQ(platform::CauseWithPeer("connection refused", "::1", 8443), "connection refused ([::1]:8443)");
    EXPECT_EQ(platform::CauseWithPeer("connection refused", "", 443), "connection refused");
    EXPECT_LT(platform::CauseWithPeer("x", std::string(5000, 'a'), 1).size(), 300u);
}

}  // namespace
