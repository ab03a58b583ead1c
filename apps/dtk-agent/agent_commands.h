// The commands of dtk-agent.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace agent {

// Exit codes, as --help documents them.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,       // the operation ran and failed (server refused, lookup or download failed)
    kExitUsage = 2,        // bad command line
    kExitStore = 3,        // the store is missing, unreadable, corrupt or not writable
    kExitLibrary = 4,      // libdtk.so cannot be loaded or initialised
    kExitTimeout = 5,      // registration did not complete in time
    kExitInterrupted = 6,  // SIGINT or SIGTERM ended the command early
};

struct Options {
    std::string storePath;
    std::string libraryPath;
    bool storeGiven = false;  // --store or $DTK_STORE named the store
    bool verbose = false;     // the library's log lines go to standard error
    // --log-level: error, warning, info, debug or trace; empty when not given
    // (then "warning" with --verbose, else nothing is shown).
    std::string logLevel;
};

// $DTK_STORE, else $XDG_DATA_HOME/dtk/config.db, else ~/.local/share/dtk/config.db.
std::string DefaultStorePath();
// Creates the directory of the default store (only that one) when missing.
bool EnsureDefaultStoreDirectory(const std::string& storePath);
std::string DefaultLibraryPath(const char* argv0);

// Prints "dtk-agent: <message> (see --help)" and returns kExitUsage.
int Usage(const std::string& message);

// Where the commands print their results. The library's cloud client writes
// its own lines to the process's standard output; commands that load the
// library move those to standard error (--verbose) or drop them, and keep the
// real standard output for their results here.
FILE* Out();
void SeparateLibraryOutput(bool verbose);

// Each returns the process exit code.
int SelfTest(const Options& options);
int Config(const Options& options, const std::vector<std::string>& args);
int Register(const Options& options, const std::vector<std::string>& args);
int Run(const Options& options, const std::vector<std::string>& args);
int Status(const Options& options, const std::vector<std::string>& args);
int Lookup(const Options& options, const std::vector<std::string>& args);
int Policy(const Options& options, const std::vector<std::string>& args);
int Http(const Options& options, const std::vector<std::string>& args);
int Proxy(const Options& options, const std::vector<std::string>& args);

}  // namespace agent
