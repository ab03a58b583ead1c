// What the kernel says of the page that holds an address (/proc/self/smaps).
#pragma once

#include <optional>
#include <string>

namespace testsupport {

// The VmFlags of the mapping that holds `address`; none when it is unmapped.
std::optional<std::string> VmFlagsOf(const void* address);

// Whether the page that holds `address` is left out of core files ("dd").
bool LeftOutOfCores(const void* address);

}  // namespace testsupport
