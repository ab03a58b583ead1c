// The HTTP facade's identity from the configuration reader: the agent's
// User-Agent, client certificate and key pair, and the trusted roots.
#pragma once

#include "http/TesselHttp.h"

class IConfig;
class IPersistentConfig;

class ConfigIdentitySource : public IHttpIdentitySource {
public:
    // Neither is owned.
    ConfigIdentitySource(IConfig* config, IPersistentConfig* persistent)
        : m_config(config), m_persistent(persistent) {}

    bool PopulateAgentIdentity(HttpAgentIdentity* identity) override;

private:
    IConfig* m_config;
    IPersistentConfig* m_persistent;
};
