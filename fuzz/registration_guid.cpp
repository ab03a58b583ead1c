// GUID text from the configuration: whatever parses must write back as the
// same text in lower case, and parse again to the same bytes.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "registration/tessel_guid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);  // terminated copy
    uint8_t guid[TESSEL_GUID_BYTES];
    memset(guid, 0xA5, sizeof guid);
    if (tessel_guid_parse(text.c_str(), guid) != 0) {
        for (uint8_t b : guid)
            if (b != 0xA5)
                abort();
        return 0;
    }
    if (strlen(text.c_str()) != TESSEL_GUID_TEXT_LENGTH)
        abort();
    char lower[TESSEL_GUID_TEXT_LENGTH + 1];
    char upper[TESSEL_GUID_TEXT_LENGTH + 1];
    tessel_guid_format(guid, lower);
    tessel_guid_format(guid, upper, true);
    for (size_t i = 0; i < TESSEL_GUID_TEXT_LENGTH; ++i)
        if (lower[i] != std::tolower(static_cast<unsigned char>(text[i])) ||
            upper[i] != std::toupper(static_cast<unsigned char>(text[i])))
            abort();
    uint8_t again[TESSEL_GUID_BYTES];
    if (tessel_guid_parse(upper, again) != 0 || memcmp(again, guid, sizeof guid) != 0)
        abort();
    return 0;
}
