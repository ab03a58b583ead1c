#include "http/XmlConfig.h"

#include "host/IConfig.h"
#include "host/Util.h"
#include "http/UrlUtil.h"

namespace {

constexpr wchar_t kOpen[] = L"[%set:";
constexpr size_t kOpenLength = sizeof kOpen / sizeof kOpen[0] - 1;
constexpr wchar_t kClose[] = L"%]";

// A copy of a string the configuration returned, which goes back to it.
template <typename Char, typename Release>
std::basic_string<Char> Take(Char* value, Release release) {
    if (!value)
        return {};
    std::basic_string<Char> copy(value);
    release(value);
    return copy;
}

std::string ToNarrow(const std::wstring& text) {
    char* narrow = Util::ConvertWCHARToString(text.c_str());
    if (!narrow)
        return {};
    std::string copy(narrow);
    Util::FreeMem(narrow);
    return copy;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

// The same language as the pattern \[%set:(.*?)%\] searched leftmost-first,
// where "." stops at CR and LF; written out so that its cost stays linear.
bool FindTemplatePlaceholder(const std::wstring& text, size_t from, size_t* begin, size_t* end, std::wstring* key) {
    for (size_t open = text.find(kOpen, from); open != std::wstring::npos; open = text.find(kOpen, open + 1)) {
        size_t keyStart = open + kOpenLength;
        size_t close = text.find(kClose, keyStart);
        size_t lineEnd = text.find_first_of(L"\r\n", keyStart);
        if (close == std::wstring::npos)
            return false;  // no later opening can be closed either
        if (lineEnd < close)
            continue;
        *begin = open;
        *end = close + 2;
        *key = text.substr(keyStart, close - keyStart);
        return true;
    }
    return false;
}

std::wstring ExpandTemplate(std::wstring text, const std::function<std::wstring(const std::wstring& key)>& value) {
    size_t begin = 0, end = 0;
    std::wstring key;
    while (FindTemplatePlaceholder(text, 0, &begin, &end, &key))
        text = text.substr(0, begin) + value(key) + text.substr(end);
    return text;
}

XmlConfig::XmlConfig(IConfig* config, IUrlUtil* urlUtil) : m_config(config), m_urlUtil(urlUtil) {}

std::string XmlConfig::GetString(const char* key) {
    return Take(m_config->GetString(key), [this](char* v) { m_config->FreeString(v); });
}

std::wstring XmlConfig::GetWString(const char* key) {
    return Take(m_config->GetStringW(key), [this](wchar_t* v) { m_config->FreeStringW(v); });
}

std::string XmlConfig::GetSecureString(const char* key) {
    return Take(m_config->GetSecureString(key), [this](char* v) { m_config->FreeString(v); });
}

std::wstring XmlConfig::GetSecureWString(const char* key) {
    return Take(m_config->GetSecureStringW(key), [this](wchar_t* v) { m_config->FreeStringW(v); });
}

std::wstring XmlConfig::GetTemplatedValue(const char* key) {
    return ExpandTemplate(GetSecureWString(key), [this](const std::wstring& placeholder) {
        std::string name = ToNarrow(placeholder);
        if (StartsWith(name, "agent/") || StartsWith(name, "ui/"))
            name = "config/" + name;
        std::wstring value = GetWString(name.c_str());
        return m_urlUtil->UrlEncodeW(value.c_str());
    });
}
