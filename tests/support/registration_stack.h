// The registration handler with the library's real components around it
// (entity, connection manager, host information, proxy helper and discovery,
// HTTP facade) over a real store, and the testbed servers a registration goes
// to (EST, management, cloud). Shared by the handler suite and the secrets
// suite.
#pragma once

#include <memory>
#include <string>

#include "config_store.h"
#include "frame/TesselCloudConnectionMgr.h"
#include "frame/TesselRegistrationEntity.h"
#include "http/TesselHttp.h"
#include "persistent_config.h"
#include "proxy/ProxyContainer.h"
#include "proxy/TesselProxyHelper.h"
#include "registration/TesselExternal.h"
#include "registration/TesselRegistrationHandler.h"
#include "registration/VestaRegistrationDataHandler.h"
#include "testbed/pki.h"

namespace testbed {

// Not included here: the cloud server's header and the kit HTTP helpers'
// cannot share a translation unit.
class CloudServer;
class EstServer;
class ManagementServer;

// The agent's TLS identity for the HTTP facade: the PKI's client certificate,
// its CA as trust root.
class PkiIdentity : public IHttpIdentitySource {
public:
    explicit PkiIdentity(Pki& pki) : m_pki(pki) {}
    bool PopulateAgentIdentity(HttpAgentIdentity* identity) override;

private:
    Pki& m_pki;
};

// The three servers of a registration, trusting the PKI's CA.
struct RegistrationServers {
    RegistrationServers();
    ~RegistrationServers();
    RegistrationServers(const RegistrationServers&) = delete;
    RegistrationServers& operator=(const RegistrationServers&) = delete;

    std::unique_ptr<EstServer> est;
    std::unique_ptr<ManagementServer> management;
    std::unique_ptr<CloudServer> cloud;

    bool Start(Pki& pki);
    void Stop();
    // Stores identity (with `actcode`), hosts and trust for a registration
    // against these servers; agent GUID, key pair and certificate stay absent.
    bool StoreConfig(hostkit::ConfigStore* store, IPersistentConfig* persistent, Pki& pki, const char* actcode);
};

// The handler and its components; the handler is also the process's
// registration-callbacks target while it lives.
struct RegistrationStack {
    RegistrationStack(hostkit::ConfigStore* store, Pki& pki);
    ~RegistrationStack();
    RegistrationStack(const RegistrationStack&) = delete;
    RegistrationStack& operator=(const RegistrationStack&) = delete;

    // A new handler (replacing any previous one).
    void MakeHandler();
    void DestroyHandler();
    // A persistent value ("" when absent).
    std::string Persistent(const char* key, const char* name);
    // Waits (bounded) for registration to complete.
    bool WaitRegistered(std::chrono::milliseconds timeout);

    hostkit::ConfigStore* store;
    hostkit::PersistentConfig persistent;
    TesselRegistrationEntity entity;
    TesselCloudConnectionMgr connection;
    TesselExternal external;
    VestaRegistrationDataHandler vesta;
    TesselProxyHelper proxyHelper;
    ProxyContainer proxies;
    PkiIdentity identity;
    TesselHttp http;
    std::unique_ptr<TesselRegistrationHandler> handler;
};

}  // namespace testbed
