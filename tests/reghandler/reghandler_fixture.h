// Shared set-up of the registration handler suites: a real store in a private
// directory, the handler stack over it, the registration servers (started on
// demand) and a counter of proxy discovery runs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "hostkit/temp_dir.h"
#include "support/log_capture.h"
#include "support/registration_stack.h"
#include "testbed/cloud_server.h"
#include "testbed/management_server.h"

namespace reghandler_test {

using namespace std::chrono_literals;

// The activation code of the tests: it may reach no log line.
inline const char kActcodeText[] = "c0dec0de-1234-4567-89ab-cdef01234567";

testbed::Pki& pki();

// Counts the notifications of proxy discovery.
class DiscoveryCounter : public IProxyConsumer {
public:
    void ProxiesDiscovered(const ProxyInfoList& proxies) override;
    // Waits (bounded) until at least `n` notifications arrived.
    bool WaitFor(int n, std::chrono::milliseconds timeout);
    int Count();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
};

// A configured HTTP proxy on 127.0.0.1.
ProxyInfo HttpProxy(uint16_t port);

class HandlerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the servers and stores what a registration against them needs.
    void StartRegistrationServers();

    LogCapture log_;
    TempDir dir_;
    std::unique_ptr<hostkit::ConfigStore> store_;
    testbed::RegistrationServers servers_;
    std::unique_ptr<testbed::RegistrationStack> stack_;
    DiscoveryCounter discovered_;
};

}  // namespace reghandler_test
