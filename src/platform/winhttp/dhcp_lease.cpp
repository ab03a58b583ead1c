#include "platform/winhttp/dhcp_lease.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "kit/tessel_time.h"
#include "platform/winhttp.h"

namespace platform::winhttp {

namespace {

constexpr size_t MAX_URL = 2048;
constexpr size_t MAX_LEASE_FILE = 1 << 20;
constexpr size_t MAX_LEASE_FILES = 64;  // the newest ones; older files hold history
constexpr size_t MAX_INTERFACES = 64;   // per file
constexpr size_t MAX_INTERFACE_NAME = 64;

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
// the closing one. A string longer than any URL keeps only its first
// MAX_URL + 1 bytes, which no statement accepts. False when unterminated.
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
        if (out->size() <= MAX_URL) out->push_back(c);
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

bool AllDigits(std::string_view text, size_t max) {
    return !text.empty() && text.size() <= max &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "YYYY/MM/DD" and "HH:MM:SS" in UTC as seconds since the epoch; 0 when
// either is malformed or out of range.
int64_t UtcSeconds(std::string_view date, std::string_view time) {
    if (date.size() != 10 || date[4] != '/' || date[7] != '/' || time.size() != 8 || time[2] != ':' ||
        time[5] != ':')
        return 0;
    auto number = [](std::string_view digits) { return AllDigits(digits, 4) ? std::stoi(std::string(digits)) : -1; };
    int year = number(date.substr(0, 4)), month = number(date.substr(5, 2)), day = number(date.substr(8, 2));
    int hour = number(time.substr(0, 2)), minute = number(time.substr(3, 2)), second = number(time.substr(6, 2));
    std::chrono::year_month_day ymd{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                    std::chrono::day(static_cast<unsigned>(day))};
    if (year < 1970 || month < 1 || day < 1 || !ymd.ok() || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 60)
        return 0;
    int64_t days = std::chrono::sys_days(ymd).time_since_epoch().count();
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

// The end an "expire ..." statement gives: "<weekday> YYYY/MM/DD HH:MM:SS"
// (UTC, as dhclient writes it by default), "epoch <seconds>" (its other time
// format) or "never". 0 (expired) for anything else.
int64_t ExpireValue(const std::vector<Word>& words) {
    if (words.size() == 2 && words[1].text == "never") return LEASE_NEVER_EXPIRES;
    if (words.size() == 3 && words[1].text == "epoch" && AllDigits(words[2].text, 18))
        return std::stoll(words[2].text);
    if (words.size() == 4 && AllDigits(words[1].text, 1)) return UtcSeconds(words[2].text, words[3].text);
    return 0;
}

// Reads one statement of a lease block into `lease`.
void ReadLeaseStatement(const std::vector<Word>& words, DhcpLease* lease) {
    if (words.empty() || words[0].quoted) return;
    for (const Word& word : words)
        if (word.quoted && word.text.size() > MAX_URL) return;
    if (words[0].text == "option") {
        std::string url = OptionValue(words);
        if (!url.empty()) lease->wpadUrl = url;
    } else if (words[0].text == "interface" && words.size() == 2 && words[1].quoted &&
               words[1].text.size() <= MAX_INTERFACE_NAME) {
        lease->interface = words[1].text;
    } else if (words[0].text == "expire") {
        lease->expires = ExpireValue(words);
    }
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
    std::string interface;  // from the file's name, "" when it does not tell
    int64_t modified = 0;   // seconds since the epoch
};

void AddFile(std::vector<LeaseFile>* files, const std::filesystem::path& path, bool dhclient,
             std::string interface = "") {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return;
    auto modified = std::filesystem::last_write_time(path, ec);
    if (ec) return;
    auto seconds = std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(modified));
    files->push_back({path, dhclient, std::move(interface), seconds.time_since_epoch().count()});
}

// "<uuid>-<interface>", the rest of a NetworkManager lease file's name: the
// interface, or all of it when it has no connection id in front.
std::string InterfaceAfterUuid(const std::string& rest) {
    constexpr size_t UUID = 36;
    bool uuid = rest.size() > UUID + 1 && rest[UUID] == '-';
    for (size_t i = 0; uuid && i < UUID; ++i)
        uuid = (i == 8 || i == 13 || i == 18 || i == 23) ? rest[i] == '-' : HexDigit(rest[i]) >= 0;
    return uuid ? rest.substr(UUID + 1) : rest;
}

bool EndsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Every file of `dir` whose name `pick` accepts; `pick` tells through its
// other arguments whether it is in dhclient's syntax and which interface it
// belongs to.
template <typename Pick>
void AddDirectory(std::vector<LeaseFile>* files, const std::string& dir, Pick pick) {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (int n = 0; !ec && it != end && n < 1000; it.increment(ec), ++n) {
        bool dhclient = false;
        std::string interface;
        if (pick(it->path().filename().string(), &dhclient, &interface))
            AddFile(files, it->path(), dhclient, std::move(interface));
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

std::vector<DhcpLease> ReadDhclientLeases(std::string_view text) {
    // The last lease of each interface with the position it was read at.
    std::vector<std::pair<size_t, DhcpLease>> last;
    DhcpLease current;
    bool in_lease = false;
    size_t read = 0;
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
            if (words.size() < 8) words.push_back(std::move(word));
        } else if (c == ';') {
            if (depth == 1 && in_lease) ReadLeaseStatement(words, &current);
            words.clear();
            ++i;
        } else if (c == '{') {
            if (depth++ == 0) {
                // Only "lease" blocks are leases ("alias" blocks are not).
                in_lease = words.size() == 1 && !words[0].quoted && words[0].text == "lease";
                current = DhcpLease();
            }
            words.clear();
            ++i;
        } else if (c == '}') {
            if (depth > 0 && --depth == 0 && in_lease) {
                auto same = std::find_if(last.begin(), last.end(),
                                         [&](const auto& entry) { return entry.second.interface == current.interface; });
                if (same != last.end())
                    *same = {read++, std::move(current)};
                else if (last.size() < MAX_INTERFACES)
                    last.emplace_back(read++, std::move(current));
                in_lease = false;
            }
            words.clear();
            ++i;
        } else {
            size_t end = text.find_first_of(" \t\r\n;{}\"#", i);
            if (end == std::string_view::npos) end = text.size();
            if (words.size() < 8) words.push_back({std::string(text.substr(i, end - i)), false});
            i = end;
        }
    }
    std::sort(last.begin(), last.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<DhcpLease> leases;
    for (auto& entry : last) leases.push_back(std::move(entry.second));
    return leases;
}

DhcpLease ReadKeyValueLease(std::string_view text, int64_t written) {
    DhcpLease lease;
    lease.expires = LEASE_NEVER_EXPIRES;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (key == "OPTION_252") {
            std::string bytes;
            lease.wpadUrl = DecodeHex(value, false, &bytes) ? CheckWpadUrl(bytes) : "";
        } else if (key == "LIFETIME") {
            // An unreadable lifetime cannot show the lease is still current;
            // 0xffffffff is DHCP's "infinite".
            if (!AllDigits(value, 10))
                lease.expires = 0;
            else if (std::stoll(std::string(value)) >= 0xffffffffLL)
                lease.expires = LEASE_NEVER_EXPIRES;
            else
                lease.expires = written > LEASE_NEVER_EXPIRES - 0xffffffffLL
                                    ? LEASE_NEVER_EXPIRES
                                    : written + std::stoll(std::string(value));
        }
    }
    return lease;
}

std::string CurrentWpadUrl(const std::vector<DhcpLease>& newestFirst, int64_t now) {
    std::vector<std::string_view> seen;
    for (const DhcpLease& lease : newestFirst) {
        if (std::find(seen.begin(), seen.end(), lease.interface) != seen.end()) continue;  // history
        seen.push_back(lease.interface);
        if (lease.expires > now && !lease.wpadUrl.empty()) return lease.wpadUrl;
    }
    return "";
}

std::string FindWpadInLeases(const WinHttpSettings& settings) {
    std::vector<LeaseFile> files;
    for (const std::string& path : settings.dhclientLeasePaths) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            AddDirectory(&files, path, [](const std::string& name, bool* dhclient, std::string*) {
                *dhclient = true;
                return EndsWith(name, ".lease") || EndsWith(name, ".leases");
            });
        } else {
            AddFile(&files, path, true);
        }
    }
    // networkd names a lease file by its interface's index.
    if (!settings.networkdLeaseDir.empty())
        AddDirectory(&files, settings.networkdLeaseDir,
                     [](const std::string& name, bool* dhclient, std::string* interface) {
                         *dhclient = false;
                         *interface = "#" + name;
                         return !name.empty() && name[0] != '.';
                     });
    if (!settings.networkManagerDir.empty())
        AddDirectory(&files, settings.networkManagerDir,
                     [](const std::string& name, bool* dhclient, std::string* interface) {
                         *dhclient = name.rfind("dhclient-", 0) == 0;
                         if (!(*dhclient || name.rfind("internal-", 0) == 0) || !EndsWith(name, ".lease"))
                             return false;
                         size_t start = name.find('-') + 1;
                         *interface = InterfaceAfterUuid(name.substr(start, name.size() - start - 6));
                         return true;
                     });
    std::stable_sort(files.begin(), files.end(),
                     [](const LeaseFile& a, const LeaseFile& b) { return a.modified > b.modified; });
    if (files.size() > MAX_LEASE_FILES) files.resize(MAX_LEASE_FILES);
    std::vector<DhcpLease> newest_first;
    for (const LeaseFile& file : files) {
        std::string text = ReadSmallFile(file.path);
        if (!file.dhclient) {
            newest_first.push_back(ReadKeyValueLease(text, file.modified));
            newest_first.back().interface = file.interface;
            continue;
        }
        std::vector<DhcpLease> leases = ReadDhclientLeases(text);
        for (auto lease = leases.rbegin(); lease != leases.rend(); ++lease) {
            if (lease->interface.empty()) lease->interface = file.interface;
            newest_first.push_back(std::move(*lease));
        }
    }
    return CurrentWpadUrl(newest_first, tessel_time_now());
}

}  // namespace platform::winhttp
