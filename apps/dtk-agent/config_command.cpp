// config get|set|delete|list: the configuration store as the library sees it.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "agent_commands.h"
#include "hostkit.h"
#include "json_text.h"
#include "known_settings.h"

namespace agent {
namespace {

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

// Values that reach a request line or a header field (the User-Agent, the
// servers' URLs): a control character there would start a header of its own.
bool ReachesRequestHeader(const std::string& key) {
    static const char* const kKeys[] = {"config/agent/version", "config/proxy/testurl", "config/proxy/pacloc"};
    for (const char* header : kKeys)
        if (key == header)
            return true;
    return key.rfind("config/vesta/endpoint/", 0) == 0;
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

// Secrets are never printed: private keys wherever they are, and the
// activation code.
bool IsSecret(const hostkit::ConfigEntry& entry) {
    static const char* const kSecretKeys[] = {"config/agent/client_keypair", "config/agent/client_prvkey",
                                              "config/vesta/install/token", "config/proxy/password"};
    for (const char* key : kSecretKeys)
        if (entry.key == key)
            return true;
    return entry.text.find("PRIVATE KEY") != std::string::npos;
}

std::string Printable(const hostkit::ConfigEntry& entry) {
    if (IsSecret(entry)) {
        size_t size = entry.type == hostkit::ValueType::Binary ? entry.binary.size() : entry.text.size();
        return "(hidden, " + std::to_string(size) + " bytes)";
    }
    return entry.ValueText();
}

// The contents of `path` ("-": standard input). A file of one line, as `echo`
// writes an activation code, is that line without its line end; a longer file
// (a PEM) is taken whole.
bool ReadValueFile(const std::string& path, std::string* value) {
    std::stringstream text;
    const bool standardInput = path == "-";
    std::ifstream file;
    if (!standardInput)
        file.open(path, std::ios::binary);
    std::istream& in = standardInput ? std::cin : file;
    if (in)
        text << in.rdbuf();
    if (!in || (in.fail() && !in.eof())) {
        fprintf(stderr, "dtk-agent: cannot read %s: %s\n", standardInput ? "standard input" : path.c_str(),
                strerror(errno ? errno : EIO));
        return false;
    }
    *value = text.str();
    const size_t end = value->size() >= 2 && value->compare(value->size() - 2, 2, "\r\n") == 0 ? value->size() - 2
                       : !value->empty() && value->back() == '\n'                                ? value->size() - 1
                                                                                                   : value->size();
    if (end != value->size() && value->find('\n') >= end)
        value->resize(end);
    return true;
}

int GetPersistent(const Options& options, const std::vector<std::string>& operands) {
    if (operands.size() != 2)
        return Usage("config get --persistent takes a key and a value name");
    if (!ValidKey(operands[0]))
        return Usage(("invalid key '" + operands[0] + "'").c_str());
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadOnly);
    if (!store)
        return kExitStore;
    hostkit::ConfigEntry entry;
    bool found = false;
    if (!store->Get(hostkit::ConfigView::Persistent, operands[0], &entry, &found, operands[1])) {
        fprintf(stderr, "dtk-agent: cannot read %s: %s\n", operands[0].c_str(), hostkit::ConfigStore::LastError().c_str());
        return kExitStore;
    }
    if (!found) {
        fprintf(stderr, "dtk-agent: %s#%s is not set\n", operands[0].c_str(), operands[1].c_str());
        return kExitFailed;
    }
    std::string value = Printable(entry);
    fprintf(Out(), "%s%s", value.c_str(), !value.empty() && value.back() == '\n' ? "" : "\n");
    return kExitOk;
}

int Get(const Options& options, const ConfigArgs& args) {
    if (args.persistent)
        return GetPersistent(options, args.operands);
    hostkit::ConfigView view = hostkit::ConfigView::General;
    if (!args.view.empty() && !hostkit::ParseView(args.view, &view))
        return Usage("--view takes local, secure or general");
    const std::vector<std::string>& keys = args.operands;
    if (keys.size() != 1)
        return Usage("config get takes one key");
    if (!ValidKey(keys[0]))
        return Usage(("invalid key '" + keys[0] + "'").c_str());
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadOnly);
    if (!store)
        return kExitStore;
    hostkit::ConfigEntry entry;
    bool found = false;
    if (!store->Get(view, keys[0], &entry, &found)) {
        fprintf(stderr, "dtk-agent: cannot read %s: %s\n", keys[0].c_str(), hostkit::ConfigStore::LastError().c_str());
        return kExitStore;
    }
    if (!found) {
        fprintf(stderr, "dtk-agent: %s is not set\n", keys[0].c_str());
        return 1;
    }
    fprintf(Out(), "%s\n", Printable(entry).c_str());
    return kExitOk;
}

int Set(const Options& options, const ConfigArgs& args) {
    hostkit::ConfigEntry entry;
    entry.view = args.secure ? hostkit::ConfigView::Secure
                 : args.persistent ? hostkit::ConfigView::Persistent
                                   : hostkit::ConfigView::Local;
    entry.type = args.integer ? hostkit::ValueType::Integer
                 : args.binaryHex ? hostkit::ValueType::Binary
                                  : hostkit::ValueType::String;
    const std::string& fromFile = args.fromFile;
    std::vector<std::string> positional = args.operands;
    const bool persistent = entry.view == hostkit::ConfigView::Persistent;
    if (persistent && entry.type != hostkit::ValueType::String)
        return Usage("persistent values are strings");
    const size_t names = persistent ? 2 : 1;
    if (positional.size() != names + (fromFile.empty() ? 1 : 0))
        return Usage(persistent ? "config set --persistent takes a key, a value name and a value (or --from-file PATH)"
                                : "config set takes a key and a value (or --from-file PATH)");
    if (!fromFile.empty()) {
        std::string text;
        if (!ReadValueFile(fromFile, &text))
            return kExitFailed;
        positional.push_back(text);
    }
    entry.key = positional[0];
    if (persistent)
        entry.name = positional[1];
    const std::string& value = positional.back();
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
        if (ReachesRequestHeader(entry.key) && HasControlCharacter(value))
            return Usage((entry.key + " goes into requests: control characters (line ends, tabs) are refused").c_str());
        entry.text = value;
    }
    if (persistent && entry.name.empty())
        return Usage("the value name is empty");
    if (const KnownSetting* known = FindKnownSetting(entry.key)) {
        if (std::string problem = ProblemWithEntry(*known, entry); !problem.empty())
            return Usage(problem);
    } else {
        fprintf(stderr, "dtk-agent: warning: the library reads no setting %s; stored all the same\n", entry.key.c_str());
    }
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadWrite);
    if (!store)
        return kExitStore;
    if (!store->Put(entry)) {
        fprintf(stderr, "dtk-agent: cannot write %s: %s\n", entry.key.c_str(), hostkit::ConfigStore::LastError().c_str());
        return kExitStore;
    }
    return 0;
}

// The persistent entries of `key` (with `name`: that one only).
bool DeletePersistent(hostkit::ConfigStore* store, const std::string& key, const std::string& name, bool* removed) {
    std::vector<hostkit::ConfigEntry> entries;
    if (!store->List(&entries))
        return false;
    return store->RunTransaction([&] {
        for (const hostkit::ConfigEntry& entry : entries) {
            if (entry.view != hostkit::ConfigView::Persistent || entry.key != key || (!name.empty() && entry.name != name))
                continue;
            bool gone = false;
            if (!store->DeleteKey(hostkit::ConfigView::Persistent, key, &gone, entry.name))
                return false;
            *removed = *removed || gone;
        }
        return true;
    });
}

int Delete(const Options& options, const ConfigArgs& args) {
    const std::vector<std::string>& operands = args.operands;
    if (operands.empty() || operands.size() > (args.persistent ? 2u : 1u))
        return Usage(args.persistent ? "config delete --persistent takes a key and at most a value name"
                                     : "config delete takes one key");
    const std::string& key = operands[0];
    if (!ValidKey(key))
        return Usage(("invalid key '" + key + "'").c_str());
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadWrite);
    if (!store)
        return kExitStore;
    bool removed = false;
    bool done = false;
    if (args.persistent) {
        done = DeletePersistent(store.get(), key, operands.size() > 1 ? operands[1] : "", &removed);
    } else if (args.secure) {
        done = store->DeleteKey(hostkit::ConfigView::Secure, key, &removed);
    } else {
        removed = store->SubtreeExists(key.c_str());
        done = !removed || store->DeleteSubtree(key.c_str());
    }
    if (!done) {
        fprintf(stderr, "dtk-agent: cannot delete %s: %s\n", key.c_str(), hostkit::ConfigStore::LastError().c_str());
        return kExitStore;
    }
    if (!removed) {
        fprintf(stderr, "dtk-agent: %s is not set\n", key.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

void PrintEntry(const hostkit::ConfigEntry& entry, bool json) {
    const std::string key = entry.name.empty() ? entry.key : entry.key + "#" + entry.name;
    if (!json) {
        fprintf(Out(), "%-10s %-6s %s = %s\n", hostkit::ViewName(entry.view), hostkit::TypeName(entry.type),
                key.c_str(), Printable(entry).c_str());
        return;
    }
    JsonObject object;
    object.String("view", hostkit::ViewName(entry.view));
    object.String("type", hostkit::TypeName(entry.type));
    object.String("key", entry.key);
    object.String("name", entry.name);
    if (IsSecret(entry))
        object.Bool("hidden", true);
    else if (entry.type == hostkit::ValueType::Integer)
        object.Number("value", entry.integer);
    else
        object.String("value", entry.ValueText());
    fprintf(Out(), "%s\n", object.Text().c_str());
}

int List(const Options& options, const ConfigArgs& args) {
    if (args.operands.size() > 1)
        return Usage("config list takes at most one prefix");
    const std::string prefix = args.operands.empty() ? "" : args.operands[0];
    auto store = OpenStore(options, hostkit::ConfigStore::Mode::ReadOnly);
    if (!store)
        return kExitStore;
    std::vector<hostkit::ConfigEntry> entries;
    if (!store->List(&entries)) {
        fprintf(stderr, "dtk-agent: cannot list %s: %s\n", options.storePath.c_str(),
                hostkit::ConfigStore::LastError().c_str());
        return kExitStore;
    }
    for (const auto& entry : entries)
        if (entry.key.compare(0, prefix.size(), prefix) == 0)
            PrintEntry(entry, args.json);
    return kExitOk;
}

}  // namespace

int Config(const Options& options, const ConfigArgs& args) {
    if (args.verb == "get")
        return Get(options, args);
    if (args.verb == "set")
        return Set(options, args);
    if (args.verb == "delete")
        return Delete(options, args);
    if (args.verb == "list")
        return List(options, args);
    const int code = CheckConfiguration(options, Out());
    if (code == kExitOk)
        fprintf(Out(), "configuration: no problem found\n");
    return code;
}

}  // namespace agent
