// dtk-agent: the command-line host. It plays the agent's part so that the
// library can be run and demonstrated end to end on one machine.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent_commands.h"

namespace {

void PrintUsage(FILE* out) {
    fputs(
        "Usage: dtk-agent [--store PATH] COMMAND [ARGS]\n"
        "\n"
        "Commands:\n"
        "  selftest                     load libdtk.so, initialise it with the host components,\n"
        "                               create and release the instance, de-initialise it, and\n"
        "                               print every log line the library wrote\n"
        "  config get KEY               print the value of KEY (general view)\n"
        "  config set [--secure] [--int|--binary-hex] KEY VALUE\n"
        "                               store VALUE under KEY (local view, or the secure view\n"
        "                               that stands for policy-delivered settings)\n"
        "  config delete KEY            delete KEY and every key below it\n"
        "  config list [PREFIX]         list the stored keys\n"
        "\n"
        "Options:\n"
        "  --store PATH                 the configuration store (default: $DTK_STORE, else\n"
        "                               $XDG_DATA_HOME/dtk/config.db, else ~/.local/share/dtk/config.db)\n"
        "  --library PATH               the library selftest loads (default: libdtk.so beside\n"
        "                               this program's lib/ directory)\n"
        "  --help                       show this help\n"
        "  --version                    show the version\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    agent::Options options;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if (arg == "--version") {
            printf("dtk-agent %s\n", DTK_VERSION);
            return 0;
        }
        if (arg == "--store" || arg == "--library") {
            if (i + 1 >= argc) {
                fprintf(stderr, "dtk-agent: %s needs a path\n", arg.c_str());
                return 2;
            }
            (arg == "--store" ? options.storePath : options.libraryPath) = argv[++i];
            options.storeGiven = options.storeGiven || arg == "--store";
            continue;
        }
        args.push_back(arg);
    }
    if (args.empty()) {
        PrintUsage(stderr);
        return 2;
    }
    if (options.storePath.empty()) {
        options.storeGiven = getenv("DTK_STORE") && *getenv("DTK_STORE");
        options.storePath = agent::DefaultStorePath();
        if (!options.storeGiven && !agent::EnsureDefaultStoreDirectory(options.storePath)) {
            fprintf(stderr, "dtk-agent: cannot create the directory of %s\n", options.storePath.c_str());
            return 1;
        }
    }
    if (options.libraryPath.empty())
        options.libraryPath = agent::DefaultLibraryPath(argv[0]);

    const std::string& command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "selftest")
        return agent::SelfTest(options);
    if (command == "config")
        return agent::Config(options, rest);
    fprintf(stderr, "dtk-agent: unknown command '%s' (see --help)\n", command.c_str());
    return 2;
}
