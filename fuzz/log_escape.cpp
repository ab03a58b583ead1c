// The log escape on arbitrary text, with the kept ends and the buffer size
// taken from the first bytes: within the bound, nothing but printable ASCII
// outside the kept ends, the same again when escaped twice (the kit logs the
// EST client's escaped lines once more), a bounded result that is a prefix
// of the whole, and, for text without a backslash (which stays as it is),
// an escaped middle that reads back as the original.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/log_escape.h"

namespace {

// Reads back the escaped form (a backslash not starting an escape is itself);
// false on a byte the escape never writes.
bool Unescape(std::string_view in, std::string* out) {
    for (size_t i = 0; i < in.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c < 0x20 || c >= 0x7f) return false;
        if (c != '\\') {
            out->push_back(static_cast<char>(c));
            continue;
        }
        if (i + 1 >= in.size()) {
            out->push_back('\\');
            continue;
        }
        switch (in[++i]) {
        case 'r': out->push_back('\r'); break;
        case 'n': out->push_back('\n'); break;
        case 't': out->push_back('\t'); break;
        case 'x':
            if (i + 2 >= in.size()) {
                out->append("\\x");
                break;
            }
            out->push_back(static_cast<char>(std::strtoul(std::string(in.substr(i + 1, 2)).c_str(), nullptr, 16)));
            i += 2;
            break;
        default: out->push_back('\\'); out->push_back(in[i]); break;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    platform::FormatLiteralEnds keep{data[0] % 8u, data[1] % 8u};
    size_t buffer_size = 1 + data[2];
    std::string_view text(reinterpret_cast<const char*>(data) + 3, size - 3);
    std::string buffer(buffer_size, '\0');
    size_t n = platform::EscapeLogText(text, keep, buffer.data(), buffer_size);
    if (n >= buffer_size || buffer[n] != '\0') abort();

    // With room for everything, the middle must read back whole.
    std::string out;
    platform::AppendEscapedLogText(text, keep, text.size() * 4, &out);
    size_t head = std::min(keep.head, text.size());
    size_t tail = std::min(keep.tail, text.size() - head);
    if (out.compare(0, head, text.substr(0, head)) != 0) abort();
    if (out.size() < head + tail || out.compare(out.size() - tail, tail, text.substr(text.size() - tail)) != 0) abort();
    std::string_view escaped = std::string_view(out).substr(head, out.size() - head - tail);
    std::string middle;
    if (!Unescape(escaped, &middle)) abort();
    if (text.find('\\') == std::string_view::npos && middle != text.substr(head, text.size() - head - tail)) abort();
    if (platform::LogSafe(escaped) != escaped) abort();
    // The bounded form is a prefix of the whole.
    if (out.compare(0, n, buffer.data(), n) != 0) abort();
    return 0;
}
