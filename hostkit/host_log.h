// The host's log: `error` and `trace` (declared in Util.h) write one
// time-stamped line each, to standard error or to a log file, or hand the line
// to a sink that a test or a host installs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace hostkit {

enum class LogKind { Error, Trace };

// Receives every line while installed: its kind, its trace category (0 for
// errors) and the message without time stamp or kind. Lines go to the sink
// *instead of* the stream, so tests stay quiet. Calls are serialised under the
// log's lock (a recursive one, so a sink may itself log); after SetLogSink
// returns, the previous sink is no longer running and will not be called again.
using LogSink = std::function<void(LogKind kind, uint64_t category, const std::string& line)>;
void SetLogSink(LogSink sink);  // an empty sink removes it

// Appends lines to the file at `path` (created 0600 when missing) instead of
// standard error; an empty path goes back to standard error. false (with the
// reason in *error) when the file cannot be opened; the current stream stays.
bool SetLogFile(const std::string& path, std::string* error = nullptr);

// The line as the stream gets it:
// "2026-12-07T19:40:01.123Z ERROR <message>" or
// "2026-12-07T19:40:01.123Z TRACE 0x1000 <message>".
std::string FormatLogLine(LogKind kind, uint64_t category, const std::string& message);

// Line breaks at either end of a message are dropped and the ones inside
// become spaces: every call makes exactly one line. Other control characters
// (C0, DEL and C1) are written as \xNN, so that text from the network quoted
// in a line can neither forge a line nor drive the terminal showing the log.
std::string OneLine(std::string message);

}  // namespace hostkit
