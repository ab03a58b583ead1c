#include "reghandler/reghandler_fixture.h"

#include "registration/TesselRegistrationCallbacksHandler.h"

namespace reghandler_test {

testbed::Pki& pki() {
    static testbed::Pki instance;
    return instance;
}

bool TestIdentity::PopulateAgentIdentity(HttpAgentIdentity* identity) {
    identity->userAgent = "dtk-reghandler-test/1.0";
    X509_up_ref(pki().client().x509());
    identity->clientCert = pki().client().x509();
    EVP_PKEY_up_ref(pki().client().pkey());
    identity->clientKey = pki().client().pkey();
    X509_up_ref(pki().ca().cert());
    identity->trustCerts.push_back(pki().ca().cert());
    return true;
}

void DiscoveryCounter::ProxiesDiscovered(const ProxyInfoList&) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_count;
    m_changed.notify_all();
}

bool DiscoveryCounter::WaitFor(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_count >= n; });
}

int DiscoveryCounter::Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

void HandlerFixture::SetUp() {
    std::string reason;
    store_ = hostkit::ConfigStore::Open(dir_.file("config.db"), &reason);
    ASSERT_TRUE(store_) << reason;
    persistent_ = std::make_unique<hostkit::PersistentConfig>(store_.get());
    connection_ = std::make_unique<TesselCloudConnectionMgr>(store_.get());
    vesta_ = std::make_unique<VestaRegistrationDataHandler>(&external_);
    proxyHelper_ = std::make_unique<TesselProxyHelper>(store_.get());
    proxies_ = std::make_unique<ProxyContainer>(store_.get());
    ASSERT_TRUE(proxies_->GetProxyDiscovery()->RegisterForProxyNotifications(&discovered_));
    http_ = std::make_unique<TesselHttp>(store_.get(), &identity_, nullptr);
    MakeHandler();
}

void HandlerFixture::TearDown() {
    DestroyHandler();
    cloud_.stop();
    management_.stop();
    est_.stop();
    if (proxies_) proxies_->GetProxyDiscovery()->UnregisterForProxyNotifications(&discovered_);
    proxies_.reset();
    for (const char* secret : {kActcodeText, "PRIVATE KEY"})
        EXPECT_FALSE(log_.contains(secret)) << "secret in the log: " << secret;
}

void HandlerFixture::MakeHandler() {
    DestroyHandler();
    handler_ = std::make_unique<TesselRegistrationHandler>(
        store_.get(), persistent_.get(), &entity_, connection_.get(), http_.get(), &external_, proxyHelper_.get(),
        proxies_->GetProxyDiscovery(), vesta_.get());
    TesselRegistrationCallbacksHandler::Instance().SetRegistrationHandler(handler_.get());
}

void HandlerFixture::DestroyHandler() {
    if (!handler_) return;
    TesselRegistrationCallbacksHandler::Instance().ClearRegistrationHandler(handler_.get());
    handler_.reset();
}

std::string HandlerFixture::Persistent(const char* key, const char* name) {
    char* value = persistent_->ReadString(key, name);
    std::string copy = value ? value : "";
    persistent_->FreeString(value);
    return copy;
}

void HandlerFixture::StoreRegistrationConfig() {
    testbed::EstServerOptions est;
    est.identity = &pki().server();
    est.ca = &pki().ca();
    ASSERT_TRUE(est_.start(est));
    testbed::ManagementServerOptions management;
    management.identity = &pki().server();
    management.client_ca = pki().ca().cert();
    ASSERT_TRUE(management_.start(management));
    testbed::CloudServerOptions cloud;
    cloud.identity = &pki().server();
    cloud.client_ca = pki().ca().cert();
    ASSERT_TRUE(cloud_.start(cloud));
    cloud_.set_reg_answers({0});

    ASSERT_TRUE(store_->SetSecureString("config/agent/affiliate/uuid", "aff111a7-e000-4111-8222-333344445555"));
    ASSERT_TRUE(store_->SetSecureString("config/vesta/business/uuid", "10203040-5060-7080-90a0-b0c0d0e0f001"));
    ASSERT_TRUE(persistent_->WriteString("config/vesta/install/token", "install_token", kActcodeText));
    ASSERT_TRUE(store_->CreateString("config/agent/version", "8.4.2"));
    ASSERT_TRUE(store_->CreateString("config/agent/revision", "77"));
    ASSERT_TRUE(store_->CreateInt("config/agent/ekds/mode", 1));
    ASSERT_TRUE(store_->CreateString("config/vesta/endpoint/est", "127.0.0.1"));
    ASSERT_TRUE(store_->CreateInt("config/agent/cloud/asn1_port", est_.port()));
    const std::string cloudHost = "127.0.0.1:" + std::to_string(cloud_.port());
    ASSERT_TRUE(store_->CreateString("config/agent/cloud/asn1_host", cloudHost.c_str()));
    ASSERT_TRUE(store_->CreateString("config/vesta/endpoint/mgmt", management_.base_url().c_str()));
    ASSERT_TRUE(store_->SetSecureString("config/agent/cloud/trustedcerts/cert", pki().ca().credential().cert_pem.c_str()));
}

}  // namespace reghandler_test
