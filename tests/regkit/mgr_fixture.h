// Shared set-up of the registration manager tests: one test PKI per process,
// the testbed's management, EST and cloud servers on loopback, a registration
// configuration aimed at them, a replaceable kit clock, and what the host's
// callbacks saw.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kit/registration_manager/tessel_registration_manager.h"
#include "kit/tessel_time.h"
#include "support/kit_log_capture.h"
#include "testbed/cloud_server.h"
#include "testbed/est_server.h"
#include "testbed/management_server.h"
#include "testbed/pki.h"
#include "regkit/steps_fixture.h"

namespace mgr_test {

using namespace std::chrono_literals;

using namespace regkit_guids;

// The process's test PKI and the bounded poll are the step tests' own.
using steps_test::eventually;
using steps_test::pki;

// A kit clock whose second lasts `second_ns` in the kit's waits and whose
// time runs at the same pace; its random source returns `random_value`.
// Installed while alive.
class ScaledClock {
public:
    ScaledClock(uint64_t second_ns, uint32_t random_value);
    ~ScaledClock();
    ScaledClock(const ScaledClock&) = delete;
    ScaledClock& operator=(const ScaledClock&) = delete;

private:
    static int64_t now(void* self);
    static uint32_t random(void* self);
    tessel_clock clock_;
    int64_t epoch_;
    std::chrono::steady_clock::time_point start_;
    uint32_t random_value_;
};

// The form fields and adapters the tests' host fills in: a text entry, a
// number entry of 0, an empty text entry and one of an unknown type (both
// left out), and three adapters.
void fill_host_records(vesta_registration_info* registration_info, vesta_host_info* host_info);

// Sends one file lookup through the connector's current cloud connection and
// waits (bounded) for its completion. True when a response arrived.
bool lookup(client_connector* connector);

// The back-off waits the run announced, in order (from its debug lines).
std::vector<unsigned> announced_waits(const testbed::KitLogCapture& log);

struct RegistrationFree {
    void operator()(tessel_registration_handle* h) const { tessel_registration_free(h); }
};
using RegistrationPtr = std::unique_ptr<tessel_registration_handle, RegistrationFree>;

// What the host's callbacks saw.
struct HostRecord {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> statuses;        // every status_update_fn state
    std::vector<int> est_errors;      // the last EST error told with each
    std::vector<int> final_states;    // registration_completed_fn
    std::vector<bool> final_connector;  // whether it carried a connector
    std::vector<int64_t> prepared_at;   // kit time of each prepare_vesta_registration_fn
    int guid_requests = 0;
    int certificates = 0;
    int prepare_result = 0;  // what prepare_vesta_registration_fn answers
    const uint8_t* next_guid = kAgentGuid;  // what new_guid_fn answers
    std::function<void(int)> on_status;     // runs inside status_update_fn

    // Forgets everything seen (the answers stay).
    void reset();
    // Waits (bounded) until `pred` holds under the mutex.
    bool wait(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
};

class MgrFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void start_management();
    void start_est();
    void start_cloud();
    tessel_registration_handle* make_registration();
    // Waits (bounded) until the run reported its end and its thread let go of the handle.
    bool run_ended(std::chrono::milliseconds bound = 60s);
    // Every status the host was told, in order.
    std::vector<int> statuses();
    // Stops (`free_handle`: frees) the run whose network step is in flight and
    // checks that the call and the run's end come within a bound far below the
    // steps' time-outs (15 s HTTP, 10 s EST), and that the run ended stopped.
    void stop_in_flight(bool free_handle);
    // A first run against all three servers with a renewal interval of
    // `interval` kit seconds on a clock whose second lasts 0.5 ms (one
    // periodic tick is 150 ms); the management server answers `script`.
    // Returns when the run ended.
    void register_and_renew(std::vector<int> script, int64_t interval);
    // Installs a scaled kit clock until the end of the test (after the handle is freed).
    void use_clock(uint64_t second_ns, uint32_t random_value) {
        clock_.reset();
        clock_ = std::make_unique<ScaledClock>(second_ns, random_value);
    }

    std::unique_ptr<ScaledClock> clock_;
    testbed::KitLogCapture log_;
    testbed::ManagementServer management_;
    testbed::EstServer est_;
    testbed::CloudServer cloud_;
    testbed::PKeyPtr key_;
    X509* roots_[1] {};
    registration_config config_ {};
    HostRecord host_;
    RegistrationPtr reg_;
};

}  // namespace mgr_test
