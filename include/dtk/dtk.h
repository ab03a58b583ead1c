// The library's five entry points. A host initialises the library once, takes
// and gives back the instance any number of times from any thread, and tears
// the library down after every instance was given back.
//
// Thread rule for the five: any host thread may call them; they serialise on
// one lock. None of them may be called from a callback the library runs (a
// cloud worker, the "register" thread, a log line), which would wait on itself.
// The library's version is in its soname (libdtk.so.1), in <dtk/version.h> for
// the headers, and on a trace line "InitTesselWrapper: dtk <version>" at Init.
#pragma once

#include "dtk/ITesselInstance.h"

class IConfig;
class IWinApiWrapper;

#define DTK_EXPORT __attribute__((visibility("default")))

extern "C" {
// Builds the library's instance over the host's configuration and
// operating-system wrapper and starts the sockets layer. Both stay the host's:
// they must outlive DeinitTesselWrapper. false (and an `error` line) when
// either is null, the library is already initialised, or start-up failed; the
// library is then uninitialised. Starts no registration by itself.
DTK_EXPORT bool InitTesselWrapper(IConfig* pConfig, IWinApiWrapper* pWinApiWrapper);

// Stops everything the instance runs (registration, the cloud connection,
// discovery, downloads), fails every outstanding query once, and frees the
// instance. Refused (an `error` line) while an instance is still taken. After
// it returns no callback of the library runs any more.
DTK_EXPORT void DeinitTesselWrapper();

// Takes a reference to the instance (the custom one when set). The instance
// stays the library's: give it back with ReleaseTesselWrapper, never delete
// it. Null before InitTesselWrapper.
DTK_EXPORT ITesselInstance* CreateTesselWrapper();

// Gives back a reference taken by CreateTesselWrapper. A pointer that is not
// the instance is refused with an `error` line.
DTK_EXPORT void ReleaseTesselWrapper(ITesselInstance* instance);

// Makes CreateTesselWrapper hand out `instance` (a host's own implementation,
// for its tests) instead of the library's; null goes back to the library's.
// The object stays the caller's and must outlive every reference handed out.
DTK_EXPORT void SetCustomTesselInstance(ITesselInstance* instance);
}

// Function types for hosts that load the library at run time.
using InitTesselWrapperFn = bool (*)(IConfig*, IWinApiWrapper*);
using DeinitTesselWrapperFn = void (*)();
using CreateTesselWrapperFn = ITesselInstance* (*)();
using ReleaseTesselWrapperFn = void (*)(ITesselInstance*);
using SetCustomTesselInstanceFn = void (*)(ITesselInstance*);
