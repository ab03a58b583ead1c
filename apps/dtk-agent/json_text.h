// JSON output: one object per line, members in the order they were added.
// Text that is not UTF-8 (a file name from a Latin-1 system) is never passed
// through: each byte that is not part of valid UTF-8 becomes U+FFFD, as
// Widen() does for the library's wide strings, so every line parses.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace agent {

class JsonObject {
public:
    void String(const char* name, const std::string& value) { m_object[name] = value; }
    void Number(const char* name, long long value) { m_object[name] = value; }
    void Bool(const char* name, bool value) { m_object[name] = value; }
    void Null(const char* name) { m_object[name] = nullptr; }
    // The object on one line.
    std::string Text() const;

private:
    nlohmann::ordered_json m_object = nlohmann::ordered_json::object();
};

}  // namespace agent
