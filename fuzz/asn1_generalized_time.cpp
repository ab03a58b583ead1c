// The DER encoder of GeneralizedTime writes a stamp already in canonical form
// as it is and leaves every other to the generic encoder: on any input both
// must give the same bytes, or both fail.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "GeneralizedTime.h"
#include "corvane_runtime.h"

namespace {

int collect(const void* bytes, size_t size, void* out) {
    auto* v = static_cast<std::vector<uint8_t>*>(out);
    v->insert(v->end(), static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    corvane_asn1_init();
    GeneralizedTime_t stamp{};
    stamp.buf = const_cast<uint8_t*>(data);
    stamp.size = static_cast<int>(size);
    std::vector<uint8_t> fast, generic;
    const asn_enc_rval_t a = asn_DEF_GeneralizedTime.der_encoder(&asn_DEF_GeneralizedTime, &stamp, 0, 0, collect, &fast);
    const asn_enc_rval_t b = GeneralizedTime_encode_der(&asn_DEF_GeneralizedTime, &stamp, 0, 0, collect, &generic);
    if ((a.encoded < 0) != (b.encoded < 0) || (a.encoded >= 0 && (a.encoded != b.encoded || fast != generic)))
        abort();
    return 0;
}
