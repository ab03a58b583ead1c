// cv_decode_message on arbitrary frames: server-pushed messages and acks.
#include <cstdint>
#include <cstdlib>

#include "cloud/cv_codec.h"
#include "cloud_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = (cloud_fuzz_logging(), true);
    (void)once;
    auto* message = static_cast<CorvaneMessage_t*>(calloc(1, sizeof(CorvaneMessage_t)));
    if (!message)
        return 0;
    if (cv_decode_message(size, data, message) == 0)
        cloud_fuzz_reencode(&asn_DEF_CorvaneMessage, message);
    ASN_STRUCT_FREE(asn_DEF_CorvaneMessage, message);
    return 0;
}
