#include "registration/tessel_guid.h"

#include <cstdio>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsDashPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

int tessel_guid_parse(const char* text, uint8_t out[TESSEL_GUID_BYTES]) {
    if (!text || !out)
        return -1;
    uint8_t bytes[TESSEL_GUID_BYTES] = {};
    size_t nibble = 0;
    size_t i = 0;
    // Stops at the terminator, so a short text is never read past its end.
    for (; i < TESSEL_GUID_TEXT_LENGTH && text[i] != '\0'; ++i) {
        if (IsDashPosition(i)) {
            if (text[i] != '-')
                return -1;
            continue;
        }
        int value = HexValue(text[i]);
        if (value < 0)
            return -1;
        bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] << 4 | value);
        ++nibble;
    }
    if (i != TESSEL_GUID_TEXT_LENGTH || text[i] != '\0')
        return -1;
    // The groups read as numbers and stored big-endian are the digits in text order.
    for (size_t b = 0; b < TESSEL_GUID_BYTES; ++b)
        out[b] = bytes[b];
    return 0;
}

void tessel_guid_format(const uint8_t g[TESSEL_GUID_BYTES], char* out, bool upper) {
    const char* format = upper ? "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X"
                               : "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x";
    snprintf(out, TESSEL_GUID_TEXT_LENGTH + 1, format, g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9],
             g[10], g[11], g[12], g[13], g[14], g[15]);
}

bool tessel_guid_is_zero(const uint8_t guid[TESSEL_GUID_BYTES]) {
    uint8_t any = 0;
    for (size_t i = 0; i < TESSEL_GUID_BYTES; ++i)
        any |= guid[i];
    return any == 0;
}
