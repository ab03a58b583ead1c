// Shared set-up of the registration handler suites: a real store in a private
// directory, the handler with the library's real components around it
// (entity, connection manager, host information, proxy helper and discovery,
// HTTP facade), and the testbed's EST, management and cloud servers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "config_store.h"
#include "frame/TesselCloudConnectionMgr.h"
#include "frame/TesselRegistrationEntity.h"
#include "hostkit/temp_dir.h"
#include "http/TesselHttp.h"
#include "persistent_config.h"
#include "proxy/ProxyContainer.h"
#include "proxy/TesselProxyHelper.h"
#include "registration/TesselExternal.h"
#include "registration/TesselRegistrationHandler.h"
#include "registration/VestaRegistrationDataHandler.h"
#include "support/log_capture.h"
#include "testbed/cloud_server.h"
#include "testbed/est_server.h"
#include "testbed/management_server.h"
#include "testbed/pki.h"

namespace reghandler_test {

using namespace std::chrono_literals;

// Registration secrets of the tests: none may reach a log line.
inline const char kActcodeText[] = "c0dec0de-1234-4567-89ab-cdef01234567";

testbed::Pki& pki();

// The agent's TLS identity for the HTTP facade: the test client certificate,
// the test CA as trust root.
class TestIdentity : public IHttpIdentitySource {
public:
    bool PopulateAgentIdentity(HttpAgentIdentity* identity) override;
};

// Counts the notifications of proxy discovery.
class DiscoveryCounter : public IProxyConsumer {
public:
    void ProxiesDiscovered(const ProxyInfoList& proxies) override;
    // Waits (bounded) until at least `n` notifications arrived.
    bool WaitFor(int n, std::chrono::milliseconds timeout);
    int Count();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
};

class HandlerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The identity, hosts and trust of a registration against the servers
    // (started here), with an empty agent GUID, key pair and certificate.
    void StoreRegistrationConfig();
    // A handler over the fixture's components (replacing any previous one).
    void MakeHandler();
    void DestroyHandler();
    std::string Persistent(const char* key, const char* name);

    LogCapture log_;
    TempDir dir_;
    std::unique_ptr<hostkit::ConfigStore> store_;
    std::unique_ptr<hostkit::PersistentConfig> persistent_;
    TesselRegistrationEntity entity_;
    std::unique_ptr<TesselCloudConnectionMgr> connection_;
    TesselExternal external_;
    std::unique_ptr<VestaRegistrationDataHandler> vesta_;
    std::unique_ptr<TesselProxyHelper> proxyHelper_;
    std::unique_ptr<ProxyContainer> proxies_;
    DiscoveryCounter discovered_;
    TestIdentity identity_;
    std::unique_ptr<TesselHttp> http_;
    std::unique_ptr<TesselRegistrationHandler> handler_;

    testbed::EstServer est_;
    testbed::ManagementServer management_;
    testbed::CloudServer cloud_;
};

}  // namespace reghandler_test
