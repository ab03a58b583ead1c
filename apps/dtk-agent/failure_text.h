// What went wrong, in words, for the lines dtk-agent prints: the library's
// results and the causes its log lines give.
#pragma once

#include <string>

#include "dtk/IHttp.h"

namespace agent {

// Words for a result of the library's HTTP facade ("the request failed").
std::string HresultWords(HRESULT result);

// The cause a library log line gives after its marker "cause: "
// ("connection refused (127.0.0.1:443)"), on one line, control characters
// escaped, at most a few hundred bytes; empty when the line gives none.
std::string CauseInLine(const std::string& line);

// A library line without the "Class::Method: " it begins with, bounded like
// a cause: "Failed to read business_guid".
std::string MessageOfLine(const std::string& line);

}  // namespace agent
