// Minimal JSON output: one object per line, strings escaped.
#pragma once

#include <string>

namespace agent {

std::string JsonEscape(const std::string& text);

class JsonObject {
public:
    void String(const char* name, const std::string& value) { Add(name, "\"" + JsonEscape(value) + "\""); }
    void Number(const char* name, long long value) { Add(name, std::to_string(value)); }
    void Bool(const char* name, bool value) { Add(name, value ? "true" : "false"); }
    std::string Text() const { return "{" + m_body + "}"; }

private:
    void Add(const char* name, const std::string& value) {
        if (!m_body.empty())
            m_body += ",";
        m_body += "\"" + JsonEscape(name) + "\":" + value;
    }
    std::string m_body;
};

}  // namespace agent
