// The five entry points against the real host components.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "dtk/IHttp.h"
#include "dtk/ProxyInfo.h"
#include "dtk/dtk.h"
#include "hostkit.h"
#include "kit/tessel_logger.h"
#include "platform/wsa.h"
#include "support/log_capture.h"

namespace fs = std::filesystem;

namespace {

// A host's own instance: only its destruction is observed.
class CustomInstance : public ITesselInstance {
public:
    explicit CustomInstance(bool* destroyed) : m_destroyed(destroyed) {}
    ~CustomInstance() override { *m_destroyed = true; }
    void PerformTesselRegistration() override {}
    bool IsRegistrationComplete() override { return true; }
    bool DownloadPolicy(uint32_t, const wchar_t*) override { return false; }
    void AddRcmsHandler(int32_t, TesselRcmsHandler) override {}
    void SetRetrospectiveCallback(TesselRetrospectiveCallback, int32_t) override {}
    void SetPolicyCallback(TesselPolicyCallback, int32_t) override {}
    void SetAvStatsCallback(TesselAvStatsCallback, int32_t) override {}
    void UpdateConfiguration() override {}
    void RestartPeriodicFast() override {}
    void ReportCloudConnectionFailure() override {}
    void ReportCloudConnectionSuccessful() override {}
    bool IsCloudConnected() override { return false; }
    bool RegisterObserver(ITesselCloudConnectionObserver*) override { return false; }
    bool RemoveObserver(ITesselCloudConnectionObserver*) override { return false; }
    IHttp* CreateHttp() override { return nullptr; }
    void ReleaseHttp(IHttp*) override {}
    ProxyInfo* LoadProxyInfo() override { return nullptr; }
    void ReleaseProxyInfo(ProxyInfo*) override {}
    bool TestProxy(const ProxyInfo*, IConfig*) override { return false; }
    bool DiscoverAndSaveProxy() override { return false; }
    bool DiscoverValidProxy(IConfig*) override { return false; }
    void DiscoverProxies(ProxyInfoList*) override {}
    void StartProxyDiscovery() override {}
    ITesselCloudWrapper* GetCloudWrapper() override { return nullptr; }

private:
    bool* m_destroyed;
};

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dtk-frame-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        std::string error;
        store = hostkit::ConfigStore::Open((dir / "config.db").string(), &error);
        ASSERT_TRUE(store) << error;
        winApi = CreateWinApiWrapper();
        ASSERT_NE(winApi, nullptr);
    }
    void TearDown() override {
        SetCustomTesselInstance(nullptr);
        DeinitTesselWrapper();
        DeleteWinApiWrapper(winApi);
        store.reset();
        fs::remove_all(dir);
    }

    fs::path dir;
    std::unique_ptr<hostkit::ConfigStore> store;
    IWinApiWrapper* winApi = nullptr;
    LogCapture log;
};

TEST_F(ExportsTest, CreateBeforeInitIsRefusedAndCountsNothing) {
    EXPECT_EQ(CreateTesselWrapper(), nullptr);
    EXPECT_TRUE(log.containsError("CreateTesselWrapper: Tessel has not been initialized"));
    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    DeinitTesselWrapper();
    EXPECT_FALSE(log.contains("_refCount is"));
    EXPECT_EQ(CreateTesselWrapper(), nullptr);
}

TEST_F(ExportsTest, InitRefusesNullArgumentsInOrderWithoutStartingSockets) {
    int sockets = WSAStartupCount();
    EXPECT_FALSE(InitTesselWrapper(nullptr, nullptr));
    EXPECT_FALSE(InitTesselWrapper(nullptr, winApi));
    EXPECT_EQ(log.count("InitTesselWrapper: pConfig cannot be NULL"), 2u);
    EXPECT_FALSE(InitTesselWrapper(store.get(), nullptr));
    EXPECT_TRUE(log.containsError("InitTesselWrapper: pWinApiWrapper cannot be NULL"));
    EXPECT_EQ(WSAStartupCount(), sockets);
    EXPECT_EQ(CreateTesselWrapper(), nullptr);

    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    EXPECT_EQ(WSAStartupCount(), sockets + 1);
    DeinitTesselWrapper();
    EXPECT_EQ(WSAStartupCount(), sockets);
}

// The host's wrapper whose registry access throws while the instance is built.
class ThrowingWinApi : public IWinApiWrapper {
public:
    explicit ThrowingWinApi(IWinApiWrapper* real) : m_real(real) {}
    IComputerName* GetComputerNameObject() override { return m_real->GetComputerNameObject(); }
    IIpHelper* GetIpHelperObject() override { return m_real->GetIpHelperObject(); }
    RegistryAccess GetRegistryAccess() override { throw std::runtime_error("registry unavailable"); }

private:
    IWinApiWrapper* m_real;
};

TEST_F(ExportsTest, InitThatThrowsLeavesTheLibraryUninitialisedAndSocketsBalanced) {
    int sockets = WSAStartupCount();
    ThrowingWinApi throwing(winApi);
    EXPECT_THROW(InitTesselWrapper(store.get(), &throwing), std::runtime_error);
    EXPECT_EQ(WSAStartupCount(), sockets);
    EXPECT_EQ(CreateTesselWrapper(), nullptr);
    tessel_log(TESSEL_LOG_ERR, "unit.c", 1, "no bridge after a failed start");
    EXPECT_FALSE(log.contains("no bridge after a failed start"));

    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi)) << "a failed start must not count as initialised";
    EXPECT_EQ(WSAStartupCount(), sockets + 1);
    DeinitTesselWrapper();
    EXPECT_EQ(WSAStartupCount(), sockets);
}

TEST_F(ExportsTest, SecondInitIsRefusedAndTheFirstInstanceKeepsWorking) {
    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    ITesselInstance* first = CreateTesselWrapper();
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(InitTesselWrapper(store.get(), winApi));
    EXPECT_TRUE(log.containsError("InitTesselWrapper: already initialized"));
    EXPECT_EQ(CreateTesselWrapper(), first);
    EXPECT_FALSE(first->IsRegistrationComplete());
    ReleaseTesselWrapper(first);
    ReleaseTesselWrapper(first);
}

TEST_F(ExportsTest, DeinitWaitsForEveryReference) {
    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    ITesselInstance* a = CreateTesselWrapper();
    ITesselInstance* b = CreateTesselWrapper();
    ASSERT_EQ(a, b);
    DeinitTesselWrapper();
    EXPECT_TRUE(log.containsError("DeinitTesselWrapper: _refCount is 2"));
    EXPECT_EQ(CreateTesselWrapper(), a) << "nothing may be destroyed while references are outstanding";
    ReleaseTesselWrapper(a);
    ReleaseTesselWrapper(a);
    DeinitTesselWrapper();
    EXPECT_TRUE(log.containsError("DeinitTesselWrapper: _refCount is 1"));
    ReleaseTesselWrapper(b);
    DeinitTesselWrapper();
    EXPECT_EQ(CreateTesselWrapper(), nullptr);
}

TEST_F(ExportsTest, ReleaseRefusesForeignPointersAndAnEmptyCount) {
    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    ITesselInstance* instance = CreateTesselWrapper();
    bool destroyed = false;
    CustomInstance foreign(&destroyed);
    ReleaseTesselWrapper(&foreign);
    char expected[64];
    snprintf(expected, sizeof expected, "ReleaseTesselWrapper: Wrong object %p", static_cast<void*>(&foreign));
    EXPECT_TRUE(log.containsError(expected));
    // A null pointer never matches, even when no custom instance is set.
    ReleaseTesselWrapper(nullptr);
    EXPECT_EQ(log.count("ReleaseTesselWrapper: Wrong object"), 2u);
    // The count was not touched: one reference is still outstanding.
    DeinitTesselWrapper();
    EXPECT_TRUE(log.containsError("DeinitTesselWrapper: _refCount is 1"));
    ReleaseTesselWrapper(instance);
    ReleaseTesselWrapper(instance);
    EXPECT_TRUE(log.containsError("ReleaseTesselWrapper: _refcount already 0"));
    DeinitTesselWrapper();
    EXPECT_EQ(CreateTesselWrapper(), nullptr);
}

TEST_F(ExportsTest, CustomInstanceSharesTheCountAndOutlivesDeinit) {
    bool destroyed = false;
    {
        CustomInstance custom(&destroyed);
        SetCustomTesselInstance(&custom);
        EXPECT_EQ(CreateTesselWrapper(), &custom) << "handed out even before InitTesselWrapper";
        ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
        EXPECT_EQ(CreateTesselWrapper(), &custom);
        DeinitTesselWrapper();
        EXPECT_TRUE(log.containsError("DeinitTesselWrapper: _refCount is 2"));
        ReleaseTesselWrapper(&custom);
        ReleaseTesselWrapper(&custom);
        DeinitTesselWrapper();
        EXPECT_FALSE(destroyed);
        EXPECT_EQ(CreateTesselWrapper(), &custom);
        ReleaseTesselWrapper(&custom);
        SetCustomTesselInstance(nullptr);
        EXPECT_EQ(CreateTesselWrapper(), nullptr);
    }
    EXPECT_TRUE(destroyed);
}

TEST_F(ExportsTest, KitLinesReachTheHostThroughTheBridgeWhileInitialised) {
    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    tessel_log(TESSEL_LOG_ERR, "src\\kit\\unit.c", 12, "failed %d", 5);
    tessel_log(TESSEL_LOG_WARNING, "unit.c", 13, "warning");
    tessel_log(TESSEL_LOG_INFO, "unit.c", 14, "info");
    EXPECT_TRUE(log.containsError("[TESSEL-WIN][unit.c@12]: failed 5"));
    EXPECT_TRUE(log.containsTrace("[TESSEL-WIN][unit.c@13]: warning", 0x1000));
    EXPECT_TRUE(log.containsTrace("[TESSEL-WIN][unit.c@14]: info", 0x1000));
    EXPECT_FALSE(log.containsError("[TESSEL-WIN][unit.c@14]"));
    DeinitTesselWrapper();
    log.clear();
    tessel_log(TESSEL_LOG_ERR, "unit.c", 15, "after deinit");
    EXPECT_FALSE(log.contains("after deinit"));
}

// Every operation reaches its component: none is left "not available", and
// objects handed to the host come back through the instance.
TEST_F(ExportsTest, EveryOperationReachesItsComponent) {
    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    ITesselInstance* instance = CreateTesselWrapper();
    ASSERT_NE(instance, nullptr);
    EXPECT_FALSE(instance->IsCloudConnected());
    instance->ReportCloudConnectionSuccessful();
    EXPECT_TRUE(instance->IsCloudConnected());
    ITesselCloudWrapper* cloud = instance->GetCloudWrapper();
    ASSERT_NE(cloud, nullptr);
    EXPECT_EQ(instance->GetCloudWrapper(), cloud) << "one wrapper for the life of the instance";
    EXPECT_TRUE(cloud->IsFailedResponse(nullptr));
    IHttp* http = instance->CreateHttp();
    ASSERT_NE(http, nullptr);
    instance->ReleaseHttp(http);
    instance->ReleaseHttp(nullptr);
    ProxyInfo* proxy = instance->LoadProxyInfo();
    ASSERT_NE(proxy, nullptr) << "handed out whatever the load yielded";
    EXPECT_TRUE(proxy->server.empty());
    instance->ReleaseProxyInfo(proxy);
    EXPECT_FALSE(instance->TestProxy(nullptr, store.get()));
    EXPECT_FALSE(instance->DownloadPolicy(1, L""));
    EXPECT_TRUE(log.containsError("TesselHttp::DownloadPolicy: Invalid arguments"));
    EXPECT_FALSE(log.contains(": not available"));
    ReleaseTesselWrapper(instance);
}

// The failure threshold is re-read before the rest of the configuration, and
// observers registered through the instance hear each verdict.
TEST_F(ExportsTest, UpdateConfigurationAppliesANewFailureThreshold) {
    struct Observer : ITesselCloudConnectionObserver {
        std::vector<int32_t> states;
        void ConnectionStateChanged(int32_t state) override { states.push_back(state); }
    } observer;
    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    ITesselInstance* instance = CreateTesselWrapper();
    ASSERT_TRUE(instance->RegisterObserver(&observer));
    EXPECT_FALSE(instance->RegisterObserver(&observer));
    instance->ReportCloudConnectionSuccessful();
    ASSERT_TRUE(store->SetInt("config/agent/cloud/lookup/maxfailures", 2, true));
    instance->UpdateConfiguration();
    EXPECT_TRUE(log.containsTrace(
        "TesselRegistrationHandler::UpdateConfiguration: registration handle is null. Tessel not initiailed"));
    instance->ReportCloudConnectionFailure();
    EXPECT_TRUE(instance->IsCloudConnected());
    instance->ReportCloudConnectionFailure();
    EXPECT_FALSE(instance->IsCloudConnected()) << "the second failure reaches the new threshold of 2";
    EXPECT_EQ(observer.states, (std::vector<int32_t>{TesselCloudConnected, TesselCloudDisconnected}));
    EXPECT_TRUE(instance->RemoveObserver(&observer));
    ReleaseTesselWrapper(instance);
}

TEST_F(ExportsTest, CreateAndReleaseBalanceAcrossThreads) {
    ASSERT_TRUE(InitTesselWrapper(store.get(), winApi));
    std::atomic<int> wrong{0};
    ITesselInstance* expected = CreateTesselWrapper();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ITesselInstance* instance = CreateTesselWrapper();
                if (instance != expected)
                    ++wrong;
                ReleaseTesselWrapper(instance);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    ReleaseTesselWrapper(expected);
    DeinitTesselWrapper();
    EXPECT_FALSE(log.contains("_refCount is"));
    EXPECT_FALSE(log.contains("_refcount already 0"));
    EXPECT_EQ(CreateTesselWrapper(), nullptr);
}

}  // namespace
