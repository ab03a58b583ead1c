#include "failure_text.h"

#include <cstdio>

#include "hostkit.h"

namespace agent {

namespace {

// The library writes it before the words of each cause line.
constexpr char kCauseMarker[] = "cause: ";
// A cause is a few words and a host name; more is not a cause.
constexpr size_t kMaxCause = 300;

std::string Bounded(std::string text) {
    text = hostkit::OneLine(std::move(text));
    if (text.size() > kMaxCause)
        text = text.substr(0, kMaxCause) + "...";
    return text;
}

}  // namespace

std::string HresultWords(HRESULT result) {
    switch (result) {
    case S_OK:
        return "no error";
    case E_FAIL:
        return "the request failed";
    case E_INVALIDARG:
        return "the library refused the request's arguments";
    case E_OUTOFMEMORY:
        return "out of memory";
    case TESSEL_E_INVALID_URL:
        return "not an http or https URL with a path";
    default: {
        char text[48];
        snprintf(text, sizeof text, "error 0x%08x", static_cast<unsigned>(result));
        return text;
    }
    }
}

std::string CauseInLine(const std::string& line) {
    const std::string::size_type at = line.rfind(kCauseMarker);
    if (at == std::string::npos)
        return "";
    return Bounded(line.substr(at + sizeof kCauseMarker - 1));
}

std::string MessageOfLine(const std::string& line) {
    // "Class::Method: text" or "Class::Method text": the text after the name.
    const std::string::size_type scope = line.find("::");
    const std::string::size_type space = line.find(' ');
    if (scope == std::string::npos || space == std::string::npos || scope > space)
        return Bounded(line);
    std::string::size_type start = space;
    while (start < line.size() && (line[start] == ' ' || line[start] == ':'))
        ++start;
    return Bounded(line.substr(start));
}

}  // namespace agent
