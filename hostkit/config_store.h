// The configuration store: IConfig over one SQLite file in WAL mode.
//
// One table holds every value with its view (local, secure, persistent), its
// key, a value name (used by the persistent configuration only) and its type
// (string, integer, binary). Every write is a single SQL statement and so its
// own transaction; with synchronous=FULL a write is durable when it returns,
// and a crash leaves each value either old or new, never half written.
//
// Concurrency: one connection behind a (recursive) mutex. Configuration
// traffic is a few small statements at a time, so serialising them costs
// nothing noticeable, and it spares us SQLITE_BUSY between our own threads
// and snapshot upgrades inside a process. A busy timeout covers other
// processes (dtk-agent changing the store of a running agent).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IConfig.h"

struct sqlite3;

namespace hostkit {

enum class ConfigView { Local = 0, Secure = 1, Persistent = 2, General = 3 };
enum class ValueType { String = 1, Integer = 2, Binary = 3 };

// "local", "secure", "persistent", "general" and back; "string", "int", "binary" and back.
const char* ViewName(ConfigView view);
bool ParseView(const std::string& text, ConfigView* view);
const char* TypeName(ValueType type);
bool ParseType(const std::string& text, ValueType* type);

struct ConfigEntry {
    ConfigView view = ConfigView::Local;
    std::string key;
    std::string name;  // the value name of a persistent entry; empty otherwise
    ValueType type = ValueType::String;
    std::string text;             // String
    int64_t integer = 0;          // Integer
    std::vector<uint8_t> binary;  // Binary
    // The value on one line: a string as it is, an integer in decimal, a
    // binary value as lower-case hex.
    std::string ValueText() const;
};

// The PEM blocks "-----BEGIN CERTIFICATE-----" ... "-----END CERTIFICATE-----"
// of `text`, each with a final line break; text outside blocks and an
// unterminated last block are ignored.
std::vector<std::string> SplitPemCertificates(const std::string& text);

class ConfigStore final : public IConfig {
public:
    enum class Mode { ReadWrite, ReadOnly };

    // Opens (ReadWrite: creating it, mode 0600, when missing) the store at
    // `path`. Null with a one-line reason in *error when the directory is
    // missing, the file cannot be read or (ReadWrite) written, is not a
    // database, is corrupt, or is a database of something else. A file that
    // is not a store is never modified.
    static std::unique_ptr<ConfigStore> Open(const std::string& path, std::string* error,
                                             Mode mode = Mode::ReadWrite);
    ~ConfigStore() override;
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    // IConfig
    char* GetString(const char* key) override;
    wchar_t* GetStringW(const char* key) override;
    int32_t GetInt(const char* key) override;
    char* GetLocalString(const char* key) override;
    wchar_t* GetLocalStringW(const char* key) override;
    int32_t GetLocalInt(const char* key) override;
    bool GetLocalBinary(const char* key, uint8_t** data, uint32_t* size) override;
    char* GetSecureString(const char* key) override;
    wchar_t* GetSecureStringW(const char* key) override;
    int32_t GetSecureInt(const char* key) override;
    bool GetSecureBinary(const char* key, uint8_t** data, uint32_t* size) override;
    void FreeString(char* value) override;
    void FreeStringW(wchar_t* value) override;
    void FreeBinary(uint8_t* data) override;
    bool SetString(const char* key, const char* value, bool createKey = false) override;
    bool CreateString(const char* key, const char* value) override;
    bool SetStringW(const char* key, const wchar_t* value, bool createKey = false) override;
    bool CreateStringW(const char* key, const wchar_t* value) override;
    bool SetInt(const char* key, int32_t value, bool createKey = false) override;
    bool CreateInt(const char* key, int32_t value) override;
    bool SetBinary(const char* key, const uint8_t* data, uint32_t size, bool createKey = false) override;
    bool CreateBinary(const char* key, const uint8_t* data, uint32_t size) override;
    bool DeleteSubtree(const char* key) override;
    bool SubtreeExists(const char* key) override;
    int GetCertificateList(const char* key, char*** certs, int* count) override;
    void FreeCertificateList(char** certs, int count) override;
    // "config/agent/version" in the general view.
    wchar_t* GetAgentVersion() override;

    // The host's side: policy settings (the secure view), created or replaced.
    bool SetSecureString(const char* key, const char* value);
    bool SetSecureInt(const char* key, int32_t value);
    bool SetSecureBinary(const char* key, const uint8_t* data, uint32_t size);

    // Any view, for tools and the persistent configuration. `name` is the
    // value name of persistent entries ("" elsewhere). Put creates or replaces.
    bool Put(const ConfigEntry& entry);
    // false on failure; *found tells whether the entry exists. The general
    // view answers with the secure entry when there is one, else the local one.
    bool Get(ConfigView view, const std::string& key, ConfigEntry* entry, bool* found,
             const std::string& name = "");
    // false on failure; *removed tells whether there was an entry.
    bool DeleteKey(ConfigView view, const std::string& key, bool* removed = nullptr,
                   const std::string& name = "");
    // Every entry, ordered by view, key and name.
    bool List(std::vector<ConfigEntry>* entries);

    // Runs `body` as one transaction: the writes it makes on this store (from
    // this thread) all land or, when it returns false or the process dies,
    // none does. Other threads wait until it ends; `body` must not wait for
    // them.
    bool RunTransaction(const std::function<bool()>& body);
    // IConfig's form of the same.
    bool RunTransaction(bool (*body)(void* context), void* context) override;

    // Folds the write-ahead log into the main file (passive checkpoint). Not
    // needed for durability; false only when the store is unusable.
    bool Checkpoint();

    // The reason of the last failure on the calling thread ("" when none).
    static std::string LastError();
    const std::string& Path() const { return path_; }
    bool ReadOnly() const { return readOnly_; }

private:
    ConfigStore(sqlite3* db, std::string path, bool readOnly);

    enum class WriteMode { ReplaceOnly, Upsert };
    bool Write(const ConfigEntry& entry, WriteMode mode);
    bool WriteLocal(const char* key, ValueType type, const void* data, size_t size, int64_t integer,
                    bool createKey);
    bool Lookup(ConfigView view, const char* key, ConfigEntry* entry, bool* found,
                const char* name = "");
    char* ReadString(ConfigView view, const char* key);
    wchar_t* ReadStringW(ConfigView view, const char* key);
    int32_t ReadInt(ConfigView view, const char* key);
    bool ReadBinary(ConfigView view, const char* key, uint8_t** data, uint32_t* size);
    bool Fail(const std::string& what);

    std::recursive_mutex mutex_;
    sqlite3* db_;
    std::string path_;
    bool readOnly_;
};

// The process's configuration (GetGlobalConfig answers it); not owned.
void SetGlobalConfig(IConfig* config);

}  // namespace hostkit
