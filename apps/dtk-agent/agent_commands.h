// The commands of dtk-agent.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
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
    kExitInterrupted = 6,  // SIGINT or SIGTERM ended a one-shot command early
    kExitStoreInUse = 7,   // another dtk-agent holds the store
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

// Each command's own options and operands, as the command line gave them.
struct RegisterArgs {
    int timeoutSeconds = 60;
    bool json = false;
};
struct RunArgs {
    int keepaliveSeconds = 60;
};
struct StatusArgs {
    bool json = false;
};
struct LookupArgs {
    bool json = false;
    bool quiet = false;
    int timeoutSeconds = 60;
    std::vector<std::string> paths;
};
struct PolicyArgs {
    std::string out;
    long serial = -1;  // -1: the stored one, else 1
};
struct HttpArgs {
    bool post = false;
    std::string url;
    std::string out;
    bool quiet = false;
    std::vector<std::pair<std::string, std::string>> fields;
};
struct ProxyArgs {
    std::string verb;  // show, discover, test, set or clear
    std::string url;   // test (optional) and set
    bool save = false;
    bool json = false;
};
struct ConfigArgs {
    std::string verb;  // get, set, delete, list or check
    std::string view;  // get --view
    bool secure = false;
    bool persistent = false;
    bool integer = false;
    bool binaryHex = false;
    bool json = false;
    std::string fromFile;
    std::vector<std::string> operands;
};
struct ResetIdentityArgs {
    bool yes = false;
};

// When the cloud last answered `run` (local view, ISO 8601 UTC), written at
// most once a minute; `status` shows it.
inline constexpr const char* kCloudAnsweredKey = "config/agent/cloud/last_answer";

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
int Config(const Options& options, const ConfigArgs& args);
int Register(const Options& options, const RegisterArgs& args);
int Run(const Options& options, const RunArgs& args);
int Status(const Options& options, const StatusArgs& args);
int Lookup(const Options& options, const LookupArgs& args);
int Policy(const Options& options, const PolicyArgs& args);
int Http(const Options& options, const HttpArgs& args);
int Proxy(const Options& options, const ProxyArgs& args);
int ResetIdentity(const Options& options, const ResetIdentityArgs& args);

}  // namespace agent
