// How long this process has been running.
#pragma once

#include <cstdint>

namespace platform {

// Seconds since the process started: its start time in /proc/self/stat
// against the boot-time clock; when /proc cannot be read, the time since this
// code was first loaded.
uint64_t ProcessUptimeSeconds();

}  // namespace platform
