#include "kit/http_client/http_text.h"

#include <cstring>

bool http_text_has_control(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

bool http_text_is_token(std::string_view text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && (c == '\0' || !strchr("!#$%&'*+-.^_`|~", c))) return false;
    }
    return true;
}
