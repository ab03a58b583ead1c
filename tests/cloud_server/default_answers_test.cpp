// Default answers of the cloud server: the right response alternative per
// query type, echoed header fields, ping answers with and without
// retrospective work, and the server's record of what it received.
#include "cloud_server/cloud_server_fixture.h"

namespace cloud_server_test {
namespace {

TEST_F(CloudServerTest, AnswersEveryQueryTypeWithItsResponseAndEchoesTheHeader) {
    const std::pair<int, int> expected[] = {
        {CorvaneQueryData_PR_reg, CorvaneQueryResponseData_PR_genResponse},
        {CorvaneQueryData_PR_convict, CorvaneQueryResponseData_PR_genResponse},
        {CorvaneQueryData_PR_ping, CorvaneQueryResponseData_PR_pingResponse},
        {CorvaneQueryData_PR_pingRetro, CorvaneQueryResponseData_PR_pingRetroResponse},
        {CorvaneQueryData_PR_work, CorvaneQueryResponseData_PR_workResponse},
        {CorvaneQueryData_PR_file, CorvaneQueryResponseData_PR_fileResponse},
        {CorvaneQueryData_PR_fileMulti, CorvaneQueryResponseData_PR_fileMultiResponse},
        {CorvaneQueryData_PR_netMulti, CorvaneQueryResponseData_PR_netMultiResponse},
        {CorvaneQueryData_PR_iosApp, CorvaneQueryResponseData_PR_iosAppResponse},
        {CorvaneQueryData_PR_iosNet, CorvaneQueryResponseData_PR_iosNetResponse},
    };
    auto client = connect();
    long txid = 300;  // two-octet txids
    for (auto [query_type, response_type] : expected) {
        SCOPED_TRACE("query type " + std::to_string(query_type));
        auto resp = ask(*client, query_type, ++txid);
        ASSERT_TRUE(resp);
        EXPECT_EQ(resp->data.present, response_type);
        EXPECT_EQ(resp->header.txid, txid);
        EXPECT_EQ(resp->header.sessid, 77);
        EXPECT_EQ(resp->version, 7);
        EXPECT_EQ(resp->header.disposition, 1);
        ASSERT_EQ(resp->header.quuid.size, 16);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(resp->header.quuid.buf), 16), corvane_samples::kUuid);
        EXPECT_EQ(resp->header.ts.size, 15);
        if (response_type == CorvaneQueryResponseData_PR_genResponse) {
            EXPECT_EQ(resp->data.choice.genResponse.errorCode, 0);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(resp->data.choice.genResponse.data.buf),
                                  resp->data.choice.genResponse.data.size),
                      "OK");
        }
        if (response_type == CorvaneQueryResponseData_PR_fileMultiResponse) {
            EXPECT_EQ(resp->data.choice.fileMultiResponse.multidata.list.count, 3);
            EXPECT_EQ(resp->data.choice.fileMultiResponse.parentdata.list.count, 2);
        }
        if (response_type == CorvaneQueryResponseData_PR_netMultiResponse) {
            EXPECT_EQ(resp->data.choice.netMultiResponse.direction, 2);
            EXPECT_EQ(resp->data.choice.netMultiResponse.protocol, 6);
            EXPECT_EQ(resp->data.choice.netMultiResponse.nettype, 4);
        }
        EXPECT_EQ(server_.queries_of_type(query_type), 1);
        EXPECT_EQ(server_.queries_with_txid(txid), 1);
    }
    auto stats = server_.stats();
    EXPECT_EQ(stats.queries, 10);
    EXPECT_EQ(stats.responses, 10);
    EXPECT_EQ(stats.handshakes, 1);
    EXPECT_EQ(stats.open, 1);

    // The record keeps what came in, decodable again.
    auto received = server_.queries();
    ASSERT_EQ(received.size(), 10u);
    EXPECT_EQ(received[3].type, CorvaneQueryData_PR_pingRetro);
    EXPECT_EQ(received[3].retro_nonce, 4321);
    EXPECT_EQ(received[3].flag, 0x8);
    EXPECT_EQ(received[3].conn, server_.open_connections().at(0));
    auto again = testbed::decode_query(received[6].der);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->data.present, CorvaneQueryData_PR_fileMulti);
    EXPECT_EQ(again->header.txid, 307);

    client->close();
    EXPECT_TRUE(server_.wait_for_closed(1, 5s));
    EXPECT_EQ(server_.stats().open, 0);
    EXPECT_NE(server_log().find("closed by peer"), std::string::npos) << server_log();
}

TEST_F(CloudServerTest, UnknownQueryAlternativeGetsAGeneralError) {
    // A ping whose alternative tag is rewritten to [12], which no query type uses.
    auto ping = corvane_samples::ping_query(9);
    Bytes der = testbed::encode_query(ping.get());
    ASSERT_FALSE(der.empty());
    size_t at = 0;
    for (size_t i = 0; i + 2 < der.size(); i++)
        if (der[i] == 0xA2 && der[i + 2] == 0xA2) at = i + 2;
    ASSERT_NE(at, 0u);
    der[at] = 0xAC;
    auto client = connect();
    ASSERT_TRUE(client->send_bytes(testbed::make_frame(0, der)));
    auto resp = client->read_response(5s);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->header.txid, 9);
    ASSERT_EQ(resp->data.present, CorvaneQueryResponseData_PR_genResponse);
    EXPECT_EQ(resp->data.choice.genResponse.errorCode, 2);
    EXPECT_EQ(server_.queries_of_type(0), 1);
}

TEST_F(CloudServerTest, PingAnswersCarryThePolicySerialAndRetrospectiveWorkOnRequest) {
    testbed::PingAnswers answers;
    answers.online = 3;
    answers.detection_count = 17;
    answers.delta = -2;
    answers.serial_number = 4242;
    answers.htype = 2;
    answers.hash = Bytes(32, 0xab);
    answers.name = "retro.exe";
    answers.work_disposition = 1;
    server_.set_ping_answers(answers);
    auto client = connect();

    auto plain = ask(*client, CorvaneQueryData_PR_ping, 1);
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->data.present, CorvaneQueryResponseData_PR_pingResponse);
    EXPECT_EQ(plain->data.choice.pingResponse.online, 3);
    EXPECT_EQ(plain->data.choice.pingResponse.detectionCount, 17);
    EXPECT_EQ(plain->data.choice.pingResponse.delta, -2);

    auto retro_disposition = [&](long txid) -> long {
        auto r = ask(*client, CorvaneQueryData_PR_pingRetro, txid);
        if (!r || r->data.present != CorvaneQueryResponseData_PR_pingRetroResponse) return -1;
        const auto& p = r->data.choice.pingRetroResponse;
        EXPECT_EQ(p.online, 3);
        EXPECT_EQ(p.detectionCount, 17);
        EXPECT_EQ(p.serialNumber, 4242);
        EXPECT_EQ(p.htype, 2);
        EXPECT_EQ(p.hash.size, 32);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(p.name.buf), p.name.size), "retro.exe");
        return p.retrospectiveDisposition;
    };
    EXPECT_EQ(retro_disposition(2), testbed::kRetroNoWork);
    server_.add_retro_work(2);
    EXPECT_EQ(retro_disposition(3), 1);
    EXPECT_EQ(retro_disposition(4), 1);
    EXPECT_EQ(retro_disposition(5), testbed::kRetroNoWork);
    answers.retro_work = -1;
    server_.set_ping_answers(answers);
    EXPECT_EQ(retro_disposition(6), 1);
    EXPECT_EQ(retro_disposition(7), 1);
}

TEST_F(CloudServerTest, ManyConcurrentConnectionsAreServedAndStopJoinsThemWhileOpen) {
    constexpr int kClients = 12;
    constexpr int kQueries = 40;
    std::vector<std::unique_ptr<testbed::RawCloudClient>> clients;
    for (int i = 0; i < kClients; i++) clients.push_back(std::make_unique<testbed::RawCloudClient>());
    std::vector<std::thread> threads;
    std::atomic<int> answered{0};
    for (int i = 0; i < kClients; i++) {
        threads.emplace_back([&, i] {
            testbed::RawCloudClient& c = *clients[i];
            if (!c.connect(client_options(&pki_->client()))) return;
            // Pipelined: all queries first, then all answers.
            for (int n = 0; n < kQueries; n++) {
                auto q = query_of_type(CorvaneQueryData_PR_file, i * 1000 + n);
                if (!c.send_query(q.get())) return;
            }
            for (int n = 0; n < kQueries; n++) {
                auto r = c.read_response(5s);
                if (r && r->header.txid == i * 1000 + n) answered++;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(answered.load(), kClients * kQueries);
    EXPECT_EQ(server_.queries_of_type(CorvaneQueryData_PR_file), kClients * kQueries);
    auto stats = server_.stats();
    EXPECT_EQ(stats.accepted, kClients);
    EXPECT_EQ(stats.open, kClients);
    EXPECT_EQ(server_.open_connections().size(), static_cast<size_t>(kClients));
    // Every client is still connected: stop() closes and joins them all.
    server_.stop();
    stats = server_.stats();
    EXPECT_EQ(stats.closed, kClients);
    EXPECT_EQ(stats.open, 0);
    bool closed = false;
    clients[0]->read_until_closed(2s, &closed);
    EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace cloud_server_test
