// Carries every kit log line to the host: error levels (3 and below) to the
// host's error function, the rest to its trace function with the library's
// category, both as "[TESSEL-WIN]<line>".
#pragma once

#include <cstdint>

int TesselLogBridge(int32_t level, const char* message, void* userData);
