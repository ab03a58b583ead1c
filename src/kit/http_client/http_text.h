// What may go into a request line or a header field: values without control
// characters, names that are tokens. A control character in a header value
// (CR, LF above all) would let the value start a header or a request of its own.
#pragma once

#include <string_view>

// True when `text` holds a byte below 0x20 or the byte 0x7F.
bool http_text_has_control(std::string_view text);

// True when `text` is a non-empty token: letters, digits and !#$%&'*+-.^_`|~
// (header names, parameter names, methods).
bool http_text_is_token(std::string_view text);
