// The one object a host works with, obtained through CreateTesselWrapper.
//
// Threads: every operation may be called from any host thread, also
// concurrently, between CreateTesselWrapper and ReleaseTesselWrapper; none
// from a callback of the library (policy, retrospective, AV statistics, RCMS
// handler, query completion, connection observer) unless its comment says so.
// Operations run on the caller's thread and may block for the network
// (downloads, proxy tests and discovery: seconds to minutes, each bounded).
// Callbacks run on the library's threads ("register", cloud workers) and must
// not block for long.
//
// The cloud protocol's query and response types are the generated ASN.1 types
// of <dtk/asn1/CorvaneQuery.h> and <dtk/asn1/CorvaneQueryResponse.h>
// (dtk::asn1 in CMake, part of dtk::dtk).
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

// Told of every change of the cloud connection's state (a
// TesselCloudConnectionState), in registration order, on the thread that
// reported the change, with the connection manager's lock held: it must not
// call back into the instance.
class ITesselCloudConnectionObserver {
public:
    virtual ~ITesselCloudConnectionObserver() = default;
    virtual void ConnectionStateChanged(int32_t state) = 0;
};

// The cloud lookup service; owned by the instance (GetCloudWrapper), valid
// until the instance is given back. Any thread.
class ITesselCloudWrapper {
public:
    virtual ~ITesselCloudWrapper() = default;
    // Sends `query` (allocated by the host, e.g. calloc and
    // OCTET_STRING_fromBuf) and returns at once: 1 queued, 0 attached to an
    // identical outstanding request, negative refused (-1 without a cloud
    // connection: try again later). When accepted (>= 0) the library holds the
    // query until `callback` runs, exactly once, on a cloud worker; the callback
    // gets the query back to free (ASN_STRUCT_FREE) and a response owned by the
    // library, valid only during the call. When refused the query stays the
    // caller's. Outstanding queries fail (null response) at DeinitTesselWrapper.
    virtual int QueryAsync(CorvaneQuery* query, TesselQueryCallback callback, void* userData) = 0;
    // Whether a response (in a query callback) says the server failed the query.
    virtual bool IsFailedResponse(const CorvaneQueryResponse* response) = 0;
    // Makes the next ping go out now rather than at its period.
    virtual void RestartPeriodicFast() = 0;
};

// The operations, in this order, are the instance's interface.
class ITesselInstance {
public:
    virtual ~ITesselInstance() = default;
    // Starts registration on its own "register" thread (certificate, management,
    // cloud), stopping a run already going; returns at once.
    virtual void PerformTesselRegistration() = 0;                                            // 1
    // Whether the last run reached the cloud connection (poll, or watch the
    // trace line of the registration state).
    virtual bool IsRegistrationComplete() = 0;                                               // 2
    // Downloads the policy chosen by `fetchBits` to `path` (replaced only when
    // it arrived whole). Blocks for the transfer.
    virtual bool DownloadPolicy(uint32_t fetchBits, const wchar_t* path) = 0;                // 3
    // Handler of server-pushed messages of one type; runs on a cloud worker.
    virtual void AddRcmsHandler(int32_t messageType, TesselRcmsHandler handler) = 0;         // 4
    // The host's callbacks, with a value handed back on each call; null
    // removes one. They run on cloud workers or the "register" thread.
    virtual void SetRetrospectiveCallback(TesselRetrospectiveCallback callback, int32_t userValue) = 0;  // 5
    virtual void SetPolicyCallback(TesselPolicyCallback callback, int32_t userValue) = 0;    // 6
    virtual void SetAvStatsCallback(TesselAvStatsCallback callback, int32_t userValue) = 0;  // 7
    // Hands the running registration the configuration as stored now
    // (servers, proxy, ping interval; a new cloud host means a new
    // connection); restarts registration when the certificate was cleared.
    virtual void UpdateConfiguration() = 0;                                                  // 8
    // Makes the next cloud ping go out now.
    virtual void RestartPeriodicFast() = 0;                                                  // 9
    // The host's view of the cloud connection: a query that went unanswered,
    // or one that was answered. Enough failures in a row mark it disconnected.
    virtual void ReportCloudConnectionFailure() = 0;                                         // 10
    virtual void ReportCloudConnectionSuccessful() = 0;                                      // 11
    virtual bool IsCloudConnected() = 0;                                                     // 12
    // Observers of the connection state; the observer stays the caller's and
    // must be removed before it goes. false for a null, repeated or unknown one.
    virtual bool RegisterObserver(ITesselCloudConnectionObserver* observer) = 0;             // 13
    virtual bool RemoveObserver(ITesselCloudConnectionObserver* observer) = 0;               // 14
    // A new request builder (see <dtk/IHttp.h>), owned by the caller until it
    // is handed to ReleaseHttp; one thread at a time per builder.
    virtual IHttp* CreateHttp() = 0;                                                         // 15
    virtual void ReleaseHttp(IHttp* http) = 0;                                               // 16
    // A new copy of the stored proxy record (empty server: direct), owned by
    // the caller until it is handed to ReleaseProxyInfo.
    virtual ProxyInfo* LoadProxyInfo() = 0;                                                  // 17
    virtual void ReleaseProxyInfo(ProxyInfo* proxy) = 0;                                     // 18
    // Whether the test URL of `config` (its secure "config/proxy/testurl";
    // false when null or absent) is reached through `proxy`. Blocks for up to
    // two tests of 15 s.
    virtual bool TestProxy(const ProxyInfo* proxy, IConfig* config) = 0;                     // 19
    // Runs discovery now, tests the candidates and stores the first that
    // works. Blocks.
    virtual bool DiscoverAndSaveProxy() = 0;                                                 // 20
    // Whether discovery with the sources of `config` finds a working proxy
    // (nothing is stored). Blocks.
    virtual bool DiscoverValidProxy(IConfig* config) = 0;                                    // 21
    // Appends the candidates of one discovery run (untested) to the caller's
    // list. Blocks.
    virtual void DiscoverProxies(ProxyInfoList* proxies) = 0;                                // 22
    // Starts discovery on a thread of its own; its result is tested, saved when
    // it changed, and registration restarted. A start while one runs is ignored.
    virtual void StartProxyDiscovery() = 0;                                                  // 23
    // The cloud lookup service, owned by the instance.
    virtual ITesselCloudWrapper* GetCloudWrapper() = 0;                                      // 24
};
