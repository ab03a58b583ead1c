// est_domains_parse on arbitrary "/domains" answer bodies: the answer's
// generation markers, separators and lengths are the server's.
#include <cstdint>
#include <cstdlib>

#include "kit/registration_manager/est_domains.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int result = est_domains_parse(reinterpret_cast<const char*>(data), size);
    if (result < EST_DOMAINS_V1 || result > EST_DOMAINS_BOTH) abort();
    return 0;
}
