#include "platform/log_escape.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

constexpr char HEX[] = "0123456789abcdef";

bool Printable(unsigned char c) { return c >= 0x20 && c < 0x7f; }

// The escape of one byte into `out` (at most 4 bytes); its length.
size_t EscapeByte(unsigned char c, char* out) {
    if (Printable(c)) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    out[0] = '\\';
    switch (c) {
    case '\r': out[1] = 'r'; return 2;
    case '\n': out[1] = 'n'; return 2;
    case '\t': out[1] = 't'; return 2;
    default:
        out[1] = 'x';
        out[2] = HEX[c >> 4];
        out[3] = HEX[c & 0xf];
        return 4;
    }
}

// Feeds the escaped form of `text` to `put` piece by piece until it refuses.
template <typename Put>
void Escape(std::string_view text, FormatLiteralEnds keep, Put put) {
    size_t head = std::min(keep.head, text.size());
    size_t tail = std::min(keep.tail, text.size() - head);
    char piece[4];
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool literal = i < head || i >= text.size() - tail;
        size_t n = literal ? (piece[0] = static_cast<char>(c), 1) : EscapeByte(c, piece);
        if (!put(piece, n)) return;
    }
}

}  // namespace

FormatLiteralEnds LiteralEndsOf(const char* format) {
    FormatLiteralEnds ends;
    if (!format) return ends;
    const char* first = std::strchr(format, '%');
    if (!first) {
        ends.head = std::strlen(format);
        return ends;
    }
    ends.head = static_cast<size_t>(first - format);
    // The end of the last conversion: after '%', flags, width, precision and
    // length modifiers run up to the conversion letter (or "%%").
    const char* after_last = first;
    for (const char* p = first; (p = std::strchr(p, '%')) != nullptr;) {
        ++p;
        while (*p && std::strchr("#0- +'*.0123456789hlLqjzt", *p)) ++p;
        if (*p) ++p;
        after_last = p;
    }
    ends.tail = std::strlen(after_last);
    return ends;
}

void AppendEscapedLogText(std::string_view text, FormatLiteralEnds keep, size_t max, std::string* out) {
    Escape(text, keep, [&](const char* piece, size_t n) {
        if (out->size() + n > max) return false;
        out->append(piece, n);
        return true;
    });
}

size_t EscapeLogText(std::string_view text, FormatLiteralEnds keep, char* buffer, size_t size) {
    if (size == 0) return 0;
    size_t used = 0;
    Escape(text, keep, [&](const char* piece, size_t n) {
        if (used + n > size - 1) return false;
        std::memcpy(buffer + used, piece, n);
        used += n;
        return true;
    });
    buffer[used] = '\0';
    return used;
}

std::string LogSafe(std::string_view text) {
    std::string out;
    AppendEscapedLogText(text, {}, text.size() * 4, &out);
    return out;
}

}  // namespace platform
