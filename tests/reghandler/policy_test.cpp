// The policy decision and download against the testbed's HTTPS server over a
// real store, and proxy discovery started by a drop of the cloud connection.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"
#include "platform/utf8.h"
#include "reghandler/reghandler_fixture.h"
#include "testbed/https_server.h"

namespace fs = std::filesystem;

namespace reghandler_test {
namespace {

constexpr uint32_t kPolicyBits = 0x20000000u;  // the "policy" endpoint

struct PolicyCall {
    std::wstring path;
    int32_t serial;
    int32_t status;
    int32_t user;
};

std::vector<PolicyCall> g_calls;  // written on the calling thread only

void RecordPolicy(const wchar_t* path, int32_t serial, int32_t status, int32_t userValue) {
    g_calls.push_back({path ? path : L"(null)", serial, status, userValue});
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class PolicyTest : public HandlerFixture {
protected:
    void SetUp() override {
        HandlerFixture::SetUp();
        g_calls.clear();
        server_.on("/pol-" + std::to_string(kPolicyBits | 8), [this](const testbed::HttpRequest&, testbed::HttpExchange& ex) {
            if (cutNext_.exchange(false))
                ex.respond_cut(200, "<pol", 400);
            else
                ex.respond(200, "<policy serial=\"8\"/>");
        });
        testbed::TlsServerOptions options;
        options.identity = &pki().server();
        options.client_ca = pki().ca().cert();
        ASSERT_TRUE(server_.start(options));
        ASSERT_TRUE(store_->SetSecureString("config/vesta/endpoint/policy/policy", server_.url("/pol").c_str()));
        ASSERT_TRUE(store_->CreateStringW("config/agent/directory/base", platform::Utf8ToWide(dir_.path()).c_str()));
        ASSERT_TRUE(store_->CreateInt("config/vesta/policy_enabled", 1));
        ASSERT_TRUE(store_->CreateInt("config/vesta/policy/serial_number", 7));
        stack_->handler->SetPolicyCallback(RecordPolicy, 31);
    }
    void TearDown() override {
        HandlerFixture::TearDown();
        server_.stop();
    }

    int Notice(uint32_t serial, long disposition = 5) {
        CorvaneQuery_t query{};
        CorvaneQueryResponse_t response{};
        response.header.disposition = disposition;
        response.data.present = CorvaneQueryResponseData_PR_pingRetroResponse;
        response.data.choice.pingRetroResponse.serialNumber = static_cast<int32_t>(serial);
        return stack_->handler->PolicyCallback(&query, &response);
    }
    std::vector<std::string> TmpEntries() {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(fs::path(dir_.path()) / "tmp", ec))
            names.push_back(e.path().filename().string());
        return names;
    }

    testbed::HttpsServer server_;
    std::atomic<bool> cutNext_{false};
};

TEST_F(PolicyTest, ANewSerialDownloadsOnceAnEqualOneSkipsAFailureRetriesOnTheNextNotice) {
    // Equal low 28 bits: no download, the host hears of the current policy.
    EXPECT_EQ(Notice(kPolicyBits | 7), 0);
    EXPECT_EQ(server_.request_count(), 0u);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].path, L"");
    EXPECT_EQ(g_calls[0].serial, static_cast<int32_t>(kPolicyBits | 7));
    EXPECT_EQ(g_calls[0].status, 5);
    EXPECT_EQ(g_calls[0].user, 31);
    EXPECT_TRUE(stack_->connection.IsCloudConnected());

    // A transfer cut short: -1, the host is not called, nothing is left behind.
    cutNext_ = true;
    EXPECT_EQ(Notice(kPolicyBits | 8), -1);
    EXPECT_EQ(server_.request_count(), 1u);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_TRUE(TmpEntries().empty());
    EXPECT_TRUE(log_.containsError("TesselRegistrationHandler::PolicyCallback: Failed to download Policy " +
                                   std::to_string(kPolicyBits | 8)));

    // The next notice with the same serial downloads again, once.
    EXPECT_EQ(Notice(kPolicyBits | 8), 0);
    EXPECT_EQ(server_.request_count(), 2u);
    ASSERT_EQ(g_calls.size(), 2u);
    const fs::path path = platform::WideToUtf8(g_calls[1].path);
    EXPECT_EQ(path.parent_path(), fs::path(dir_.path()) / "tmp");
    EXPECT_EQ(path.extension(), ".xml");
    EXPECT_EQ(ReadFile(path), "<policy serial=\"8\"/>");
    EXPECT_EQ(TmpEntries(), std::vector<std::string>{path.filename().string()});
    EXPECT_EQ(g_calls[1].serial, static_cast<int32_t>(kPolicyBits | 8));

    // The deployed policy id, with every low bit set, also means current.
    ASSERT_TRUE(store_->CreateInt("config/vesta/policy_id", static_cast<int32_t>(kPolicyBits | 0x0FFFFFFF)));
    EXPECT_EQ(Notice(kPolicyBits | 9), 0);
    EXPECT_EQ(server_.request_count(), 2u);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[2].path, L"");
}

TEST_F(PolicyTest, DisabledInvalidAndFailedNoticesDownloadNothing) {
    // A failed query reaches the host with status 4; another disposition with itself.
    CorvaneQuery_t query{};
    EXPECT_EQ(stack_->handler->PolicyCallback(&query, nullptr), 0);
    EXPECT_EQ(Notice(kPolicyBits | 8, 2), 0);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].status, 4);
    EXPECT_EQ(g_calls[1].status, 2);
    EXPECT_EQ(g_calls[1].serial, 0);
    EXPECT_FALSE(stack_->connection.IsCloudConnected());

    // Serial 0 is refused; a disabled policy is neither fetched nor reported.
    EXPECT_EQ(Notice(0), -1);
    EXPECT_TRUE(log_.containsError("TesselRegistrationHandler::PolicyCallback: Invalid Policy serial number"));
    ASSERT_TRUE(store_->SetInt("config/vesta/policy_enabled", 0));
    EXPECT_EQ(Notice(kPolicyBits | 8), 0);
    EXPECT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(server_.request_count(), 0u);
    EXPECT_TRUE(stack_->connection.IsCloudConnected());

    // Without a host callback nothing is decided.
    stack_->handler->SetPolicyCallback(nullptr, 0);
    EXPECT_EQ(Notice(kPolicyBits | 8), -1);
    EXPECT_TRUE(log_.containsError("No policy registration callback registered"));
}

TEST_F(PolicyTest, ADropOfTheCloudConnectionOrAnUnreachableServerStartsProxyDiscovery) {
    stack_->connection.ReportCloudConnectionSuccessful();
    EXPECT_EQ(discovered_.Count(), 0);
    stack_->connection.ReportCloudConnectionFailure(true);
    ASSERT_TRUE(discovered_.WaitFor(1, 30s));
    EXPECT_TRUE(log_.containsTrace("TesselRegistrationHandler::ConnectionStateChanged: Starting Proxy Discovery"));

    // The server's host name did not resolve: discovery again, whatever the status.
    // A start is ignored while a discovery runs.
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (stack_->proxies.GetProxyDiscovery()->IsRunning() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    tessel_status_update_info info{6, tessel_certificate_acquisition_succeeded};
    stack_->handler->RegistrationStatusUpdateCallback(&info);
    ASSERT_TRUE(discovered_.WaitFor(2, 30s));
    EXPECT_EQ(stack_->entity.IsRegistrationComplete(), false);
    EXPECT_TRUE(log_.containsError("starting proxy discovery"));
}

}  // namespace
}  // namespace reghandler_test
