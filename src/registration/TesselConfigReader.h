// Reads the agent's configuration into the kit's registration configuration:
// identity (GUIDs, activation code, product strings, user agent), the client
// certificate and key pair (a new P-256 key pair is made and stored when none
// is), the legacy key pair, the trusted roots, the enrolment service
// generation and the registration hosts. Built on the stack for one fill.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

#include "kit/registration_manager/tessel_registration_manager.h"

class IConfig;
class IPersistentConfig;

class TesselConfigReader {
public:
    // Result codes of the key and certificate steps.
    enum : int {
        kOk = 0,
        kMissingArgument = 1,
        kKeyUnreadable = 3,  // also: a key object could not be made
        kKeyAbsent = 4,
        kStoreReadFailed = 5,  // the key is there but the store did not hand it out
        kStoreWriteFailed = 6,
        kStoreCommitFailed = 7,
        kTrustStoreFailed = 8,
        kKeyGenerationFailed = 9,
    };

    // Neither is owned; both must outlive the reader.
    TesselConfigReader(IConfig* config, IPersistentConfig* persistent);
    virtual ~TesselConfigReader() = default;

    // The whole fill. `guidMissing` (may be null) is set when the agent GUID is
    // absent or unreadable. Failures are logged and leave their field empty;
    // the record owns what is put in it until ReleaseTesselConfiguration.
    void PopulateTesselConfiguationInfo(registration_config* config, uint8_t* guidMissing = nullptr);
    // Frees the certificate, keys and trusted roots a fill put in `config`
    // and clears those fields.
    static void ReleaseTesselConfiguration(registration_config* config);

    void PopulateAgentIdentity(registration_config* config, uint8_t* guidMissing);
    void SetEkdsVersion(registration_config* config);
    void PopulateRegistrationHosts(registration_hosts* hosts);
    void PrintTesselConfiguration(const registration_config* config);

    bool ConfigReadPersistentUUID(uint8_t guid[TESSEL_GUID_SIZE]);
    // A PEM private key stored under (tag, value) into *key: kOk,
    // kMissingArgument, kKeyUnreadable, kKeyAbsent or kStoreReadFailed.
    int ConfigKeyRead(const char* tag, const char* value, EVP_PKEY** key);
    int GetClientKeypair(registration_config* config);
    int GetLegacyClientKeypair(registration_config* config);
    int GetTrustedRootCerts(registration_config* config);

    // A new P-256 key: kOk, kKeyUnreadable (no key object) or kKeyGenerationFailed.
    static int CreateClientKey(EVP_PKEY** key);
    // `key` as unencrypted PEM in a new block of secret memory (out of core
    // files) of *length bytes, the last one a zero; free it with FreePem, which
    // wipes it. Null on failure.
    static char* PkeyToPem(EVP_PKEY* key, size_t* length);
    static void FreePem(char* pem);
    // A new key pair, stored before it is handed out: kOk, or the code of the
    // step that failed (nothing is handed out then). The stored certificate,
    // which belongs to the old key, is removed first.
    int CreateClientKeypair(EVP_PKEY** key);

private:
    bool ConfigSecureReadUUID(const char* key, uint8_t guid[TESSEL_GUID_SIZE]);
    void ReadProductStrings(registration_agent_identity* identity);
    void ReadUserAgent(registration_agent_identity* identity);
    void ReadClientCertificate(registration_config* config);
    // Removes the stored client certificate; false when it stays.
    bool RemoveClientCertificate();

    IConfig* m_pConfig;
    IPersistentConfig* m_pPersistentConfig;
    // What the last GetClientKeypair found: a key that could not be read is
    // not replaced.
    int m_clientKeyStatus = kOk;
};
