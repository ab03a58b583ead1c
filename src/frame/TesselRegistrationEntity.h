// The shared state of registration: the instance, the registration handler and
// the cloud wrapper see registration through this record.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>

struct tessel_registration_handle;
struct client_connector;
struct cloud_conn;

// The registration status that means the cloud connection succeeded.
constexpr int32_t kTesselRegistrationComplete = 10;

class ITesselRegistrationEntity {
public:
    virtual ~ITesselRegistrationEntity() = default;
    virtual void SetRegistrationHandle(tessel_registration_handle* handle) = 0;
    virtual tessel_registration_handle* GetRegistrationHandle() = 0;
    virtual void SetClientConnector(client_connector* connector) = 0;
    virtual client_connector* GetClientConnector() = 0;
    virtual void SetCloudReference(cloud_conn* reference) = 0;
    virtual cloud_conn* GetCloudReference() = 0;
    // A counted reference on the client connector's current cloud connection
    // (release it with tessel_cloud_conn_release), taken while the connector
    // cannot be cleared. Null without a connector (*hasConnector false) or
    // without a connection.
    virtual cloud_conn* TakeCloudConnection(bool* hasConnector) = 0;
    virtual bool IsRegistrationComplete() = 0;
    virtual void SetStatus(int32_t status) = 0;
};

class TesselRegistrationEntity : public ITesselRegistrationEntity {
public:
    // The pointers are set by the registration handler on host and kit
    // threads and read by the cloud wrapper on host threads. Clearing the
    // connector waits for every reader that may still be taking a reference
    // from it, so the handler may free it right after.
    void SetRegistrationHandle(tessel_registration_handle* handle) override {
        std::lock_guard<std::mutex> lock(m_pointerMutex);
        m_registrationHandle = handle;
    }
    tessel_registration_handle* GetRegistrationHandle() override {
        std::lock_guard<std::mutex> lock(m_pointerMutex);
        return m_registrationHandle;
    }
    void SetClientConnector(client_connector* connector) override {
        std::unique_lock<std::shared_mutex> lock(m_connectorMutex);
        m_clientConnector = connector;
    }
    client_connector* GetClientConnector() override {
        std::shared_lock<std::shared_mutex> lock(m_connectorMutex);
        return m_clientConnector;
    }
    void SetCloudReference(cloud_conn* reference) override {
        std::lock_guard<std::mutex> lock(m_pointerMutex);
        m_cloudReference = reference;
    }
    cloud_conn* GetCloudReference() override {
        std::lock_guard<std::mutex> lock(m_pointerMutex);
        return m_cloudReference;
    }
    cloud_conn* TakeCloudConnection(bool* hasConnector) override;

    bool IsRegistrationComplete() override {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        return m_status == kTesselRegistrationComplete;
    }

    void SetStatus(int32_t status) override {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        m_status = status;
    }

private:
    std::mutex m_pointerMutex;  // the handle and the cloud reference
    std::shared_mutex m_connectorMutex;
    tessel_registration_handle* m_registrationHandle = nullptr;
    client_connector* m_clientConnector = nullptr;
    cloud_conn* m_cloudReference = nullptr;
    int32_t m_status = 0;
    std::mutex m_statusMutex;
};
