// The commands of dtk-agent.
#pragma once

#include <string>
#include <vector>

namespace agent {

struct Options {
    std::string storePath;
    std::string libraryPath;
    bool storeGiven = false;  // --store or $DTK_STORE named the store
};

// $DTK_STORE, else $XDG_DATA_HOME/dtk/config.db, else ~/.local/share/dtk/config.db.
std::string DefaultStorePath();
// Creates the directory of the default store (only that one) when missing.
bool EnsureDefaultStoreDirectory(const std::string& storePath);
std::string DefaultLibraryPath(const char* argv0);

// Each returns the process exit code.
int SelfTest(const Options& options);
int Config(const Options& options, const std::vector<std::string>& args);

}  // namespace agent
