// Configuration reads for the HTTP facade and the expansion of URL templates
// that arrive with policy: "[%set:<key>%]" stands for the percent-encoded
// value of another configuration key.
#pragma once

#include <functional>
#include <string>

class IConfig;
class IUrlUtil;

// Finds the first placeholder of `text` at or after `from`: the leftmost
// "[%set:" followed, on the same line, by a "%]"; the key is the shortest text
// between them. False when there is none.
bool FindTemplatePlaceholder(const std::wstring& text, size_t from, size_t* begin, size_t* end, std::wstring* key);

// Replaces placeholders one at a time, each time searching again from the
// start, until none is left. `value` answers the replacement for a key (the
// caller encodes it). Ends because every replacement removes a "[" and values
// must add none (percent-encoding guarantees it).
std::wstring ExpandTemplate(std::wstring text, const std::function<std::wstring(const std::wstring& key)>& value);

class IXmlConfig {
public:
    virtual ~IXmlConfig() = default;
    virtual std::string GetString(const char* key) = 0;
    virtual std::wstring GetWString(const char* key) = 0;
    virtual std::string GetSecureString(const char* key) = 0;
    virtual std::wstring GetSecureWString(const char* key) = 0;
    virtual std::wstring GetTemplatedValue(const char* key) = 0;
    virtual IConfig* GetConfig() = 0;
};

class XmlConfig : public IXmlConfig {
public:
    // Neither is owned.
    XmlConfig(IConfig* config, IUrlUtil* urlUtil);

    std::string GetString(const char* key) override;
    std::wstring GetWString(const char* key) override;
    std::string GetSecureString(const char* key) override;
    std::wstring GetSecureWString(const char* key) override;
    // The secure value of `key` with every placeholder replaced; a key beginning
    // with "agent/" or "ui/" is read below "config/". Absent keys give "".
    std::wstring GetTemplatedValue(const char* key) override;
    IConfig* GetConfig() override { return m_config; }

private:
    IConfig* m_config;
    IUrlUtil* m_urlUtil;
};
