// dtk-agent: the command-line host. It plays the agent's part: it registers
// the endpoint, holds the cloud connection, looks files up, fetches the policy
// and finds the proxy, all through libdtk.so as a real agent would.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent_commands.h"
#include "library.h"

namespace {

void PrintUsage(FILE* out) {
    fputs(
        "Usage: dtk-agent [--store PATH] [--verbose] COMMAND [ARGS]\n"
        "\n"
        "The service:\n"
        "  run [--keepalive S]          register, hold the cloud connection, take policy and\n"
        "                               server messages; a line per state change; SIGTERM or\n"
        "                               SIGINT stops it, SIGHUP reloads the configuration; it\n"
        "                               pings the cloud every S seconds (default 60; every 5 s\n"
        "                               while unanswered) so that a lost connection comes back\n"
        "                               by itself\n"
        "  register [--timeout S]       one registration, a line per state (default 60 s)\n"
        "  status [--json]              registration, agent GUID, certificate, cloud, proxy and\n"
        "                               policy serial, as the store holds them\n"
        "\n"
        "Work through the library:\n"
        "  lookup [--json] [--quiet] [--timeout S] FILE|DIR...\n"
        "                               SHA-256 of each file (directories walked) asked of the\n"
        "                               cloud, one line per file: disposition, name, first seen;\n"
        "                               a progress bar on a terminal unless --quiet or --json\n"
        "  policy download [--out FILE] [--serial N]\n"
        "                               download the policy (default serial: the stored one, else 1)\n"
        "  http get URL [-o FILE] [--quiet]\n"
        "                               fetch an https URL to standard output or FILE (with the\n"
        "                               amount received on a terminal unless --quiet)\n"
        "  http post URL NAME=VALUE...  post a form to an https URL\n"
        "  proxy show                   the saved proxy (never its password)\n"
        "  proxy discover [--save]      every candidate with its source and test result\n"
        "  proxy test [URL]             test the saved proxy, or the proxy URL\n"
        "  proxy set URL                save a configured proxy (http://, socks5://, ... host:port)\n"
        "  proxy clear                  forget the saved proxy\n"
        "\n"
        "The store:\n"
        "  config get [--view V] KEY    print the value of KEY (general view)\n"
        "  config get --persistent KEY NAME\n"
        "                               print a persistent value (private keys and the\n"
        "                               activation code are never printed)\n"
        "  config set [--secure|--persistent] [--int|--binary-hex] [--from-file PATH]\n"
        "             KEY [NAME] [--] VALUE\n"
        "                               store VALUE (or the file's contents; PATH - is standard\n"
        "                               input; a one-line file loses its line end) under KEY;\n"
        "                               NAME is the value name of a persistent value; put \"--\"\n"
        "                               before a value that begins with \"-\" (a PEM)\n"
        "  config delete KEY            delete KEY and every key below it\n"
        "  config list [PREFIX]         list the stored keys (secrets hidden)\n"
        "  selftest                     load the library, drive its life cycle once\n"
        "\n"
        "Options:\n"
        "  --store PATH                 the configuration store (default: $DTK_STORE, else\n"
        "                               $XDG_DATA_HOME/dtk/config.db, else ~/.local/share/dtk/config.db)\n"
        "  --library PATH               the library to load (default: libdtk.so in lib/ beside bin/)\n"
        "  --verbose                    show the library's log lines on standard error\n"
        "  --allow-core-dumps           let a crash write a core file (off by default: a core\n"
        "                               would hold the private key and the activation code)\n"
        "  --help, --version\n"
        "\n"
        "Exit codes:\n"
        "  0  success\n"
        "  1  the operation failed (refused or unreachable server, a file not answered or\n"
        "     unreadable, a download or proxy test that failed, a value that is not set)\n"
        "  2  bad command line\n"
        "  3  the store is missing, unreadable, corrupt or not writable (it is left untouched)\n"
        "  4  libdtk.so cannot be loaded or initialised\n"
        "  5  registration did not complete within the time-out\n"
        "  6  interrupted by SIGINT or SIGTERM\n",
        out);
}

// The process holds the client key and the activation code in memory: unless
// the user asks for cores, a crash writes none (RLIMIT_CORE 0), and the process
// is not dumpable, so neither a core handler nor another user's ptrace can read
// its memory.
void KeepMemoryOutOfCoreDumps() {
    const rlimit none{0, 0};
    if (setrlimit(RLIMIT_CORE, &none) != 0)
        perror("dtk-agent: setrlimit(RLIMIT_CORE)");
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        perror("dtk-agent: prctl(PR_SET_DUMPABLE)");
}

// The commands that drive the library's instance.
bool UsesLibrary(const std::string& command) {
    return command == "run" || command == "register" || command == "lookup" || command == "policy" ||
           command == "http" || command == "proxy";
}

}  // namespace

int main(int argc, char** argv) {
    agent::Options options;
    std::vector<std::string> args;
    bool operandsOnly = false;
    bool allowCoreDumps = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (operandsOnly) {
            args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            // The rest belongs to the command, uninterpreted.
            operandsOnly = true;
            args.push_back(arg);
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return agent::kExitOk;
        }
        if (arg == "--version") {
            printf("dtk-agent %s\n", DTK_VERSION);
            return agent::kExitOk;
        }
        if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
            continue;
        }
        if (arg == "--allow-core-dumps") {
            allowCoreDumps = true;
            continue;
        }
        if (arg == "--store" || arg == "--library") {
            if (i + 1 >= argc)
                return agent::Usage(arg + " needs a path");
            (arg == "--store" ? options.storePath : options.libraryPath) = argv[++i];
            options.storeGiven = options.storeGiven || arg == "--store";
            continue;
        }
        args.push_back(arg);
    }
    if (!allowCoreDumps)
        KeepMemoryOutOfCoreDumps();
    if (args.empty()) {
        PrintUsage(stderr);
        return agent::kExitUsage;
    }
    if (options.storePath.empty()) {
        options.storeGiven = getenv("DTK_STORE") && *getenv("DTK_STORE");
        options.storePath = agent::DefaultStorePath();
        if (!options.storeGiven && !agent::EnsureDefaultStoreDirectory(options.storePath)) {
            fprintf(stderr, "dtk-agent: cannot create the directory of %s\n", options.storePath.c_str());
            return agent::kExitStore;
        }
    }
    if (options.libraryPath.empty())
        options.libraryPath = agent::DefaultLibraryPath(argv[0]);

    const std::string command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (UsesLibrary(command)) {
        // Before the library starts a thread: signals are taken by our own wait only.
        agent::Signals::Block();
        agent::SeparateLibraryOutput(options.verbose);
    }
    int code = agent::kExitUsage;
    if (command == "selftest")
        code = agent::SelfTest(options);
    else if (command == "config")
        code = agent::Config(options, rest);
    else if (command == "register")
        code = agent::Register(options, rest);
    else if (command == "run")
        code = agent::Run(options, rest);
    else if (command == "status")
        code = agent::Status(options, rest);
    else if (command == "lookup")
        code = agent::Lookup(options, rest);
    else if (command == "policy")
        code = agent::Policy(options, rest);
    else if (command == "http")
        code = agent::Http(options, rest);
    else if (command == "proxy")
        code = agent::Proxy(options, rest);
    else
        return agent::Usage("unknown command '" + command + "'");
    fflush(agent::Out());
    return code;
}
