// GUID text: 36 characters "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" over the
// 16-byte binary form in network byte order (first group a big-endian 32-bit
// number, second and third big-endian 16-bit numbers, then the eight bytes in
// order). All-zero bytes mean "no GUID".
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t TESSEL_GUID_BYTES = 16;
constexpr size_t TESSEL_GUID_TEXT_LENGTH = 36;

// Parses exactly 36 characters with "-" at positions 8, 13, 18 and 23 and a
// hexadecimal digit (either case) everywhere else. 0, or -1 (out untouched).
int tessel_guid_parse(const char* text, uint8_t out[TESSEL_GUID_BYTES]);

// Writes the text form and its terminator into `out` (at least 37 bytes), in
// lower case or, with `upper`, in upper case.
void tessel_guid_format(const uint8_t guid[TESSEL_GUID_BYTES], char* out, bool upper = false);

// True when all 16 bytes are zero.
bool tessel_guid_is_zero(const uint8_t guid[TESSEL_GUID_BYTES]);
