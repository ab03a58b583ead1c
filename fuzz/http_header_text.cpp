// The checks of what goes into a request line or header field: a value
// passes only without control characters, a name only as a token, and a
// token never holds a byte that could end or split a header.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "kit/http_client/http_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536)
        return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    bool control = false;
    for (unsigned char c : text)
        control = control || c < 0x20 || c == 0x7F;
    if (http_text_has_control(text) != control)
        abort();
    if (http_text_is_token(text)) {
        if (text.empty() || control)
            abort();
        for (unsigned char c : text)
            if (c >= 0x80 || strchr(" \t\"(),/:;<=>?@[\\]{}", c))
                abort();
    }
    return 0;
}
