#include "library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "failure_text.h"

namespace agent {

namespace {

constexpr char kStatePrefix[] = "TesselRegistrationHandler::RegistrationStatusUpdateCallback: Current Registration state is ";
// Logged when a run was asked for but the configuration gave no handle.
constexpr char kRunRefused[] = "TesselRegistrationHandler::RegistrationConnect:  no registration handle";
// The library's reader names where the identity it needs is missing.
constexpr char kIdentitySource[] = "PopulateAgentIdentity";
// Errors kept of a start, and shown of them at most.
constexpr size_t kMaxStartErrors = 16;
constexpr size_t kMaxShownStartErrors = 3;

constexpr RegistrationState kStates[] = {
    {0, "tessel_registration_not_started", "registration not started", false},
    {1, "tessel_registration_stopped", "registration stopped", false},
    {2, "tessel_certificate_acquisition_failed_forbidden", "certificate acquisition refused (forbidden)", true},
    {3, "tessel_certificate_acquisition_failed", "certificate acquisition failed", true},
    {4, "tessel_certificate_acquisition_duplicate_guid", "certificate acquisition failed: duplicate agent GUID", true},
    {5, "tessel_certificate_acquisition_missing_actcode", "certificate acquisition failed: no activation code", true},
    {6, "tessel_certificate_acquisition_succeeded", "certificate acquired", false},
    {7, "tessel_vesta_registration_failed", "management registration failed", true},
    {8, "tessel_vesta_registration_succeeded", "management registration succeeded", false},
    {9, "tessel_cloud_connection_failed", "cloud connection failed", true},
    {10, "tessel_cloud_connection_succeeded", "cloud connection succeeded", false},
};

// Syslog priorities of the lines we write.
constexpr int kPriorityError = 3;
constexpr int kPriorityWarning = 4;
constexpr int kPriorityInfo = 6;
constexpr int kPriorityDebug = 7;
// The library's lines shown: those of this priority or more urgent (-1: none).
std::atomic<int> g_showUpTo{-1};

int ShownPriority(const Options& options) {
    static const struct {
        const char* name;
        int priority;
    } kLevels[] = {{"error", kPriorityError},
                   {"warning", kPriorityWarning},
                   {"info", kPriorityInfo},
                   {"debug", kPriorityDebug},
                   {"trace", kPriorityDebug}};
    for (const auto& level : kLevels)
        if (options.logLevel == level.name)
            return level.priority;
    // --verbose alone: the library's warnings and errors (its trace is debug).
    return options.verbose ? kPriorityWarning : -1;
}

// The causes the library logged, kept for the messages of dtk-agent: the last
// one of each thread and the last of all (the cloud client's lines reach us
// through a pipe, not on the thread that wrote them). Leaked: the thread that
// reads the library's output may run until the process ends.
class CauseBook {
public:
    static CauseBook& Instance() {
        static CauseBook* book = new CauseBook();
        return *book;
    }
    void Note(const std::string& cause, bool onThisThread) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_latest = cause;
        if (!onThisThread)
            return;
        if (m_byThread.size() >= kMaxThreads && !m_byThread.count(std::this_thread::get_id()))
            m_byThread.erase(m_byThread.begin());
        m_byThread[std::this_thread::get_id()] = cause;
    }
    // This thread's cause, else (when `orLatest`) the last of all; both cleared.
    std::string Take(bool orLatest) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string cause;
        auto found = m_byThread.find(std::this_thread::get_id());
        if (found != m_byThread.end()) {
            cause = std::move(found->second);
            m_byThread.erase(found);
        }
        if (cause.empty() && orLatest)
            cause = m_latest;
        m_latest.clear();
        return cause;
    }

private:
    static constexpr size_t kMaxThreads = 64;
    std::mutex m_mutex;
    std::map<std::thread::id, std::string> m_byThread;
    std::string m_latest;
};

// ---- journald ---------------------------------------------------------------------------------

// True when `fd` is the stream systemd named in JOURNAL_STREAM ("dev:ino").
bool IsJournal(int fd) {
    const char* stream = getenv("JOURNAL_STREAM");
    if (!stream || !*stream)
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long device = strtoull(stream, &end, 10);
    if (errno != 0 || *end != ':')
        return false;
    const unsigned long long inode = strtoull(end + 1, &end, 10);
    struct stat info {};
    return errno == 0 && *end == '\0' && fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

// A stream over a journal descriptor that begins every line with a syslog
// priority: its own when it has one ("<4>..."), else the stream's default.
struct JournalStream {
    int fd;
    int priority;
    bool lineStart = true;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool HasPriority(const char* data, size_t size) {
    return size >= 3 && data[0] == '<' && data[1] >= '0' && data[1] <= '7' && data[2] == '>';
}

ssize_t JournalWrite(void* cookie, const char* data, size_t size) {
    JournalStream* stream = static_cast<JournalStream*>(cookie);
    size_t done = 0;
    while (done < size) {
        if (stream->lineStart && !HasPriority(data + done, size - done)) {
            const char prefix[] = {'<', static_cast<char>('0' + stream->priority), '>'};
            if (!WriteAll(stream->fd, prefix, sizeof prefix))
                return -1;
        }
        const char* newline = static_cast<const char*>(memchr(data + done, '\n', size - done));
        const size_t length = newline ? static_cast<size_t>(newline - (data + done)) + 1 : size - done;
        if (!WriteAll(stream->fd, data + done, length))
            return -1;
        stream->lineStart = newline != nullptr;
        done += length;
    }
    return static_cast<ssize_t>(size);
}

// `fd` as a line-buffered stream with priorities, when it is the journal;
// `stream` (which lives as long as the process) keeps its state.
FILE* JournalFile(int fd, int priority, JournalStream* stream) {
    if (!IsJournal(fd))
        return nullptr;
    *stream = JournalStream{fd, priority};
    cookie_io_functions_t functions{};
    functions.write = JournalWrite;
    FILE* file = fopencookie(stream, "w", functions);
    if (file)
        setvbuf(file, nullptr, _IOLBF, 0);
    return file;
}

FILE* g_out = stdout;
bool g_outJournal = false;
bool g_errJournal = false;

// Shows a library line on standard error when its priority is wanted.
void ShowLibraryLine(int priority, const std::string& line) {
    if (priority > g_showUpTo.load())
        return;
    fprintf(stderr, "%s%s\n", PriorityPrefix(stderr, priority), line.c_str());
}

// The cloud client writes its lines to the process's standard output: they
// come here through a pipe, line by line (bounded), to be shown or dropped
// and to give their causes.
constexpr size_t kMaxLibraryLine = 4096;

void TakeLibraryOutputLine(const std::string& line) {
    const bool error = line.find(": ERROR: ") != std::string::npos;
    ShowLibraryLine(error ? kPriorityError : kPriorityDebug, hostkit::OneLine(line));
    const std::string cause = CauseInLine(line);
    if (!cause.empty())
        CauseBook::Instance().Note(cause, false);
}

void ReadLibraryOutput(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(n));
        std::string::size_type newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            TakeLibraryOutputLine(pending.substr(0, newline));
            pending.erase(0, newline + 1);
        }
        if (pending.size() > kMaxLibraryLine) {
            TakeLibraryOutputLine(pending);
            pending.clear();
        }
    }
    close(fd);
}

}  // namespace

FILE* Out() { return g_out; }

const char* PriorityPrefix(FILE* stream, int priority) {
    static const char* const kPrefixes[] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
    const bool journal = stream == stderr ? g_errJournal : stream == g_out && g_outJournal;
    return journal && priority >= 0 && priority <= 7 ? kPrefixes[priority] : "";
}

std::string TakeFailureCause(bool anyThread) { return CauseBook::Instance().Take(anyThread); }

std::string StateReport::Line() const { return cause.empty() ? state->text : std::string(state->text) + ": " + cause; }

void SeparateLibraryOutput(bool verbose) {
    g_showUpTo = verbose ? kPriorityWarning : -1;
    fflush(stdout);
    fflush(stderr);
    int saved = dup(STDOUT_FILENO);
    if (saved < 0)
        return;
    // The streams stay open until the process ends.
    static JournalStream outStream{-1, kPriorityInfo}, errStream{-1, kPriorityError};
    FILE* journalOut = JournalFile(saved, kPriorityInfo, &outStream);
    FILE* out = journalOut ? journalOut : fdopen(saved, "w");
    if (!out) {
        close(saved);
        return;
    }
    g_outJournal = journalOut != nullptr;
    if (FILE* journalErr = JournalFile(STDERR_FILENO, kPriorityError, &errStream)) {
        stderr = journalErr;
        g_errJournal = true;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[1]);
        std::thread(ReadLibraryOutput, pipeFds[0]).detach();
    } else {
        int target = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (target >= 0) {
            dup2(target, STDOUT_FILENO);
            close(target);
        }
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
    g_showUpTo = ShownPriority(options);
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
        fprintf(stderr, "dtk-agent: the library could not be initialised (run with --log-level debug to see why)\n");
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
    const bool error = kind == hostkit::LogKind::Error;
    ShowLibraryLine(error ? kPriorityError : kPriorityDebug, hostkit::FormatLogLine(kind, category, line));
    const std::string cause = CauseInLine(line);
    if (!cause.empty())
        CauseBook::Instance().Note(cause, true);
    if (error) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_starter == std::this_thread::get_id() && m_startErrors.size() < kMaxStartErrors)
            m_startErrors.push_back(line);
        if (line.compare(0, sizeof kRunRefused - 1, kRunRefused) == 0) {
            m_refused = true;
            m_stateReported.notify_all();
        }
        return;
    }
    if (line.compare(0, sizeof kStatePrefix - 1, kStatePrefix) == 0)
        OnStateLine(FindRegistrationState(hostkit::OneLine(line.substr(sizeof kStatePrefix - 1))));
}

// On the thread that reports the state, which is the one that logged the
// failure of its step, unless the cloud client's worker did.
void Session::OnStateLine(const RegistrationState* state) {
    if (!state)
        return;
    // A success makes the causes logged before it moot.
    std::string cause = CauseBook::Instance().Take(state->failure);
    StateReport report{state, state->failure ? std::move(cause) : std::string()};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (state->failure)
        m_lastFailure = report.Line();
    m_states.push_back(std::move(report));
    m_stateReported.notify_all();
}

std::vector<StateReport> Session::TakeStates() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::move(m_states);
}

void Session::StartRegistration() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_starter = std::this_thread::get_id();
        m_startErrors.clear();
        m_refused = false;
    }
    m_instance->PerformTesselRegistration();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_starter = {};
}

bool Session::RegistrationRefused() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refused;
}

std::string Session::RegistrationFailure(int code, int timeoutSeconds) {
    // A step still under way when time ran out may have logged why it is stuck.
    const std::string pending = CauseBook::Instance().Take(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code == kExitInterrupted)
        return "registration interrupted";
    if (code == kExitTimeout) {
        const std::string last = !m_lastFailure.empty() ? m_lastFailure : pending;
        return "registration did not complete within " + std::to_string(timeoutSeconds) + " s" +
               (last.empty() ? "" : " (last: " + last + ")");
    }
    // What the reader found missing says it best; else the first error of the start.
    std::vector<std::string> identity;
    for (const std::string& line : m_startErrors)
        if (line.find(kIdentitySource) != std::string::npos && identity.size() < kMaxShownStartErrors)
            identity.push_back(MessageOfLine(line));
    if (identity.empty() && !m_startErrors.empty())
        identity.push_back(MessageOfLine(m_startErrors.front()));
    std::string text = "registration could not start";
    for (size_t i = 0; i < identity.size(); ++i)
        text += (i == 0 ? ": " : "; ") + identity[i];
    return text;
}

int Session::RegisterAndWait(int timeoutSeconds, const std::function<void(const StateReport&)>& onState) {
    StartRegistration();
    return WaitForRegistration(timeoutSeconds, onState);
}

// Wakes a waiting session when the connection state changes: the library
// reports success to its observers only once the registration is complete,
// while the state line of the success comes just before that.
class Session::CompletionWaker : public ITesselCloudConnectionObserver {
public:
    explicit CompletionWaker(Session* session) : m_session(session) {
        m_registered = m_session->m_instance->RegisterObserver(this);
    }
    ~CompletionWaker() override {
        // Once removed, no call of ours runs (the library calls observers under its lock).
        if (m_registered)
            m_session->m_instance->RemoveObserver(this);
    }
    CompletionWaker(const CompletionWaker&) = delete;
    CompletionWaker& operator=(const CompletionWaker&) = delete;
    void ConnectionStateChanged(int32_t) override {
        std::lock_guard<std::mutex> lock(m_session->m_mutex);
        m_session->m_connectionChanged = true;
        m_session->m_stateReported.notify_all();
    }

private:
    Session* m_session;
    bool m_registered = false;
};

int Session::WaitForRegistration(int timeoutSeconds, const std::function<void(const StateReport&)>& onState) {
    // Woken by each reported state and connection change; the slices bound
    // how late a signal is seen.
    constexpr auto kSlice = std::chrono::milliseconds(20);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    CompletionWaker waker(this);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connectionChanged = false;
        }
        for (const StateReport& report : TakeStates())
            onState(report);
        if (m_instance->IsRegistrationComplete()) {
            for (const StateReport& report : TakeStates())
                onState(report);
            return kExitOk;
        }
        if (RegistrationRefused())
            return kExitFailed;
        Signals::Wait(0);
        if (Signals::Stopping())
            return kExitInterrupted;
        if (std::chrono::steady_clock::now() >= end)
            return kExitTimeout;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stateReported.wait_for(lock, kSlice,
                                 [this] { return !m_states.empty() || m_refused || m_connectionChanged; });
    }
}

}  // namespace agent
