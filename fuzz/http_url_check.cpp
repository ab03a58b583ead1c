// The URL check of requests: the same verdict as the pattern
// ^http[s]{0,1}://[a-zA-Z0-9]{1,1}[a-zA-Z0-9-_:\./]*/.* matched whole.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "http/UrlUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 100000)
        return 0;
    std::string url(reinterpret_cast<const char*>(data), size);
    url = url.c_str();  // the check reads a C string
    bool valid = IsValidWebUrl(url.c_str());
    if (url.size() <= 512) {
        static const std::regex pattern("^http[s]{0,1}://[a-zA-Z0-9]{1,1}[a-zA-Z0-9-_:\\./]*/.*");
        if (std::regex_match(url, pattern) != valid)
            abort();
    }
    // Whatever is accepted is a one-line http(s) URL with a path.
    if (valid && (url.find_first_of("\r\n") != std::string::npos || url.find('/', url.find("://") + 3) ==
                                                                         std::string::npos))
        abort();
    return 0;
}
