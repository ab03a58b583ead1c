// The URL check of requests: the same verdict as the pattern
// ^http[s]{0,1}://[a-zA-Z0-9]{1,1}[a-zA-Z0-9-_:\./]*/.* matched whole by a
// URL without control characters; the policy check is the same with https.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "http/UrlUtil.h"
#include "kit/http_client/http_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 100000)
        return 0;
    std::string url(reinterpret_cast<const char*>(data), size);
    url = url.c_str();  // the check reads a C string
    bool valid = IsValidWebUrl(url.c_str());
    if (url.size() <= 512) {
        static const std::regex pattern("^http[s]{0,1}://[a-zA-Z0-9]{1,1}[a-zA-Z0-9-_:\\./]*/.*");
        if ((std::regex_match(url, pattern) && !http_text_has_control(url)) != valid)
            abort();
    }
    // Whatever is accepted is an http(s) URL with a path and without a byte
    // that could end the request line.
    for (unsigned char c : url)
        if (valid && (c < 0x20 || c == 0x7F))
            abort();
    if (valid && url.find('/', url.find("://") + 3) == std::string::npos)
        abort();
    if (IsPolicyUrl(url) != (valid && url.rfind("https://", 0) == 0))
        abort();
    return 0;
}
