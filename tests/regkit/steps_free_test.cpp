// Freeing a registration handle while a replaced cloud connection is still
// retiring: the free waits for it, and none of the kit's cloud hooks reaches
// the handle once its free has begun.
#include <atomic>

#include "cloud/cloud_client_fixture.h"
#include "cloud/cv_cloud_async.h"
#include "kit/registration_manager/cloud_registration.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "regkit/steps_fixture.h"

namespace steps_test {
namespace {

constexpr int kLookups = 4;

class FreeWhileRetiring : public StepsFixture {
protected:
    void SetUp() override {
        StepsFixture::SetUp();
        start_cloud();
        cert_ = issue_cert(kAgentText, 400);
        config_.client_cert = cert_.get();
    }
    // The handle's connector with a live cloud handle made by the kit (its
    // hooks installed) whose queries time out after `timeout` seconds.
    void connect(int64_t timeout) {
        ASSERT_EQ(tessel_client_connector_new(&connector_), 0);
        cv_cloud_handle* cloud = cloud_create_handle(reg_.get(), timeout);
        ASSERT_NE(cloud, nullptr);
        ASSERT_EQ(tessel_client_connector_set_cloud_handle(connector_, cloud), 0);
        locked([&](auto* h) { return h->client_connector = connector_; });
        cloud_install_status_hooks(reg_.get());
    }
    // Sends lookups on the current connection without waiting for them.
    void send_lookups() {
        cloud_conn* conn = tessel_client_connector_get_cloud_conn(connector_);
        ASSERT_NE(conn, nullptr);
        auto done = [](CorvaneQuery_t* query, CorvaneQueryResponse_t*, uint32_t, void* data) {
            cloud_client_test::free_query(query);
            static_cast<std::atomic<int>*>(data)->fetch_add(1);
            return 0;
        };
        for (int i = 0; i < kLookups; i++) {
            CorvaneQuery_t* query = cloud_client_test::file_query(i);
            if (cv_cloud_query_async(tessel_cloud_connector_get_cloud_handle(conn), query, done, &finished_) < 0) {
                cloud_client_test::free_query(query);
                ADD_FAILURE() << "lookup " << i << " refused";
            }
        }
        tessel_cloud_conn_release(conn);
    }

    testbed::X509Ptr cert_;
    client_connector* connector_ = nullptr;  // owned by the handle
    std::atomic<int> finished_ {0};
};

TEST_F(FreeWhileRetiring, NoHookReachesTheHandleOnceItsFreeHasBegun) {
    ASSERT_NE(make_registration(), nullptr);
    connect(8);
    // The server closes the connection on every lookup: the old connection
    // keeps its lookups and connects again (asking the kit's hooks) until
    // they time out.
    cloud_.set_hook([](const testbed::ReceivedQuery& q) {
        return q.type == 6 ? testbed::Reply::close() : testbed::Reply::defaults();
    });
    send_lookups();
    ASSERT_TRUE(eventually([&] { return cloud_.queries_of_type(6) >= 1; }, 10s));

    // A new cloud host replaces the connection; the handle is freed at once.
    registration_hosts hosts = config_.hosts;
    snprintf(hosts.cloud_host, sizeof hosts.cloud_host, "localhost:%u", cloud_.port());
    ASSERT_EQ(registration_update_config(reg_.get(), &hosts, 0), 0);
    reg_.reset();

    // The free waited for the replaced connection: its lookups were failed
    // once each and its threads are gone.
    EXPECT_TRUE(log_.contains(7, "retired cloud handle 1"));
    EXPECT_EQ(finished_.load(), kLookups);
    // Had it not, the old connection's next attempt would run the hooks on
    // the freed handle (and its provisioning check start a run there).
    EXPECT_TRUE(eventually([&] { return log_.contains(7, "retired cloud handle 1"); }, 20s)) << log_.dump();
    EXPECT_FALSE(log_.contains("registration requested")) << log_.dump();
    EXPECT_EQ(finished_.load(), kLookups);
}

}  // namespace
}  // namespace steps_test
