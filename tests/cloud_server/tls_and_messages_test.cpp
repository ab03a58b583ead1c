// The cloud server's TLS client authentication (including the "unknown CA"
// refusal) and its server-to-client messages with their acknowledgements.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "cloud_server/cloud_server_fixture.h"

namespace cloud_server_test {
namespace {

testbed::Deliver sample_deliver(uint8_t seed) {
    testbed::Deliver d;
    for (size_t i = 0; i < d.id.size(); i++) {
        d.id[i] = static_cast<uint8_t>(seed + i);
        d.dst[i] = static_cast<uint8_t>(0xf0 - i);
    }
    d.type = 12;
    d.data = Bytes{'h', 'e', 'l', 'l', 'o'};
    return d;
}

// Reads the next frame as a deliver message; null otherwise.
testbed::MessagePtr read_deliver(testbed::RawCloudClient& c, std::chrono::milliseconds timeout) {
    uint8_t kind = 0;
    Bytes payload;
    if (c.read_frame(&kind, &payload, timeout) != testbed::RawCloudClient::Read::frame || kind != 1) return nullptr;
    auto m = testbed::decode_message(payload);
    return m && m->present == CorvaneMessage_PR_deliver ? std::move(m) : nullptr;
}

TEST_F(CloudServerTest, ClientCertificatePolicies) {
    // A TLS 1.3 client learns of a refused certificate only when it reads, so
    // "accepted" means a query is answered.
    long txid = 0;
    auto accepted = [&](const testbed::Credential* identity) {
        testbed::RawCloudClient c;
        auto q = query_of_type(CorvaneQueryData_PR_ping, ++txid);
        return c.connect(client_options(identity)) && c.send_query(q.get()) && c.read_response(5s) != nullptr;
    };
    EXPECT_FALSE(accepted(nullptr));
    EXPECT_FALSE(accepted(&pki_->foreign_client()));
    EXPECT_FALSE(accepted(&pki_->expired_client()));
    EXPECT_TRUE(accepted(&pki_->client()));
    EXPECT_TRUE(server_.wait_until([&] { return server_.stats().failed_handshakes == 3; }, 5s));
    EXPECT_EQ(server_.stats().handshakes, 1);

    server_.set_client_auth(testbed::ClientAuth::require_any);
    EXPECT_TRUE(accepted(&pki_->foreign_client()));
    EXPECT_FALSE(accepted(nullptr));
    server_.set_client_auth(testbed::ClientAuth::optional);
    EXPECT_TRUE(accepted(nullptr));
    EXPECT_NE(server_log().find("no client certificate"), std::string::npos) << server_log();

    // Pinned to TLS 1.2, the refusal comes inside the client's handshake.
    testbed::CloudServerOptions options;
    options.max_tls_version = TLS1_2_VERSION;
    ASSERT_TRUE(start(options));
    testbed::RawCloudClient c;
    EXPECT_FALSE(c.connect(client_options(&pki_->foreign_client())));
    EXPECT_EQ(ERR_GET_REASON(c.last_error()), SSL_R_TLSV1_ALERT_UNKNOWN_CA) << c.last_error_text();
    EXPECT_TRUE(c.connect(client_options(&pki_->client())));
    EXPECT_STREQ(SSL_get_version(c.ssl()), "TLSv1.2");
}

TEST_F(CloudServerTest, RefusedIssuerGetsTheUnknownCaAlertInsideTheHandshake) {
    server_.set_refuse_client_issuer(true);
    testbed::RawCloudClient c;
    ASSERT_FALSE(c.connect(client_options(&pki_->client())));
    // Library SSL, reason "tlsv1 alert unknown ca", packed as OpenSSL 3.0 packs it.
    EXPECT_EQ(ERR_GET_LIB(c.last_error()), ERR_LIB_SSL);
    EXPECT_EQ(ERR_GET_REASON(c.last_error()), SSL_R_TLSV1_ALERT_UNKNOWN_CA);
    EXPECT_EQ(c.last_error_text().rfind("error:0A000418", 0), 0u) << c.last_error_text();
    // The client may see the alert before the server has counted it.
    EXPECT_TRUE(server_.wait_until([&] { return server_.stats().unknown_ca_refusals == 1; }, 5s));
    EXPECT_EQ(server_.stats().handshakes, 0);

    server_.set_refuse_client_issuer(false);
    EXPECT_TRUE(c.connect(client_options(&pki_->client()))) << c.last_error_text();
    EXPECT_TRUE(ask(c, CorvaneQueryData_PR_reg, 1));
    EXPECT_EQ(server_.stats().unknown_ca_refusals, 1);
}

TEST_F(CloudServerTest, DeliverReachesOneOrAllConnectionsAndAcksAreRecorded) {
    auto a = connect();
    auto b = connect();
    ASSERT_TRUE(server_.wait_for_handshakes(2, 5s));
    auto ids = server_.open_connections();
    ASSERT_EQ(ids.size(), 2u);

    EXPECT_EQ(server_.deliver(sample_deliver(1)), 2);
    for (auto* c : {a.get(), b.get()}) {
        auto m = read_deliver(*c, 5s);
        ASSERT_TRUE(m);
        const auto& d = m->choice.deliver;
        EXPECT_EQ(d.type, 12);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(d.data.buf), d.data.size), "hello");
        ASSERT_EQ(d.id.size, 16);
        EXPECT_EQ(d.id.buf[0], 1);
        EXPECT_EQ(d.dst.buf[15], 0xf0 - 15);
    }

    // `b` connected second, so it has the later id; only it gets this one.
    EXPECT_EQ(server_.deliver(sample_deliver(50), ids[1]), 1);
    EXPECT_EQ(server_.deliver(sample_deliver(60), 9999), 0);
    auto only = read_deliver(*b, 5s);
    ASSERT_TRUE(only);
    EXPECT_EQ(only->choice.deliver.id.buf[0], 50);
    uint8_t kind;
    Bytes payload;
    EXPECT_EQ(a->read_frame(&kind, &payload, 300ms), testbed::RawCloudClient::Read::timeout);

    auto ack = corvane_samples::ack_message(0xDEAF);
    ASSERT_TRUE(b->send_message(ack.get()));
    ASSERT_TRUE(server_.wait_for_acks(1, 5s));
    auto acks = server_.acks();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].return_code, 0xDEAF);
    EXPECT_EQ(acks[0].conn, ids[1]);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(acks[0].id.data()), 16), corvane_samples::kUuid);
    testbed::Uuid dst;
    dst.fill(0x22);
    EXPECT_EQ(acks[0].dst, dst);
    auto stats = server_.stats();
    EXPECT_EQ(stats.messages_sent, 3);
    EXPECT_EQ(stats.acks, 1);

    // A message from the client that is not an ack is logged, not counted.
    auto stray = corvane_samples::deliver_message();
    ASSERT_TRUE(a->send_message(stray.get()));
    EXPECT_TRUE(server_.wait_until([&] { return server_log().find("unexpected message alternative 2") != std::string::npos; }, 5s));
    EXPECT_EQ(server_.stats().acks, 1);
}

TEST_F(CloudServerTest, ServerSideCloseOfOneConnection) {
    auto a = connect();
    auto b = connect();
    ASSERT_TRUE(server_.wait_for_handshakes(2, 5s));
    auto ids = server_.open_connections();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_TRUE(server_.close_connection(ids[0]));
    EXPECT_FALSE(server_.close_connection(12345));
    ASSERT_TRUE(server_.wait_for_closed(1, 5s));
    EXPECT_EQ(server_.open_connections(), std::vector<int>{ids[1]});
    server_.close_all();
    ASSERT_TRUE(server_.wait_for_closed(2, 5s));
    bool closed = false;
    a->read_until_closed(2s, &closed);
    EXPECT_TRUE(closed);
    b->read_until_closed(2s, &closed);
    EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace cloud_server_test
