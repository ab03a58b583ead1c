// The library's five entry points. A host initialises the library once, takes
// and gives back the instance any number of times from any thread, and tears
// the library down after every instance was given back.
#pragma once

#include "dtk/ITesselInstance.h"

class IConfig;
class IWinApiWrapper;

#define DTK_EXPORT __attribute__((visibility("default")))

extern "C" {
DTK_EXPORT bool InitTesselWrapper(IConfig* pConfig, IWinApiWrapper* pWinApiWrapper);
DTK_EXPORT void DeinitTesselWrapper();
DTK_EXPORT ITesselInstance* CreateTesselWrapper();
DTK_EXPORT void ReleaseTesselWrapper(ITesselInstance* instance);
DTK_EXPORT void SetCustomTesselInstance(ITesselInstance* instance);
}

// Function types for hosts that load the library at run time.
using InitTesselWrapperFn = bool (*)(IConfig*, IWinApiWrapper*);
using DeinitTesselWrapperFn = void (*)();
using CreateTesselWrapperFn = ITesselInstance* (*)();
using ReleaseTesselWrapperFn = void (*)(ITesselInstance*);
using SetCustomTesselInstanceFn = void (*)(ITesselInstance*);
