// The library's entry points and the process-wide state behind them.
#include <atomic>
#include <memory>
#include <mutex>

#include "dtk/dtk.h"
#include "frame/TesselRegistrationEntity.h"
#include "frame/TesselWrapper.h"
#include "host/Util.h"
#include "platform/wsa.h"

namespace {

// The Windows Sockets version the library asks for: 2.2.
constexpr uint16_t kSocketsVersion = 0x0202;

std::mutex g_lifecycleMutex;
std::unique_ptr<TesselWrapper> g_instance;
std::unique_ptr<TesselRegistrationEntity> g_entity;
// Set without the lifecycle mutex; atomic so that a late store is still well defined.
std::atomic<ITesselInstance*> g_customInstance{nullptr};
int32_t g_refCount = 0;

}  // namespace

extern "C" {

bool InitTesselWrapper(IConfig* pConfig, IWinApiWrapper* pWinApiWrapper) {
    std::lock_guard<std::mutex> lock(g_lifecycleMutex);
    if (g_instance) {
        error("InitTesselWrapper: already initialized");
        return false;
    }
    if (!pConfig) {
        error("InitTesselWrapper: pConfig cannot be NULL");
        return false;
    }
    if (!pWinApiWrapper) {
        error("InitTesselWrapper: pWinApiWrapper cannot be NULL");
        return false;
    }
    WSADATA data;
    if (int result = WSAStartup(kSocketsVersion, &data); result != 0) {
        error("WSAStartup failed with error: %d", result);
        return false;
    }
    // A throw while building (a host component, an allocation) still reaches the
    // host, but only after what was set up here is undone: the library stays
    // uninitialised and the sockets start-up count balanced.
    try {
        g_entity = std::make_unique<TesselRegistrationEntity>();
        g_instance = std::make_unique<TesselWrapper>(pConfig, pWinApiWrapper, g_entity.get());
    } catch (...) {
        g_entity.reset();
        WSACleanup();
        throw;
    }
    // The one place a host learns which library it loaded (no sixth export).
    trace(0x1000, "InitTesselWrapper: dtk %s", DTK_VERSION);
    return true;
}

void DeinitTesselWrapper() {
    std::lock_guard<std::mutex> lock(g_lifecycleMutex);
    if (g_refCount != 0) {
        error("DeinitTesselWrapper: _refCount is %d", g_refCount);
        return;
    }
    // Sockets are cleaned up only when this call undoes a successful start-up,
    // so a stray de-initialisation cannot unbalance the count of another user.
    bool wasInitialized = static_cast<bool>(g_instance);
    std::unique_ptr<TesselWrapper> instance = std::move(g_instance);
    instance.reset();
    std::unique_ptr<TesselRegistrationEntity> entity = std::move(g_entity);
    entity.reset();
    if (wasInitialized)
        WSACleanup();
}

ITesselInstance* CreateTesselWrapper() {
    std::lock_guard<std::mutex> lock(g_lifecycleMutex);
    if (ITesselInstance* custom = g_customInstance.load(std::memory_order_acquire)) {
        ++g_refCount;
        return custom;
    }
    if (g_instance) {
        ++g_refCount;
        return g_instance.get();
    }
    error("CreateTesselWrapper: Tessel has not been initialized");
    return nullptr;
}

void ReleaseTesselWrapper(ITesselInstance* instance) {
    std::lock_guard<std::mutex> lock(g_lifecycleMutex);
    // A null pointer is never a handed-out instance, even while none exists.
    if (!instance || (instance != g_instance.get() && instance != g_customInstance.load(std::memory_order_acquire))) {
        error("ReleaseTesselWrapper: Wrong object %p", static_cast<void*>(instance));
        return;
    }
    if (g_refCount <= 0) {
        error("ReleaseTesselWrapper: _refcount already 0");
        return;
    }
    --g_refCount;
}

void SetCustomTesselInstance(ITesselInstance* instance) {
    g_customInstance.store(instance, std::memory_order_release);
}

}  // extern "C"
