// The configured certificate list: a policy-delivered string split into its
// PEM certificate blocks.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 100000)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    static const std::string begin = "-----BEGIN CERTIFICATE-----";
    static const std::string end = "-----END CERTIFICATE-----\n";
    size_t total = 0;
    for (const std::string& pem : hostkit::SplitPemCertificates(text)) {
        // Every entry is one whole block taken from the input.
        if (pem.compare(0, begin.size(), begin) != 0 || pem.size() < begin.size() + end.size() ||
            pem.compare(pem.size() - end.size(), end.size(), end) != 0 ||
            text.find(pem.substr(0, pem.size() - 1)) == std::string::npos)
            abort();
        total += pem.size() - 1;
    }
    if (total > size)
        abort();
    return 0;
}
