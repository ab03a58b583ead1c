// libdtk.so as a host loads it, and one session on its instance: the store
// opened as the library's configuration, the library initialised, the
// instance taken, and everything given back in reverse order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent_commands.h"
#include "dtk/dtk.h"
#include "hostkit.h"

namespace agent {

struct Library {
    void* handle = nullptr;
    InitTesselWrapperFn init = nullptr;
    DeinitTesselWrapperFn deinit = nullptr;
    CreateTesselWrapperFn create = nullptr;
    ReleaseTesselWrapperFn release = nullptr;
    SetCustomTesselInstanceFn setCustom = nullptr;

    Library() = default;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library();
    // false with the reason on standard error.
    bool Load(const std::string& path);
};

// The registration states as the library names them in its trace, and the
// words dtk-agent shows for them.
struct RegistrationState {
    int code;
    const char* name;
    const char* text;
};
const RegistrationState* FindRegistrationState(const std::string& name);

// Ends waits when SIGINT or SIGTERM arrives (and remembers SIGHUP). The
// signals are blocked in every thread and taken by Signals::Wait, so the
// library's threads never see them.
class Signals {
public:
    // Call before any thread starts.
    static void Block();
    // Waits up to `ms` for a signal; returns it, or 0.
    static int Wait(int ms);
    static bool Stopping() { return s_stop.load(); }

private:
    static std::atomic<bool> s_stop;
};

class Session {
public:
    // Null, with the exit code in *exitCode and the reason printed, when the
    // store or the library cannot be opened.
    static std::unique_ptr<Session> Open(const Options& options, int* exitCode);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    ITesselInstance* Instance() const { return m_instance; }
    hostkit::ConfigStore* Store() const { return m_store.get(); }

    // Registration states reported since the last call, oldest first.
    std::vector<const RegistrationState*> TakeStates();
    // Starts registration and waits until it completes, `timeoutSeconds`
    // pass or a signal arrives; `onState` sees each state as it is reported.
    int RegisterAndWait(int timeoutSeconds, const std::function<void(const RegistrationState&)>& onState);
    // The two halves, for callers with work to do meanwhile.
    void StartRegistration() { m_instance->PerformTesselRegistration(); }
    int WaitForRegistration(int timeoutSeconds, const std::function<void(const RegistrationState&)>& onState);

private:
    Session() = default;
    void OnLogLine(hostkit::LogKind kind, uint64_t category, const std::string& line);

    bool m_verbose = false;
    std::unique_ptr<hostkit::ConfigStore> m_store;
    std::unique_ptr<IWinApiWrapper, void (*)(IWinApiWrapper*)> m_winApi{nullptr, nullptr};
    Library m_library;
    bool m_initialised = false;
    ITesselInstance* m_instance = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_stateReported;
    std::vector<const RegistrationState*> m_states;
};

// Parses a decimal number of seconds in [1, 86400].
bool ParseSeconds(const std::string& text, int* seconds);

}  // namespace agent
