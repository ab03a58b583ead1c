#include "http/UrlUtil.h"

#include "host/WinApi.h"
#include "kit/http_client/http_text.h"

namespace {

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsUrlPathChar(unsigned char c) {
    return IsAsciiAlnum(c) || c == '-' || c == '_' || c == ':' || c == '.' || c == '/';
}

}  // namespace

std::string PercentEncode(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (IsAsciiAlnum(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

// The accepted language is ^https?://[a-zA-Z0-9][a-zA-Z0-9-_:./]*/.*$ where "."
// is no control character: the URL goes into the request line, where a CR, a
// LF or any other control byte could end it or smuggle another. Checked by
// hand: a backtracking matcher recurses per character and a long URL could
// exhaust a host thread's stack.
bool IsValidWebUrl(const char* url) {
    if (!url)
        return false;
    std::string_view text(url);
    if (http_text_has_control(text))
        return false;
    std::string_view rest;
    if (text.substr(0, 7) == "http://")
        rest = text.substr(7);
    else if (text.substr(0, 8) == "https://")
        rest = text.substr(8);
    else
        return false;
    if (rest.empty() || !IsAsciiAlnum(static_cast<unsigned char>(rest[0])))
        return false;
    for (size_t i = 1; i < rest.size() && IsUrlPathChar(static_cast<unsigned char>(rest[i])); ++i) {
        if (rest[i] == '/')
            return true;
    }
    return false;
}

bool IsPolicyUrl(const std::string& url) { return url.rfind("https://", 0) == 0 && IsValidWebUrl(url.c_str()); }

UrlUtil::UrlUtil(IStringUtils* strings, ReleaseFn release) : m_strings(strings), m_release(release) {}

UrlUtil::~UrlUtil() {
    if (m_strings && m_release)
        m_release(m_strings);
}

std::string UrlUtil::UrlEncode(const wchar_t* text) {
    if (!text || !m_strings)
        return {};
    char* narrow = m_strings->ToNarrow(text);
    if (!narrow)
        return {};
    std::string encoded = PercentEncode(narrow);
    m_strings->FreeString(narrow);
    return encoded;
}

std::wstring UrlUtil::UrlEncodeW(const wchar_t* text) {
    std::string encoded = UrlEncode(text);
    if (encoded.empty() || !m_strings)
        return {};
    wchar_t* wide = m_strings->ToWide(encoded.c_str());
    if (!wide)
        return {};
    std::wstring result(wide);
    m_strings->FreeString(wide);
    return result;
}
