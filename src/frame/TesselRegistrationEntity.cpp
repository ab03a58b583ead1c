#include "frame/TesselRegistrationEntity.h"

#include "kit/tessel_client/tessel_client_connector.h"

cloud_conn* TesselRegistrationEntity::TakeCloudConnection(bool* hasConnector) {
    std::shared_lock<std::shared_mutex> lock(m_connectorMutex);
    *hasConnector = m_clientConnector != nullptr;
    return m_clientConnector ? tessel_client_connector_get_cloud_conn(m_clientConnector) : nullptr;
}
