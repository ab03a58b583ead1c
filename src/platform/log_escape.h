// Log lines carry text that came from the network or from files (PAC errors,
// server answers, headers, lease files). Such text must not be able to end a
// line, start a forged one or drive the terminal that shows the log, so every
// byte outside printable ASCII is written as \r, \n, \t or \xNN. The literal
// text a message's format starts and ends with is the writer's own and is kept
// as it is (the EST records begin with a line feed on purpose).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// How many leading and trailing bytes of any printf result of `format` are
// the format's own literal text: what precedes its first '%' and what follows
// its last conversion. A format without conversions is literal throughout.
struct FormatLiteralEnds {
    size_t head = 0;
    size_t tail = 0;
};
FormatLiteralEnds LiteralEndsOf(const char* format);

// Appends `text` to `out` escaped, keeping its first `keep.head` and last
// `keep.tail` bytes as they are. `out` grows to at most `max` bytes; an escape
// is never cut in half.
void AppendEscapedLogText(std::string_view text, FormatLiteralEnds keep, size_t max, std::string* out);

// The same into a fixed buffer (NUL-terminated, at most `size` - 1 bytes);
// returns the length written.
size_t EscapeLogText(std::string_view text, FormatLiteralEnds keep, char* buffer, size_t size);

// `text` escaped throughout, for one value placed in a log line.
std::string LogSafe(std::string_view text);

}  // namespace platform
