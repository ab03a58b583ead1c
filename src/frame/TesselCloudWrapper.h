// The host's way to the cloud lookup service: each operation takes a scoped
// reference on the client connector's current cloud connection, so the kit
// may replace the connection between operations but never under one.
#pragma once

#include "dtk/ITesselInstance.h"

class ITesselRegistrationEntity;
struct cloud_conn;

// A counted reference to the current cloud connection for one operation; the
// cloud client handle is borrowed from it. Both are null when registration has
// not produced a connection.
class CloudHandle {
public:
    explicit CloudHandle(ITesselRegistrationEntity* entity);
    virtual ~CloudHandle();
    CloudHandle(const CloudHandle&) = delete;
    CloudHandle& operator=(const CloudHandle&) = delete;

    cv_cloud_handle* Get() const { return m_cloudHandle; }

private:
    cloud_conn* m_reference = nullptr;
    cv_cloud_handle* m_cloudHandle = nullptr;
};

class TesselCloudWrapper : public ITesselCloudWrapper {
public:
    explicit TesselCloudWrapper(ITesselRegistrationEntity* entity) : m_entity(entity) {}

    int QueryAsync(CorvaneQuery* query, TesselQueryCallback callback, void* userData) override;
    bool IsFailedResponse(const CorvaneQueryResponse* response) override;
    void RestartPeriodicFast() override;

private:
    ITesselRegistrationEntity* m_entity;  // not owned
};
