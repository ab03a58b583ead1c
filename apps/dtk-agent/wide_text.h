// UTF-8 and the library's wide strings.
#pragma once

#include <string>

namespace agent {

// Invalid UTF-8 becomes U+FFFD.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace agent
