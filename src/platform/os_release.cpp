#include "platform/os_release.h"

#include <sys/utsname.h>

#include <cctype>
#include <climits>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

bool ValidKey(std::string_view key) {
    if (key.empty())
        return false;
    for (char c : key)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return true;
}

// Shell-style unquoting of a value; false for an unterminated quote.
bool Unquote(std::string_view raw, std::string* out) {
    out->clear();
    char quote = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                out->push_back(c);
        } else if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else if (c == '\\' && i + 1 < raw.size() && std::string_view("\"\\$`").find(raw[i + 1]) != std::string_view::npos) {
                out->push_back(raw[++i]);
            } else {
                out->push_back(c);
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '\\' && i + 1 < raw.size()) {
            out->push_back(raw[++i]);
        } else {
            out->push_back(c);
        }
    }
    return quote == 0;
}

std::string_view Trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos)
        return {};
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

OsReleaseFields ParseOsRelease(std::string_view text) {
    OsReleaseFields fields;
    while (!text.empty()) {
        size_t newline = text.find('\n');
        std::string_view line = Trim(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (line.empty() || line.front() == '#')
            continue;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string_view key = Trim(line.substr(0, equals));
        std::string value;
        if (!ValidKey(key) || !Unquote(Trim(line.substr(equals + 1)), &value))
            continue;
        fields[std::string(key)] = std::move(value);
    }
    return fields;
}

bool ReadOsRelease(OsReleaseFields* fields, const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::ifstream file(path, std::ios::binary);
        if (!file)
            continue;
        std::ostringstream content;
        content << file.rdbuf();
        *fields = ParseOsRelease(content.str());
        return true;
    }
    return false;
}

bool ReadOsRelease(OsReleaseFields* fields) {
    return ReadOsRelease(fields, {"/etc/os-release", "/usr/lib/os-release"});
}

void ParseKernelRelease(std::string_view release, KernelRelease* out) {
    int* parts[] = {&out->major, &out->minor, &out->patch};
    for (int* part : parts)
        *part = 0;
    size_t pos = 0;
    for (int* part : parts) {
        if (pos >= release.size() || !std::isdigit(static_cast<unsigned char>(release[pos])))
            break;
        long value = 0;
        while (pos < release.size() && std::isdigit(static_cast<unsigned char>(release[pos]))) {
            value = value * 10 + (release[pos++] - '0');
            if (value > INT_MAX)
                value = INT_MAX;
        }
        *part = static_cast<int>(value);
        if (pos >= release.size() || release[pos] != '.')
            break;
        ++pos;
    }
}

bool ReadKernelRelease(KernelRelease* out) {
    utsname name{};
    if (uname(&name) != 0)
        return false;
    ParseKernelRelease(name.release, out);
    out->machine = name.machine;
    return true;
}

}  // namespace platform
