// The host's configuration component, as the library uses it.
//
// The library never owns the configuration: the host hands its IConfig to
// InitTesselWrapper and keeps it alive until DeinitTesselWrapper returns. Every
// operation must be safe to call from several threads at once.
#pragma once

#include <cstdint>

// Three read views of one key space:
//  - local:   what this library stored (all library writes go here);
//  - secure:  settings that arrive with policy (written by the host, read-only here);
//  - general: the secure value when there is one, otherwise the local value.
// Strings returned by reads are owned by the configuration component: copy them,
// then hand them back through FreeString / FreeStringW. Integer reads of a
// missing key (or of a value that is not an integer) give -1.
class IConfig {
public:
    virtual ~IConfig() = default;

    // general view
    virtual char* GetString(const char* key) = 0;
    virtual wchar_t* GetStringW(const char* key) = 0;
    virtual int32_t GetInt(const char* key) = 0;

    // local view
    virtual char* GetLocalString(const char* key) = 0;
    virtual wchar_t* GetLocalStringW(const char* key) = 0;
    virtual int32_t GetLocalInt(const char* key) = 0;
    virtual bool GetLocalBinary(const char* key, uint8_t** data, uint32_t* size) = 0;

    // secure view
    virtual char* GetSecureString(const char* key) = 0;
    virtual wchar_t* GetSecureStringW(const char* key) = 0;
    virtual int32_t GetSecureInt(const char* key) = 0;
    virtual bool GetSecureBinary(const char* key, uint8_t** data, uint32_t* size) = 0;

    virtual void FreeString(char* value) = 0;
    virtual void FreeStringW(wchar_t* value) = 0;
    virtual void FreeBinary(uint8_t* data) = 0;

    // Writes go to the local view. The Set family replaces an existing value
    // and fails when the key is absent unless createKey is true; the Create
    // family creates the key (or replaces its value). Callers try Set, then
    // Create, and fail only when both fail. Each write is atomic.
    virtual bool SetString(const char* key, const char* value, bool createKey = false) = 0;
    virtual bool CreateString(const char* key, const char* value) = 0;
    virtual bool SetStringW(const char* key, const wchar_t* value, bool createKey = false) = 0;
    virtual bool CreateStringW(const char* key, const wchar_t* value) = 0;
    virtual bool SetInt(const char* key, int32_t value, bool createKey = false) = 0;
    virtual bool CreateInt(const char* key, int32_t value) = 0;
    virtual bool SetBinary(const char* key, const uint8_t* data, uint32_t size, bool createKey = false) = 0;
    virtual bool CreateBinary(const char* key, const uint8_t* data, uint32_t size) = 0;

    // Subtrees of the local view: "config/proxy" covers "config/proxy" itself
    // and every key below "config/proxy/".
    virtual bool DeleteSubtree(const char* key) = 0;
    virtual bool SubtreeExists(const char* key) = 0;

    // The configured certificate list: every PEM certificate stored under the
    // key (one value, several PEM blocks). 0 on success, the list freed through
    // FreeCertificateList. The entries are PEM texts.
    virtual int GetCertificateList(const char* key, char*** certs, int* count) = 0;
    virtual void FreeCertificateList(char** certs, int count) = 0;

    // The agent's version as a wide string (freed with FreeStringW), or null.
    virtual wchar_t* GetAgentVersion() = 0;

    // Runs body(context) as one transaction: the writes and deletes it makes
    // through this object on the calling thread all land, or none does when
    // it returns false or the process dies before the end; other threads see
    // none of them until then. True when body succeeded and its writes landed.
    // The body must not wait for other threads that use the configuration.
    // A host that cannot group writes keeps this default, which only runs the
    // body (each write still atomic on its own).
    virtual bool RunTransaction(bool (*body)(void* context), void* context) { return body(context); }
};

// The process-wide configuration object, or null before the host set one up.
// Owned by the host; any thread.
IConfig* GetGlobalConfig();

class IRegistryOperator;

// The persistent configuration keeps the agent's identity material: GUID,
// client certificate, client key pair, legacy key and install token. Values are
// addressed by a key and a value name; strings returned are freed with FreeString.
// Any thread; each operation is atomic on its own.
class IPersistentConfig {
public:
    virtual ~IPersistentConfig() = default;
    virtual bool Exists(const char* key, const char* name) = 0;
    virtual char* ReadString(const char* key, const char* name) = 0;
    virtual char* SecureReadString(const char* key, const char* name) = 0;
    virtual bool WriteString(const char* key, const char* name, const char* value) = 0;
    virtual bool Delete(const char* key, const char* name) = 0;
    // Makes the writes so far durable; `flush` is 1 for every caller here.
    virtual bool Commit(int flush) = 0;
    virtual void FreeString(char* value) = 0;
};

// A new persistent configuration over the host's (neither argument is taken
// over; both must outlive it), released with ReleasePersistentConfig.
IPersistentConfig* CreatePersistentConfig(IConfig* config, IRegistryOperator* registry);
void ReleasePersistentConfig(IPersistentConfig* persistent);
