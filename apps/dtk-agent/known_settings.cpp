#include "known_settings.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace agent {
namespace {

using hostkit::ConfigEntry;
using hostkit::ValueType;

std::string NoCheck(const ConfigEntry&) { return ""; }

std::string Guid(const ConfigEntry& entry) {
    const std::string& text = entry.text;
    bool ok = text.size() == 36;
    for (size_t i = 0; ok && i < text.size(); ++i)
        ok = (i == 8 || i == 13 || i == 18 || i == 23) ? text[i] == '-' : isxdigit(static_cast<unsigned char>(text[i]));
    return ok ? "" : "is not a GUID (8-4-4-4-12 hexadecimal digits)";
}

std::string Port(const ConfigEntry& entry) {
    return entry.integer >= 1 && entry.integer <= 65535 ? "" : "is out of range (a port is 1 to 65535)";
}

std::string EkdsMode(const ConfigEntry& entry) {
    return entry.integer >= 0 && entry.integer <= 2 ? "" : "is out of range (0, 1 or 2)";
}

// Goes into a request line or a header: a control character would start a header of its own.
std::string HeaderText(const ConfigEntry& entry) {
    return HasControlCharacter(entry.text) ? "holds control characters (line ends, tabs)" : "";
}

std::string HttpsUrl(const ConfigEntry& entry) {
    if (std::string problem = HeaderText(entry); !problem.empty())
        return problem;
    const std::string& url = entry.text;
    if (url.size() <= 8 || strncasecmp(url.c_str(), "https://", 8) != 0 || url.find(' ') != std::string::npos)
        return "is not an https:// URL (the library fetches nothing else)";
    return url.size() > 512 ? "is longer than 512 characters" : "";
}

// A host name or address with an optional ":port", no scheme and no path.
std::string HostAndPort(const ConfigEntry& entry) {
    if (std::string problem = HeaderText(entry); !problem.empty())
        return problem;
    const std::string& text = entry.text;
    if (text.find("://") != std::string::npos || text.find_first_of("/?#@ ") != std::string::npos)
        return "is not a host name with an optional :port (no scheme, no path)";
    const auto colon = text.rfind(':');
    if (colon != std::string::npos && text.find(']', colon) == std::string::npos) {
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(digits) < 1 || std::stol(digits) > 65535)
            return "has a port out of range (1 to 65535)";
    }
    return text.size() > 255 ? "is longer than 255 characters" : "";
}

std::string PemCertificates(const ConfigEntry& entry) {
    return hostkit::SplitPemCertificates(entry.text).empty() ? "holds no PEM certificate" : "";
}

std::string PemKey(const ConfigEntry& entry) {
    return entry.text.find("-----BEGIN") != std::string::npos ? "" : "is not a PEM private key";
}

constexpr auto General = SettingPlace::General;
constexpr auto Secure = SettingPlace::Secure;
constexpr auto Persistent = SettingPlace::Persistent;
constexpr auto Text = ValueType::String;
constexpr auto Int = ValueType::Integer;
constexpr auto Bytes = ValueType::Binary;

const std::vector<KnownSetting> kSettings = {
    // The identity: the GUIDs of the business and its affiliate come with the
    // policy, the activation code is kept with the persistent secrets, the
    // agent GUID, key and certificate are made by registration.
    {"config/vesta/business/uuid", "", Secure, Text, true, Guid, "a GUID", false},
    {"config/agent/affiliate/uuid", "", Secure, Text, true, Guid, "a GUID", false},
    {"config/vesta/install/token", "install_token", Persistent, Text, true, Guid, "a GUID (the activation code)", true},
    {"config/agent/uuid", "guid", Persistent, Text, false, Guid, "a GUID", false},
    {"config/agent/client_cert", "client_cert", Persistent, Text, false, PemCertificates, "a PEM certificate", false},
    {"config/agent/client_keypair", "client_keypair", Persistent, Text, false, PemKey, "a PEM private key", true},
    {"config/agent/client_prvkey", "legacy_keypair", Persistent, Text, false, PemKey, "a PEM private key", true},
    // The product and the servers.
    {"config/agent/version", "", General, Text, true, HeaderText, "text without control characters", false},
    {"config/agent/revision", "", General, Text, true, HeaderText, "text without control characters", false},
    {"config/vesta/endpoint/est", "", General, Text, true, HostAndPort, "a host name", false},
    {"config/agent/cloud/asn1_host", "", General, Text, true, HostAndPort, "a host name with an optional :port", false},
    {"config/agent/cloud/asn1_port", "", General, Int, true, Port, "a port number", false},
    {"config/vesta/endpoint/mgmt", "", General, Text, true, HttpsUrl, "an https:// URL", false},
    {"config/agent/cloud/trustedcerts/cert", "", General, Text, false, PemCertificates, "PEM certificates", false},
    {"config/agent/ekds/mode", "", General, Int, false, EkdsMode, "0, 1 or 2", false},
    {"config/vesta/endpoint/policy/policy", "", General, Text, false, HttpsUrl, "an https:// URL", false},
    {"config/vesta/endpoint/policy/company", "", General, Text, false, HttpsUrl, "an https:// URL", false},
    {"config/vesta/endpoint/policy/agent", "", General, Text, false, HttpsUrl, "an https:// URL", false},
    {"config/vesta/endpoint/policy/affiliate", "", General, Text, false, HttpsUrl, "an https:// URL", false},
    // The service's own settings and state.
    {"config/agent/hb/interval", "", General, Int, false, NoCheck, "a number of seconds", false},
    {"config/agent/cloud/lookup/maxfailures", "", General, Int, false, NoCheck, "a number", false},
    {"config/agent/http/policy_max_kib", "", General, Int, false, NoCheck, "a number of KiB", false},
    {"config/agent/http/file_max_kib", "", General, Int, false, NoCheck, "a number of KiB", false},
    {"config/agent/directory/base", "", General, Text, false, NoCheck, "a folder", false},
    {"config/agent/cachedhostname", "", General, Text, false, NoCheck, "a host name", false},
    {"config/agent/agent_registered", "", General, Int, false, NoCheck, "0 or 1", false},
    {"config/agent/agent_disabled", "", General, Int, false, NoCheck, "0 or 1", false},
    {"config/vesta/policy_id", "", General, Int, false, NoCheck, "a number", false},
    {"config/vesta/policy_enabled", "", General, Int, false, NoCheck, "0 or 1", false},
    {"config/vesta/policy/serial_number", "", General, Int, false, NoCheck, "a number", false},
    // The proxy: its record (saved locally or set by policy) and the discovery
    // settings that only a policy sets.
    {"config/proxy/type", "", General, Text, false, HeaderText, "a proxy type", false},
    {"config/proxy/server", "", General, Text, false, HostAndPort, "a host name", false},
    {"config/proxy/port", "", General, Int, false, Port, "a port number", false},
    {"config/proxy/tunnel", "", General, Int, false, NoCheck, "a number", false},
    {"config/proxy/authtype", "", General, Int, false, NoCheck, "a number", false},
    {"config/proxy/discmode", "", General, Int, false, NoCheck, "a number", false},
    {"config/proxy/username", "", General, Text, false, HeaderText, "a user name", false},
    {"config/proxy/password", "", General, Bytes, false, NoCheck, "enciphered bytes", true},
    {"config/proxy/testurl", "", Secure, Text, false, HttpsUrl, "an https:// URL", false},
    {"config/proxy/pacloc", "", Secure, Text, false, HeaderText, "a URL", false},
    {"config/proxy/srcfl", "", Secure, Int, false, NoCheck, "a number (bit flags)", false},
    {"config/proxy/credhosts", "", Secure, Text, false, NoCheck, "host names", false},
};

const char* PlaceName(SettingPlace place) {
    return place == Secure ? "the secure view" : place == Persistent ? "the persistent view" : "the local view";
}

const char* TypeWords(ValueType type) {
    return type == Int ? "an integer" : type == Bytes ? "binary" : "a string";
}

bool InPlace(const KnownSetting& setting, hostkit::ConfigView view) {
    switch (setting.place) {
        case General: return view == hostkit::ConfigView::Local || view == hostkit::ConfigView::Secure;
        case Secure: return view == hostkit::ConfigView::Secure;
        case Persistent: return view == hostkit::ConfigView::Persistent;
    }
    return false;
}

}  // namespace

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

const std::vector<KnownSetting>& KnownSettings() { return kSettings; }

const KnownSetting* FindKnownSetting(const std::string& key) {
    for (const KnownSetting& setting : kSettings)
        if (key == setting.key)
            return &setting;
    return nullptr;
}

std::string SetCommandFor(const KnownSetting& setting) {
    std::string command = "dtk-agent config set ";
    if (setting.place == Secure)
        command += "--secure ";
    else if (setting.place == Persistent)
        command += "--persistent ";
    if (setting.type == Int)
        command += "--int ";
    else if (setting.type == Bytes)
        command += "--binary-hex ";
    command += setting.key;
    if (*setting.name)
        command += std::string(" ") + setting.name;
    return command + " VALUE";
}

std::string ProblemWithEntry(const KnownSetting& setting, const ConfigEntry& entry) {
    const std::string fix = "; set it with: " + SetCommandFor(setting) + " (" + setting.form + ")";
    if (!InPlace(setting, entry.view))
        return std::string(setting.key) + " is in the " + hostkit::ViewName(entry.view) + " view; the library reads it from " +
               PlaceName(setting.place) + fix;
    if (*setting.name && entry.name != setting.name)
        return std::string(setting.key) + " has the value name '" + entry.name + "'; the library reads '" + setting.name +
               "'" + fix;
    if (entry.type != setting.type)
        return std::string(setting.key) + " is " + TypeWords(entry.type) + "; the library reads " +
               TypeWords(setting.type) + fix;
    // The library saves a direct connection as an empty proxy record: empty is
    // a value, except for what a registration cannot do without.
    const bool empty = entry.type == ValueType::String && entry.text.empty();
    const std::string problem = empty ? (setting.requiredToRegister ? "is empty" : "") : setting.validate(entry);
    if (problem.empty())
        return "";
    const std::string shown = setting.secret ? std::string() : " '" + entry.ValueText() + "'";
    return std::string(setting.key) + shown + " " + problem + fix;
}

std::vector<std::string> ConfigurationProblems(const std::vector<ConfigEntry>& entries) {
    std::vector<std::string> problems;
    for (const KnownSetting& setting : kSettings) {
        bool placed = false;
        for (const ConfigEntry& entry : entries) {
            if (entry.key != setting.key)
                continue;
            std::string problem = ProblemWithEntry(setting, entry);
            placed = placed || problem.empty();
            if (!problem.empty())
                problems.push_back(std::move(problem));
        }
        if (!placed && setting.requiredToRegister)
            problems.push_back(std::string(setting.key) + " is missing; set it with: " + SetCommandFor(setting) + " (" +
                               setting.form + ")");
    }
    return problems;
}

int CheckConfiguration(const Options& options, FILE* out) {
    std::string error;
    auto store = hostkit::ConfigStore::Open(options.storePath, &error, hostkit::ConfigStore::Mode::ReadOnly);
    std::vector<ConfigEntry> entries;
    if (!store || !store->List(&entries)) {
        fprintf(stderr, "dtk-agent: %s\n", store ? hostkit::ConfigStore::LastError().c_str() : error.c_str());
        return kExitStore;
    }
    const std::vector<std::string> problems = ConfigurationProblems(entries);
    for (const std::string& problem : problems)
        fprintf(out, "dtk-agent: %s\n", problem.c_str());
    if (problems.empty())
        return kExitOk;
    fprintf(out, "dtk-agent: %zu configuration problem%s in %s\n", problems.size(), problems.size() == 1 ? "" : "s",
            options.storePath.c_str());
    return kExitFailed;
}

}  // namespace agent
