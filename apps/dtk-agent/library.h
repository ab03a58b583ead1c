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
#include <thread>
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
    bool failure;  // a step failed (the run goes on after its back-off)
};
const RegistrationState* FindRegistrationState(const std::string& name);

// A state as it was reported, with the cause the library logged for it.
struct StateReport {
    const RegistrationState* state;
    std::string cause;
    // "certificate acquisition failed: connection refused (127.0.0.1:443)"
    std::string Line() const;
};

// The cause the library logged for the last failure on the calling thread
// ("name not resolved (nothing.invalid:443)"), or with `anyThread` the last
// one any thread logged (the cloud client's workers); cleared by the call,
// empty when it logged none.
std::string TakeFailureCause(bool anyThread = false);

// Where standard error or our standard output is the journal, the prefix
// that gives a line its syslog priority ("<3>"); else "".
const char* PriorityPrefix(FILE* stream, int priority);

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
    std::vector<StateReport> TakeStates();
    // Starts registration and waits until it completes, `timeoutSeconds`
    // pass, it cannot start (kExitFailed) or a signal arrives; `onState` sees
    // each state as it is reported.
    int RegisterAndWait(int timeoutSeconds, const std::function<void(const StateReport&)>& onState);
    // The two halves, for callers with work to do meanwhile.
    void StartRegistration();
    int WaitForRegistration(int timeoutSeconds, const std::function<void(const StateReport&)>& onState);
    // True when the library refused to start the run (its configuration
    // lacks what a run needs): it never will on its own.
    bool RegistrationRefused();
    // Why WaitForRegistration ended with `code`, for an error line:
    // "registration could not start: Failed to read business_guid".
    std::string RegistrationFailure(int code, int timeoutSeconds);

private:
    class CompletionWaker;
    Session() = default;
    void OnLogLine(hostkit::LogKind kind, uint64_t category, const std::string& line);
    void OnStateLine(const RegistrationState* state);

    // Under m_mutex: the thread starting a run, the errors it logged meanwhile,
    // whether the library refused the run, the last failed state's line.
    std::thread::id m_starter;
    std::vector<std::string> m_startErrors;
    bool m_refused = false;
    std::string m_lastFailure;
    std::unique_ptr<hostkit::ConfigStore> m_store;
    std::unique_ptr<IWinApiWrapper, void (*)(IWinApiWrapper*)> m_winApi{nullptr, nullptr};
    Library m_library;
    bool m_initialised = false;
    ITesselInstance* m_instance = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_stateReported;
    std::vector<StateReport> m_states;
    bool m_connectionChanged = false;  // since the waiting thread last looked
};

// Parses a decimal number of seconds in [1, 86400].
bool ParseSeconds(const std::string& text, int* seconds);

}  // namespace agent
