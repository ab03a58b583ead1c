#include "frame/TesselCloudConnectionMgr.h"

#include <algorithm>

#include "host/IConfig.h"
#include "host/Util.h"

namespace {

constexpr char kMaxFailuresKey[] = "config/agent/cloud/lookup/maxfailures";

}  // namespace

TesselCloudConnectionMgr::TesselCloudConnectionMgr(IConfig* config) : m_config(config) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ReadMaxFailures();
}

int32_t TesselCloudConnectionMgr::ReadMaxFailures() {
    int32_t value = m_config ? m_config->GetInt(kMaxFailuresKey) : -1;
    if (value != -1)
        m_maxFailures = static_cast<uint32_t>(value);
    return value;
}

int32_t TesselCloudConnectionMgr::ReloadMaxFailures() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return ReadMaxFailures();
}

void TesselCloudConnectionMgr::Notify(int32_t state) {
    for (ITesselCloudConnectionObserver* observer : m_observers)
        observer->ConnectionStateChanged(state);
}

void TesselCloudConnectionMgr::ReportCloudConnectionFailure(bool force) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state == TesselCloudForbidden) {
        error("TesselCloudConnectionMgr::ReportCloudConnectionFailure: Cannot exit forbidden state ");
        return;
    }
    if (force)
        m_failureCount = m_maxFailures;
    else if (m_failureCount != UINT32_MAX)  // a long outage must not wrap back below the threshold
        ++m_failureCount;
    trace(kTesselTraceCategory, "TesselCloudConnectionMgr::ReportCloudConnectionFailure: m_failureCount: %d",
          static_cast<int>(m_failureCount));
    if (m_failureCount >= m_maxFailures && m_state == TesselCloudConnected) {
        m_state = TesselCloudDisconnected;
        trace(kTesselTraceCategory, "TesselCloudConnectionMgr::ReportCloudConnectionFailure: Notifying observers");
        Notify(TesselCloudDisconnected);
    }
}

void TesselCloudConnectionMgr::ReportCloudConnectionSuccessful() {
    std::lock_guard<std::mutex> lock(m_mutex);
    trace(kTesselTraceCategory, "TesselCloudConnectionMgr::ReportCloudConnectionSuccessful: Enter");
    if (m_state == TesselCloudForbidden) {
        error("TesselCloudConnectionMgr::ReportCloudConnectionSuccessful: Cannot exit forbidden state ");
        return;
    }
    int32_t previous = m_state;
    m_failureCount = 0;
    m_state = TesselCloudConnected;
    if (previous != TesselCloudConnected) {
        trace(kTesselTraceCategory, "TesselCloudConnectionMgr::ReportCloudConnectionSuccessful: Notifying observers");
        Notify(TesselCloudConnected);
    }
}

void TesselCloudConnectionMgr::ReportCloudConnectionForbidden() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state = TesselCloudForbidden;
    trace(kTesselTraceCategory, "TesselCloudConnectionMgr::ReportCloudConnectionForbidden: Enter");
    Notify(TesselCloudForbidden);
}

bool TesselCloudConnectionMgr::IsCloudConnected() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state == TesselCloudConnected;
}

bool TesselCloudConnectionMgr::RegisterObserver(ITesselCloudConnectionObserver* observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!observer) {
        error("TesselCloudConnectionMgr::RegisterObserver: Observer is NULL");
        return false;
    }
    if (std::find(m_observers.begin(), m_observers.end(), observer) != m_observers.end()) {
        error("TesselCloudConnectionMgr::RegisterObserver: Duplicate Observer");
        return false;
    }
    m_observers.push_back(observer);
    trace(kTesselTraceCategory, "TesselCloudConnectionMgr::RegisterObserver: Number of observers %d",
          static_cast<int>(m_observers.size()));
    return true;
}

bool TesselCloudConnectionMgr::RemoveObserver(ITesselCloudConnectionObserver* observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!observer) {
        error("TesselCloudConnectionMgr::RemoveObserver: Observer is NULL");
        return false;
    }
    auto found = std::find(m_observers.begin(), m_observers.end(), observer);
    if (found == m_observers.end())
        return false;
    m_observers.erase(found);
    trace(kTesselTraceCategory, "TesselCloudConnectionMgr::RemoveObserver: Number of observers %d",
          static_cast<int>(m_observers.size()));
    return true;
}
