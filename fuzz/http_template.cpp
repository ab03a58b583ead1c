// Expansion of configuration templates: placeholders found as the pattern
// \[%set:(.*?)%\] would find them, every one replaced, and the expansion ends.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "http/UrlUtil.h"
#include "http/XmlConfig.h"
#include "platform/utf8.h"

namespace {

size_t CountOpenings(const std::wstring& text) {
    size_t n = 0;
    for (wchar_t c : text)
        n += c == L'[';
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000)
        return 0;
    std::wstring text = platform::Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));

    // Short texts: the first placeholder is the one the pattern finds.
    if (text.size() <= 256) {
        static const std::wregex pattern(L"\\[%set:(.*?)%\\]");
        std::wsmatch match;
        bool expected = std::regex_search(text, match, pattern);
        size_t begin = 0, end = 0;
        std::wstring key;
        bool found = FindTemplatePlaceholder(text, 0, &begin, &end, &key);
        if (found != expected)
            abort();
        if (found && (static_cast<size_t>(match.position(0)) != begin ||
                      static_cast<size_t>(match.length(0)) != end - begin || match.str(1) != key))
            abort();
    }

    // Values are percent-encoded, as the configuration's are.
    size_t calls = 0;
    std::wstring out = ExpandTemplate(text, [&](const std::wstring& key) {
        ++calls;
        return platform::Utf8ToWide(PercentEncode(platform::WideToUtf8(key)));
    });
    size_t begin = 0, end = 0;
    std::wstring key;
    if (FindTemplatePlaceholder(out, 0, &begin, &end, &key))
        abort();
    if (calls > CountOpenings(text) || CountOpenings(out) + calls > CountOpenings(text))
        abort();
    // Substituted values are encoded: they never bring a control character
    // into a URL that had none.
    auto control = [](const std::wstring& t) {
        for (wchar_t c : t)
            if (c < 0x20 || c == 0x7F)
                return true;
        return false;
    };
    if (!control(text) && control(out))
        abort();
    return 0;
}
