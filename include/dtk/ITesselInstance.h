// The one object a host works with, obtained through CreateTesselWrapper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>

class IConfig;
class IHttp;
class ProxyInfo;
struct CorvaneQuery;
struct CorvaneQueryResponse;
struct cv_cloud_handle;

using ProxyInfoList = std::list<ProxyInfo>;

// Server-pushed message handler: (handle, destination UUID bytes, message id
// UUID bytes, message type, data, data length, user value) -> acknowledgement
// code (0xDEAF: not handled, 0xB0B0: temporarily rejected, no acknowledgement).
typedef uint16_t (*TesselRcmsHandler)(struct cv_cloud_handle* handle, const uint8_t* dst, const uint8_t* id,
                                      uint32_t type, const uint8_t* data, size_t length, void* user_data);

// Host callbacks.
typedef void (*TesselPolicyCallback)(const wchar_t* policyPath, int32_t serial, int32_t status,
                                     int32_t userValue);
typedef void (*TesselRetrospectiveCallback)(int32_t htype, const uint8_t* hash, int32_t hashLength,
                                            int32_t disposition, const char* name, int32_t userValue);
// Fills the agent's version and an engine array (96-byte elements, freed by the
// library with free) with its count.
typedef void (*TesselAvStatsCallback)(int32_t* major, int32_t* minor, int32_t* build, void** engines,
                                      int32_t* engineCount, int32_t userValue);

// Completion of a cloud query: (query, response or null, status bits, user
// data). It runs exactly once per accepted query, on a worker of the cloud
// client; its result is only counted.
typedef int (*TesselQueryCallback)(CorvaneQuery* query, CorvaneQueryResponse* response, uint32_t status,
                                   void* userData);

// Cloud connection states reported to observers.
enum TesselCloudConnectionState : int32_t {
    TesselCloudDisconnected = 0,
    TesselCloudConnected = 1,
    TesselCloudForbidden = 2,
};

class ITesselCloudConnectionObserver {
public:
    virtual ~ITesselCloudConnectionObserver() = default;
    virtual void ConnectionStateChanged(int32_t state) = 0;
};

class ITesselCloudWrapper {
public:
    virtual ~ITesselCloudWrapper() = default;
    // 1 queued, 0 attached to an identical outstanding request, negative refused
    // (-1 without a cloud connection).
    virtual int QueryAsync(CorvaneQuery* query, TesselQueryCallback callback, void* userData) = 0;
    virtual bool IsFailedResponse(const CorvaneQueryResponse* response) = 0;
    virtual void RestartPeriodicFast() = 0;
};

// The operations, in this order, are the instance's interface.
class ITesselInstance {
public:
    virtual ~ITesselInstance() = default;
    virtual void PerformTesselRegistration() = 0;                                            // 1
    virtual bool IsRegistrationComplete() = 0;                                               // 2
    virtual bool DownloadPolicy(uint32_t fetchBits, const wchar_t* path) = 0;                // 3
    virtual void AddRcmsHandler(int32_t messageType, TesselRcmsHandler handler) = 0;         // 4
    virtual void SetRetrospectiveCallback(TesselRetrospectiveCallback callback, int32_t userValue) = 0;  // 5
    virtual void SetPolicyCallback(TesselPolicyCallback callback, int32_t userValue) = 0;    // 6
    virtual void SetAvStatsCallback(TesselAvStatsCallback callback, int32_t userValue) = 0;  // 7
    virtual void UpdateConfiguration() = 0;                                                  // 8
    virtual void RestartPeriodicFast() = 0;                                                  // 9
    virtual void ReportCloudConnectionFailure() = 0;                                         // 10
    virtual void ReportCloudConnectionSuccessful() = 0;                                      // 11
    virtual bool IsCloudConnected() = 0;                                                     // 12
    virtual bool RegisterObserver(ITesselCloudConnectionObserver* observer) = 0;             // 13
    virtual bool RemoveObserver(ITesselCloudConnectionObserver* observer) = 0;               // 14
    virtual IHttp* CreateHttp() = 0;                                                         // 15
    virtual void ReleaseHttp(IHttp* http) = 0;                                               // 16
    virtual ProxyInfo* LoadProxyInfo() = 0;                                                  // 17
    virtual void ReleaseProxyInfo(ProxyInfo* proxy) = 0;                                     // 18
    virtual bool TestProxy(const ProxyInfo* proxy, IConfig* config) = 0;                     // 19
    virtual bool DiscoverAndSaveProxy() = 0;                                                 // 20
    virtual bool DiscoverValidProxy(IConfig* config) = 0;                                    // 21
    virtual void DiscoverProxies(ProxyInfoList* proxies) = 0;                                // 22
    virtual void StartProxyDiscovery() = 0;                                                  // 23
    virtual ITesselCloudWrapper* GetCloudWrapper() = 0;                                      // 24
};
