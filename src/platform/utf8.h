// UTF-8 <-> wide (UTF-32 wchar_t) conversions that do not depend on the
// process locale. Malformed input never fails: each bad byte of UTF-8, and each
// wide value that is not a Unicode scalar value, becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

}  // namespace platform
