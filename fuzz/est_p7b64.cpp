// Conversion of a base64 PKCS#7 certificate bundle to PEM.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "est_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool once = (est_fuzz_logging(), true);
    (void)once;
    if (size > 200000) {
        return 0;
    }
    unsigned char* pem = nullptr;
    int len = est_convert_p7b64_to_pem(data, (int)size, &pem);
    if (len >= 0) {
        if (!pem || strlen((const char*)pem) != (size_t)len) {
            abort();
        }
    } else if (pem) {
        abort();
    }
    free(pem);
    return 0;
}
