#include "support/core_exclusion.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace testsupport {

std::optional<std::string> VmFlagsOf(const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        uintptr_t start = 0;
        uintptr_t end = 0;
        char dash = 0;
        std::istringstream head(line);
        // A mapping's first line: "start-end perms ..." in hex.
        if (head >> std::hex >> start >> dash >> end && dash == '-') {
            inside = start <= at && at < end;
            continue;
        }
        if (inside && line.rfind("VmFlags:", 0) == 0)
            return line.substr(strlen("VmFlags:"));
    }
    return std::nullopt;
}

bool LeftOutOfCores(const void* address) {
    const std::optional<std::string> flags = VmFlagsOf(address);
    return flags && (" " + *flags + " ").find(" dd ") != std::string::npos;
}

}  // namespace testsupport
