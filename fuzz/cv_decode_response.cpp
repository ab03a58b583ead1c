// cv_decode_response on arbitrary frames: the BER decoder of every response
// alternative, the 32-bit INTEGER rule and the failure message with its dump.
#include <cstdint>
#include <cstdlib>

#include "cloud/cv_codec.h"
#include "cloud_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = (cloud_fuzz_logging(), true);
    (void)once;
    auto* response = static_cast<CorvaneQueryResponse_t*>(calloc(1, sizeof(CorvaneQueryResponse_t)));
    if (!response)
        return 0;
    if (cv_decode_response(data, size, response) == 0)
        cloud_fuzz_reencode(&asn_DEF_CorvaneQueryResponse, response);
    ASN_STRUCT_FREE(asn_DEF_CorvaneQueryResponse, response);
    return 0;
}
