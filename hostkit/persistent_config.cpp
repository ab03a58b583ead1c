#include "persistent_config.h"

#include <openssl/crypto.h>

#include <new>

#include "Util.h"
#include "host_text.h"

namespace hostkit {
namespace {

bool Valid(const char* key, const char* name) { return key && *key && name && *name; }

}  // namespace

bool PersistentConfig::Exists(const char* key, const char* name) {
    ConfigEntry entry;
    bool found = false;
    return Valid(key, name) && store_->Get(ConfigView::Persistent, key, &entry, &found, name) && found;
}

char* PersistentConfig::ReadString(const char* key, const char* name) {
    ConfigEntry entry;
    bool found = false;
    if (!Valid(key, name) || !store_->Get(ConfigView::Persistent, key, &entry, &found, name) || !found ||
        entry.type != ValueType::String)
        return nullptr;
    char* copy = DupString(entry.text);
    OPENSSL_cleanse(entry.text.data(), entry.text.size());
    return copy;
}

char* PersistentConfig::SecureReadString(const char* key, const char* name) { return ReadString(key, name); }

bool PersistentConfig::WriteString(const char* key, const char* name, const char* value) {
    if (!Valid(key, name) || !value)
        return false;
    ConfigEntry entry{ConfigView::Persistent, key, name, ValueType::String, value, 0, {}};
    bool ok = store_->Put(entry);
    OPENSSL_cleanse(entry.text.data(), entry.text.size());
    return ok;
}

bool PersistentConfig::Delete(const char* key, const char* name) {
    bool removed = false;
    return Valid(key, name) && store_->DeleteKey(ConfigView::Persistent, key, &removed, name) && removed;
}

bool PersistentConfig::Commit(int /*flush*/) { return store_->Checkpoint(); }

void PersistentConfig::FreeString(char* value) { WipeAndFree(value); }

}  // namespace hostkit

// The persistent configuration lives in the hostkit store it is given (or, with
// none, in the global one); any other IConfig cannot hold it.
IPersistentConfig* CreatePersistentConfig(IConfig* config, IRegistryOperator* /*registry*/) {
    auto* store = dynamic_cast<hostkit::ConfigStore*>(config ? config : GetGlobalConfig());
    if (!store) {
        error("CreatePersistentConfig: the configuration is not a hostkit store");
        return nullptr;
    }
    return new (std::nothrow) hostkit::PersistentConfig(store);
}

void ReleasePersistentConfig(IPersistentConfig* persistent) { delete persistent; }
