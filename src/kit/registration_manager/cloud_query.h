// The registration query: a `reg` query on a cloud handle, waited for until
// the cloud client completes it (its query time-out bounds the wait).
#pragma once

#include <cstdint>

#include "cloud/cv_cloud_handle.h"

enum cloud_query_result {
    CLOUD_QUERY_REGISTERED = 0,
    CLOUD_QUERY_FAILED = 1,
    CLOUD_QUERY_CERT_REJECTED = 2,  // the handle no longer has a client certificate
};

// Sends the registration query for `agent_guid` (16 bytes). One of cloud_query_result.
int cloud_query_register(cv_cloud_handle* cloud_handle, const uint8_t* agent_guid);
