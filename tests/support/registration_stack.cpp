#include "support/registration_stack.h"

#include <chrono>
#include <thread>

#include "registration/TesselRegistrationCallbacksHandler.h"
#include "testbed/cloud_server.h"
#include "testbed/est_server.h"
#include "testbed/management_server.h"

namespace testbed {

bool PkiIdentity::PopulateAgentIdentity(HttpAgentIdentity* identity) {
    identity->userAgent = "dtk-registration-test/1.0";
    X509_up_ref(m_pki.client().x509());
    identity->clientCert = m_pki.client().x509();
    EVP_PKEY_up_ref(m_pki.client().pkey());
    identity->clientKey = m_pki.client().pkey();
    X509_up_ref(m_pki.ca().cert());
    identity->trustCerts.push_back(m_pki.ca().cert());
    return true;
}

RegistrationServers::RegistrationServers()
    : est(std::make_unique<EstServer>()),
      management(std::make_unique<ManagementServer>()),
      cloud(std::make_unique<CloudServer>()) {}

RegistrationServers::~RegistrationServers() = default;

bool RegistrationServers::Start(Pki& pki) {
    EstServerOptions estOptions;
    estOptions.identity = &pki.server();
    estOptions.ca = &pki.ca();
    ManagementServerOptions managementOptions;
    managementOptions.identity = &pki.server();
    managementOptions.client_ca = pki.ca().cert();
    CloudServerOptions cloudOptions;
    cloudOptions.identity = &pki.server();
    cloudOptions.client_ca = pki.ca().cert();
    if (!est->start(estOptions) || !management->start(managementOptions) || !cloud->start(cloudOptions)) return false;
    cloud->set_reg_answers({0});
    return true;
}

void RegistrationServers::Stop() {
    cloud->stop();
    management->stop();
    est->stop();
}

bool RegistrationServers::StoreConfig(hostkit::ConfigStore* store, IPersistentConfig* persistent, Pki& pki,
                                      const char* actcode) {
    const std::string cloudHost = "127.0.0.1:" + std::to_string(cloud->port());
    return store->SetSecureString("config/agent/affiliate/uuid", "aff111a7-e000-4111-8222-333344445555") &&
           store->SetSecureString("config/vesta/business/uuid", "10203040-5060-7080-90a0-b0c0d0e0f001") &&
           persistent->WriteString("config/vesta/install/token", "install_token", actcode) &&
           store->SetString("config/agent/version", "8.4.2", true) && store->SetString("config/agent/revision", "77", true) &&
           store->SetInt("config/agent/ekds/mode", 1, true) &&
           store->SetString("config/vesta/endpoint/est", "127.0.0.1", true) &&
           store->SetInt("config/agent/cloud/asn1_port", est->port(), true) &&
           store->SetString("config/agent/cloud/asn1_host", cloudHost.c_str(), true) &&
           store->SetString("config/vesta/endpoint/mgmt", management->base_url().c_str(), true) &&
           store->SetSecureString("config/agent/cloud/trustedcerts/cert", pki.ca().credential().cert_pem.c_str());
}

RegistrationStack::RegistrationStack(hostkit::ConfigStore* configStore, Pki& pki)
    : store(configStore),
      persistent(configStore),
      connection(configStore),
      vesta(&external),
      proxyHelper(configStore),
      proxies(configStore),
      identity(pki),
      http(configStore, &identity, nullptr) {
    MakeHandler();
}

RegistrationStack::~RegistrationStack() { DestroyHandler(); }

void RegistrationStack::MakeHandler() {
    DestroyHandler();
    handler = std::make_unique<TesselRegistrationHandler>(store, &persistent, &entity, &connection, &http, &external,
                                                          &proxyHelper, proxies.GetProxyDiscovery(), &vesta);
    TesselRegistrationCallbacksHandler::Instance().SetRegistrationHandler(handler.get());
}

void RegistrationStack::DestroyHandler() {
    if (!handler) return;
    TesselRegistrationCallbacksHandler::Instance().ClearRegistrationHandler(handler.get());
    handler.reset();
}

std::string RegistrationStack::Persistent(const char* key, const char* name) {
    char* value = persistent.ReadString(key, name);
    std::string copy = value ? value : "";
    persistent.FreeString(value);
    return copy;
}

bool RegistrationStack::WaitRegistered(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!entity.IsRegistrationComplete()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace testbed
