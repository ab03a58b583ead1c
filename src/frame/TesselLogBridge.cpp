#include "frame/TesselLogBridge.h"

#include "host/Util.h"
#include "kit/tessel_logger.h"

int TesselLogBridge(int32_t level, const char* message, void* /*userData*/) {
    if (level <= TESSEL_LOG_ERR)
        error("[TESSEL-WIN]%s", message);
    else
        trace(kTesselTraceCategory, "[TESSEL-WIN]%s", message);
    return 0;
}
