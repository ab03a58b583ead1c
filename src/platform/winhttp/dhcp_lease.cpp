#include "platform/winhttp/dhcp_lease.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "platform/winhttp.h"

namespace platform::winhttp {

namespace {

constexpr size_t MAX_URL = 2048;
constexpr size_t MAX_LEASE_FILE = 1 << 20;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "68:74:74:70" (dhclient, one or two digits per byte) or "68747470"
// (networkd, two digits per byte). False on anything else.
bool DecodeHex(std::string_view text, bool colons, std::string* out) {
    out->clear();
    while (!text.empty()) {
        int hi = HexDigit(text[0]);
        if (hi < 0) return false;
        int value = hi;
        size_t used = 1;
        if (text.size() > 1 && text[1] != ':') {
            int lo = HexDigit(text[1]);
            if (lo < 0) return false;
            value = hi * 16 + lo;
            used = 2;
        } else if (!colons) {
            return false;
        }
        out->push_back(static_cast<char>(value));
        text.remove_prefix(used);
        if (colons && !text.empty()) {
            if (text[0] != ':' || text.size() == 1) return false;
            text.remove_prefix(1);
        }
        if (out->size() > MAX_URL + 1) return false;
    }
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char p, char t) { return std::tolower(static_cast<unsigned char>(t)) == p; });
}

// A statement of dhclient's syntax split into words; quoted strings are one
// word with their escapes resolved and `quoted` set.
struct Word {
    std::string text;
    bool quoted = false;
};

// Reads one quoted string starting after the opening quote; `pos` ends after
// the closing one. False when unterminated.
bool ReadQuoted(std::string_view text, size_t* pos, std::string* out) {
    size_t i = *pos;
    while (i < text.size() && text[i] != '"') {
        char c = text[i++];
        if (c == '\\' && i < text.size()) {
            if (text[i] >= '0' && text[i] <= '7') {
                int value = 0;
                for (int n = 0; n < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++n)
                    value = value * 8 + (text[i++] - '0');
                c = static_cast<char>(value & 0xff);
            } else {
                c = text[i++];
            }
        }
        if (out->size() > MAX_URL + 1) return false;
        out->push_back(c);
    }
    if (i >= text.size()) return false;
    *pos = i + 1;
    return true;
}

bool IsWpadOption(const std::string& name) {
    return name == "wpad" || name == "wpad-url" || name == "proxy-auto-config" || name == "unknown-252";
}

// The URL an "option <name> <value>" statement gives, or "".
std::string OptionValue(const std::vector<Word>& words) {
    if (words.size() != 3 || words[0].quoted || words[0].text != "option" || !IsWpadOption(words[1].text))
        return "";
    if (words[2].quoted) return CheckWpadUrl(words[2].text);
    std::string bytes;
    return DecodeHex(words[2].text, true, &bytes) ? CheckWpadUrl(bytes) : "";
}

std::string ReadSmallFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (!in) return text;
    text.resize(MAX_LEASE_FILE);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

struct LeaseFile {
    std::filesystem::path path;
    bool dhclient = false;
    std::filesystem::file_time_type modified;
};

void AddFile(std::vector<LeaseFile>* files, const std::filesystem::path& path, bool dhclient) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return;
    auto modified = std::filesystem::last_write_time(path, ec);
    if (!ec) files->push_back({path, dhclient, modified});
}

bool EndsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Every file of `dir` whose name `pick` accepts; `pick` tells whether it is
// in dhclient's syntax through its second argument.
template <typename Pick>
void AddDirectory(std::vector<LeaseFile>* files, const std::string& dir, Pick pick) {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (int n = 0; !ec && it != end && n < 1000; it.increment(ec), ++n) {
        bool dhclient = false;
        if (pick(it->path().filename().string(), &dhclient)) AddFile(files, it->path(), dhclient);
    }
}

}  // namespace

std::string CheckWpadUrl(std::string_view bytes) {
    if (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
    if (bytes.size() > MAX_URL) return "";
    if (!StartsWithNoCase(bytes, "http://") && !StartsWithNoCase(bytes, "https://")) return "";
    bool printable = std::all_of(bytes.begin(), bytes.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
    return printable ? std::string(bytes) : "";
}

std::string WpadFromDhclientLease(std::string_view text) {
    std::string found;    // from the last complete lease carrying the option
    std::string current;  // in the lease being read
    std::vector<Word> words;
    int depth = 0;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '#') {
            size_t nl = text.find('\n', i);
            i = nl == std::string_view::npos ? text.size() : nl;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '"') {
            Word word{"", true};
            ++i;
            if (!ReadQuoted(text, &i, &word.text)) break;
            words.push_back(std::move(word));
        } else if (c == ';') {
            if (depth == 1) {
                std::string url = OptionValue(words);
                if (!url.empty()) current = url;
            }
            words.clear();
            ++i;
        } else if (c == '{') {
            if (++depth == 1) current.clear();
            words.clear();
            ++i;
        } else if (c == '}') {
            if (depth > 0 && --depth == 0 && !current.empty()) found = current;
            words.clear();
            ++i;
        } else {
            size_t end = text.find_first_of(" \t\r\n;{}\"#", i);
            if (end == std::string_view::npos) end = text.size();
            if (words.size() < 8) words.push_back({std::string(text.substr(i, end - i)), false});
            i = end;
        }
    }
    return found;
}

std::string WpadFromKeyValueLease(std::string_view text) {
    std::string found;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        constexpr std::string_view key = "OPTION_252=";
        if (line.substr(0, key.size()) != key) continue;
        line.remove_prefix(key.size());
        if (line.size() >= 2 && line.front() == '"' && line.back() == '"') line = line.substr(1, line.size() - 2);
        std::string bytes;
        found = DecodeHex(line, false, &bytes) ? CheckWpadUrl(bytes) : "";
    }
    return found;
}

std::string FindWpadInLeases(const WinHttpSettings& settings) {
    std::vector<LeaseFile> files;
    for (const std::string& path : settings.dhclientLeasePaths) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            AddDirectory(&files, path, [](const std::string& name, bool* dhclient) {
                *dhclient = true;
                return EndsWith(name, ".lease") || EndsWith(name, ".leases");
            });
        } else {
            AddFile(&files, path, true);
        }
    }
    if (!settings.networkdLeaseDir.empty())
        AddDirectory(&files, settings.networkdLeaseDir, [](const std::string& name, bool* dhclient) {
            *dhclient = false;
            return !name.empty() && name[0] != '.';
        });
    if (!settings.networkManagerDir.empty())
        AddDirectory(&files, settings.networkManagerDir, [](const std::string& name, bool* dhclient) {
            *dhclient = name.rfind("dhclient-", 0) == 0;
            return (*dhclient || name.rfind("internal-", 0) == 0) && EndsWith(name, ".lease");
        });
    std::stable_sort(files.begin(), files.end(),
                     [](const LeaseFile& a, const LeaseFile& b) { return a.modified > b.modified; });
    for (const LeaseFile& file : files) {
        std::string text = ReadSmallFile(file.path);
        std::string url = file.dhclient ? WpadFromDhclientLease(text) : WpadFromKeyValueLease(text);
        if (!url.empty()) return url;
    }
    return "";
}

}  // namespace platform::winhttp
