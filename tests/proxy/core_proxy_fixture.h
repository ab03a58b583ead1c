// Shared by the proxy suites: a real configuration store in a private
// directory, installed as the process's configuration while the test runs.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config_store.h"
#include "hostkit/temp_dir.h"
#include "proxy/ProxyConfig.h"
#include "proxy/ProxyPassword.h"
#include "proxy/platform_winhttp_support.h"

class ProxyStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        store = hostkit::ConfigStore::Open(dir.file("config.db"), &reason);
        ASSERT_TRUE(store) << reason;
        hostkit::SetGlobalConfig(store.get());
    }
    void TearDown() override { hostkit::SetGlobalConfig(nullptr); }

    // Policy's proxy password: enciphered as the library stores it, but in the
    // secure view.
    void SetPolicyPassword(const std::string& password) {
        ASSERT_TRUE(StoreProxyPassword(store.get(), password.c_str()));
        std::vector<uint8_t> cipher;
        ASSERT_TRUE(proxy_config::ReadBinary(store.get(), proxy_config::View::Local, proxy_config::kPassword, &cipher));
        ASSERT_TRUE(store->SetSecureBinary(proxy_config::kPassword, cipher.data(), static_cast<uint32_t>(cipher.size())));
        ASSERT_TRUE(store->DeleteKey(hostkit::ConfigView::Local, proxy_config::kPassword));
    }

    // Every byte of the store on disk (database and write-ahead log).
    std::string StoreBytes() const {
        std::string bytes;
        for (const char* suffix : {"", "-wal"}) {
            std::ifstream in(dir.file(std::string("config.db") + suffix), std::ios::binary);
            bytes.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return bytes;
    }

    TempDir dir;
    std::unique_ptr<hostkit::ConfigStore> store;
};

#include <chrono>
#include <functional>
#include <thread>

// The proxy environment variables, cleared for the test and put back after.
class ProxyEnvironment : public proxytest::EnvScope {
public:
    ProxyEnvironment() { clear_proxies(); }
    void Set(const char* name, const std::string& value) { set(name, value); }
};

// Polls `done` until it holds or `bound` passes (a bound for failure only).
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
