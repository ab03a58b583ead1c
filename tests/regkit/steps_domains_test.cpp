// The "/domains" generation probe against the testbed's EST server, and the
// reading of its answer.
#include "kit/registration_manager/est_domains.h"
#include "regkit/steps_fixture.h"

namespace steps_test {
namespace {

class Domains : public StepsFixture {
protected:
    int probe(const testbed::EstBehaviour& b) {
        est_.set_behaviour(b);
        X509* roots[] = {pki().ca().cert()};
        http_client_identity identity {nullptr, nullptr, roots, 1};
        return est_domains("127.0.0.1", est_.port(), "dtk-steps-test/1.0", &identity, nullptr);
    }
};

TEST_F(Domains, EachGenerationAndFailureOfTheServer) {
    start_est();
    testbed::EstBehaviour b;
    b.domains_body = "v1";
    EXPECT_EQ(probe(b), EST_DOMAINS_V1) << log_.dump();
    b.domains_body = "qrv_v2";
    EXPECT_EQ(probe(b), EST_DOMAINS_V2);
    b.domains_body = "v1:qrv_v2";
    EXPECT_EQ(probe(b), EST_DOMAINS_BOTH);
    EXPECT_TRUE(log_.contains(7, "EST server /domain response: v1:qrv_v2"));

    b.domains_status = 500;
    EXPECT_EQ(probe(b), EST_DOMAINS_V1);
    EXPECT_TRUE(log_.contains(6, "EST server /domain endpoint returned HTTP status code 500, assuming it is EKDSv1 Only."));
    b.domains_status = 200;
    b.domains_body = "";
    EXPECT_EQ(probe(b), EST_DOMAINS_V1);
    EXPECT_TRUE(log_.contains(6, "Empty response from the /domain endpoint, assuming it is EKDSv1 Only."));

    b.domains_close = true;
    EXPECT_EQ(probe(b), EST_DOMAINS_UNREACHABLE);
    EXPECT_TRUE(log_.contains(6, "Failed to connect to EST server host. Response error:"));
    EXPECT_EQ(est_.stats().domains_requests, 6);

    const uint16_t port = est_.port();
    est_.stop();
    X509* roots[] = {pki().ca().cert()};
    http_client_identity identity {nullptr, nullptr, roots, 1};
    EXPECT_EQ(est_domains("127.0.0.1", port, "ua", &identity, nullptr), EST_DOMAINS_UNREACHABLE);
    EXPECT_EQ(est_domains(nullptr, port, "ua", &identity, nullptr), EST_DOMAINS_ERROR);
    EXPECT_TRUE(log_.contains(3, "Null args."));
}

TEST(DomainsParse, TokensAndTheirTerminators) {
    testbed::KitLogCapture log;
    struct Case {
        const char* body;
        int expected;
    } cases[] = {
        {"v1:qrv_v2", EST_DOMAINS_BOTH},
        {"qrv_v2:v1", EST_DOMAINS_BOTH},
        {"qrv_v2-beta", EST_DOMAINS_V2},  // a dash ends the marker
        {"qrv_v2", EST_DOMAINS_V2},
        {"v1", EST_DOMAINS_V1},
        {"qrv_v2x", EST_DOMAINS_V1},      // followed by a letter: no marker
        {"v1_:qrv_v2", EST_DOMAINS_V2},   // an underscore continues the name
        {"v10", EST_DOMAINS_V1},          // no marker at all: first generation assumed
        {":::", EST_DOMAINS_V1},
        {"", EST_DOMAINS_V1},
    };
    for (const Case& c : cases) EXPECT_EQ(est_domains_parse(c.body, strlen(c.body)), c.expected) << c.body;
    EXPECT_EQ(log.count("unexpected response from the /domain endpoint, assuming it is EKDSv1 Only."), 4u);

    // Only the first 127 bytes count: a marker beyond them is not seen.
    std::string longer(127, 'x');
    longer += ":qrv_v2";
    EXPECT_EQ(est_domains_parse(longer.data(), longer.size()), EST_DOMAINS_V1);
    EXPECT_EQ(est_domains_parse(nullptr, 5), EST_DOMAINS_V1);
}

}  // namespace
}  // namespace steps_test
