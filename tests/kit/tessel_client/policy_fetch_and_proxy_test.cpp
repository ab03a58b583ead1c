// Policy fetch by serial and the proxy test, against the testbed's HTTPS
// server and a real tinyproxy.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kit/tessel_client/tessel_fetch_policy.h"
#include "kit/tessel_client/tessel_proxy_test.h"
#include "support/testbed_kit.h"
#include "testbed/https_server.h"
#include "testbed/pki.h"
#include "testbed/proxies.h"

namespace {

using testbed::make_handle;
using testbed::make_request;

class TesselClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pki_ = new testbed::Pki();
        server_ = new testbed::HttpsServer();
        server_->on("/policy/v-42", [](const testbed::HttpRequest&, testbed::HttpExchange& ex) {
            ex.respond(200, "<policy serial=\"42\"/>");
        });
        testbed::TlsServerOptions options;
        options.identity = &pki_->server();
        ASSERT_TRUE(server_->start(options));
    }
    static void TearDownTestSuite() {
        delete server_;
        delete pki_;
    }

    // An in-memory FILE sink.
    struct Sink {
        char* data = nullptr;
        size_t size = 0;
        FILE* file = open_memstream(&data, &size);
        ~Sink() {
            if (file) fclose(file);
            free(data);
        }
        std::string text() {
            fflush(file);
            return std::string(data, size);
        }
    };

    static testbed::Pki* pki_;
    static testbed::HttpsServer* server_;
    testbed::KitLogCapture log_;
};

testbed::Pki* TesselClientTest::pki_ = nullptr;
testbed::HttpsServer* TesselClientTest::server_ = nullptr;

size_t file_write(const void* data, size_t size, size_t count, FILE* sink) { return fwrite(data, size, count, sink); }

TEST_F(TesselClientTest, FetchPolicyWritesTheVersionIntoTheSink) {
    auto handle = make_handle(*pki_);
    auto req = make_request(handle.get());
    Sink sink;
    ASSERT_EQ(tessel_fetch_policy(server_->url("/policy/v").c_str(), 42, file_write, sink.file, req.get()), 0);
    EXPECT_EQ(sink.text(), "<policy serial=\"42\"/>");
    auto seen = server_->requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().method, "GET");
    EXPECT_EQ(seen.back().target, "/policy/v-42");
    EXPECT_TRUE(log_.contains(7, "Fetching policy from " + server_->url("/policy/v-42")));

    // A missing version still counts as fetched: the sink holds the error body.
    Sink missing;
    EXPECT_EQ(tessel_fetch_policy(server_->url("/policy/v").c_str(), 7, file_write, missing.file, req.get()), 0);
    EXPECT_EQ(missing.text(), "not found");
    EXPECT_EQ(server_->requests().back().target, "/policy/v-7");
    // The request is back to discarding afterwards.
    EXPECT_EQ(req->progress_set, 0);
}

TEST_F(TesselClientTest, FetchPolicyRefusesBadInputBeforeAnyTraffic) {
    auto handle = make_handle(*pki_);
    auto req = make_request(handle.get());
    Sink sink;
    const size_t before = server_->request_count();
    EXPECT_EQ(tessel_fetch_policy(nullptr, 1, file_write, sink.file, req.get()), 2);
    EXPECT_EQ(tessel_fetch_policy("https://x/", 1, nullptr, sink.file, req.get()), 2);
    EXPECT_EQ(tessel_fetch_policy("https://x/", 1, file_write, sink.file, nullptr), 2);
    EXPECT_EQ(log_.count("missing parameter"), 3u);
    http_client_request_t orphan{};
    EXPECT_EQ(tessel_fetch_policy("https://x/", 1, file_write, sink.file, &orphan), 2);
    EXPECT_TRUE(log_.contains("http_request has no http_client"));

    // 509 characters, a hyphen and "42" do not fit the 512-byte URL buffer; 508 do.
    std::string base = server_->url("/");
    base.append(509 - base.size(), 'p');
    EXPECT_EQ(tessel_fetch_policy(base.c_str(), 42, file_write, sink.file, req.get()), 6);
    EXPECT_TRUE(log_.contains("unable to format URL (size=512, n=512)")) << log_.dump();
    EXPECT_EQ(server_->request_count(), before);
    base.pop_back();
    EXPECT_EQ(tessel_fetch_policy(base.c_str(), 42, file_write, sink.file, req.get()), 0);
    ASSERT_EQ(server_->request_count(), before + 1);
    EXPECT_EQ(server_->requests().back().target.size(), 511u - server_->url("").size());
}

TEST_F(TesselClientTest, ProxyTestJudgesByStatusAndKeepsTheProxy) {
    auto handle = make_handle(*pki_);
    tessel_proxy_t direct{};
    direct.type = TESSEL_PROXY_NONE;
    EXPECT_EQ(tessel_proxy_test(handle.get(), server_->url("/status/200").c_str(), &direct), 0);
    EXPECT_EQ(tessel_proxy_test(handle.get(), server_->url("/status/204").c_str(), &direct), 7);
    EXPECT_TRUE(log_.contains("request to test url through proxy failed, status 204"));
    const std::string refused = "https://127.0.0.1:" + std::to_string(testbed::free_loopback_port()) + "/";
    EXPECT_EQ(tessel_proxy_test(handle.get(), refused.c_str(), &direct), 7);
    EXPECT_TRUE(log_.contains("request to test url through proxy failed, status 0"));

    testbed::Tinyproxy tinyproxy;
    ASSERT_TRUE(tinyproxy.start(std::nullopt, {server_->port()}));
    tessel_proxy_t http{};
    http.type = TESSEL_PROXY_HTTP;
    snprintf(http.server, sizeof http.server, "127.0.0.1");
    http.port = tinyproxy.port();
    EXPECT_EQ(tessel_proxy_test(handle.get(), server_->url("/status/200").c_str(), &http), 0);
    EXPECT_EQ(handle->proxy.type, TESSEL_PROXY_HTTP);
    EXPECT_EQ(handle->proxy.port, tinyproxy.port());
    EXPECT_NE(tinyproxy.log_text().find("CONNECT 127.0.0.1:" + std::to_string(server_->port())), std::string::npos);

    // An HTTP proxy without server is stored; the send fails inside the client.
    tessel_proxy_t empty{};
    empty.type = TESSEL_PROXY_HTTP;
    EXPECT_EQ(tessel_proxy_test(handle.get(), server_->url("/status/200").c_str(), &empty), 7);
    EXPECT_EQ(handle->proxy.type, TESSEL_PROXY_HTTP);
    EXPECT_EQ(handle->proxy.server[0], '\0');
    EXPECT_TRUE(log_.contains("proxy_server is null"));
}

TEST_F(TesselClientTest, ProxyTestBadInput) {
    tessel_proxy_t direct{};
    direct.type = TESSEL_PROXY_NONE;
    EXPECT_EQ(tessel_proxy_test(nullptr, "https://127.0.0.1/", &direct), 4);
    EXPECT_TRUE(log_.contains("http_client_handle_new() failed"));
    auto handle = make_handle(*pki_);
    tessel_proxy_t invalid{};
    invalid.type = 9;
    EXPECT_EQ(tessel_proxy_test(handle.get(), "https://127.0.0.1/", &invalid), 3);
    EXPECT_EQ(tessel_proxy_test(handle.get(), "https://127.0.0.1/", nullptr), 3);
    EXPECT_EQ(log_.count("failed to set proxy"), 2u);
    EXPECT_EQ(tessel_proxy_test(handle.get(), nullptr, &direct), 3);
    EXPECT_TRUE(log_.contains("no response received"));
}

}  // namespace
