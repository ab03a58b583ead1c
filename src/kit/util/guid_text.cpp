#include "kit/util/guid_text.h"

#include <cstdio>

void guid_to_text(const uint8_t g[16], char out[GUID_TEXT_SIZE], bool upper) {
    const char* format = upper ? "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X"
                               : "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x";
    snprintf(out, GUID_TEXT_SIZE, format, g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9], g[10], g[11],
             g[12], g[13], g[14], g[15]);
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int guid_parse(const char* text, size_t length, uint8_t out[16]) {
    if (!text || length != 36) return -1;
    uint8_t bytes[16];
    size_t b = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return -1;
            i++;
            continue;
        }
        int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return -1;
        bytes[b++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    for (size_t i = 0; i < 16; i++) out[i] = bytes[i];
    return 0;
}

bool guid_is_absent(const uint8_t guid[16]) {
    for (size_t i = 0; i < 16; i++) {
        if (guid[i]) return false;
    }
    return true;
}
