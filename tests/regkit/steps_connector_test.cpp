// The client connector: counted references on the cloud connection while it
// is replaced, retirement after the last reference, and the free that waits
// (for a replaced connection still retiring, only so long).
#include "cloud/cv_cloud.h"
#include "kit/registration_manager/cloud_query.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "regkit/mgr_fixture.h"
#include "regkit/steps_fixture.h"

namespace steps_test {
namespace {

class Connector : public StepsFixture {
protected:
    void SetUp() override {
        StepsFixture::SetUp();
        start_cloud();
        cloud_.set_reg_answers({0});
        ASSERT_EQ(tessel_client_connector_new(&connector_), 0);
    }
    void TearDown() override {
        if (connector_) {
            EXPECT_EQ(tessel_client_connector_free(connector_), 0);
        }
        StepsFixture::TearDown();
    }
    cv_cloud_handle* new_cloud_handle() {
        cv_cloud_opts opts;
        EXPECT_EQ(cv_cloud_initialize_opts(CV_QUERY_METHOD_TCP, &opts), 0);
        opts.trust_store_cb = [](X509_STORE* store, void*) { X509_STORE_add_cert(store, pki().ca().cert()); };
        opts.timeout = {20, 0};
        std::string server = "127.0.0.1:" + std::to_string(cloud_.port());
        cv_cloud_handle* h = cv_cloud_init(CV_QUERY_METHOD_TCP, &opts, kAgentGuid, server.c_str(),
                                           pki().client().pkey(), pki().client().x509(), nullptr);
        cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
        return h;
    }
    bool retired(int id) {
        return eventually([&] { return log_.contains(7, "retired cloud handle " + std::to_string(id)); }, 20s);
    }
    client_connector* connector_ = nullptr;
};

TEST_F(Connector, ReplacedConnectionLivesUntilItsLastReference) {
    ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, new_cloud_handle()), 0);
    cloud_conn* held = tessel_client_connector_get_cloud_conn(connector_);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->id, 1u);

    ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, new_cloud_handle()), 0);
    cloud_conn* current = tessel_client_connector_get_cloud_conn(connector_);
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current->id, 2u);
    tessel_cloud_conn_release(current);

    // The retire thread waits for the reference; the old handle still answers.
    ASSERT_TRUE(eventually([&] { return log_.contains(7, "cloud handle 1: cond_wait"); }, 10s));
    EXPECT_EQ(cloud_query_register(tessel_cloud_connector_get_cloud_handle(held), kAgentGuid), CLOUD_QUERY_REGISTERED);
    EXPECT_TRUE(lookup(tessel_cloud_connector_get_cloud_handle(held), 1));
    EXPECT_FALSE(log_.contains("retired cloud handle 1"));
    tessel_cloud_conn_release(held);
    EXPECT_TRUE(retired(1));

    // Retiring leaves the connector without a connection.
    tessel_client_connector_retire_cloud_conn(connector_);
    EXPECT_EQ(tessel_client_connector_get_cloud_conn(connector_), nullptr);
    EXPECT_TRUE(retired(2));
    EXPECT_EQ(tessel_client_connector_set_cloud_handle(connector_, nullptr), -1);
}

TEST_F(Connector, QueriesKeepSucceedingWhileTheConnectionIsReplaced) {
    ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, new_cloud_handle()), 0);
    constexpr int kThreads = 4;
    constexpr int kReplacements = 5;
    std::atomic<int> done {0}, failed {0}, missing {0}, next {0};
    std::atomic<bool> stop {false};
    std::vector<std::thread> users;
    for (int t = 0; t < kThreads; t++) {
        users.emplace_back([&] {
            for (int i = 0; i < 10000 && !stop.load(); i++) {
                cloud_conn* conn = tessel_client_connector_get_cloud_conn(connector_);
                if (!conn) {
                    missing++;
                    continue;
                }
                if (!lookup(tessel_cloud_connector_get_cloud_handle(conn), next++)) failed++;
                tessel_cloud_conn_release(conn);
                done++;
            }
        });
    }
    for (int r = 0; r < kReplacements; r++) {
        const int before = done.load();
        ASSERT_TRUE(eventually([&] { return done.load() >= before + 2 * kThreads; }, 30s));
        ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, new_cloud_handle()), 0);
    }
    stop = true;
    for (auto& t : users) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(missing.load(), 0);
    for (int id = 1; id <= kReplacements; id++) EXPECT_TRUE(retired(id)) << id;
    EXPECT_TRUE(log_.contains(6, "tracking cloud handle 6"));

    // A reference leaves no line: a host's lookups do not each cost a trace.
    log_.clear();
    for (int i = 0; i < 100; i++) tessel_cloud_conn_release(tessel_client_connector_get_cloud_conn(connector_));
    EXPECT_EQ(log_.count("tessel_client_connector"), 0u) << log_.dump();
}

TEST_F(Connector, FreeWaitsForEveryReference) {
    ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, new_cloud_handle()), 0);
    cloud_conn* held = tessel_client_connector_get_cloud_conn(connector_);
    ASSERT_NE(held, nullptr);
    std::atomic<bool> released {false};
    std::thread holder([&] {
        // Let go only once the free is waiting for this reference.
        EXPECT_TRUE(eventually([&] { return log_.contains(7, "cloud handle 1: cond_wait"); }, 10s));
        released = true;
        tessel_cloud_conn_release(held);
    });
    EXPECT_EQ(tessel_client_connector_free(connector_), 0);
    connector_ = nullptr;
    EXPECT_TRUE(released.load());
    EXPECT_TRUE(log_.contains(7, "retired cloud handle 1"));
    holder.join();

    // The HTTP client is set once.
    ASSERT_EQ(tessel_client_connector_new(&connector_), 0);
    X509* roots[] = {pki().ca().cert()};
    http_client_identity identity {nullptr, nullptr, roots, 1};
    http_client_handle* http = http_client_handle_new("ua", nullptr, nullptr, &identity);
    http_client_handle* other = http_client_handle_new("ua", nullptr, nullptr, &identity);
    EXPECT_EQ(tessel_client_connector_set_http_client(connector_, http), 0);
    EXPECT_EQ(tessel_client_connector_set_http_client(connector_, other), -1);
    EXPECT_EQ(tessel_client_connector_get_http_client(connector_), http);
    http_client_handle_free(other);
}

TEST_F(Connector, FreeWaitsForARetiringConnectionOnlySoLong) {
    ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, new_cloud_handle()), 0);
    cloud_conn* held = tessel_client_connector_get_cloud_conn(connector_);
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, new_cloud_handle()), 0);
    ASSERT_TRUE(eventually([&] { return log_.contains(7, "cloud handle 1: cond_wait"); }, 10s));
    {
        // The wait's kit seconds pass in milliseconds.
        mgr_test::ScaledClock fast(1000000, 0);
        EXPECT_EQ(tessel_client_connector_free(connector_), 0);
        connector_ = nullptr;
    }
    EXPECT_TRUE(log_.contains(3, "1 replaced cloud connections are still retiring"));
    EXPECT_TRUE(log_.contains(7, "retired cloud handle 2"));
    EXPECT_FALSE(log_.contains("retired cloud handle 1"));
    // The connection outlives the connector and retires once let go.
    tessel_cloud_conn_release(held);
    EXPECT_TRUE(retired(1));
}

}  // namespace
}  // namespace steps_test
