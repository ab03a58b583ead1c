// Formatting and allocation helpers shared by the hostkit units.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace hostkit {

// printf-style formatting of any length. Conversions between narrow and wide
// text inside a format (%ls in a narrow format, %s in a wide one) use UTF-8
// whatever the process locale is. false on a format error.
bool VFormat(std::string* out, const char* format, va_list args);
bool VFormatW(std::wstring* out, const wchar_t* format, va_list args);

// Newly allocated copies (malloc; release with free), null when out of memory.
char* DupString(std::string_view text);
wchar_t* DupWide(std::wstring_view text);

// Wipes then frees a string allocated by the functions above.
void WipeAndFree(char* text);
void WipeAndFreeW(wchar_t* text);

}  // namespace hostkit
