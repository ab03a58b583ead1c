// The machine id of systemd and D-Bus: 32 lower-case hexadecimal digits that
// identify this installation.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Reads the first of `paths` that holds a well-formed id (by default
// /etc/machine-id, then /var/lib/dbus/machine-id). false when none does; an
// empty or "uninitialized" file does not count.
bool ReadMachineId(std::string* id);
bool ReadMachineId(std::string* id, const std::vector<std::string>& paths);

}  // namespace platform
