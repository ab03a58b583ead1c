// Scripted replies of the cloud server, each observed by a raw client:
// delay, drop, duplicates, foreign txids, general errors, replaced and
// edited responses, closes, garbage, unknown kind bytes and chaos.
#include "cloud_server/cloud_server_fixture.h"

namespace cloud_server_test {
namespace {

using testbed::Reply;

long txid_of(const testbed::ResponsePtr& r) { return r ? r->header.txid : -1; }

TEST_F(CloudServerTest, DelayedReplyIsOvertakenDroppedReplyNeverComes) {
    server_.set_hook([](const testbed::ReceivedQuery& q) {
        if (q.txid == 1) return Reply::defaults().delayed(300ms);
        if (q.txid == 3) return Reply::drop();
        return Reply::defaults();
    });
    auto client = connect();
    for (long txid : {1, 2, 3}) ASSERT_TRUE(client->send_query(query_of_type(6, txid).get()));
    EXPECT_EQ(txid_of(client->read_response(5s)), 2);
    EXPECT_EQ(txid_of(client->read_response(5s)), 1);
    uint8_t kind;
    Bytes payload;
    EXPECT_EQ(client->read_frame(&kind, &payload, 400ms), testbed::RawCloudClient::Read::timeout);
    EXPECT_EQ(server_.stats().responses, 2);
    EXPECT_EQ(server_.queries_with_txid(3), 1);
}

TEST_F(CloudServerTest, DuplicateForeignTxidAndGeneralErrorReplies) {
    server_.set_hook([](const testbed::ReceivedQuery& q) {
        switch (q.txid) {
        case 1: return Reply::defaults().twice();
        case 2: return Reply::defaults().with_txid(4096);
        case 3: return Reply::error(5);
        default: return Reply::defaults();
        }
    });
    auto client = connect();
    EXPECT_EQ(txid_of(ask(*client, 6, 1)), 1);
    EXPECT_EQ(txid_of(client->read_response(5s)), 1);
    auto foreign = ask(*client, 6, 2);
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->header.txid, 4096);
    EXPECT_EQ(foreign->data.present, CorvaneQueryResponseData_PR_fileResponse);
    auto error = ask(*client, 6, 3);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->header.txid, 3);
    ASSERT_EQ(error->data.present, CorvaneQueryResponseData_PR_genResponse);
    EXPECT_EQ(error->data.choice.genResponse.errorCode, 5);
    EXPECT_EQ(server_.stats().responses, 4);
}

TEST_F(CloudServerTest, ReplacedAndEditedResponses) {
    auto custom = corvane_samples::response(CorvaneQueryResponseData_PR_workResponse);  // txid 200
    server_.set_hook([&custom](const testbed::ReceivedQuery& q) {
        if (q.txid == 1) return Reply::with(custom.get());
        if (q.txid == 2)
            return Reply::defaults().edited([](CorvaneQueryResponse_t& r) { r.header.disposition = 4; });
        return Reply::with_der(Bytes{0x30, 0x00});  // an empty SEQUENCE: not a valid response
    });
    auto client = connect();
    auto replaced = ask(*client, 6, 1);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->header.txid, 200);
    EXPECT_EQ(replaced->data.present, CorvaneQueryResponseData_PR_workResponse);
    auto edited = ask(*client, CorvaneQueryData_PR_ping, 2);
    ASSERT_TRUE(edited);
    EXPECT_EQ(edited->header.disposition, 4);
    EXPECT_EQ(edited->data.present, CorvaneQueryResponseData_PR_pingResponse);
    ASSERT_TRUE(client->send_query(query_of_type(6, 3).get()));
    uint8_t kind = 9;
    Bytes payload;
    ASSERT_EQ(client->read_frame(&kind, &payload, 5s), testbed::RawCloudClient::Read::frame);
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(payload, (Bytes{0x30, 0x00}));
}

TEST_F(CloudServerTest, CloseWithoutAnswerAndCloseMidFrame) {
    server_.set_hook([](const testbed::ReceivedQuery& q) {
        return q.txid == 1 ? Reply::close() : Reply::close_mid_frame().delayed(50ms);
    });
    auto first = connect();
    ASSERT_TRUE(first->send_query(query_of_type(6, 1).get()));
    bool closed = false;
    Bytes rest = first->read_until_closed(5s, &closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(rest.empty());

    auto second = connect();
    ASSERT_TRUE(second->send_query(query_of_type(6, 2).get()));
    rest = second->read_until_closed(5s, &closed);
    EXPECT_TRUE(closed);
    // Half a frame: the header announces more than arrived.
    ASSERT_GE(rest.size(), 5u);
    uint32_t length = (uint32_t{rest[0]} << 24) | (uint32_t{rest[1]} << 16) | (uint32_t{rest[2]} << 8) | rest[3];
    EXPECT_EQ(rest[4], 0);
    EXPECT_LT(rest.size(), 4 + size_t{length});
    EXPECT_TRUE(server_.wait_for_closed(2, 5s));
    EXPECT_EQ(server_.stats().responses, 0);
    EXPECT_NE(server_log().find("dropped mid-frame by the script"), std::string::npos) << server_log();
}

TEST_F(CloudServerTest, GarbageAndUnknownKindByte) {
    server_.set_hook([](const testbed::ReceivedQuery& q) {
        if (q.txid == 1) return Reply::unknown_kind(7);
        if (q.txid == 2) return Reply::garbage_bytes(Bytes{1, 2, 3});
        return Reply::garbage_bytes();
    });
    auto client = connect();
    ASSERT_TRUE(client->send_query(query_of_type(6, 1).get()));
    uint8_t kind = 0;
    Bytes payload;
    ASSERT_EQ(client->read_frame(&kind, &payload, 5s), testbed::RawCloudClient::Read::frame);
    EXPECT_EQ(kind, 7);
    auto resp = testbed::decode_response(payload);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->header.txid, 1);

    ASSERT_TRUE(client->send_query(query_of_type(6, 2).get()));
    ASSERT_TRUE(client->send_query(query_of_type(6, 3).get()));
    ASSERT_TRUE(server_.wait_for_queries(3, 5s));
    bool closed = true;
    Bytes raw = client->read_until_closed(500ms, &closed);
    EXPECT_FALSE(closed);  // the server keeps the connection after garbage
    Bytes expected{1, 2, 3, 0xff, 0xff, 0xff, 0xff, 0x00};
    expected.resize(3 + 16, 0xa5);
    EXPECT_EQ(raw, expected);
}

TEST_F(CloudServerTest, ClientFramingErrorsCloseTheConnection) {
    auto bad_kind = connect();
    auto frame = testbed::make_frame(5, testbed::encode_query(query_of_type(6, 1).get()));
    ASSERT_TRUE(bad_kind->send_bytes(frame));
    bool closed = false;
    bad_kind->read_until_closed(5s, &closed);
    EXPECT_TRUE(closed);

    auto undecodable = connect();
    ASSERT_TRUE(undecodable->send_bytes(testbed::make_frame(0, Bytes{0xde, 0xad, 0xbe, 0xef})));
    undecodable->read_until_closed(5s, &closed);
    EXPECT_TRUE(closed);

    auto oversized = connect();
    ASSERT_TRUE(oversized->send_bytes(Bytes{0x00, 0x01, 0x01, 0x00, 0x00}));
    oversized->read_until_closed(5s, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(server_.stats().bad_frames, 3);
    EXPECT_EQ(server_.stats().queries, 0);
}

// Sends `txid` until a response with that txid arrives (reconnecting after a
// close) or the server stays silent; true when answered.
bool ask_until_answered(std::unique_ptr<testbed::RawCloudClient>& c,
                        const testbed::RawClientOptions& options, long txid, int* reconnects) {
    for (int attempt = 0; attempt < 10; attempt++) {
        if (!c->connected()) {
            c = std::make_unique<testbed::RawCloudClient>();
            if (!c->connect(options)) return false;
            ++*reconnects;
        }
        if (!c->send_query(query_of_type(6, txid).get())) {
            c->close();
            continue;
        }
        for (int frames = 0; frames < 8; frames++) {
            uint8_t kind = 0;
            Bytes payload;
            auto rc = c->read_frame(&kind, &payload, 300ms);
            if (rc == testbed::RawCloudClient::Read::timeout) return false;  // dropped
            if (rc != testbed::RawCloudClient::Read::frame) {  // closed or garbage: start over
                c->close();
                break;
            }
            auto resp = testbed::decode_response(payload);
            if (resp && resp->header.txid == txid) return true;
        }
    }
    return false;
}

TEST_F(CloudServerTest, ChaosIsSeededAndBounded) {
    testbed::ChaosOptions chaos;
    chaos.seed = 7;
    chaos.drop = 0.1;
    chaos.close_mid_frame = 0.1;
    chaos.garbage = 0.1;
    chaos.duplicate = 0.1;
    chaos.delay = 0.1;
    chaos.max_delay = 30ms;
    chaos.max_events = 25;
    server_.set_chaos(chaos);
    auto options = client_options(&pki_->client());
    auto client = std::make_unique<testbed::RawCloudClient>();
    ASSERT_TRUE(client->connect(options));
    int reconnects = 0;
    int answered = 0;
    int last_unanswered = -1;
    constexpr int kQueries = 150;
    for (int i = 1; i <= kQueries; i++) {
        if (ask_until_answered(client, options, i, &reconnects))
            answered++;
        else
            last_unanswered = i;
    }
    auto stats = server_.stats();
    EXPECT_EQ(stats.chaos_events, 25);
    // Once the budget is spent every query is answered at the first try.
    EXPECT_LT(last_unanswered, kQueries - 20);
    EXPECT_GE(answered, kQueries - 25);
    EXPECT_GT(reconnects, 0);
    std::string log = server_log();
    for (const char* what : {"chaos drop", "chaos close mid-frame", "chaos garbage", "chaos duplicate", "chaos delay"})
        EXPECT_NE(log.find(what), std::string::npos) << what;

    // The same seed gives the same disruptions.
    auto first_run = server_.log();
    ASSERT_TRUE(start());
    server_.set_chaos(chaos);
    client = std::make_unique<testbed::RawCloudClient>();
    options = client_options(&pki_->client());
    ASSERT_TRUE(client->connect(options));
    for (int i = 1; i <= kQueries; i++) ask_until_answered(client, options, i, &reconnects);
    EXPECT_EQ(server_.stats().chaos_events, 25);
    auto chaos_lines = [](const std::vector<std::string>& lines) {
        std::vector<std::string> out;
        for (const auto& l : lines)
            if (l.find(" chaos ") != std::string::npos) out.push_back(l.substr(l.find(" chaos ")));
        return out;
    };
    EXPECT_EQ(chaos_lines(server_.log()).size(), 25u);
    EXPECT_EQ(chaos_lines(server_.log()), chaos_lines(first_run));
}

}  // namespace
}  // namespace cloud_server_test
