// Connection attempts that do not complete: an unresolvable name and a
// server that never answers the handshake.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cloud/cloud_client_fixture.h"
#include "cloud/cloud_test_util.h"

using namespace cloud_client_test;

TEST_F(CloudClientTest, UnresolvableNameCallsTheResolveFailureCallback) {
    std::atomic<int> resolve_failures{0};
    std::atomic<int> connection_failures{0};
    auto opts = options();
    opts.timeout = {1, 0};
    opts.resolve_failure_cb = [](void* n) { ++*static_cast<std::atomic<int>*>(n); };
    opts.resolve_failure_data = &resolve_failures;
    cv_cloud_async_opts async{};
    handle_.reset(cv_cloud_init(CV_QUERY_METHOD_TCP, &opts, kEndpointUuid, "no-such-host.invalid:4443",
                                pki().client().pkey(), pki().client().x509(), &async));
    cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
    ASSERT_NE(handle_, nullptr);
    cv_cloud_set_connection_callbacks(
        handle_.get(), [](int64_t, void* n) { ++*static_cast<std::atomic<int>*>(n); }, nullptr, &connection_failures);
    ASSERT_EQ(submit(file_query(1), 1), 1);
    ASSERT_TRUE(recorder_.wait_for(1, 15s));
    EXPECT_EQ(recorder_.calls(1).at(0).status, CV_STATUS_FIRST | CV_STATUS_FAILED | CV_STATUS_TIMEOUT);
    EXPECT_GE(resolve_failures.load(), 1);
    EXPECT_EQ(connection_failures.load(), resolve_failures.load());
    EXPECT_EQ(handle_->options.port, 4443);
}

TEST_F(CloudClientTest, ShutdownInterruptsAHandshakeThatNeverEnds) {
    // A listening socket that never accepts: TCP connects, TLS never answers.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    std::string text = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    auto opts = options();
    opts.timeout = {30, 0};
    cv_cloud_async_opts async{};
    handle_.reset(cv_cloud_init(CV_QUERY_METHOD_TCP, &opts, kEndpointUuid, text.c_str(), pki().client().pkey(),
                                pki().client().x509(), &async));
    cv_cloud_free_opts(CV_QUERY_METHOD_TCP, &opts);
    ASSERT_NE(handle_, nullptr);
    ASSERT_EQ(submit(file_query(1), 1), 1);
    std::this_thread::sleep_for(300ms);  // the transmit worker is inside the handshake now
    const auto before = std::chrono::steady_clock::now();
    handle_.reset();
    const auto took = std::chrono::steady_clock::now() - before;
    close(listener);
    EXPECT_EQ(recorder_.total(), 1);
    EXPECT_EQ(recorder_.calls(1).at(0).status, CV_STATUS_FIRST | CV_STATUS_FAILED);
    // Bound of failure, not a speed check: without the stop check the
    // attempt would run into its 10 s connect time-out.
    EXPECT_LT(took, 8s);
}
