#include "registration/TesselConfigReader.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/IConfig.h"
#include "kit/registration_manager/registration_manager_util.h"
#include "kit/util/guid_text.h"
#include "host/Util.h"
#include "platform/secret_memory.h"
#include "registration/cert_store.h"
#include "registration/crypto_pem.h"
#include "registration/openssl_ptr.h"

namespace {

constexpr const char* kAgentUuidKey = "config/agent/uuid";
constexpr const char* kAgentUuidValue = "guid";
constexpr const char* kAffiliateUuidKey = "config/agent/affiliate/uuid";
constexpr const char* kBusinessUuidKey = "config/vesta/business/uuid";
constexpr const char* kInstallTokenKey = "config/vesta/install/token";
constexpr const char* kInstallTokenValue = "install_token";
constexpr const char* kVersionKey = "config/agent/version";
constexpr const char* kRevisionKey = "config/agent/revision";
constexpr const char* kClientCertKey = "config/agent/client_cert";
constexpr const char* kClientCertValue = "client_cert";
constexpr const char* kClientKeypairKey = "config/agent/client_keypair";
constexpr const char* kClientKeypairValue = "client_keypair";
constexpr const char* kLegacyKeypairKey = "config/agent/client_prvkey";
constexpr const char* kLegacyKeypairValue = "legacy_keypair";
constexpr const char* kTrustedCertsKey = "config/agent/cloud/trustedcerts/cert";
constexpr const char* kEkdsModeKey = "config/agent/ekds/mode";
constexpr const char* kEstHostKey = "config/vesta/endpoint/est";
constexpr const char* kCloudHostKey = "config/agent/cloud/asn1_host";
constexpr const char* kCloudPortKey = "config/agent/cloud/asn1_port";
constexpr const char* kMgmtUrlKey = "config/vesta/endpoint/mgmt";

constexpr const char* kDevid = "win://unsupported";
constexpr const char* kProductIdPrefix = "QRV4E Windows.";
constexpr const char* kUserAgentPrefix = "VigilonProtect/";

// Copies at most `limit` characters of `text` (null: none) into `out`, always terminated.
template <size_t N>
void CopyBounded(char (&out)[N], const char* text, size_t limit = N - 1) {
    size_t length = text ? strnlen(text, limit < N - 1 ? limit : N - 1) : 0;
    memcpy(out, text ? text : "", length);
    out[length] = '\0';
}

template <size_t N>
void CopyBounded(char (&out)[N], const std::string& text) {
    CopyBounded(out, text.c_str());
}

// A string the configuration handed out, copied ("" when absent) and handed back.
std::string TakeString(IConfig* config, char* value) {
    std::string copy = value ? value : "";
    if (value)
        config->FreeString(value);
    return copy;
}

// Keys are never read with a password: an encrypted key is refused instead of
// prompting on the process's terminal.
int NoPassword(char*, int, int, void*) { return 0; }

bool UsesTraditionalForm(EVP_PKEY* key) {
    int type = EVP_PKEY_get_base_id(key);
    return type == EVP_PKEY_EC || type == EVP_PKEY_RSA || type == EVP_PKEY_DSA;
}

// A certificate can only be used with the key it was issued for.
bool CertificateMatchesKey(X509* cert, EVP_PKEY* key) {
    if (!cert || !key)
        return true;
    const bool matches = X509_check_private_key(cert, key) == 1;
    ERR_clear_error();
    return matches;
}

std::string GuidText(const uint8_t guid[TESSEL_GUID_SIZE]) {
    char text[GUID_TEXT_SIZE];
    guid_to_text(guid, text, false);
    return text;
}

int ParseGuid(const char* text, uint8_t guid[TESSEL_GUID_SIZE]) { return guid_parse(text, strlen(text), guid); }

}  // namespace

TesselConfigReader::TesselConfigReader(IConfig* config, IPersistentConfig* persistent)
    : m_pConfig(config), m_pPersistentConfig(persistent) {}

void TesselConfigReader::PopulateTesselConfiguationInfo(registration_config* config, uint8_t* guidMissing) {
    PopulateAgentIdentity(config, guidMissing);
    if (!config->client_keypair && m_clientKeyStatus == kStoreReadFailed) {
        // Replacing it would orphan the certificate and identity it belongs to.
        error("TesselConfigReader::PopulateTesselConfiguationInfo: client keypair present but not read, keeping it");
    } else if (!config->client_keypair) {
        trace(kTesselTraceCategory, "TesselConfigReader::PopulateTesselConfiguationInfo: Generating new keypair");
        int rc = CreateClientKeypair(&config->client_keypair);
        if (rc != kOk)
            error("TesselConfigReader::PopulateTesselConfiguationInfo: Create client keypair failed: %d", rc);
    }
    SetEkdsVersion(config);
    PopulateRegistrationHosts(&config->hosts);
    PrintTesselConfiguration(config);
}

void TesselConfigReader::ReleaseTesselConfiguration(registration_config* config) {
    registration_credentials_release(config);
    OPENSSL_cleanse(config->identity.actcode, sizeof config->identity.actcode);
}

void TesselConfigReader::PopulateAgentIdentity(registration_config* config, uint8_t* guidMissing) {
    registration_agent_identity* identity = &config->identity;
    if (guidMissing)
        *guidMissing = 0;
    if (!ConfigReadPersistentUUID(identity->agent_guid)) {
        trace(kTesselTraceCategory, "TesselConfigReader::PopulateAgentIdentity: Failed to read agent guid");
        if (guidMissing)
            *guidMissing = 1;
    }
    if (!ConfigSecureReadUUID(kAffiliateUuidKey, identity->affiliate_guid))
        error("TesselConfigReader::PopulateAgentIdentity: Failed to read affiliate guid");
    if (!ConfigSecureReadUUID(kBusinessUuidKey, identity->business_guid))
        error("TesselConfigReader::PopulateAgentIdentity: Failed to read business_guid");

    char* token = m_pPersistentConfig->SecureReadString(kInstallTokenKey, kInstallTokenValue);
    if (token) {
        // A token that is no GUID leaves the activation code as it was.
        ParseGuid(token, identity->actcode);
        m_pPersistentConfig->FreeString(token);
    } else {
        error("TesselConfigReader::PopulateAgentIdentity: Failed to read actcode from policy");
    }

    CopyBounded(identity->devid, kDevid);
    ReadProductStrings(identity);
    ReadUserAgent(identity);
    ReadClientCertificate(config);

    // An absent key is a first registration: one is made right after.
    const int keyStatus = GetClientKeypair(config);
    if (keyStatus == kKeyAbsent)
        trace(kTesselTraceCategory, "TesselConfigReader::PopulateAgentIdentity: Failed to get client_keypair");
    else if (keyStatus != kOk)
        error("TesselConfigReader::PopulateAgentIdentity: Failed to get client_keypair");
    if (GetLegacyClientKeypair(config) != kOk) {
        trace(kTesselTraceCategory, "TesselConfigReader::PopulateAgentIdentity: Failed to get legacy_client_keypair");
        config->legacy_client_keypair = nullptr;
    } else {
        trace(kTesselTraceCategory,
              "TesselConfigReader::PopulateAgentIdentity: Removing actcode due to legacy certificate");
        OPENSSL_cleanse(identity->actcode, sizeof identity->actcode);
    }
    if (GetTrustedRootCerts(config) != kOk)
        trace(kTesselTraceCategory, "TesselConfigReader::PopulateAgentIdentity: Failed to get system_trust_root_certs");
}

void TesselConfigReader::ReadProductStrings(registration_agent_identity* identity) {
    char* versionText = m_pConfig->GetString(kVersionKey);
    if (!versionText)
        error("TesselConfigReader::PopulateAgentIdentity: Failed to get product version");
    const std::string version = TakeString(m_pConfig, versionText);
    char* revisionText = m_pConfig->GetString(kRevisionKey);
    if (!revisionText)
        error("TesselConfigReader::PopulateAgentIdentity: Failed to get buildRevision");
    const std::string revision = TakeString(m_pConfig, revisionText);
    CopyBounded(identity->productid, kProductIdPrefix + version);
    CopyBounded(identity->product_version, version + "." + revision);
}

void TesselConfigReader::ReadUserAgent(registration_agent_identity* identity) {
    std::string version;
    if (wchar_t* wide = m_pConfig->GetAgentVersion()) {
        if (char* narrow = Util::ConvertWCHARToString(wide)) {
            version = narrow;
            Util::FreeMem(narrow);
        }
        m_pConfig->FreeStringW(wide);
    }
    if (version.empty())
        version = DTK_VERSION;
    CopyBounded(identity->user_agent, kUserAgentPrefix + version);
}

void TesselConfigReader::ReadClientCertificate(registration_config* config) {
    X509_free(config->client_cert);
    config->client_cert = nullptr;
    char* pem = m_pPersistentConfig->ReadString(kClientCertKey, kClientCertValue);
    if (!pem || !*pem || crypto_pem_to_x509(pem, strlen(pem), &config->client_cert) != 0)
        trace(kTesselTraceCategory, "TesselConfigReader::PopulateAgentIdentity: failed to get client_cert");
    if (pem)
        m_pPersistentConfig->FreeString(pem);
}

bool TesselConfigReader::ConfigReadPersistentUUID(uint8_t guid[TESSEL_GUID_SIZE]) {
    char* text = m_pPersistentConfig->ReadString(kAgentUuidKey, kAgentUuidValue);
    if (!text)
        return false;
    bool parsed = ParseGuid(text, guid) == 0;
    if (!parsed)
        error("TesselConfigReader::ConfigReadPersistentUUID Failed to parse Guid");
    m_pPersistentConfig->FreeString(text);
    return parsed;
}

bool TesselConfigReader::ConfigSecureReadUUID(const char* key, uint8_t guid[TESSEL_GUID_SIZE]) {
    char* text = m_pConfig->GetSecureString(key);
    if (!text)
        return false;
    bool parsed = ParseGuid(text, guid) == 0;
    if (!parsed)
        error("TesselConfigReader::ConfigSecureReadUUID Failed to parse Guid");
    m_pConfig->FreeString(text);
    return parsed;
}

int TesselConfigReader::ConfigKeyRead(const char* tag, const char* value, EVP_PKEY** key) {
    if (!tag) {
        error("TesselConfigReader::ConfigKeyRead no xTag passed");
        return kMissingArgument;
    }
    if (!value) {
        error("TesselConfigReader::ConfigKeyRead no registry value passed");
        return kMissingArgument;
    }
    if (!m_pPersistentConfig->Exists(tag, value))
        return kKeyAbsent;
    char* pem = m_pPersistentConfig->SecureReadString(tag, value);
    if (!pem)
        return kStoreReadFailed;
    EVP_PKEY* read = nullptr;
    if (BioPtr bio{BIO_new_mem_buf(pem, -1)})
        read = PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr);
    ERR_clear_error();
    m_pPersistentConfig->FreeString(pem);  // wipes the key text
    if (!read)
        return kKeyUnreadable;
    EVP_PKEY_free(*key);
    *key = read;
    return kOk;
}

int TesselConfigReader::GetClientKeypair(registration_config* config) {
    EVP_PKEY_free(config->client_keypair);
    config->client_keypair = nullptr;
    int rc = ConfigKeyRead(kClientKeypairKey, kClientKeypairValue, &config->client_keypair);
    if (rc == kKeyAbsent)
        trace(kTesselTraceCategory, "TesselConfigReader::GetClientKeypair: Unable to retrieve Agent Client Keypair "
                                    "(config/agent/client_keypair)");
    else if (rc != kOk)
        error("TesselConfigReader::GetClientKeypair: Could not retrieve VGN_SET_PATH_AGENT_CLI_KEYPAIR: %d", rc);
    m_clientKeyStatus = rc;
    if (rc != kOk || !CertificateMatchesKey(config->client_cert, config->client_keypair)) {
        // No certificate is used without its own key: one left beside a key
        // made later (a replacement cut short between its writes) would skip
        // enrolment and fail every management registration.
        if (rc == kOk)
            error("TesselConfigReader::GetClientKeypair: client_cert does not belong to client_keypair, dropping it");
        X509_free(config->client_cert);
        config->client_cert = nullptr;
    }
    return rc;
}

int TesselConfigReader::GetLegacyClientKeypair(registration_config* config) {
    EVP_PKEY_free(config->legacy_client_keypair);
    config->legacy_client_keypair = nullptr;
    int rc = ConfigKeyRead(kLegacyKeypairKey, kLegacyKeypairValue, &config->legacy_client_keypair);
    if (rc == kOk)
        trace(kTesselTraceCategory,
              "TesselConfigReader::GetLegacyClientKeypair: legacy client keypair loaded for EST enrolment");
    else
        trace(kTesselTraceCategory, "TesselConfigReader::GetLegacyClientKeypair: no legacy client keypair "
                                    "available, registering as a new connector");
    return rc;
}

int TesselConfigReader::GetTrustedRootCerts(registration_config* config) {
    registration_roots_free(config->system_trust_root_certs, config->system_trust_root_certs_count);
    config->system_trust_root_certs = nullptr;
    config->system_trust_root_certs_count = 0;

    char** pems = nullptr;
    int count = 0;
    std::vector<X509*> configured;
    if (m_pConfig->GetCertificateList(kTrustedCertsKey, &pems, &count) == 0 && pems && count > 0) {
        for (int i = 0; i < count; ++i) {
            X509* cert = nullptr;
            if (pems[i] && crypto_pem_to_x509(pems[i], strlen(pems[i]), &cert) == 0)
                configured.push_back(cert);
        }
        m_pConfig->FreeCertificateList(pems, count);
    } else {
        if (pems)
            m_pConfig->FreeCertificateList(pems, count);
        trace(kTesselTraceCategory, "TesselConfigReader::GetTrustedRootCerts: could not reload certs from config");
    }
    int loaded = cert_store_reload(configured.data(), configured.size());
    for (X509* cert : configured)
        X509_free(cert);
    if (loaded != 0) {
        error("TesselConfigReader::GetTrustedRootCerts: Cert store load failed....");
        return kTrustStoreFailed;
    }
    if (cert_store_retrieve_certs(&config->system_trust_root_certs, &config->system_trust_root_certs_count) != 0) {
        error("TesselConfigReader::GetTrustedRootCerts could not read system certs");
        return kTrustStoreFailed;
    }
    return kOk;
}

int TesselConfigReader::CreateClientKey(EVP_PKEY** key) {
    *key = nullptr;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
    if (!ctx) {
        error("TesselConfigReader::CreateClientKeyCould not create evp pkey object");
        return kKeyUnreadable;
    }
    if (EVP_PKEY_keygen_init(ctx.get()) != 1) {
        error("TesselConfigReader::CreateClientKeyCould not create EC Key");
        return kKeyUnreadable;
    }
    if (EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx.get(), NID_X9_62_prime256v1) != 1 ||
        EVP_PKEY_CTX_set_ec_param_enc(ctx.get(), OPENSSL_EC_NAMED_CURVE) != 1) {
        error("TesselConfigReader::CreateClientKeyCould not create EC group:%d", NID_X9_62_prime256v1);
        return kKeyUnreadable;
    }
    EVP_PKEY* generated = nullptr;
    if (EVP_PKEY_keygen(ctx.get(), &generated) != 1 || !generated) {
        error("TesselConfigReader::CreateClientKeyFailed to generate EC key");
        return kKeyGenerationFailed;
    }
    // Points are written uncompressed, the form every peer reads.
    if (EVP_PKEY_set_utf8_string_param(generated, "point-format", "uncompressed") != 1) {
        error("TesselConfigReader::CreateClientKeyFailed to sign EC key");
        EVP_PKEY_free(generated);
        return kKeyGenerationFailed;
    }
    *key = generated;
    return kOk;
}

char* TesselConfigReader::PkeyToPem(EVP_PKEY* key, size_t* length) {
    // A secure-memory buffer: wiped when freed, since it holds the private key.
    BioPtr bio(BIO_new(BIO_s_secmem()));
    if (!bio || !key) {
        error("TesselConfigReader::PkeyToPem: Could not convert pkey to pem");
        return nullptr;
    }
    int written = UsesTraditionalForm(key)
                      ? PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                      : PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    if (written != 1) {
        error("TesselConfigReader::PkeyToPem: Could not write pem private key to mem");
        return nullptr;
    }
    if (BIO_write(bio.get(), "", 1) != 1) {
        error("TesselConfigReader::PkeyToPem: bio write failed.");
        return nullptr;
    }
    if (BIO_flush(bio.get()) != 1) {
        error("TesselConfigReader::PkeyToPem: Couldn't flush.");
        return nullptr;
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    if (size <= 0 || !data) {
        error("TesselConfigReader::PkeyToPem: Could not convert pkey to pem");
        return nullptr;
    }
    // The library's copy lives in secret memory, out of core files.
    char* pem = static_cast<char*>(platform::SecretAlloc(static_cast<size_t>(size) + 1));
    if (!pem) {
        error("TesselConfigReader::PkeyToPem: Could not allocate memory for PEM data");
        return nullptr;
    }
    memcpy(pem, data, static_cast<size_t>(size));
    *length = static_cast<size_t>(size);
    return pem;
}

void TesselConfigReader::FreePem(char* pem) {
    platform::SecretFree(pem);
}

int TesselConfigReader::CreateClientKeypair(EVP_PKEY** key) {
    *key = nullptr;
    EVP_PKEY* created = nullptr;
    int rc = CreateClientKey(&created);
    if (rc != kOk)
        return rc;
    size_t length = 0;
    char* pem = PkeyToPem(created, &length);
    if (!pem) {
        rc = kKeyGenerationFailed;
    } else if (!RemoveClientCertificate()) {
        rc = kStoreWriteFailed;
    } else if (!m_pPersistentConfig->WriteString(kClientKeypairKey, kClientKeypairValue, pem)) {
        // The write replaces the stored value in one step, so a failure leaves
        // whatever was there.
        rc = kStoreWriteFailed;
    } else if (!m_pPersistentConfig->Commit(1)) {
        rc = kStoreCommitFailed;
    }
    FreePem(pem);
    if (rc != kOk) {
        error("TesselConfigReader::CreateClientKeypair: error storing key pair");
        EVP_PKEY_free(created);
        return rc;
    }
    *key = created;
    return kOk;
}

bool TesselConfigReader::RemoveClientCertificate() {
    // Removed before the new key is written, each write durable on its own:
    // a stop in between leaves neither certificate nor usable key, and the
    // next start makes a key again and enrols.
    if (!m_pPersistentConfig->Exists(kClientCertKey, kClientCertValue))
        return true;
    if (m_pPersistentConfig->Delete(kClientCertKey, kClientCertValue) && m_pPersistentConfig->Commit(1))
        return true;
    error("TesselConfigReader::CreateClientKeypair: could not remove the client certificate of the old key");
    return false;
}

void TesselConfigReader::SetEkdsVersion(registration_config* config) {
    int32_t mode = m_pConfig->GetInt(kEkdsModeKey);
    if (mode < 0 || mode > 2) {
        trace(kTesselTraceCategory, "TesselConfigReader::SetEkdsVersion: Invalid EKDS value. Using default");
        mode = 0;
    }
    if (config->legacy_client_keypair && mode == 2) {
        trace(kTesselTraceCategory,
              L"TesselConfigReader::SetEkdsVersionLegacy certificate present.  Defaulting ekds version to 1 or 2.");
        mode = 0;
    }
    config->ekds_version = mode;
}

void TesselConfigReader::PopulateRegistrationHosts(registration_hosts* hosts) {
    char* est = m_pConfig->GetString(kEstHostKey);
    if (!est)
        error("TesselConfigReader::PopulateRegistrationHosts: Failed to get est_host");
    CopyBounded(hosts->est_host, TakeString(m_pConfig, est));
    char* cloud = m_pConfig->GetString(kCloudHostKey);
    if (!cloud)
        error("TesselConfigReader::PopulateRegistrationHosts: Failed to get cloud_host");
    CopyBounded(hosts->cloud_host, TakeString(m_pConfig, cloud));
    // An absent port reads as -1, which is 0xFFFF here.
    hosts->cloud_port = static_cast<uint16_t>(m_pConfig->GetInt(kCloudPortKey));
    char* mgmt = m_pConfig->GetString(kMgmtUrlKey);
    if (!mgmt)
        error("TesselConfigReader::PopulateRegistrationHosts: Failed to get vesta_mgmt_url");
    CopyBounded(hosts->vesta_mgmt_url, TakeString(m_pConfig, mgmt).c_str(), TESSEL_MGMT_URL_MAX_LEN);
    hosts->proxy.type = TESSEL_PROXY_NONE;
}

void TesselConfigReader::PrintTesselConfiguration(const registration_config* config) {
    const registration_agent_identity& id = config->identity;
    // The activation code is a secret: only its presence is written.
    trace(kTesselTraceCategory,
          "TesselConfigReader::PrintTesselConfiguration: AgentIdentity: agent_guid: %s, affiliate_guid: %s, "
          "business_guid: %s actcode: %s, devid: %s, productid: %s, product_version: %s, user_agent: %s, "
          "NumTrustedCerts: %d ",
          GuidText(id.agent_guid).c_str(), GuidText(id.affiliate_guid).c_str(), GuidText(id.business_guid).c_str(),
          guid_is_absent(id.actcode) ? "(none)" : "(set)", id.devid, id.productid, id.product_version,
          id.user_agent, static_cast<int>(config->system_trust_root_certs_count));
    trace(kTesselTraceCategory,
          "TesselConfigReader::PrintTesselConfiguration: Registration Hosts: est_host: %s, cloud_host: %s, "
          "cloud_port: %u, vesta_mgmt_url: %s",
          config->hosts.est_host, config->hosts.cloud_host, static_cast<unsigned>(config->hosts.cloud_port),
          config->hosts.vesta_mgmt_url);
}
