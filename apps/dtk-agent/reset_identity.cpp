// reset-identity: a cloned machine forgets whom it was registered as, so that
// its next registration enrols a new endpoint (a new GUID, key and
// certificate). The business's settings and the activation code stay.
#include <cstdio>
#include <memory>
#include <string>

#include "agent_commands.h"
#include "hostkit.h"

namespace agent {
namespace {

struct IdentityEntry {
    hostkit::ConfigView view;
    const char* key;
    const char* name;
};

// What registration writes about this endpoint.
constexpr IdentityEntry kIdentity[] = {
    {hostkit::ConfigView::Persistent, "config/agent/uuid", "guid"},
    {hostkit::ConfigView::Persistent, "config/agent/client_keypair", "client_keypair"},
    {hostkit::ConfigView::Persistent, "config/agent/client_cert", "client_cert"},
    {hostkit::ConfigView::Persistent, "config/agent/client_prvkey", "legacy_keypair"},
    {hostkit::ConfigView::Local, "config/agent/agent_registered", ""},
    {hostkit::ConfigView::Local, "config/agent/agent_disabled", ""},
    {hostkit::ConfigView::Local, kCloudAnsweredKey, ""},
};

}  // namespace

int ResetIdentity(const Options& options, const ResetIdentityArgs& args) {
    if (!args.yes)
        return Usage("reset-identity forgets this agent's GUID, key and certificate; confirm with --yes");
    std::string error;
    auto store = hostkit::ConfigStore::Open(options.storePath, &error, hostkit::ConfigStore::Mode::ReadWrite);
    if (!store) {
        fprintf(stderr, "dtk-agent: %s\n", error.c_str());
        return kExitStore;
    }
    int removed = 0;
    const bool done = store->RunTransaction([&] {
        for (const IdentityEntry& entry : kIdentity) {
            bool gone = false;
            if (!store->DeleteKey(entry.view, entry.key, &gone, entry.name))
                return false;
            removed += gone ? 1 : 0;
        }
        return true;
    });
    if (!done) {
        fprintf(stderr, "dtk-agent: cannot reset the identity in %s: %s\n", options.storePath.c_str(),
                hostkit::ConfigStore::LastError().c_str());
        return kExitStore;
    }
    fprintf(Out(), "identity reset (%d value%s forgotten): the next registration enrols a new endpoint\n", removed,
            removed == 1 ? "" : "s");
    return kExitOk;
}

}  // namespace agent
