// The shared state of registration: the instance, the registration handler and
// the cloud wrapper see registration through this record.
#pragma once

#include <cstdint>
#include <mutex>

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
    virtual bool IsRegistrationComplete() = 0;
    virtual void SetStatus(int32_t status) = 0;
};

class TesselRegistrationEntity : public ITesselRegistrationEntity {
public:
    // The pointer accessors take no lock: they are set by the registration
    // handler and read by the cloud wrapper, as the handler's protocol allows.
    void SetRegistrationHandle(tessel_registration_handle* handle) override { m_registrationHandle = handle; }
    tessel_registration_handle* GetRegistrationHandle() override { return m_registrationHandle; }
    void SetClientConnector(client_connector* connector) override { m_clientConnector = connector; }
    client_connector* GetClientConnector() override { return m_clientConnector; }
    void SetCloudReference(cloud_conn* reference) override { m_cloudReference = reference; }
    cloud_conn* GetCloudReference() override { return m_cloudReference; }

    bool IsRegistrationComplete() override {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        return m_status == kTesselRegistrationComplete;
    }

    void SetStatus(int32_t status) override {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        m_status = status;
    }

private:
    tessel_registration_handle* m_registrationHandle = nullptr;
    client_connector* m_clientConnector = nullptr;
    cloud_conn* m_cloudReference = nullptr;
    int32_t m_status = 0;
    std::mutex m_statusMutex;
};
