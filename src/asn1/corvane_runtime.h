// Start-up of the generated protocol code. Call corvane_asn1_init() before the
// first encode, decode, print or constraint check; it is cheap to call again
// and safe from several threads.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void corvane_asn1_init(void);

#ifdef __cplusplus
}
#endif
