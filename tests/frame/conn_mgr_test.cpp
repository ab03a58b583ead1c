// The cloud connection manager over the real configuration store: thresholds,
// forced failures, the final forbidden state and observers told in order.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config_store.h"
#include "frame/TesselCloudConnectionMgr.h"
#include "hostkit/temp_dir.h"
#include "support/log_capture.h"

namespace {

constexpr char kMaxFailures[] = "config/agent/cloud/lookup/maxfailures";

// Records what it is told into a journal shared by every observer, so the
// order across observers is visible.
class Recorder : public ITesselCloudConnectionObserver {
public:
    Recorder(std::string name, std::vector<std::string>* journal) : name_(std::move(name)), journal_(journal) {}
    void ConnectionStateChanged(int32_t state) override { journal_->push_back(name_ + ":" + std::to_string(state)); }

private:
    std::string name_;
    std::vector<std::string>* journal_;
};

class ConnMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        store_ = hostkit::ConfigStore::Open(dir_.file("config.db"), &reason);
        ASSERT_TRUE(store_) << reason;
    }
    std::unique_ptr<TesselCloudConnectionMgr> Make() { return std::make_unique<TesselCloudConnectionMgr>(store_.get()); }
    void Fail(TesselCloudConnectionMgr& mgr, int times) {
        for (int i = 0; i < times; ++i)
            mgr.ReportCloudConnectionFailure(false);
    }

    TempDir dir_;
    std::unique_ptr<hostkit::ConfigStore> store_;
    std::vector<std::string> journal_;
    Recorder a_{"a", &journal_}, b_{"b", &journal_}, c_{"c", &journal_};
    LogCapture log_;
};

TEST_F(ConnMgrTest, FailuresCountAgainstTheThresholdOnlyWhenConnected) {
    auto mgr = Make();
    ASSERT_TRUE(mgr->RegisterObserver(&a_));
    // Before the first success nothing is told, however many failures.
    Fail(*mgr, 12);
    EXPECT_TRUE(journal_.empty());
    EXPECT_FALSE(mgr->IsCloudConnected());

    mgr->ReportCloudConnectionSuccessful();
    EXPECT_EQ(journal_, (std::vector<std::string>{"a:1"}));
    EXPECT_TRUE(mgr->IsCloudConnected());
    mgr->ReportCloudConnectionSuccessful();  // no change, no news
    Fail(*mgr, 4);
    EXPECT_TRUE(mgr->IsCloudConnected());
    mgr->ReportCloudConnectionSuccessful();  // resets the count
    Fail(*mgr, 4);
    EXPECT_EQ(journal_.size(), 1u);
    Fail(*mgr, 1);  // the fifth in a row
    EXPECT_EQ(journal_, (std::vector<std::string>{"a:1", "a:0"}));
    EXPECT_FALSE(mgr->IsCloudConnected());
    Fail(*mgr, 1);
    EXPECT_EQ(journal_.size(), 2u);
    EXPECT_TRUE(log_.containsTrace("TesselCloudConnectionMgr::ReportCloudConnectionFailure: m_failureCount: 6"));
    EXPECT_EQ(log_.count("TesselCloudConnectionMgr::ReportCloudConnectionFailure: Notifying observers"), 1u);

    // A forced failure when connected tells at once.
    mgr->ReportCloudConnectionSuccessful();
    mgr->ReportCloudConnectionFailure(true);
    EXPECT_EQ(journal_, (std::vector<std::string>{"a:1", "a:0", "a:1", "a:0"}));
}

TEST_F(ConnMgrTest, ThresholdComesFromConfigurationAndIsReloaded) {
    ASSERT_TRUE(store_->CreateInt(kMaxFailures, 0));
    auto mgr = Make();
    ASSERT_TRUE(mgr->RegisterObserver(&a_));
    mgr->ReportCloudConnectionSuccessful();
    Fail(*mgr, 1);  // a threshold of 0: the first failure tells
    EXPECT_EQ(journal_, (std::vector<std::string>{"a:1", "a:0"}));

    ASSERT_TRUE(store_->SetInt(kMaxFailures, 2));
    EXPECT_EQ(mgr->ReloadMaxFailures(), 2);
    mgr->ReportCloudConnectionSuccessful();
    Fail(*mgr, 1);
    EXPECT_TRUE(mgr->IsCloudConnected());
    Fail(*mgr, 1);
    EXPECT_FALSE(mgr->IsCloudConnected());

    // A key that disappears keeps the threshold in force.
    ASSERT_TRUE(store_->DeleteSubtree(kMaxFailures));
    EXPECT_EQ(mgr->ReloadMaxFailures(), -1);
    mgr->ReportCloudConnectionSuccessful();
    Fail(*mgr, 2);
    EXPECT_FALSE(mgr->IsCloudConnected());
}

TEST_F(ConnMgrTest, ForbiddenIsFinal) {
    auto mgr = Make();
    ASSERT_TRUE(mgr->RegisterObserver(&a_));
    mgr->ReportCloudConnectionSuccessful();
    mgr->ReportCloudConnectionForbidden();
    mgr->ReportCloudConnectionForbidden();  // told again
    mgr->ReportCloudConnectionSuccessful();
    mgr->ReportCloudConnectionFailure(true);
    Fail(*mgr, 10);
    EXPECT_FALSE(mgr->IsCloudConnected());
    EXPECT_EQ(journal_, (std::vector<std::string>{"a:1", "a:2", "a:2"}));
    EXPECT_TRUE(
        log_.containsError("TesselCloudConnectionMgr::ReportCloudConnectionSuccessful: Cannot exit forbidden state "));
    EXPECT_EQ(log_.count("TesselCloudConnectionMgr::ReportCloudConnectionFailure: Cannot exit forbidden state "), 11u);
    // Forbidden also from the initial state.
    auto fresh = Make();
    ASSERT_TRUE(fresh->RegisterObserver(&b_));
    fresh->ReportCloudConnectionForbidden();
    fresh->ReportCloudConnectionSuccessful();
    EXPECT_EQ(journal_.back(), "b:2");
    EXPECT_FALSE(fresh->IsCloudConnected());
}

TEST_F(ConnMgrTest, ObserversAreToldInRegistrationOrderWithoutDuplicates) {
    auto mgr = Make();
    EXPECT_TRUE(mgr->RegisterObserver(&b_));
    EXPECT_TRUE(mgr->RegisterObserver(&a_));
    EXPECT_TRUE(mgr->RegisterObserver(&c_));
    EXPECT_FALSE(mgr->RegisterObserver(&a_));
    EXPECT_TRUE(log_.containsError("TesselCloudConnectionMgr::RegisterObserver: Duplicate Observer"));
    EXPECT_FALSE(mgr->RegisterObserver(nullptr));
    EXPECT_TRUE(log_.containsError("TesselCloudConnectionMgr::RegisterObserver: Observer is NULL"));
    EXPECT_TRUE(log_.containsTrace("TesselCloudConnectionMgr::RegisterObserver: Number of observers 3"));
    mgr->ReportCloudConnectionSuccessful();
    EXPECT_EQ(journal_, (std::vector<std::string>{"b:1", "a:1", "c:1"}));

    journal_.clear();
    EXPECT_TRUE(mgr->RemoveObserver(&a_));
    log_.clear();
    EXPECT_FALSE(mgr->RemoveObserver(&a_));  // not registered: no message
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_FALSE(mgr->RemoveObserver(nullptr));
    EXPECT_TRUE(log_.containsError("TesselCloudConnectionMgr::RemoveObserver: Observer is NULL"));
    EXPECT_TRUE(mgr->RegisterObserver(&a_));
    mgr->ReportCloudConnectionFailure(true);
    EXPECT_EQ(journal_, (std::vector<std::string>{"b:0", "c:0", "a:0"}));
}

TEST_F(ConnMgrTest, ConcurrentReportsKeepOneVerdict) {
    auto mgr = Make();
    struct Counter : ITesselCloudConnectionObserver {
        int connected = 0, disconnected = 0;
        int32_t last = -1;
        void ConnectionStateChanged(int32_t state) override {
            // Runs under the manager's mutex: plain fields are enough.
            (state == 1 ? connected : disconnected)++;
            EXPECT_NE(state, last);  // every notice is a change
            last = state;
        }
    } counter;
    ASSERT_TRUE(mgr->RegisterObserver(&counter));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                if ((i + t) % 7 == 0)
                    mgr->ReportCloudConnectionSuccessful();
                else
                    mgr->ReportCloudConnectionFailure(i % 11 == 0);
                mgr->IsCloudConnected();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    mgr->ReportCloudConnectionSuccessful();
    EXPECT_TRUE(mgr->IsCloudConnected());
    EXPECT_EQ(counter.last, 1);
    EXPECT_GE(counter.connected, 1);
    EXPECT_EQ(counter.connected, counter.disconnected + 1);
}

}  // namespace
