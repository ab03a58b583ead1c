// dtk-agent's command line: the global options and each command's own.
#pragma once

#include <string>
#include <vector>

#include "agent_commands.h"

namespace agent {

struct CommandLine {
    Options options;
    bool allowCoreDumps = false;
    // The command, and for those with verbs the verb ("config set", "proxy show").
    std::string command;
    std::string verb;
    RegisterArgs registerArgs;
    RunArgs runArgs;
    StatusArgs statusArgs;
    LookupArgs lookupArgs;
    PolicyArgs policyArgs;
    HttpArgs httpArgs;
    ProxyArgs proxyArgs;
    ConfigArgs configArgs;
    ResetIdentityArgs resetArgs;
    std::vector<std::string> formFields;  // http post's NAME=VALUE, split into httpArgs.fields
};

// Fills `line` from argv. Returns -1 when a command is to run; else the exit
// code, with the help, the version or the refusal already printed.
int ParseCommandLine(int argc, char** argv, CommandLine* line);

}  // namespace agent
