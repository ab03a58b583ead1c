// GUID text: 36 characters "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" over the
// 16 bytes in network order. All-zero bytes mean "absent".
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t GUID_TEXT_SIZE = 37;

// Writes the text form (lower or upper case) and its terminator into `out`.
void guid_to_text(const uint8_t guid[16], char out[GUID_TEXT_SIZE], bool upper);
// Parses exactly 36 characters with dashes at 8, 13, 18 and 23. 0 or -1.
int guid_parse(const char* text, size_t length, uint8_t out[16]);
bool guid_is_absent(const uint8_t guid[16]);
