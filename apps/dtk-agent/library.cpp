#include "library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace agent {

namespace {

constexpr char kStatePrefix[] = "TesselRegistrationHandler::RegistrationStatusUpdateCallback: Current Registration state is ";

constexpr RegistrationState kStates[] = {
    {0, "tessel_registration_not_started", "registration not started"},
    {1, "tessel_registration_stopped", "registration stopped"},
    {2, "tessel_certificate_acquisition_failed_forbidden", "certificate acquisition refused (forbidden)"},
    {3, "tessel_certificate_acquisition_failed", "certificate acquisition failed"},
    {4, "tessel_certificate_acquisition_duplicate_guid", "certificate acquisition failed: duplicate agent GUID"},
    {5, "tessel_certificate_acquisition_missing_actcode", "certificate acquisition failed: no activation code"},
    {6, "tessel_certificate_acquisition_succeeded", "certificate acquired"},
    {7, "tessel_vesta_registration_failed", "management registration failed"},
    {8, "tessel_vesta_registration_succeeded", "management registration succeeded"},
    {9, "tessel_cloud_connection_failed", "cloud connection failed"},
    {10, "tessel_cloud_connection_succeeded", "cloud connection succeeded"},
};

FILE* g_out = stdout;

}  // namespace

FILE* Out() { return g_out; }

void SeparateLibraryOutput(bool verbose) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (saved < 0)
        return;
    FILE* out = fdopen(saved, "w");
    if (!out) {
        close(saved);
        return;
    }
    int target = verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target >= 0) {
        dup2(target, STDOUT_FILENO);
        close(target);
    }
    g_out = out;
}

int Usage(const std::string& message) {
    fprintf(stderr, "dtk-agent: %s (see --help)\n", message.c_str());
    return kExitUsage;
}

bool ParseSeconds(const std::string& text, int* seconds) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long value = strtol(text.c_str(), nullptr, 10);
    if (value < 1 || value > 86400)
        return false;
    *seconds = static_cast<int>(value);
    return true;
}

const RegistrationState* FindRegistrationState(const std::string& name) {
    for (const RegistrationState& state : kStates)
        if (name == state.name)
            return &state;
    return nullptr;
}

// ---- Library ------------------------------------------------------------------------------------

Library::~Library() {
    if (handle)
        dlclose(handle);
}

bool Library::Load(const std::string& path) {
    // The kit's global initialisation is once per process and never undone,
    // so the library stays mapped after dlclose (its state stays reachable).
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        fprintf(stderr, "dtk-agent: cannot load %s: %s\n", path.c_str(), dlerror());
        return false;
    }
    init = reinterpret_cast<InitTesselWrapperFn>(dlsym(handle, "InitTesselWrapper"));
    deinit = reinterpret_cast<DeinitTesselWrapperFn>(dlsym(handle, "DeinitTesselWrapper"));
    create = reinterpret_cast<CreateTesselWrapperFn>(dlsym(handle, "CreateTesselWrapper"));
    release = reinterpret_cast<ReleaseTesselWrapperFn>(dlsym(handle, "ReleaseTesselWrapper"));
    setCustom = reinterpret_cast<SetCustomTesselInstanceFn>(dlsym(handle, "SetCustomTesselInstance"));
    if (!init || !deinit || !create || !release || !setCustom) {
        fprintf(stderr, "dtk-agent: %s lacks an entry point\n", path.c_str());
        return false;
    }
    return true;
}

// ---- Signals ------------------------------------------------------------------------------------

std::atomic<bool> Signals::s_stop{false};

namespace {
sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}
}  // namespace

void Signals::Block() {
    sigset_t set = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A closed pipe on our output is an error to report, not a death.
    signal(SIGPIPE, SIG_IGN);
}

int Signals::Wait(int ms) {
    sigset_t set = HandledSignals();
    timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
    int signal = sigtimedwait(&set, nullptr, &timeout);
    if (signal == SIGINT || signal == SIGTERM)
        s_stop = true;
    return signal > 0 ? signal : 0;
}

// ---- Session ------------------------------------------------------------------------------------

std::unique_ptr<Session> Session::Open(const Options& options, int* exitCode) {
    std::unique_ptr<Session> session(new Session());
    session->m_verbose = options.verbose;
    std::string error;
    session->m_store = hostkit::ConfigStore::Open(options.storePath, &error);
    if (!session->m_store) {
        fprintf(stderr, "dtk-agent: %s\n", error.c_str());
        *exitCode = kExitStore;
        return nullptr;
    }
    Session* self = session.get();
    hostkit::SetLogSink([self](hostkit::LogKind kind, uint64_t category, const std::string& line) {
        self->OnLogLine(kind, category, line);
    });
    hostkit::SetGlobalConfig(session->m_store.get());
    session->m_winApi = {CreateWinApiWrapper(), DeleteWinApiWrapper};
    if (!session->m_library.Load(options.libraryPath)) {
        *exitCode = kExitLibrary;
        return nullptr;
    }
    session->m_initialised = session->m_library.init(session->m_store.get(), session->m_winApi.get());
    session->m_instance = session->m_initialised ? session->m_library.create() : nullptr;
    if (!session->m_instance) {
        fprintf(stderr, "dtk-agent: the library could not be initialised (run with --verbose to see why)\n");
        *exitCode = kExitLibrary;
        return nullptr;
    }
    return session;
}

Session::~Session() {
    if (m_instance)
        m_library.release(m_instance);
    if (m_initialised)
        m_library.deinit();
    hostkit::SetGlobalConfig(nullptr);
    hostkit::SetLogSink(nullptr);
    if (m_store)
        m_store->Checkpoint();
}

void Session::OnLogLine(hostkit::LogKind kind, uint64_t category, const std::string& line) {
    if (m_verbose)
        fputs((hostkit::FormatLogLine(kind, category, line) + "\n").c_str(), stderr);
    if (line.compare(0, sizeof kStatePrefix - 1, kStatePrefix) != 0)
        return;
    const RegistrationState* state = FindRegistrationState(hostkit::OneLine(line.substr(sizeof kStatePrefix - 1)));
    if (state) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.push_back(state);
        m_stateReported.notify_all();
    }
}

std::vector<const RegistrationState*> Session::TakeStates() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::move(m_states);
}

int Session::RegisterAndWait(int timeoutSeconds, const std::function<void(const RegistrationState&)>& onState) {
    StartRegistration();
    return WaitForRegistration(timeoutSeconds, onState);
}

int Session::WaitForRegistration(int timeoutSeconds, const std::function<void(const RegistrationState&)>& onState) {
    // Woken by each reported state; the slices bound how late a signal is seen.
    constexpr auto kSlice = std::chrono::milliseconds(20);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        for (const RegistrationState* state : TakeStates())
            onState(*state);
        if (m_instance->IsRegistrationComplete()) {
            for (const RegistrationState* state : TakeStates())
                onState(*state);
            return kExitOk;
        }
        Signals::Wait(0);
        if (Signals::Stopping())
            return kExitInterrupted;
        if (std::chrono::steady_clock::now() >= end)
            return kExitTimeout;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stateReported.wait_for(lock, kSlice, [this] { return !m_states.empty(); });
    }
}

}  // namespace agent
