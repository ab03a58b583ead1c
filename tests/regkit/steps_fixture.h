// Shared set-up of the registration-step tests: one test PKI per process, the
// testbed's EST and cloud servers on loopback, a registration handle aimed at
// them, and a capture of the kit's log lines.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kit/registration_manager/tessel_registration_manager.h"
#include "regkit/guids.h"
#include "support/kit_log_capture.h"
#include "testbed/cloud_server.h"
#include "testbed/est_server.h"
#include "testbed/pki.h"

namespace steps_test {

using namespace std::chrono_literals;

using namespace regkit_guids;

testbed::Pki& pki();

// Polls `pred` every 10 ms; true once it holds, false after `timeout`.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

// A file lookup with identity `n` on `cloud`; true when it is answered.
bool lookup(cv_cloud_handle* cloud, int n);

struct RegistrationFree {
    void operator()(tessel_registration_handle* h) const { tessel_registration_free(h); }
};
using RegistrationPtr = std::unique_ptr<tessel_registration_handle, RegistrationFree>;

class StepsFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the EST server (trusting the test CA) / the cloud server
    // (requiring client certificates of the test CA).
    void start_est();
    void start_cloud();
    // A handle from config_ (with any changes made to it before).
    tessel_registration_handle* make_registration();
    // A certificate of the test CA with this common name, valid for `days`.
    testbed::X509Ptr issue_cert(const std::string& cn, double days, double not_before_days = -1);
    // Puts `cert` into the handle (it takes its own reference).
    void give_cert(X509* cert);
    // `read(handle)` under the handle's mutex, for fields other threads write.
    template <typename F>
    auto locked(F read) {
        pthread_mutex_lock(&reg_->mutex);
        auto value = read(reg_.get());
        pthread_mutex_unlock(&reg_->mutex);
        return value;
    }
    // True when no captured line holds any of the secrets of the tests.
    void expect_no_secret_logged() const;

    testbed::KitLogCapture log_;
    testbed::EstServer est_;
    testbed::CloudServer cloud_;
    testbed::PKeyPtr key_;
    registration_config config_ {};
    X509* roots_[1] {};
    RegistrationPtr reg_;

    // What the callbacks saw.
    std::mutex seen_mutex_;
    int certificates_saved_ = 0;
    int resolver_calls_ = 0;
    std::vector<int> events_;
};

}  // namespace steps_test
