// dtk-agent's command line through CLI11: `--opt=value` and `--opt value`,
// COMMAND --help, global options anywhere, and every unknown option, stray
// operand or bad value refused with exit code 2 before anything runs.
#include "command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "library.h"

namespace agent {
namespace {

void PrintUsage(FILE* out) {
    fputs(
        "Usage: dtk-agent [--store PATH] [--verbose] [--log-level LEVEL] COMMAND [ARGS]\n"
        "       dtk-agent COMMAND --help    the options of one command\n"
        "\n"
        "The service:\n"
        "  run [--keepalive S]          check the configuration, register, hold the cloud\n"
        "                               connection, take policy and server messages; a line per\n"
        "                               state change; SIGTERM or SIGINT stops it (exit 0), SIGHUP\n"
        "                               reloads the configuration; it pings the cloud every S\n"
        "                               seconds (default 60; while unanswered after a random\n"
        "                               wait from 2/3 S, kept within 10 to 40 s, up to 5 min,\n"
        "                               doubling per miss) so that a lost connection comes\n"
        "                               back by itself; tells systemd when it is running and\n"
        "                               when it stops\n"
        "  register [--timeout S] [--json]\n"
        "                               check the configuration, then one registration, a line\n"
        "                               per state (default 60 s)\n"
        "  status [--json]              registration, agent GUID, certificate (valid or expired,\n"
        "                               until when), when the cloud last answered, proxy and\n"
        "                               policy serial, as the store holds them\n"
        "  reset-identity --yes         forget the agent GUID, client key and certificate (a\n"
        "                               cloned machine): the next registration enrols anew\n"
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
        "  proxy show [--json]          the saved proxy (never its password)\n"
        "  proxy discover [--save] [--json]\n"
        "                               every candidate with its source and test result\n"
        "  proxy test [URL]             test the saved proxy, or the proxy URL\n"
        "  proxy set URL                save a configured proxy (http://, socks5://, ... host:port)\n"
        "  proxy clear                  forget the saved proxy\n"
        "\n"
        "The store:\n"
        "  config check                 every missing, wrongly typed or wrongly placed setting\n"
        "                               the library reads (exit 1 when there is one)\n"
        "  config get [--view V] KEY    print the value of KEY (general view)\n"
        "  config get --persistent KEY NAME\n"
        "                               print a persistent value (private keys and the\n"
        "                               activation code are never printed)\n"
        "  config set [--secure|--persistent] [--int|--binary-hex] [--from-file PATH]\n"
        "             KEY [NAME] [--] VALUE\n"
        "                               store VALUE (or the file's contents; PATH - is standard\n"
        "                               input; a one-line file loses its line end) under KEY;\n"
        "                               NAME is the value name of a persistent value; put \"--\"\n"
        "                               before a value that begins with \"-\" and a letter;\n"
        "                               a known key in the wrong view or type is refused, an\n"
        "                               unknown key is stored with a warning\n"
        "  config delete [--secure|--persistent] KEY [NAME]\n"
        "                               delete KEY and every key below it (local view), the\n"
        "                               secure KEY, or the persistent KEY (all its names, or NAME)\n"
        "  config list [--json] [PREFIX]\n"
        "                               list the stored keys (secrets hidden)\n"
        "  selftest                     load the library, drive its life cycle once\n"
        "\n"
        "Options:\n"
        "  --store PATH                 the configuration store (default: $DTK_STORE, else\n"
        "                               $XDG_DATA_HOME/dtk/config.db, else ~/.local/share/dtk/config.db)\n"
        "  --library PATH               the library to load (default: libdtk.so in lib/ beside bin/)\n"
        "  --verbose                    show the library's log lines on standard error\n"
        "  --log-level LEVEL            error, warning, info, debug or trace: the library's lines\n"
        "                               of that level and above (default: warning with --verbose,\n"
        "                               else none)\n"
        "  --allow-core-dumps           let a crash write a core file (off by default: a core\n"
        "                               would hold the private key and the activation code)\n"
        "  --help, --version\n"
        "\n"
        "One agent per store: run, register, reset-identity and the commands that write the\n"
        "store lock it (PATH.lock), and so do lookup and policy on a store without an agent\n"
        "GUID; status, config get/list/check and, once registered, lookup work meanwhile.\n"
        "\n"
        "Exit codes:\n"
        "  0  success; also run stopped by SIGTERM or SIGINT\n"
        "  1  the operation failed (refused or unreachable server, a file not answered or\n"
        "     unreadable, a download or proxy test that failed, a value that is not set, a\n"
        "     configuration that config check refuses)\n"
        "  2  bad command line\n"
        "  3  the store is missing, unreadable, corrupt or not writable (it is left untouched)\n"
        "  4  libdtk.so cannot be loaded or initialised\n"
        "  5  registration did not complete within the time-out\n"
        "  6  a one-shot command interrupted by SIGINT or SIGTERM\n"
        "  7  another dtk-agent holds the store (its PID is named)\n",
        out);
}

// The validators give the reason after CLI11's "--option: ".
CLI::Validator Seconds() {
    return CLI::Validator(
        [](std::string& text) {
            int seconds = 0;
            return ParseSeconds(text, &seconds) ? std::string()
                                                : "takes a number of seconds from 1 to 86400, not '" + text + "'";
        },
        "S");
}

CLI::Validator PolicySerial() {
    return CLI::Validator(
        [](std::string& text) {
            const bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
            return digits && std::stol(text) <= 268435455 ? std::string()
                                                          : "takes a number from 0 to 268435455, not '" + text + "'";
        },
        "N");
}

CLI::Validator FormField() {
    return CLI::Validator(
        [](std::string& text) {
            const auto equals = text.find('=');
            return equals != std::string::npos && equals > 0 ? std::string()
                                                             : "a field is NAME=VALUE, not '" + text + "'";
        },
        "NAME=VALUE");
}

void AddGlobalOptions(CLI::App& app, CommandLine* line) {
    Options& o = line->options;
    app.add_option("--store", o.storePath, "the configuration store")->type_name("PATH");
    app.add_option("--library", o.libraryPath, "the library to load")->type_name("PATH");
    app.add_flag("-v,--verbose", o.verbose, "show the library's log lines on standard error");
    app.add_option("--log-level", o.logLevel, "the least level of the library's lines shown")
        ->check(CLI::IsMember({"error", "warning", "info", "debug", "trace"}))
        ->type_name("LEVEL");
    app.add_flag("--allow-core-dumps", line->allowCoreDumps, "let a crash write a core file");
    app.set_version_flag("--version", std::string("dtk-agent ") + DTK_VERSION);
}

void AddServiceCommands(CLI::App& app, CommandLine* line) {
    CLI::App* run = app.add_subcommand("run", "register and hold the cloud connection until SIGTERM or SIGINT");
    run->add_option("--keepalive", line->runArgs.keepaliveSeconds, "seconds between pings while answered")
        ->check(Seconds());
    CLI::App* reg = app.add_subcommand("register", "one registration, a line per state");
    reg->add_option("--timeout", line->registerArgs.timeoutSeconds, "seconds to wait (default 60)")->check(Seconds());
    reg->add_flag("--json", line->registerArgs.json, "one JSON object a line");
    CLI::App* status = app.add_subcommand("status", "what the store holds about this agent");
    status->add_flag("--json", line->statusArgs.json, "one JSON object");
    CLI::App* reset = app.add_subcommand("reset-identity", "forget the agent GUID, client key and certificate");
    reset->add_flag("--yes", line->resetArgs.yes, "confirm");
    app.add_subcommand("selftest", "load the library, drive its life cycle once");
}

void AddLibraryCommands(CLI::App& app, CommandLine* line) {
    LookupArgs& lookup = line->lookupArgs;
    CLI::App* look = app.add_subcommand("lookup", "SHA-256 of each file asked of the cloud");
    look->add_flag("--json", lookup.json, "one JSON object a file");
    look->add_flag("-q,--quiet", lookup.quiet, "no progress bar");
    look->add_option("--timeout", lookup.timeoutSeconds, "seconds to wait (default 60)")->check(Seconds());
    look->add_option("paths", lookup.paths, "files and directories")->type_name("FILE|DIR");

    CLI::App* policy = app.add_subcommand("policy", "the policy")->require_subcommand(1);
    CLI::App* download = policy->add_subcommand("download", "download the policy");
    download->add_option("-o,--out", line->policyArgs.out, "where to save it")->type_name("FILE");
    download->add_option("--serial", line->policyArgs.serial, "the serial to fetch")->check(PolicySerial());

    HttpArgs& http = line->httpArgs;
    CLI::App* httpCommand = app.add_subcommand("http", "https requests through the library")->require_subcommand(1);
    CLI::App* get = httpCommand->add_subcommand("get", "fetch an https URL");
    get->add_option("url", http.url, "the https URL")->required();
    get->add_option("-o,--out", http.out, "save to FILE instead of standard output")->type_name("FILE");
    get->add_flag("-q,--quiet", http.quiet, "no progress");
    CLI::App* post = httpCommand->add_subcommand("post", "post a form to an https URL");
    post->add_option("url", http.url, "the https URL")->required();
    post->add_option("fields", line->formFields, "the form's fields")->check(FormField())->type_name("NAME=VALUE");

    ProxyArgs& proxy = line->proxyArgs;
    CLI::App* proxyCommand = app.add_subcommand("proxy", "the proxy")->require_subcommand(1);
    proxyCommand->add_subcommand("show", "the saved proxy")->add_flag("--json", proxy.json, "one JSON object");
    CLI::App* discover = proxyCommand->add_subcommand("discover", "every candidate with its test result");
    discover->add_flag("--save", proxy.save, "save the first that works");
    discover->add_flag("--json", proxy.json, "one JSON object a line");
    proxyCommand->add_subcommand("test", "test the saved proxy or URL")->add_option("url", proxy.url, "a proxy URL");
    proxyCommand->add_subcommand("set", "save a configured proxy")
        ->add_option("url", proxy.url, "scheme://host[:port]")
        ->required();
    proxyCommand->add_subcommand("clear", "forget the saved proxy");
}

void AddConfigCommands(CLI::App& app, CommandLine* line) {
    ConfigArgs& c = line->configArgs;
    CLI::App* config = app.add_subcommand("config", "the configuration store")->require_subcommand(1);
    CLI::App* get = config->add_subcommand("get", "print a value");
    CLI::Option* view = get->add_option("--view", c.view, "local, secure or general (default)")
                            ->check(CLI::IsMember({"local", "secure", "general"}));
    get->add_flag("--persistent", c.persistent, "a persistent value: KEY NAME")->excludes(view);
    get->add_option("operands", c.operands, "KEY [NAME]");

    CLI::App* set = config->add_subcommand("set", "store a value");
    CLI::Option* secure = set->add_flag("--secure", c.secure, "in the secure (policy) view");
    set->add_flag("--persistent", c.persistent, "a persistent value: KEY NAME VALUE")->excludes(secure);
    CLI::Option* integer = set->add_flag("--int", c.integer, "a 32-bit integer");
    set->add_flag("--binary-hex", c.binaryHex, "bytes written as hexadecimal")->excludes(integer);
    set->add_option("--from-file", c.fromFile, "the value is this file's contents (- : standard input)")
        ->type_name("PATH");
    set->add_option("operands", c.operands, "KEY [NAME] [--] VALUE");

    CLI::App* del = config->add_subcommand("delete", "delete a key");
    CLI::Option* deleteSecure = del->add_flag("--secure", c.secure, "the secure view's KEY");
    del->add_flag("--persistent", c.persistent, "the persistent KEY [NAME]")->excludes(deleteSecure);
    del->add_option("operands", c.operands, "KEY [NAME]");

    CLI::App* list = config->add_subcommand("list", "list the stored keys (secrets hidden)");
    list->add_flag("--json", c.json, "one JSON object a line");
    list->add_option("operands", c.operands, "PREFIX");

    config->add_subcommand("check", "every missing, wrongly typed or wrongly placed setting");
}

// The chosen command and verb.
void Choose(const CLI::App& app, CommandLine* line) {
    for (const CLI::App* command : app.get_subcommands()) {
        line->command = command->get_name();
        for (const CLI::App* verb : command->get_subcommands())
            line->verb = verb->get_name();
    }
    line->configArgs.verb = line->verb;
    line->proxyArgs.verb = line->verb;
    line->httpArgs.post = line->verb == "post";
}

// The deepest command the parse reached.
const CLI::App* Deepest(const CLI::App& app) {
    const CLI::App* deepest = &app;
    while (!deepest->get_subcommands().empty())
        deepest = deepest->get_subcommands().front();
    return deepest;
}

// CLI11's words for a word that is no command are "A subcommand is required".
int Refuse(const CLI::App& app, const CLI::ParseError& error) {
    const CLI::App* deepest = Deepest(app);
    const std::vector<std::string> extra = app.remaining(true);
    if (dynamic_cast<const CLI::RequiredError*>(&error) && !extra.empty() && deepest->get_require_subcommand_min() > 0)
        return Usage("unknown " + (deepest == &app ? std::string() : deepest->get_name() + " ") + "command '" +
                     extra.front() + "'");
    return Usage(error.what());
}

// What follows "--" is the command's operands, uninterpreted (a value may
// begin with "-", as every PEM does).
int TakeOperands(const std::vector<std::string>& operands, CommandLine* line) {
    if (operands.empty())
        return -1;
    std::vector<std::string>* into = line->command == "config" ? &line->configArgs.operands
                                     : line->command == "lookup" ? &line->lookupArgs.paths
                                     : line->httpArgs.post       ? &line->formFields
                                                                 : nullptr;
    if (!into)
        return Usage("unexpected argument '" + operands.front() + "'");
    into->insert(into->end(), operands.begin(), operands.end());
    return -1;
}

int TakeFormFields(CommandLine* line) {
    for (std::string field : line->formFields) {
        if (std::string problem = FormField()(field); !problem.empty())
            return Usage(problem);
        const auto equals = field.find('=');
        line->httpArgs.fields.emplace_back(field.substr(0, equals), field.substr(equals + 1));
    }
    return -1;
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CommandLine* line) {
    if (argc < 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    int optionsEnd = 1;
    while (optionsEnd < argc && std::string(argv[optionsEnd]) != "--")
        ++optionsEnd;
    const std::vector<std::string> operands(argv + std::min(optionsEnd + 1, argc), argv + argc);
    CLI::App app("dtk-agent: the agent's command-line host", "dtk-agent");
    // Global options are taken after the command too, as they always were.
    app.fallthrough();
    app.require_subcommand(1);
    AddGlobalOptions(app, line);
    AddServiceCommands(app, line);
    AddLibraryCommands(app, line);
    AddConfigCommands(app, line);
    try {
        app.parse(optionsEnd, argv);
    } catch (const CLI::CallForHelp& help) {
        if (app.get_subcommands().empty()) {
            PrintUsage(stdout);
            return kExitOk;
        }
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        return Refuse(app, error);
    }
    Choose(app, line);
    if (int code = TakeOperands(operands, line); code >= 0)
        return code;
    if (int code = TakeFormFields(line); code >= 0)
        return code;
    if (line->command == "lookup" && line->lookupArgs.paths.empty())
        return Usage("lookup needs at least one file or directory");
    return -1;
}

}  // namespace agent
