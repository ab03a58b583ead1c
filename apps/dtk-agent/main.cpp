// dtk-agent: the command-line host. It plays the agent's part: it registers
// the endpoint, holds the cloud connection, looks files up, fetches the policy
// and finds the proxy, all through libdtk.so as a real agent would.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "agent_commands.h"
#include "command_line.h"
#include "hostkit.h"
#include "library.h"
#include "store_lock.h"

namespace {

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

// Whether the store holds an agent GUID (false when it cannot be read: the
// command then reports the store itself).
bool HasIdentity(const std::string& storePath) {
    std::string error;
    auto store = hostkit::ConfigStore::Open(storePath, &error, hostkit::ConfigStore::Mode::ReadOnly);
    hostkit::ConfigEntry entry;
    bool found = false;
    return store && store->Get(hostkit::ConfigView::Persistent, "config/agent/uuid", &entry, &found, "guid") && found;
}

// The commands that drive the library's instance.
bool UsesLibrary(const std::string& command) {
    return command == "run" || command == "register" || command == "lookup" || command == "policy" ||
           command == "http" || command == "proxy";
}

// The commands that write the store, or make the library write it (a
// registration stores the identity): one such agent per store at a time.
// lookup and policy register too, but once the store has an identity they
// only use it, so they go on beside a running service; on a store without
// one they would make an identity of their own, and take the lock.
bool WritesStore(const agent::CommandLine& line) {
    const std::string& c = line.command;
    const std::string& v = line.verb;
    if (c == "lookup" || c == "policy")
        return !HasIdentity(line.options.storePath);
    return c == "run" || c == "register" || c == "reset-identity" || (c == "config" && (v == "set" || v == "delete")) ||
           (c == "proxy" && (v == "set" || v == "clear" || (v == "discover" && line.proxyArgs.save)));
}

int Dispatch(const agent::CommandLine& line) {
    const agent::Options& options = line.options;
    const std::string& command = line.command;
    if (command == "selftest")
        return agent::SelfTest(options);
    if (command == "config")
        return agent::Config(options, line.configArgs);
    if (command == "register")
        return agent::Register(options, line.registerArgs);
    if (command == "run")
        return agent::Run(options, line.runArgs);
    if (command == "status")
        return agent::Status(options, line.statusArgs);
    if (command == "reset-identity")
        return agent::ResetIdentity(options, line.resetArgs);
    if (command == "lookup")
        return agent::Lookup(options, line.lookupArgs);
    if (command == "policy")
        return agent::Policy(options, line.policyArgs);
    if (command == "http")
        return agent::Http(options, line.httpArgs);
    return agent::Proxy(options, line.proxyArgs);
}

}  // namespace

int main(int argc, char** argv) {
    agent::CommandLine line;
    if (int code = agent::ParseCommandLine(argc, argv, &line); code >= 0)
        return code;
    agent::Options& options = line.options;
    if (!line.allowCoreDumps)
        KeepMemoryOutOfCoreDumps();
    if (options.storePath.empty()) {
        options.storeGiven = getenv("DTK_STORE") && *getenv("DTK_STORE");
        options.storePath = agent::DefaultStorePath();
        if (!options.storeGiven && !agent::EnsureDefaultStoreDirectory(options.storePath)) {
            fprintf(stderr, "dtk-agent: cannot create the directory of %s\n", options.storePath.c_str());
            return agent::kExitStore;
        }
    } else {
        options.storeGiven = true;
    }
    if (options.libraryPath.empty())
        options.libraryPath = agent::DefaultLibraryPath(argv[0]);

    std::unique_ptr<agent::StoreLock> lock;
    if (WritesStore(line)) {
        int code = agent::kExitOk;
        if (!(lock = agent::StoreLock::Acquire(options.storePath, &code)))
            return code;
    }
    if (UsesLibrary(line.command)) {
        // Before the library starts a thread: signals are taken by our own wait only.
        agent::Signals::Block();
        agent::SeparateLibraryOutput(options.verbose);
    }
    int code = Dispatch(line);
    fflush(agent::Out());
    // A one-shot command that a signal cut short says so the same way
    // whichever step it was in; run ends 0 as services do.
    if (UsesLibrary(line.command) && line.command != "run" && code != agent::kExitOk) {
        agent::Signals::Wait(0);
        if (agent::Signals::Stopping())
            code = agent::kExitInterrupted;
    }
    return code;
}
