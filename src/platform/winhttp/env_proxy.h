// The system proxy of this platform: the proxy environment variables.
#pragma once

#include <string>

namespace platform::winhttp {

struct EnvProxy {
    std::string list;    // list form (proxy_list.h); empty when none is set
    std::string bypass;  // no_proxy's entries joined with ";"
};

// https_proxy, http_proxy and all_proxy (the lower-case spelling wins over
// the upper-case one) and no_proxy. The proxy for HTTPS comes first: the library's own traffic is
// HTTPS. Values without a usable host are ignored.
EnvProxy ReadEnvProxy();

}  // namespace platform::winhttp
