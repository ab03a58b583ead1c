#include "instance/instance_fixture.h"

#include <dlfcn.h>

#include <future>
#include <thread>

#include "host/WinApi.h"

namespace instance_test {

namespace {

template <typename Fn>
Fn Symbol(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

constexpr const char* kAffiliateGuid = "aff111a7-e000-4111-8222-333344445555";
constexpr const char* kBusinessGuid = "10203040-5060-7080-90a0-b0c0d0e0f001";
constexpr const char* kActcode = "c0dec0de-1234-4567-89ab-cdef01234567";

}  // namespace

Library::Library() {
    const std::string path = std::string(DTK_BINARY_DIR) + "/lib/libdtk.so";
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
        return;
    }
    Init = Symbol<InitTesselWrapperFn>(handle, "InitTesselWrapper");
    Deinit = Symbol<DeinitTesselWrapperFn>(handle, "DeinitTesselWrapper");
    Create = Symbol<CreateTesselWrapperFn>(handle, "CreateTesselWrapper");
    Release = Symbol<ReleaseTesselWrapperFn>(handle, "ReleaseTesselWrapper");
    SetCustom = Symbol<SetCustomTesselInstanceFn>(handle, "SetCustomTesselInstance");
    EXPECT_TRUE(Init && Deinit && Create && Release && SetCustom) << path << " lacks an entry point";
}

Library::~Library() {
    if (handle)
        dlclose(handle);
}

testbed::Pki& pki() {
    static testbed::Pki* instance = new testbed::Pki();
    return *instance;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool returnsWithin(const std::function<void()>& call, std::chrono::milliseconds bound) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([call, done] {
        call();
        done->set_value();
    }).detach();
    return finished.wait_for(bound) == std::future_status::ready;
}

void InstanceTest::SetUp() {
    ASSERT_TRUE(lib_.Init);
    std::string reason;
    store_ = hostkit::ConfigStore::Open(dir_.file("config.db"), &reason);
    ASSERT_TRUE(store_) << reason;
    persistent_ = std::make_unique<hostkit::PersistentConfig>(store_.get());
    winApi_ = CreateWinApiWrapper();
    ASSERT_NE(winApi_, nullptr);
}

void InstanceTest::TearDown() {
    Stop();
    DeleteWinApiWrapper(winApi_);
    cloud_.stop();
    management_.stop();
    est_.stop();
    ExpectNoSecretInLog();
}

void InstanceTest::ExpectNoSecretInLog() {
    // The activation code and private keys never reach a log line.
    for (const char* secret : {kActcode, "PRIVATE KEY"})
        EXPECT_FALSE(log_.contains(secret)) << "secret in the log: " << secret;
}

void InstanceTest::ConfigureAgent() {
    ASSERT_TRUE(store_->SetSecureString("config/agent/affiliate/uuid", kAffiliateGuid));
    ASSERT_TRUE(store_->SetSecureString("config/vesta/business/uuid", kBusinessGuid));
    ASSERT_TRUE(persistent_->WriteString("config/vesta/install/token", "install_token", kActcode));
    ASSERT_TRUE(store_->SetString("config/agent/version", "8.4.2", true));
    ASSERT_TRUE(store_->SetString("config/agent/revision", "77", true));
    ASSERT_TRUE(store_->SetSecureString("config/agent/cloud/trustedcerts/cert", pki().ca().credential().cert_pem.c_str()));
    ASSERT_TRUE(store_->SetInt("config/agent/ekds/mode", 1, true));
}

void InstanceTest::StartServers(long cloudDisposition) {
    testbed::EstServerOptions est;
    est.identity = &pki().server();
    est.ca = &pki().ca();
    ASSERT_TRUE(est_.start(est));
    testbed::ManagementServerOptions management;
    management.identity = &pki().server();
    management.client_ca = pki().ca().cert();
    ASSERT_TRUE(management_.start(management));
    StartCloud(cloud_, cloudDisposition);
    // The enrolment server is reached on the cloud port setting, the cloud
    // server through the port in its host name.
    ASSERT_TRUE(store_->SetString("config/vesta/endpoint/est", "127.0.0.1", true));
    ASSERT_TRUE(store_->SetInt("config/agent/cloud/asn1_port", est_.port(), true));
    StoreCloudHost(cloud_.port());
    ASSERT_TRUE(store_->SetString("config/vesta/endpoint/mgmt", management_.base_url().c_str(), true));
}

void InstanceTest::StartCloud(testbed::CloudServer& server, long disposition, bool keepLog) {
    testbed::CloudServerOptions options;
    options.identity = &pki().server();
    options.client_ca = pki().ca().cert();
    options.disposition = disposition;
    options.keep_log = keepLog;
    ASSERT_TRUE(server.start(options));
    server.set_reg_answers({0});
}

void InstanceTest::StoreCloudHost(uint16_t port) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    ASSERT_TRUE(store_->SetString("config/agent/cloud/asn1_host", host.c_str(), true));
}

ITesselInstance* InstanceTest::Start() {
    EXPECT_TRUE(lib_.Init(store_.get(), winApi_));
    instance_ = lib_.Create();
    EXPECT_NE(instance_, nullptr);
    return instance_;
}

void InstanceTest::Stop() {
    if (instance_) {
        lib_.Release(instance_);
        instance_ = nullptr;
    }
    if (lib_.Deinit)
        lib_.Deinit();
}

std::string InstanceTest::Persistent(const char* key, const char* name) const {
    char* value = persistent_->ReadString(key, name);
    std::string copy = value ? value : "";
    persistent_->FreeString(value);
    return copy;
}

}  // namespace instance_test
