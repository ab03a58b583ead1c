// The settings the library reads: where each belongs, its type, whether a
// registration needs it, and what a valid value is. `config check`,
// `config set`, `register` and `run` all judge the store by this one table.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "agent_commands.h"
#include "hostkit.h"

namespace agent {

// Where the library looks: the general view is the secure entry when there
// is one, else the local one; the others only in their own view.
enum class SettingPlace { General, Secure, Persistent };

struct KnownSetting {
    const char* key;
    const char* name;  // the value name of a persistent setting; "" elsewhere
    SettingPlace place;
    hostkit::ValueType type;
    bool requiredToRegister;
    // Empty when `entry` is a good value, else what is wrong with it (never the value of a secret).
    std::string (*validate)(const hostkit::ConfigEntry& entry);
    const char* form;  // what a value looks like, for the messages ("a GUID")
    bool secret;
};

const std::vector<KnownSetting>& KnownSettings();
bool HasControlCharacter(const std::string& text);
const KnownSetting* FindKnownSetting(const std::string& key);

// The command that stores a value of `setting` the right way.
std::string SetCommandFor(const KnownSetting& setting);

// What is wrong with storing `entry` (view, type and value) for a known key,
// or "" when nothing is.
std::string ProblemWithEntry(const KnownSetting& setting, const hostkit::ConfigEntry& entry);

// Every problem of the store's configuration, one message each.
std::vector<std::string> ConfigurationProblems(const std::vector<hostkit::ConfigEntry>& entries);

// `config check`, and the check register and run make first: prints each
// problem to `out` and returns kExitOk, kExitFailed (problems) or kExitStore.
int CheckConfiguration(const Options& options, FILE* out);

}  // namespace agent
