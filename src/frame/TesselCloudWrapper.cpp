#include "frame/TesselCloudWrapper.h"

#include "cloud/cv_cloud.h"
#include "cloud/cv_cloud_async.h"
#include "frame/TesselRegistrationEntity.h"
#include "host/Util.h"
#include "kit/tessel_client/tessel_client_connector.h"

namespace {

// The header disposition with which the cloud client also fails a response.
constexpr long kFailedDisposition = 4;

}  // namespace

CloudHandle::CloudHandle(ITesselRegistrationEntity* entity) {
    bool hasConnector = false;
    m_reference = entity->TakeCloudConnection(&hasConnector);
    if (!hasConnector) {
        error("CloudHandle::CloudHandle: client connector not available");
        return;
    }
    if (!m_reference) {
        error("CloudHandle::CloudHandle: failed to get cloud connection");
        return;
    }
    m_cloudHandle = tessel_cloud_connector_get_cloud_handle(m_reference);
    if (!m_cloudHandle)
        error("CloudHandle::CloudHandle: tessel_cloud_connector_get_cloud_handle failed");
}

CloudHandle::~CloudHandle() {
    if (m_reference)
        tessel_cloud_conn_release(m_reference);
}

int TesselCloudWrapper::QueryAsync(CorvaneQuery* query, TesselQueryCallback callback, void* userData) {
    CloudHandle handle(m_entity);
    if (!handle.Get())
        return -1;
    return cv_cloud_query_async(handle.Get(), query, callback, userData);
}

bool TesselCloudWrapper::IsFailedResponse(const CorvaneQueryResponse* response) {
    return !response || response->header.disposition == kFailedDisposition;
}

void TesselCloudWrapper::RestartPeriodicFast() {
    CloudHandle handle(m_entity);
    if (handle.Get())
        _cv_interval_restart_periodic_fast(handle.Get());
}
