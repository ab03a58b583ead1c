// guid_parse on arbitrary text (a certificate's common name): what parses
// must print back to the same text, ignoring case.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "kit/util/guid_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    uint8_t guid[16];
    if (guid_parse(text.c_str(), text.size(), guid) != 0) return 0;
    char back[GUID_TEXT_SIZE];
    guid_to_text(guid, back, false);
    if (strncasecmp(back, text.c_str(), 36) != 0) abort();
    return 0;
}
