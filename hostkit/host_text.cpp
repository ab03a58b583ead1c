#include "host_text.h"

#include <locale.h>
#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace hostkit {
namespace {

// A UTF-8 character type for this thread while a format runs, so that %ls and
// wide %s convert the same way in every process, whatever its locale.
class ScopedUtf8Locale {
public:
    ScopedUtf8Locale() {
        static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (utf8)
            previous_ = uselocale(utf8);
    }
    ~ScopedUtf8Locale() {
        if (previous_)
            uselocale(previous_);
    }
    ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
    ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

private:
    locale_t previous_ = static_cast<locale_t>(0);
};

// Wide formats cannot report the size they need; the buffer grows up to this.
constexpr size_t kMaxWideFormat = size_t{1} << 22;

}  // namespace

bool VFormat(std::string* out, const char* format, va_list args) {
    if (!format)
        return false;
    ScopedUtf8Locale locale;
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0)
        return false;
    if (static_cast<size_t>(needed) < sizeof small) {
        out->assign(small, static_cast<size_t>(needed));
        return true;
    }
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    va_copy(copy, args);
    int written = vsnprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written < 0)
        return false;
    out->assign(buffer.data(), static_cast<size_t>(written));
    return true;
}

bool VFormatW(std::wstring* out, const wchar_t* format, va_list args) {
    if (!format)
        return false;
    ScopedUtf8Locale locale;
    // vswprintf fails both for a short buffer and for a bad conversion; grow
    // the buffer and give up at the limit.
    for (size_t capacity = 256; capacity <= kMaxWideFormat; capacity *= 4) {
        std::vector<wchar_t> buffer(capacity);
        va_list copy;
        va_copy(copy, args);
        errno = 0;
        int written = vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (written >= 0) {
            out->assign(buffer.data(), static_cast<size_t>(written));
            return true;
        }
        if (errno == EILSEQ)
            return false;  // a conversion that no buffer size cures
    }
    return false;
}

char* DupString(std::string_view text) {
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

wchar_t* DupWide(std::wstring_view text) {
    wchar_t* copy = static_cast<wchar_t*>(malloc((text.size() + 1) * sizeof(wchar_t)));
    if (!copy)
        return nullptr;
    wmemcpy(copy, text.data(), text.size());
    copy[text.size()] = L'\0';
    return copy;
}

void WipeAndFree(char* text) {
    if (!text)
        return;
    OPENSSL_cleanse(text, strlen(text));
    free(text);
}

void WipeAndFreeW(wchar_t* text) {
    if (!text)
        return;
    OPENSSL_cleanse(text, wcslen(text) * sizeof(wchar_t));
    free(text);
}

}  // namespace hostkit
