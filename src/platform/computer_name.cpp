#include "platform/computer_name.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "host/WinApi.h"

namespace platform {
namespace {

int HostName(std::string* name) {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return errno ? errno : EIO;
    *name = buffer;
    return 0;
}

std::string FirstLabel(const std::string& name) { return name.substr(0, name.find('.')); }

// The canonical name from the resolver; a system whose host name is not in
// /etc/hosts or DNS simply has no domain, which is not a failure.
std::string FullyQualified(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    std::string canonical;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0 && result) {
        if (result->ai_canonname)
            canonical = result->ai_canonname;
        freeaddrinfo(result);
    }
    // Prefer whichever of the two carries a domain.
    if (canonical.find('.') == std::string::npos)
        return host;
    return canonical;
}

}  // namespace

int ComputerName(uint32_t format, std::string* name) {
    if (!name)
        return EINVAL;
    std::string host;
    if (int rc = HostName(&host))
        return rc;
    switch (format) {
    case ComputerNameDnsHostname:
        *name = FirstLabel(host);
        return 0;
    case ComputerNameNetBIOS: {
        std::string label = FirstLabel(host).substr(0, 15);
        for (char& c : label)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        *name = label;
        return 0;
    }
    case ComputerNameDnsFullyQualified:
        *name = FullyQualified(host);
        return 0;
    case ComputerNameDnsDomain: {
        std::string fqdn = FullyQualified(host);
        size_t dot = fqdn.find('.');
        *name = dot == std::string::npos ? std::string() : fqdn.substr(dot + 1);
        return 0;
    }
    default:
        return EINVAL;
    }
}

}  // namespace platform
