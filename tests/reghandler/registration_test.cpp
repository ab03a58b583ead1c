// A whole registration through the handler against the testbed's EST,
// management and cloud servers, over a real store: what is persisted, what a
// second start keeps, the statistics each ping carries, and a certificate save
// the store refuses.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "CorvaneQuery.h"
#include "kit/tessel_client/tessel_client_connector.h"
#include "kit/util/guid_text.h"
#include "registration/crypto_pem.h"
#include "reghandler/reghandler_fixture.h"

namespace reghandler_test {
namespace {

constexpr auto kRegistrationBound = 90s;

// Three engines; the second has no update times.
void AvStats(int32_t* major, int32_t* minor, int32_t* build, void** engines, int32_t* count, int32_t userValue) {
    *major = 8;
    *minor = 4;
    *build = userValue;
    auto* stats = static_cast<TesselAvEngineStats*>(calloc(3, sizeof(TesselAvEngineStats)));
    for (int i = 0; i < 3; ++i) {
        stats[i].engineId = 10 + i;
        snprintf(stats[i].definitionsVersion, sizeof stats[i].definitionsVersion, "defs-%d", i);
        stats[i].lastUpdateFailureCode = -i;
        if (i != 1) {
            stats[i].firstUpdateFailureTime = 1700000000;
            stats[i].lastUpdateSuccessTime = 1700003600;
        }
    }
    *engines = stats;
    *count = 3;
}

std::string GuidText(const testbed::Bytes& bytes) {
    if (bytes.size() != 16) return {};
    char text[GUID_TEXT_SIZE];
    guid_to_text(bytes.data(), text, false);
    return text;
}

testbed::X509Ptr ParseCert(const std::string& pem) {
    X509* cert = nullptr;
    if (crypto_pem_to_x509(pem.data(), pem.size(), &cert) != 0) return testbed::X509Ptr();
    return testbed::X509Ptr(cert);
}

bool CertMatchesKey(const std::string& certPem, const std::string& keyPem) {
    testbed::X509Ptr cert = ParseCert(certPem);
    BIO* bio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    bool match = cert && key && X509_check_private_key(cert.get(), key) == 1;
    EVP_PKEY_free(key);
    return match;
}

class RegistrationTest : public HandlerFixture {
protected:
    // The pingRetro queries the cloud server received, decoded.
    std::vector<testbed::QueryPtr> Pings() {
        std::vector<testbed::QueryPtr> pings;
        for (const auto& q : servers_.cloud->queries())
            if (q.type == CorvaneQueryData_PR_pingRetro) pings.push_back(testbed::decode_query(q.der));
        return pings;
    }
};

TEST_F(RegistrationTest, RegistersFromAnEmptyStoreAndKeepsTheIdentityOnTheNextStart) {
    StartRegistrationServers();
    ASSERT_TRUE(store_->CreateInt("config/agent/hb/interval", 1));
    stack_->handler->SetAvStatsCallback(AvStats, 4242);
    stack_->handler->PerformTesselRegistration();
    ASSERT_TRUE(stack_->WaitRegistered(kRegistrationBound));

    const std::string guid = stack_->Persistent("config/agent/uuid", "guid");
    uint8_t bytes[16];
    ASSERT_EQ(guid_parse(guid.c_str(), guid.size(), bytes), 0) << guid;
    const std::string key = stack_->Persistent("config/agent/client_keypair", "client_keypair");
    const std::string cert = stack_->Persistent("config/agent/client_cert", "client_cert");
    EXPECT_TRUE(CertMatchesKey(cert, key));
    EXPECT_EQ(store_->GetInt("config/agent/agent_registered"), 1);
    EXPECT_EQ(store_->GetInt("config/agent/agent_disabled"), 0);
    EXPECT_NE(stack_->entity.GetClientConnector(), nullptr);
    EXPECT_NE(stack_->entity.GetCloudReference(), nullptr);
    // The connection manager hears of the success right after "complete".
    for (int i = 0; i < 200 && !stack_->connection.IsCloudConnected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(stack_->connection.IsCloudConnected());
    EXPECT_EQ(log_.count("TesselRegistrationHandler::NewGuidRequestedCallback: New Guid Requested"), 1u);
    // A completion the live handle delivers drops a legacy key pair left behind.
    ASSERT_TRUE(stack_->persistent.WriteString("config/agent/client_prvkey", "legacy_keypair", "legacy"));
    tessel_registration_run_state again{tessel_cloud_connection_succeeded, stack_->entity.GetClientConnector()};
    stack_->handler->RegistrationCompletedCallback(&again);
    EXPECT_FALSE(stack_->persistent.Exists("config/agent/client_prvkey", "legacy_keypair"));
    EXPECT_NE(stack_->entity.GetCloudReference(), nullptr);
    EXPECT_TRUE(log_.containsTrace("Current Registration state is tessel_certificate_acquisition_succeeded"));
    EXPECT_GE(servers_.management->post_count(), 1u);

    // Every query names the agent by the GUID that was stored.
    ASSERT_TRUE(servers_.cloud->wait_until([&] { return !Pings().empty(); }, 30s));
    for (const auto& q : servers_.cloud->queries()) EXPECT_EQ(GuidText(q.quuid), guid);

    // The ping carries the host's version and its three engines.
    testbed::QueryPtr ping = std::move(Pings().front());
    const CorvanePingRetro_t& retro = ping->data.choice.pingRetro;
    EXPECT_EQ(retro.product, 1);
    EXPECT_EQ(retro.versionMajor, 8);
    EXPECT_EQ(retro.versionMinor, 4);
    EXPECT_EQ(retro.versionBuild, 4242);
    EXPECT_LE(retro.retrospectiveNonce, 0xFFFF);
    ASSERT_NE(retro.status, nullptr);
    ASSERT_EQ(retro.status->engine.list.count, 3);
    for (int i = 0; i < 3; ++i) {
        const CorvaneAgentEngineStatus_t* engine = retro.status->engine.list.array[i];
        EXPECT_EQ(engine->id, 10 + i);
        EXPECT_EQ(engine->lastUpdateFailureCode, -i);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(engine->defVersion.buf), engine->defVersion.size),
                  "defs-" + std::to_string(i));
        EXPECT_EQ(engine->firstUpdateFailureAt != nullptr, i != 1);
        EXPECT_EQ(engine->lastUpdateSuccessAt != nullptr, i != 1);
    }

    // A second start of the program on the same store keeps GUID and key.
    stack_->DestroyHandler();
    stack_->entity.SetStatus(0);
    log_.clear();
    stack_->MakeHandler();
    stack_->handler->PerformTesselRegistration();
    ASSERT_TRUE(stack_->WaitRegistered(kRegistrationBound));
    EXPECT_EQ(stack_->Persistent("config/agent/uuid", "guid"), guid);
    EXPECT_EQ(stack_->Persistent("config/agent/client_keypair", "client_keypair"), key);
    EXPECT_TRUE(CertMatchesKey(stack_->Persistent("config/agent/client_cert", "client_cert"), key));
    EXPECT_FALSE(log_.contains("New Guid Requested"));

    // A restart stops the running registration, frees its handle and registers again.
    log_.clear();
    stack_->handler->PerformTesselRegistration();
    EXPECT_TRUE(log_.containsTrace("TesselRegistrationHandler::RegistrationStop: Exit"));
    ASSERT_TRUE(stack_->WaitRegistered(kRegistrationBound));
    EXPECT_EQ(stack_->Persistent("config/agent/uuid", "guid"), guid);
}

TEST_F(RegistrationTest, ACertificateTheStoreRefusesLeavesTheOldOneInPlace) {
    testbed::CertSpec spec;
    spec.common_name = "dtk old agent";
    const testbed::Credential oldCert = pki().issue(spec, "old-agent");
    spec.common_name = "dtk new agent";
    const testbed::Credential newCert = pki().issue(spec, "new-agent");
    ASSERT_TRUE(stack_->persistent.WriteString("config/agent/client_cert", "client_cert", oldCert.cert_pem.c_str()));

    // A second connection to the same file makes SQLite refuse every write.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.file("config.db").c_str(), &db), SQLITE_OK);
    const char* refuse = "CREATE TRIGGER refuse_insert BEFORE INSERT ON entries BEGIN SELECT RAISE(ABORT, 'refused'); END;"
                         "CREATE TRIGGER refuse_update BEFORE UPDATE ON entries BEGIN SELECT RAISE(ABORT, 'refused'); END;";
    ASSERT_EQ(sqlite3_exec(db, refuse, nullptr, nullptr, nullptr), SQLITE_OK);

    stack_->handler->NewClientCertAquiredCallback(newCert.x509());
    EXPECT_TRUE(log_.containsError("TesselRegistrationHandler::NewClientCertAquiredCallback: Failed to write certificate"));
    testbed::X509Ptr kept = ParseCert(stack_->Persistent("config/agent/client_cert", "client_cert"));
    ASSERT_TRUE(kept);
    EXPECT_EQ(X509_cmp(kept.get(), oldCert.x509()), 0);

    ASSERT_EQ(sqlite3_exec(db, "DROP TRIGGER refuse_insert; DROP TRIGGER refuse_update;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    log_.clear();
    stack_->handler->NewClientCertAquiredCallback(newCert.x509());
    EXPECT_FALSE(log_.contains("Failed to write certificate"));
    testbed::X509Ptr saved = ParseCert(stack_->Persistent("config/agent/client_cert", "client_cert"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(X509_cmp(saved.get(), newCert.x509()), 0);
}

}  // namespace
}  // namespace reghandler_test

namespace reghandler_test {
namespace {

TEST_F(RegistrationTest, ARefusalDisablesTheAgentADiscardedCompletionRecordsNothingAndManagementDataIsSentOnlyWhenItChanged) {
    // Refused by the server: the agent is disabled and the connection forbidden for good.
    ASSERT_TRUE(stack_->persistent.WriteString("config/agent/client_prvkey", "legacy_keypair", "legacy"));
    tessel_registration_run_state forbidden{tessel_certificate_acquisition_failed_forbidden, nullptr};
    stack_->handler->RegistrationCompletedCallback(&forbidden);
    EXPECT_EQ(store_->GetInt("config/agent/agent_disabled"), 1);
    stack_->connection.ReportCloudConnectionSuccessful();
    EXPECT_FALSE(stack_->connection.IsCloudConnected());

    // The status report of 10 does not make the registration read complete:
    // the completion does, after it stored the connector.
    tessel_status_update_info reported{0, tessel_cloud_connection_succeeded};
    stack_->handler->RegistrationStatusUpdateCallback(&reported);
    EXPECT_FALSE(stack_->entity.IsRegistrationComplete());

    // A completion while no handle of this handler is live (as while one is
    // being released) is discarded whole: the connector is not taken, the
    // status not published, nothing recorded as registered and no success
    // reported, so nothing outlives the free of the handle that owns it.
    client_connector* connector = nullptr;
    ASSERT_EQ(tessel_client_connector_new(&connector), 0);
    log_.clear();
    tessel_registration_run_state complete{tessel_cloud_connection_succeeded, connector};
    stack_->handler->RegistrationCompletedCallback(&complete);
    EXPECT_EQ(store_->GetInt("config/agent/agent_registered"), -1);  // never written
    EXPECT_EQ(store_->GetInt("config/agent/agent_disabled"), 1);
    EXPECT_TRUE(stack_->persistent.Exists("config/agent/client_prvkey", "legacy_keypair"));
    EXPECT_FALSE(log_.containsTrace("TesselCloudConnectionMgr::ReportCloudConnectionSuccessful: Enter"));
    EXPECT_EQ(stack_->entity.GetClientConnector(), nullptr);
    EXPECT_EQ(stack_->entity.GetCloudReference(), nullptr);
    EXPECT_FALSE(stack_->entity.IsRegistrationComplete());
    tessel_client_connector_free(connector);

    // The first request after start registers with its reasons; an unchanged one skips.
    vesta_registration_info fields{};
    vesta_host_info host{};
    ASSERT_EQ(stack_->handler->VestaRegistrationInfoCallback(&fields, &host), 0);
    EXPECT_EQ(fields.count, 14u);
    EXPECT_STREQ(fields.entries[0].key, "os[architecture]");
    EXPECT_STREQ(fields.entries[11].key, "os[oriid]");
    EXPECT_STREQ(fields.entries[13].key, "rrr");
    EXPECT_NE(std::string(fields.entries[13].value).find("/hwid"), std::string::npos);
    EXPECT_EQ(std::string(host.hostname), stack_->external.GetHostName(store_.get()));
    EXPECT_LE(host.nic_count, 3u);
    stack_->handler->VestaRegistrationPostedCallback();  // the post succeeded
    vesta_registration_info again{};
    vesta_host_info hostAgain{};
    EXPECT_EQ(stack_->handler->VestaRegistrationInfoCallback(&again, &hostAgain), 1);
    EXPECT_TRUE(log_.containsTrace("TesselRegistrationHandler::VestaRegistrationInfoCallback: Skipping registration"));
    EXPECT_EQ(again.count, 14u);
    EXPECT_STREQ(again.entries[13].key, "");
    EXPECT_STREQ(hostAgain.hostname, host.hostname);
}

TEST_F(RegistrationTest, HostDataIsRecordedAsRegisteredOnlyAfterItsPostSucceeded) {
    // A post that carried the change failed (no word of success): the next
    // request sends the change again.
    vesta_registration_info fields{};
    vesta_host_info host{};
    ASSERT_EQ(stack_->handler->VestaRegistrationInfoCallback(&fields, &host), 0);
    vesta_registration_info retry{};
    vesta_host_info hostRetry{};
    ASSERT_EQ(stack_->handler->VestaRegistrationInfoCallback(&retry, &hostRetry), 0);
    EXPECT_STREQ(retry.entries[13].key, "rrr");
    EXPECT_STREQ(retry.entries[13].value, fields.entries[13].value);

    // Once it succeeded, the same data is unchanged.
    stack_->handler->VestaRegistrationPostedCallback();
    vesta_registration_info after{};
    vesta_host_info hostAfter{};
    EXPECT_EQ(stack_->handler->VestaRegistrationInfoCallback(&after, &hostAfter), 1);
    EXPECT_STREQ(after.entries[13].key, "");
}

// The host's data with five adapters in place of the machine's own, which has
// fewer: names, addresses and order are what the management server must see.
class FiveAdapters : public VestaRegistrationDataHandler {
public:
    using VestaRegistrationDataHandler::VestaRegistrationDataHandler;
    bool QueryVestaRegistrationData(VestaRegistrationData* data) override {
        const bool read = VestaRegistrationDataHandler::QueryVestaRegistrationData(data);
        data->adapters.clear();
        for (uint32_t index : {14u, 3u, 9u, 21u, 5u}) {
            NetworkAdapterInfo& adapter = data->adapters[index];
            adapter.adapterName = L"{if-" + std::to_wstring(index) + L"}";
            adapter.friendlyName = L"net" + std::to_wstring(index);
            adapter.ipv4Address = L"10.0.0." + std::to_wstring(index);
            adapter.macAddress = L"02:00:00:00:00:" + std::to_wstring(index + 10);
            adapter.interfaceIndex = index;
            adapter.up = 1;
        }
        return read;
    }
};

TEST_F(RegistrationTest, FiveAdaptersSendTheFirstThreeByIndexAndTraceTheOthers) {
    StartRegistrationServers();
    FiveAdapters five(&stack_->external);
    stack_->DestroyHandler();
    stack_->handler = std::make_unique<TesselRegistrationHandler>(
        store_.get(), &stack_->persistent, &stack_->entity, &stack_->connection, &stack_->http, &stack_->external,
        &stack_->proxyHelper, stack_->proxies.GetProxyDiscovery(), &five);
    stack_->handler->PerformTesselRegistration();
    const bool registered = stack_->WaitRegistered(kRegistrationBound);
    stack_->DestroyHandler();  // before `five` goes
    ASSERT_TRUE(registered);

    const auto posts = servers_.management->posts();
    ASSERT_FALSE(posts.empty());
    // Indexes 3, 5 and 9, in that order, as the body's bytes; 14 and 21 are left out.
    std::string nics;
    int n = 0;
    for (int index : {3, 5, 9}) {
        const std::string key = "&nics%5B" + std::to_string(n++) + "%5D%5B";
        const std::string i = std::to_string(index);
        nics += key + "friendly_name%5D=net" + i + key + "ip%5D=10.0.0." + i + key + "ipv6%5D=" + key +
                "mac%5D=02%3A00%3A00%3A00%3A00%3A" + std::to_string(index + 10);
    }
    const std::string& body = posts.front().body;
    EXPECT_NE(body.find(nics), std::string::npos) << body;
    EXPECT_EQ(body.find("nics%5B3%5D"), std::string::npos) << body;
    EXPECT_EQ(body.find("net14"), std::string::npos);
    EXPECT_EQ(log_.count("TesselRegistrationHandler::VestaRegistrationInfoCallback: Skipping nic"), 2u);
    EXPECT_TRUE(log_.containsTrace("TesselRegistrationHandler::VestaRegistrationInfoCallback: Skipping nic net14"));
    EXPECT_TRUE(log_.containsTrace("TesselRegistrationHandler::VestaRegistrationInfoCallback: Skipping nic net21"));
}

}  // namespace
}  // namespace reghandler_test
