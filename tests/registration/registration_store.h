// A real configuration store in a private directory, with the persistent
// configuration over it, for the registration suites.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config_store.h"
#include "hostkit/temp_dir.h"
#include "persistent_config.h"

class RegistrationStore {
public:
    RegistrationStore() {
        std::string err;
        store = hostkit::ConfigStore::Open(dir.file("config.db"), &err);
        EXPECT_TRUE(store) << err;
        if (store)
            persistent = std::make_unique<hostkit::PersistentConfig>(store.get());
    }

    // Copies and frees what the store handed out ("" when absent).
    std::string Persistent(const char* key, const char* name) const {
        char* value = persistent->ReadString(key, name);
        std::string copy = value ? value : "";
        persistent->FreeString(value);
        return copy;
    }
    std::wstring LocalW(const char* key) const {
        wchar_t* value = store->GetLocalStringW(key);
        std::wstring copy = value ? value : L"";
        store->FreeStringW(value);
        return copy;
    }

    TempDir dir;
    std::unique_ptr<hostkit::ConfigStore> store;
    std::unique_ptr<hostkit::PersistentConfig> persistent;
};
