#include "registration/TesselRegistrationCallbacksHandler.h"

TesselRegistrationCallbacksHandler& TesselRegistrationCallbacksHandler::Instance() {
    // Never destroyed: the cloud client's worker may still ask during exit.
    static auto* instance = new TesselRegistrationCallbacksHandler();
    return *instance;
}

void TesselRegistrationCallbacksHandler::SetRegistrationHandler(ITesselRegistrationHandler* handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = handler;
}

void TesselRegistrationCallbacksHandler::ClearRegistrationHandler(ITesselRegistrationHandler* handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_handler == handler) m_handler = nullptr;
}

ITesselRegistrationHandler* TesselRegistrationCallbacksHandler::GetRegistrationHandler() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handler;
}

int TesselRegistrationCallbacksHandler::PingPrepare(CorvaneQuery* query) {
    TesselRegistrationCallbacksHandler& self = Instance();
    std::lock_guard<std::mutex> lock(self.m_mutex);
    return self.m_handler ? self.m_handler->PingPrepareCallback(query) : 0;
}
