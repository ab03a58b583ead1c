#include "frame/ConfigIdentitySource.h"

#include <utility>

#include "registration/TesselConfigReader.h"

bool ConfigIdentitySource::PopulateAgentIdentity(HttpAgentIdentity* identity) {
    registration_config config{};
    TesselConfigReader reader(m_config, m_persistent);
    reader.PopulateAgentIdentity(&config, nullptr);
    identity->userAgent = config.identity.user_agent;
    identity->clientCert = std::exchange(config.client_cert, nullptr);
    identity->clientKey = std::exchange(config.client_keypair, nullptr);
    for (uint32_t i = 0; i < config.system_trust_root_certs_count; ++i) {
        X509_up_ref(config.system_trust_root_certs[i]);
        identity->trustCerts.push_back(config.system_trust_root_certs[i]);
    }
    // The rest of the fill (the legacy key, the activation code) is released and wiped.
    TesselConfigReader::ReleaseTesselConfiguration(&config);
    return !identity->userAgent.empty();
}
