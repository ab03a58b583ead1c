// The persistent configuration: the agent's identity material (GUID, client
// certificate and key pair, legacy key, install token), kept in the
// configuration store's own "persistent" view, addressed by key and value name.
//
// Every write is durable when it returns (the store commits each statement
// with a full sync); Commit only folds the write-ahead log into the main file.
// SecureReadString reads the same values as ReadString: key material is not
// stored apart, but every string handed out is wiped when it is freed.
#pragma once

#include "IConfig.h"
#include "config_store.h"

namespace hostkit {

class PersistentConfig final : public IPersistentConfig {
public:
    explicit PersistentConfig(ConfigStore* store) : store_(store) {}

    bool Exists(const char* key, const char* name) override;
    char* ReadString(const char* key, const char* name) override;
    char* SecureReadString(const char* key, const char* name) override;
    bool WriteString(const char* key, const char* name, const char* value) override;
    // false when there was no such value (or the store failed).
    bool Delete(const char* key, const char* name) override;
    bool Commit(int flush) override;
    void FreeString(char* value) override;

private:
    ConfigStore* store_;
};

}  // namespace hostkit
