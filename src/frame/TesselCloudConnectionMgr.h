// One verdict on the health of the cloud connection for the whole library:
// connected, disconnected after too many consecutive failures, or forbidden by
// the server (final). Observers hear of every change, in registration order.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "dtk/ITesselInstance.h"

class IConfig;

class ITesselCloudConnectionMgr {
public:
    virtual ~ITesselCloudConnectionMgr() = default;
    virtual void ReportCloudConnectionFailure(bool force) = 0;
    virtual void ReportCloudConnectionSuccessful() = 0;
    virtual void ReportCloudConnectionForbidden() = 0;
    virtual bool IsCloudConnected() = 0;
    virtual bool RegisterObserver(ITesselCloudConnectionObserver* observer) = 0;
    virtual bool RemoveObserver(ITesselCloudConnectionObserver* observer) = 0;
    // Re-reads "config/agent/cloud/lookup/maxfailures"; answers the value read
    // (-1 when absent, and the threshold is then kept).
    virtual int32_t ReloadMaxFailures() = 0;
};

// Observers run with the manager's mutex held: they must return quickly and
// must not call back into the manager.
class TesselCloudConnectionMgr : public ITesselCloudConnectionMgr {
public:
    explicit TesselCloudConnectionMgr(IConfig* config);

    void ReportCloudConnectionFailure(bool force) override;
    void ReportCloudConnectionSuccessful() override;
    void ReportCloudConnectionForbidden() override;
    bool IsCloudConnected() override;
    bool RegisterObserver(ITesselCloudConnectionObserver* observer) override;
    bool RemoveObserver(ITesselCloudConnectionObserver* observer) override;
    int32_t ReloadMaxFailures() override;

private:
    int32_t ReadMaxFailures();  // with m_mutex held
    void Notify(int32_t state);  // with m_mutex held

    IConfig* m_config;
    std::mutex m_mutex;
    uint32_t m_failureCount = 0;
    uint32_t m_maxFailures = 5;
    int32_t m_state = TesselCloudDisconnected;
    std::vector<ITesselCloudConnectionObserver*> m_observers;
};
