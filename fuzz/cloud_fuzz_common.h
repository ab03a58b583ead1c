// Shared set-up of the cloud codec fuzz targets.
#pragma once

#include <cstdlib>

#include "cloud/cv_cloud_lock.h"
#include "cloud/cv_codec.h"

// Log lines are formatted (so their arguments are exercised) and dropped.
inline void cloud_fuzz_logging() {
    cv_log_set_sink([](const char*, void*) {}, nullptr);
}

// Whatever the decoder accepted is encoded again, so the encoder runs on every
// shape of value the decoder can produce (a value with an unknown CHOICE
// alternative legitimately fails to encode).
inline void cloud_fuzz_reencode(asn_TYPE_descriptor_t* type, void* value) {
    static unsigned char buffer[1 << 20];
    asn_enc_rval_t rv = der_encode_to_buffer(type, value, buffer, sizeof buffer);
    (void)rv;
}
