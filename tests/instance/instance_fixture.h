// The library as a host drives it: libdtk.so loaded with dlopen, initialised
// with the real host components over a store in a private directory, and
// pointed at the testbed's EST, management and cloud servers on loopback.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "config_store.h"
#include "dtk/dtk.h"
#include "hostkit.h"
#include "hostkit/temp_dir.h"
#include "persistent_config.h"
#include "support/log_capture.h"
#include "testbed/cloud_server.h"
#include "testbed/est_server.h"
#include "testbed/management_server.h"
#include "testbed/pki.h"

namespace instance_test {

using namespace std::chrono_literals;

// libdtk.so and its five entry points. The library stays mapped after the
// handle is closed (its one-time initialisation is never undone).
struct Library {
    Library();
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    void* handle = nullptr;
    InitTesselWrapperFn Init = nullptr;
    DeinitTesselWrapperFn Deinit = nullptr;
    CreateTesselWrapperFn Create = nullptr;
    ReleaseTesselWrapperFn Release = nullptr;
    SetCustomTesselInstanceFn SetCustom = nullptr;
};

// The process's test PKI.
testbed::Pki& pki();

// Polls `done` every 10 ms until it holds (true) or `bound` passes (false).
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds bound);

// Runs `call` on its own thread; true when it returned within `bound` (a bound
// for failure only: a call that hangs is left running and the test fails).
bool returnsWithin(const std::function<void()>& call, std::chrono::milliseconds bound);

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes what an installed agent's configuration holds before its first
    // registration: identity GUIDs, activation code, versions, trusted CA,
    // enrolment generation and the three servers. No GUID, key or certificate.
    void ConfigureAgent();
    // `cloudDisposition` is the header disposition of the cloud server's
    // default answers (5 makes a ping answer a policy notice).
    void StartServers(long cloudDisposition = 1);
    // A cloud server as StartServers starts its own (registration answered
    // with success); `keepLog` false for long runs.
    static void StartCloud(testbed::CloudServer& server, long disposition = 1, bool keepLog = true);
    // Points the stored cloud host at a server on loopback.
    void StoreCloudHost(uint16_t port);
    // InitTesselWrapper and CreateTesselWrapper; the instance is released and
    // the library deinitialised at TearDown (or by Stop).
    ITesselInstance* Start();
    void Stop();

    std::string Persistent(const char* key, const char* name) const;
    // Run at TearDown; a long test also runs it before it clears the log.
    void ExpectNoSecretInLog();

    Library lib_;
    TempDir dir_;
    std::unique_ptr<hostkit::ConfigStore> store_;
    std::unique_ptr<hostkit::PersistentConfig> persistent_;
    IWinApiWrapper* winApi_ = nullptr;
    ITesselInstance* instance_ = nullptr;
    testbed::EstServer est_;
    testbed::ManagementServer management_;
    testbed::CloudServer cloud_;
    LogCapture log_;
};

}  // namespace instance_test
