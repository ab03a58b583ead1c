#include "platform/utf8.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes one scalar value at text[*pos]; rejects overlong forms, surrogates
// and values above U+10FFFF as one bad byte.
char32_t DecodeOne(std::string_view text, size_t* pos) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(*pos);
    size_t length;
    char32_t value, minimum;
    if (lead < 0x80) {
        ++*pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        ++*pos;
        return kReplacement;
    }
    if (*pos + length > text.size()) {
        ++*pos;
        return kReplacement;
    }
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(byte(*pos + i))) {
            ++*pos;
            return kReplacement;
        }
        value = (value << 6) | (byte(*pos + i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++*pos;
        return kReplacement;
    }
    *pos += length;
    return value;
}

void EncodeOne(char32_t value, std::string* out) {
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        value = kReplacement;
    if (value < 0x80) {
        out->push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (value >> 6)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (value >> 12)));
        out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (value >> 18)));
        out->push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

}  // namespace

static_assert(sizeof(wchar_t) == 4, "wide strings are UTF-32 on this platform");

std::wstring Utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size())
        out.push_back(static_cast<wchar_t>(DecodeOne(text, &pos)));
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text)
        EncodeOne(static_cast<char32_t>(static_cast<uint32_t>(c)), &out);
    return out;
}

}  // namespace platform
