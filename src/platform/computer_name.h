// Names of this computer: the POSIX stand-in for GetComputerNameExW.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The computer's name in `format` (a ComputerNameFormat value), UTF-8:
//  - DNS host name: gethostname up to its first dot;
//  - DNS fully qualified: the canonical name of the host (getaddrinfo with
//    AI_CANONNAME), or the host name when the resolver knows no better;
//  - DNS domain: what follows the first dot of the fully qualified name
//    (empty when there is none);
//  - NetBIOS: the DNS host name in upper case, at most 15 bytes.
// 0 on success, otherwise an errno value (EINVAL for an unknown format).
int ComputerName(uint32_t format, std::string* name);

}  // namespace platform
