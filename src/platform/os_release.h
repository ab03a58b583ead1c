// Facts about the running operating system: os-release(5) fields and the
// kernel release, the sources of the OS information the host reports.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using OsReleaseFields = std::map<std::string, std::string>;

// Parses os-release text: KEY=VALUE lines, values unquoted with the shell's
// single- and double-quote rules; comments, blank lines and malformed lines
// are skipped.
OsReleaseFields ParseOsRelease(std::string_view text);

// Reads the first of `paths` that can be read (by default /etc/os-release,
// then /usr/lib/os-release). false when none can be read.
bool ReadOsRelease(OsReleaseFields* fields);
bool ReadOsRelease(OsReleaseFields* fields, const std::vector<std::string>& paths);

// The kernel release as numbers ("6.1.0-13-amd64" gives 6, 1, 0; missing
// parts are 0) and the machine name of uname(2) ("x86_64").
struct KernelRelease {
    int major = 0;
    int minor = 0;
    int patch = 0;
    std::string machine;
};
void ParseKernelRelease(std::string_view release, KernelRelease* out);
bool ReadKernelRelease(KernelRelease* out);

}  // namespace platform
