// Fixture of the cloud server's tests: a test PKI for the suite, a server
// per test, raw clients and queries of every type.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "cloud/corvane_samples.h"
#include "testbed/cloud_raw_client.h"
#include "testbed/cloud_server.h"
#include "testbed/pki.h"

namespace cloud_server_test {

using namespace std::chrono_literals;
using corvane_samples::asn_ptr;
using testbed::Bytes;

// A query of the given type (1..10) with every mandatory member set.
asn_ptr<CorvaneQuery_t> query_of_type(int type, long txid);

class CloudServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { pki_ = new testbed::Pki(); }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(start()); }
    void TearDown() override { server_.stop(); }

    bool start(testbed::CloudServerOptions options = {}) {
        options.identity = &pki_->server();
        options.client_ca = pki_->ca().cert();
        server_.stop();
        return server_.start(options);
    }
    testbed::RawClientOptions client_options(const testbed::Credential* identity) const {
        testbed::RawClientOptions o;
        o.port = server_.port();
        o.identity = identity;
        o.trust = pki_->ca().cert();
        return o;
    }
    // A client with the test CA's client certificate, connected.
    std::unique_ptr<testbed::RawCloudClient> connect() {
        auto c = std::make_unique<testbed::RawCloudClient>();
        EXPECT_TRUE(c->connect(client_options(&pki_->client()))) << c->last_error_text();
        return c;
    }
    // Sends a query of `type` and reads the next response.
    testbed::ResponsePtr ask(testbed::RawCloudClient& c, int type, long txid) {
        auto q = query_of_type(type, txid);
        EXPECT_TRUE(c.send_query(q.get()));
        return c.read_response(5s);
    }
    std::string server_log() const {
        std::string text;
        for (const auto& line : server_.log()) text += line + "\n";
        return text;
    }

    static testbed::Pki* pki_;
    testbed::CloudServer server_;
};

}  // namespace cloud_server_test
