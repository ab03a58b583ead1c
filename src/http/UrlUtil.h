// Percent-encoding of configuration values and form fields, and the check that
// a URL handed to a request is an http(s) URL with a path.
#pragma once

#include <string>
#include <string_view>

class IStringUtils;

// Keeps 0-9, A-Z, a-z; every other byte becomes "%" and two upper-case hex digits.
std::string PercentEncode(std::string_view text);

// True when the whole URL is "http" or "https", "://", a letter or digit, then
// letters, digits and "-_:./" up to a "/", then anything without a control
// character.
bool IsValidWebUrl(const char* url);

// True when the URL passes IsValidWebUrl with the https scheme: what a policy
// template must give, since it arrives with policy and names a server only.
bool IsPolicyUrl(const std::string& url);

class IUrlUtil {
public:
    virtual ~IUrlUtil() = default;
    virtual std::string UrlEncode(const wchar_t* text) = 0;
    virtual std::wstring UrlEncodeW(const wchar_t* text) = 0;
};

class UrlUtil : public IUrlUtil {
public:
    using ReleaseFn = void (*)(IStringUtils*);
    // Takes the string utilities and releases them with `release` on destruction.
    UrlUtil(IStringUtils* strings, ReleaseFn release);
    ~UrlUtil() override;
    UrlUtil(const UrlUtil&) = delete;
    UrlUtil& operator=(const UrlUtil&) = delete;

    std::string UrlEncode(const wchar_t* text) override;
    std::wstring UrlEncodeW(const wchar_t* text) override;

private:
    IStringUtils* m_strings;
    ReleaseFn m_release;
};
