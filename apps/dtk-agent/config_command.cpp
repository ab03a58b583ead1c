// config get|set|delete|list: the configuration store as the library sees it.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "agent_commands.h"
#include "hostkit.h"

namespace agent {
namespace {

int Usage(const char* message) {
    fprintf(stderr, "dtk-agent: %s (see --help)\n", message);
    return 2;
}

// Keys are slash-separated paths of letters, digits, '_', '-' and '.', without
// empty segments.
bool ValidKey(const std::string& key) {
    if (key.empty() || key.front() == '/' || key.back() == '/' || key.find("//") != std::string::npos)
        return false;
    for (char c : key) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.' || c == '/';
        if (!ok)
            return false;
    }
    return true;
}

bool ParseInt32(const std::string& text, int32_t* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        char* end = nullptr;
        long byte = strtol(pair, &end, 16);
        if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0])))
            return false;
        bytes->push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

std::unique_ptr<hostkit::ConfigStore> OpenStore(const Options& options, hostkit::ConfigStore::Mode mode) {
    std::string error;
    auto store = hostkit::ConfigStore::Open(options.storePath, &error, mode);
    if (!store)
        fprintf(stderr, "dtk-agent: %s\n", error.c_str());
    return store;
}

// Identity material of the persistent view (key pairs, certificates, tokens)
// is never printed.
std::string Printable(const hostkit::ConfigEntry& entry) {
    if (entry.view == hostkit::ConfigView::Persistent) {
        size_t size = entry.type == hostkit::ValueType::Binary ? entry.binary.size() : entry.text.size();
        return "(hidden, " + std::to_string(size) + " bytes)";
    }
    return entry.ValueText();
}

int Get(const Options& options, const std::vector<std::string>& args) {
    hostkit::ConfigView view = hostkit::ConfigView::General;
    std::vector<std::string> keys;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--view") {
            if (i + 1 >= args.size() || !hostkit::ParseView(args[i + 1], &view) ||
                view == hostkit::ConfigView::Persistent)
                return Usage("--view takes local, secure or general");
            ++i;
        } else {
            keys.push_back(args[i]);
        }
    }
    if (keys.size() != 1)
        return Usage("config get takes one key");
    if (!ValidKey(keys[0]))
        return Usage(("invalid key '" + keys[0] + "'").c_str());
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadOnly);
    if (!store)
        return 1;
    hostkit::ConfigEntry entry;
    bool found = false;
    if (!store->Get(view, keys[0], &entry, &found)) {
        fprintf(stderr, "dtk-agent: cannot read %s: %s\n", keys[0].c_str(), hostkit::ConfigStore::LastError().c_str());
        return 1;
    }
    if (!found) {
        fprintf(stderr, "dtk-agent: %s is not set\n", keys[0].c_str());
        return 1;
    }
    printf("%s\n", Printable(entry).c_str());
    return 0;
}

int Set(const Options& options, const std::vector<std::string>& args) {
    hostkit::ConfigEntry entry;
    entry.view = hostkit::ConfigView::Local;
    entry.type = hostkit::ValueType::String;
    std::vector<std::string> positional;
    for (const std::string& arg : args) {
        if (arg == "--secure")
            entry.view = hostkit::ConfigView::Secure;
        else if (arg == "--int")
            entry.type = hostkit::ValueType::Integer;
        else if (arg == "--binary-hex")
            entry.type = hostkit::ValueType::Binary;
        else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0)
            return Usage(("unknown option '" + arg + "'").c_str());
        else
            positional.push_back(arg);
    }
    if (positional.size() != 2)
        return Usage("config set takes a key and a value");
    entry.key = positional[0];
    const std::string& value = positional[1];
    if (!ValidKey(entry.key))
        return Usage(("invalid key '" + entry.key + "'").c_str());
    if (entry.type == hostkit::ValueType::Integer) {
        int32_t number = 0;
        if (!ParseInt32(value, &number))
            return Usage(("'" + value + "' is not a 32-bit integer").c_str());
        entry.integer = number;
    } else if (entry.type == hostkit::ValueType::Binary) {
        if (!ParseHex(value, &entry.binary))
            return Usage(("'" + value + "' is not hexadecimal bytes").c_str());
    } else {
        entry.text = value;
    }
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadWrite);
    if (!store)
        return 1;
    if (!store->Put(entry)) {
        fprintf(stderr, "dtk-agent: cannot write %s: %s\n", entry.key.c_str(), hostkit::ConfigStore::LastError().c_str());
        return 1;
    }
    return 0;
}

int Delete(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 1)
        return Usage("config delete takes one key");
    if (!ValidKey(args[0]))
        return Usage(("invalid key '" + args[0] + "'").c_str());
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadWrite);
    if (!store)
        return 1;
    if (!store->SubtreeExists(args[0].c_str())) {
        fprintf(stderr, "dtk-agent: %s is not set\n", args[0].c_str());
        return 1;
    }
    if (!store->DeleteSubtree(args[0].c_str())) {
        fprintf(stderr, "dtk-agent: cannot delete %s: %s\n", args[0].c_str(), hostkit::ConfigStore::LastError().c_str());
        return 1;
    }
    return 0;
}

int List(const Options& options, const std::vector<std::string>& args) {
    if (args.size() > 1)
        return Usage("config list takes at most one prefix");
    const std::string prefix = args.empty() ? "" : args[0];
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadOnly);
    if (!store)
        return 1;
    std::vector<hostkit::ConfigEntry> entries;
    if (!store->List(&entries)) {
        fprintf(stderr, "dtk-agent: cannot list %s: %s\n", options.storePath.c_str(),
                hostkit::ConfigStore::LastError().c_str());
        return 1;
    }
    for (const auto& entry : entries) {
        if (entry.key.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string key = entry.name.empty() ? entry.key : entry.key + "#" + entry.name;
        printf("%-10s %-6s %s = %s\n", hostkit::ViewName(entry.view), hostkit::TypeName(entry.type), key.c_str(),
               Printable(entry).c_str());
    }
    return 0;
}

}  // namespace

int Config(const Options& options, const std::vector<std::string>& args) {
    if (args.empty())
        return Usage("config needs get, set, delete or list");
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "get")
        return Get(options, rest);
    if (args[0] == "set")
        return Set(options, rest);
    if (args[0] == "delete")
        return Delete(options, rest);
    if (args[0] == "list")
        return List(options, rest);
    return Usage(("unknown config command '" + args[0] + "'").c_str());
}

}  // namespace agent
