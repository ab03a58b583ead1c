// Registration and cloud lookups through the instance, as a host drives them.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <vector>

#include "CorvaneQueryResponse.h"
#include "corvane_runtime.h"
#include "instance/instance_fixture.h"
#include "platform/utf8.h"
#include "testbed/cloud_queries.h"
#include "testbed/https_server.h"
#include "testbed/proxies.h"

namespace instance_test {
namespace {

// Status bit of a completion that carries a response.
constexpr uint32_t kAnswered = 0x02;

struct Completion {
    std::promise<std::pair<bool, uint32_t>> done;  // (response present, status)
};

int OnLookupDone(CorvaneQuery* query, CorvaneQueryResponse* response, uint32_t status, void* user) {
    auto* completion = static_cast<Completion*>(user);
    completion->done.set_value({response != nullptr, status});
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
    return 0;
}

// One lookup through the instance's cloud wrapper: the wrapper's result, and
// whether the completion carried a response within the bound.
std::pair<int, bool> Lookup(ITesselInstance* instance, long n) {
    CorvaneQuery_t* query = testbed::file_lookup(n);
    auto completion = std::make_unique<Completion>();
    auto future = completion->done.get_future();
    int queued = instance->GetCloudWrapper()->QueryAsync(query, OnLookupDone, completion.get());
    if (queued < 0) {
        ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
        return {queued, false};
    }
    if (future.wait_for(30s) != std::future_status::ready) {
        completion.release();  // the completion may still come: leak rather than free under it
        return {queued, false};
    }
    auto [answered, status] = future.get();
    return {queued, answered && (status & kAnswered)};
}

class RegistrationTest : public InstanceTest {
protected:
    // The status reads complete once the completion has stored the
    // connector; the cloud connection is reported right after, so a host
    // that also wants the cloud verdict waits for both.
    static bool Registered(ITesselInstance* instance) {
        return eventually([&] { return instance->IsRegistrationComplete() && instance->IsCloudConnected(); }, 60s);
    }
};

TEST_F(RegistrationTest, LookupsNeedARegistrationAndAreAnsweredAfterIt) {
    ConfigureAgent();
    StartServers();
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);

    // Before registration: refused at once, nothing reaches the server.
    EXPECT_EQ(Lookup(instance, 1).first, -1);
    EXPECT_TRUE(log_.containsError("CloudHandle::CloudHandle: client connector not available"));
    instance->RestartPeriodicFast();
    EXPECT_FALSE(instance->IsRegistrationComplete());

    instance->PerformTesselRegistration();
    ASSERT_TRUE(Registered(instance));
    const std::string guid = Persistent("config/agent/uuid", "guid");
    const std::string key = Persistent("config/agent/client_keypair", "client_keypair");
    EXPECT_EQ(guid.size(), 36u);
    EXPECT_NE(key.find("PRIVATE KEY"), std::string::npos);
    EXPECT_NE(Persistent("config/agent/client_cert", "client_cert").find("BEGIN CERTIFICATE"), std::string::npos);
    EXPECT_EQ(store_->GetInt("config/agent/agent_registered"), 1);
    EXPECT_TRUE(instance->IsCloudConnected());

    for (long n = 1; n <= 3; ++n) {
        auto [queued, answered] = Lookup(instance, n);
        EXPECT_EQ(queued, 1) << n;
        EXPECT_TRUE(answered) << n;
    }
    instance->RestartPeriodicFast();

    // A second start while registered stops the run, starts over and completes
    // again with the same identity.
    const int enrolments = est_.stats().enroll_requests;
    instance->PerformTesselRegistration();
    ASSERT_TRUE(Registered(instance));
    EXPECT_TRUE(eventually([&] { return Lookup(instance, 4).second; }, 60s))
        << "the cloud verdict stays connected across the restart: lookups resume once the new run completes";
    EXPECT_EQ(est_.stats().enroll_requests, enrolments) << "the stored certificate serves the new run";

    // A new start of the program on the same store keeps GUID and key.
    Stop();
    instance = Start();
    ASSERT_NE(instance, nullptr);
    instance->PerformTesselRegistration();
    ASSERT_TRUE(Registered(instance));
    EXPECT_EQ(Persistent("config/agent/uuid", "guid"), guid);
    EXPECT_EQ(Persistent("config/agent/client_keypair", "client_keypair"), key);
    EXPECT_TRUE(Lookup(instance, 5).second);
}

TEST_F(RegistrationTest, DeinitDuringRegistrationAndDiscoveryReturnsPromptly) {
    // The enrolment server is not there: the run fails, starts proxy discovery
    // and waits to retry.
    ConfigureAgent();
    ASSERT_TRUE(store_->SetString("config/vesta/endpoint/est", "127.0.0.1", true));
    ASSERT_TRUE(store_->SetInt("config/agent/cloud/asn1_port", 1, true));
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);
    instance->PerformTesselRegistration();
    ASSERT_TRUE(log_.waitFor("starting proxy discovery", 30s));
    instance->StartProxyDiscovery();
    lib_.Release(instance);
    instance_ = nullptr;
    EXPECT_TRUE(returnsWithin([this] { lib_.Deinit(); }, 20s));
    EXPECT_EQ(lib_.Create(), nullptr);
}

TEST_F(RegistrationTest, DeinitWithLookupsInFlightFailsThemOnce) {
    ConfigureAgent();
    StartServers();
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);
    instance->PerformTesselRegistration();
    ASSERT_TRUE(Registered(instance));

    // The server stops reading: lookups stay outstanding until the instance goes.
    cloud_.pause_reading(10s);
    std::vector<std::unique_ptr<Completion>> completions;
    for (long n = 0; n < 8; ++n) {
        completions.push_back(std::make_unique<Completion>());
        ASSERT_EQ(instance->GetCloudWrapper()->QueryAsync(testbed::file_lookup(n), OnLookupDone, completions.back().get()), 1);
    }
    lib_.Release(instance);
    instance_ = nullptr;
    ASSERT_TRUE(returnsWithin([this] { lib_.Deinit(); }, 30s));
    for (auto& completion : completions) {
        auto future = completion->done.get_future();
        ASSERT_EQ(future.wait_for(0s), std::future_status::ready) << "every lookup ends before the instance is gone";
    }
}

// Policy notices that reached the host with a file (called on a cloud worker).
std::atomic<int> g_policyFiles{0};

void CountPolicyFile(const wchar_t* path, int32_t, int32_t, int32_t) {
    if (path && *path)
        ++g_policyFiles;
}

TEST_F(RegistrationTest, DeinitDuringAPolicyDownloadAbortsItAndLeavesOnlyTheOldFile) {
    // The policy server holds the download: only an abort ends it before the
    // download's own 15 s bound, which the bound on Deinit stays below.
    constexpr uint32_t kSerial = 0x20000000u | 8;
    testbed::HttpsServer policyServer;
    policyServer.on("/pol-" + std::to_string(kSerial), [](const testbed::HttpRequest&, testbed::HttpExchange& ex) {
        if (ex.stall(60s))
            ex.respond(200, "<policy/>");
    });
    testbed::TlsServerOptions options;
    options.identity = &pki().server();
    ASSERT_TRUE(policyServer.start(options));

    ConfigureAgent();
    StartServers(5);
    testbed::PingAnswers answers;
    answers.serial_number = kSerial;
    cloud_.set_ping_answers(answers);
    namespace fs = std::filesystem;
    const fs::path tmp = fs::path(dir_.path()) / "tmp";
    ASSERT_TRUE(fs::create_directory(tmp));
    std::ofstream(tmp / "previous.xml") << "<policy serial=\"7\"/>";
    ASSERT_TRUE(store_->SetSecureString("config/vesta/endpoint/policy/policy", policyServer.url("/pol").c_str()));
    ASSERT_TRUE(store_->CreateStringW("config/agent/directory/base", platform::Utf8ToWide(dir_.path()).c_str()));
    ASSERT_TRUE(store_->CreateInt("config/vesta/policy_enabled", 1));
    ASSERT_TRUE(store_->CreateInt("config/vesta/policy/serial_number", 7));
    ASSERT_TRUE(store_->CreateInt("config/agent/hb/interval", 1));

    g_policyFiles = 0;
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);
    instance->SetPolicyCallback(CountPolicyFile, 0);
    instance->PerformTesselRegistration();
    ASSERT_TRUE(policyServer.wait_for_stalls_begun(1, 90s)) << "the first ping's notice starts the download";

    lib_.Release(instance);
    instance_ = nullptr;
    EXPECT_TRUE(returnsWithin([this] { lib_.Deinit(); }, 12s));
    EXPECT_TRUE(log_.containsError("TesselRegistrationHandler::PolicyCallback: Failed to download Policy " +
                                   std::to_string(kSerial)));
    EXPECT_EQ(g_policyFiles, 0);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(tmp))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"previous.xml"}) << "the staged download is removed";
    policyServer.stop();
}

TEST_F(RegistrationTest, UpdateConfigurationMovesTheRunningRegistrationToANewManagementServer) {
    // The management server configured first does not answer: the run enrols,
    // fails the management step and waits to retry.
    ConfigureAgent();
    StartServers();
    const std::string closed = "https://127.0.0.1:" + std::to_string(testbed::free_loopback_port()) + "/mgmt";
    ASSERT_TRUE(store_->SetString("config/vesta/endpoint/mgmt", closed.c_str(), true));
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);
    instance->PerformTesselRegistration();
    ASSERT_TRUE(log_.waitFor("Current Registration state is tessel_vesta_registration_failed", 60s));

    // The same run picks the new host up: no restart, no new enrolment.
    ASSERT_TRUE(store_->SetString("config/vesta/endpoint/mgmt", management_.base_url().c_str(), true));
    instance->UpdateConfiguration();
    ASSERT_TRUE(Registered(instance));
    EXPECT_GE(management_.post_count(), 1u);
    EXPECT_EQ(log_.count("TesselRegistrationHandler::PerformTesselRegistration: Enter"), 1u);
    EXPECT_EQ(est_.stats().enroll_requests, 1);

    // Nothing changed: the cloud connection is kept and nothing is sent again.
    const int handshakes = cloud_.stats().handshakes;
    const size_t posts = management_.post_count();
    instance->UpdateConfiguration();
    EXPECT_TRUE(Lookup(instance, 1).second);
    EXPECT_EQ(cloud_.stats().handshakes, handshakes);
    EXPECT_EQ(management_.post_count(), posts);
    EXPECT_EQ(log_.count("TesselRegistrationHandler::PerformTesselRegistration: Enter"), 1u);
    EXPECT_TRUE(instance->IsRegistrationComplete());
}

// Server-message handlers the host adds: each answers with its own code.
uint16_t AnswerTwo(cv_cloud_handle*, const uint8_t*, const uint8_t*, uint32_t, const uint8_t*, size_t, void*) {
    return 0x0202;
}
uint16_t AnswerFiveFirst(cv_cloud_handle*, const uint8_t*, const uint8_t*, uint32_t, const uint8_t*, size_t, void*) {
    return 0x0501;
}
uint16_t AnswerFive(cv_cloud_handle*, const uint8_t*, const uint8_t*, uint32_t, const uint8_t*, size_t, void*) {
    return 0x0505;
}
uint16_t AnswerSeven(cv_cloud_handle*, const uint8_t*, const uint8_t*, uint32_t, const uint8_t*, size_t, void*) {
    return 0x0707;
}

TEST_F(RegistrationTest, ServerMessagesReachTheHandlersTheHostAdded) {
    ConfigureAgent();
    StartServers();
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);
    // Added out of order; a second handler for 5 replaces the first, a null one is ignored.
    instance->AddRcmsHandler(7, AnswerSeven);
    instance->AddRcmsHandler(2, AnswerTwo);
    instance->AddRcmsHandler(5, AnswerFiveFirst);
    instance->AddRcmsHandler(5, AnswerFive);
    instance->AddRcmsHandler(9, nullptr);
    instance->PerformTesselRegistration();
    ASSERT_TRUE(Registered(instance));

    // The table reaches the kit in ascending type order, one entry per type.
    std::vector<std::string> added;
    for (const std::string& line : log_.lines())
        if (line.find("PopulateRegistrationCallbacks: Adding RCMS handler for type") != std::string::npos)
            added.push_back(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(added, (std::vector<std::string>{"2", "5", "7"}));

    const long types[] = {2, 5, 7, 9};
    for (uint8_t n = 0; n < 4; ++n) {
        testbed::Deliver message;
        message.id[0] = static_cast<uint8_t>(0xA0 + n);
        message.type = types[n];
        message.data = {n};
        ASSERT_EQ(cloud_.deliver(message), 1);
    }
    ASSERT_TRUE(cloud_.wait_until([&] { return cloud_.acks().size() >= 4; }, 30s));
    std::map<long, long> codes;  // type -> acknowledgement code
    for (const testbed::ReceivedAck& ack : cloud_.acks())
        codes[types[ack.id[0] - 0xA0]] = ack.return_code;
    EXPECT_EQ(codes, (std::map<long, long>{{2, 0x0202}, {5, 0x0505}, {7, 0x0707}, {9, 0xDEAF}}));
}

}  // namespace
}  // namespace instance_test
