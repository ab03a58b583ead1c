// The process-wide pointer to the current registration handler, through which
// the cloud client's ping-prepare callback (which has no context) reaches it.
#pragma once

#include <mutex>

#include "registration/TesselRegistrationHandler.h"

struct CorvaneQuery;

class TesselRegistrationCallbacksHandler {
public:
    // Created on first use, never destroyed.
    static TesselRegistrationCallbacksHandler& Instance();

    void SetRegistrationHandler(ITesselRegistrationHandler* handler);
    // Clears the pointer when it is still `handler`; after it returns no
    // callback runs on `handler` any more, so the handler may be destroyed.
    void ClearRegistrationHandler(ITesselRegistrationHandler* handler);
    ITesselRegistrationHandler* GetRegistrationHandler();

    // The ping-prepare function of the cloud callback block: forwards to the
    // current handler (holding the pointer's mutex), 0 without one.
    static int PingPrepare(CorvaneQuery* query);

private:
    TesselRegistrationCallbacksHandler() = default;

    std::mutex m_mutex;
    ITesselRegistrationHandler* m_handler = nullptr;
};
