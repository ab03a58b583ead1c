// lookup FILE|DIR...: SHA-256 of every file, asked of the cloud through the
// instance's cloud wrapper with many queries in flight, one line per file.
//
// The work overlaps: the files are walked and hashed (file_hashing.h) from
// the start, while the library loads and registers; the main thread sends
// each query as soon as its digest is ready and the connection is there, and
// prints each file's line in walk order once it and every file before it
// are answered; the answers arrive on the cloud client's workers meanwhile.
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"
#include "agent_commands.h"
#include "corvane_runtime.h"
#include "file_hashing.h"
#include "json_text.h"
#include "library.h"
#include "progress.h"

namespace agent {
namespace {

// Queries in flight at most: enough to keep the connection busy, few enough
// that the last of them is answered well within the cloud client's query
// time-out (5 s from submission) on a slow link, and memory stays flat for
// huge trees. A full window is refilled once half of it was answered, so the
// sender wakes once per many answers, not per answer.
constexpr int kMaxInFlight = 512;
constexpr int kRefillAt = kMaxInFlight / 2;
// Files sent but without their line yet (in flight, or answered behind an
// earlier file still in flight): the reorder window that keeps walk order.
constexpr size_t kResultWindow = 4 * kMaxInFlight;
// Hashed files waiting to be sent: the hashers stop while it is full, e.g.
// until the connection is there.
constexpr size_t kHashedQueue = 8192;
// How often a waiting sender redraws the progress and looks for signals.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
constexpr long kHashTypeSha256 = 3;
constexpr long kFileQueryType = 1;
constexpr uint32_t kStatusFailed = 0x01;

// `error` says why there is no answer.
struct FileResult : HashedFile {
    bool final = false;  // answered, failed or not to be sent: ready for its line
    bool answered = false;
    long disposition = 0;
    long firstSeen = 0;
    std::string name;
};

struct Lookups;

struct Completion {
    Lookups* lookups;
    size_t index;
};

// What the sending thread waits for; the others wake it only for that.
enum class Awaiting { Nothing, Digests, Room, OldestAnswer, LastAnswer };

// Shared with the hashing threads and the cloud client's workers.
struct Lookups {
    Lookups() : results(kResultWindow) {
        completions.reserve(kResultWindow);
        for (size_t i = 0; i < kResultWindow; ++i)
            completions.push_back({this, i});
    }
    FileResult& At(uint64_t file) { return results[file % kResultWindow]; }

    std::mutex mutex;
    std::condition_variable changed;
    Awaiting awaiting = Awaiting::Nothing;
    std::vector<FileResult> results;      // files printed..taken, at their number in walk order
    std::vector<Completion> completions;  // one per result, handed to its query
    uint64_t taken = 0;                   // files taken from the hashing
    uint64_t printed = 0;                 // files before this one have their line
    int inFlight = 0;
};

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * size, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 15];
    }
    return text;
}

CorvaneQuery_t* NewFileQuery(const unsigned char digest[32], uint64_t size) {
    auto* query = static_cast<CorvaneQuery_t*>(calloc(1, sizeof(CorvaneQuery_t)));
    if (!query)
        return nullptr;
    query->data.present = CorvaneQueryData_PR_file;
    CorvaneFile_t& file = query->data.choice.file;
    const std::string filesize = std::to_string(size);
    file.qtype = kFileQueryType;
    file.htype = kHashTypeSha256;
    if (OCTET_STRING_fromBuf(&file.filesize, filesize.data(), static_cast<int>(filesize.size())) != 0 ||
        OCTET_STRING_fromBuf(&file.hash, reinterpret_cast<const char*>(digest), 32) != 0) {
        ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
        return nullptr;
    }
    return query;
}

int OnAnswer(CorvaneQuery* query, CorvaneQueryResponse* response, uint32_t status, void* userData) {
    const Completion* completion = static_cast<const Completion*>(userData);
    Lookups* lookups = completion->lookups;
    {
        std::lock_guard<std::mutex> lock(lookups->mutex);
        FileResult& result = lookups->results[completion->index];
        if (!response || (status & kStatusFailed)) {
            if (result.error.empty())
                result.error = "no answer from the cloud";
        } else {
            result.answered = true;
            result.disposition = response->header.disposition;
            if (response->data.present == CorvaneQueryResponseData_PR_fileResponse) {
                const CorvaneFileResponse_t& file = response->data.choice.fileResponse;
                result.firstSeen = file.firstSeen;
                if (file.name.buf && file.name.size > 0)
                    result.name.assign(reinterpret_cast<const char*>(file.name.buf), static_cast<size_t>(file.name.size));
            }
        }
        result.final = true;
        lookups->inFlight--;
        if ((lookups->awaiting == Awaiting::Room && lookups->inFlight <= kRefillAt) ||
            (lookups->awaiting == Awaiting::OldestAnswer && &result == &lookups->At(lookups->printed)) ||
            (lookups->awaiting == Awaiting::LastAnswer && lookups->inFlight == 0))
            lookups->changed.notify_one();
    }
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
    return 0;
}

// `text`, and what the library last said was wrong with the connection.
std::string WithCause(const std::string& text) {
    const std::string cause = TakeFailureCause(true);
    return cause.empty() ? text : text + ": " + cause;
}

std::string IsoDate(long seconds) {
    if (seconds <= 0)
        return "-";
    time_t when = seconds;
    struct tm tm {};
    gmtime_r(&when, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void PrintResult(const FileResult& result, bool json) {
    if (json) {
        JsonObject object;
        object.String("path", result.path);
        object.String("sha256", result.hashed ? Hex(result.digest, 32) : "");
        if (result.answered) {
            object.Number("disposition", result.disposition);
            object.String("name", result.name);
            object.String("first_seen", result.firstSeen > 0 ? IsoDate(result.firstSeen) : "");
        } else {
            object.String("error", result.error);
        }
        fprintf(Out(), "%s\n", object.Text().c_str());
    } else if (result.answered) {
        fprintf(Out(), "disposition %-3ld %-22s first seen %-20s %s\n", result.disposition,
                result.name.empty() ? "-" : result.name.c_str(), IsoDate(result.firstSeen).c_str(),
                result.path.c_str());
    } else {
        fprintf(stderr, "dtk-agent: %s: %s\n", result.path.c_str(), result.error.c_str());
    }
}

// The lines, printed in walk order as files are done, and the progress
// above them (its bar once the walk is over and the total known).
class Lines {
public:
    Lines(bool json, bool progress) : m_json(json), m_progress(progress) {}

    // Prints the results at the head of the window that are done (the lock
    // is let go meanwhile: only the sending thread touches them now).
    void PrintDone(Lookups* lookups, std::unique_lock<std::mutex>& lock, FileHashing* files) {
        uint64_t end = lookups->printed;
        while (end < lookups->taken && lookups->At(end).final)
            ++end;
        if (end > lookups->printed) {
            const uint64_t first = lookups->printed;
            lock.unlock();
            if (m_bar)
                m_bar->Finish();
            for (uint64_t file = first; file < end; ++file) {
                PrintResult(lookups->At(file), m_json);
                m_answered += lookups->At(file).answered ? 1 : 0;
            }
            lock.lock();
            lookups->printed = end;
        }
        ShowProgress(lookups->printed, files);
    }

    void Finish(uint64_t files) {
        if (m_bar)
            m_bar->Finish();
        if (!m_json)
            fprintf(Out(), "%zu of %zu files answered\n", m_answered, static_cast<size_t>(files));
    }
    size_t Answered() const { return m_answered; }

private:
    // The count alone while the walk goes on, then the bar.
    void ShowProgress(uint64_t done, FileHashing* files) {
        if (m_progress && m_total == 0) {
            uint64_t walked = 0;
            if (files->Walked(&walked)) {
                m_total = walked;
                m_bar.reset();
                if (m_total > 1)
                    m_bar.emplace(Progress::Unit::Files, m_total, true);
            } else if (!m_bar) {
                m_bar.emplace(Progress::Unit::Files, 0, true);
            }
        }
        if (m_bar)
            m_bar->Update(done);
    }

    bool m_json;
    bool m_progress;
    std::optional<Progress> m_bar;
    uint64_t m_total = 0;  // once the walk is over
    size_t m_answered = 0;
};

// One wait of the sending thread (lock held) for `what`, at most a slice;
// false at the deadline or a signal.
bool Wait(Lookups* lookups, std::unique_lock<std::mutex>& lock, Awaiting what,
          std::chrono::steady_clock::time_point deadline) {
    if (Signals::Stopping() || std::chrono::steady_clock::now() >= deadline)
        return false;
    lookups->awaiting = what;
    lookups->changed.wait_for(lock, kWaitSlice);
    lookups->awaiting = Awaiting::Nothing;
    lock.unlock();
    Signals::Wait(0);
    lock.lock();
    return true;
}

// Takes the next hashed file into the window; false when none is ready.
bool TakeFile(Lookups* lookups, FileHashing* files, bool* end) {
    HashedFile file;
    if (!files->Take(&file, end))
        return false;
    FileResult& result = lookups->At(lookups->taken++);
    result = FileResult{};
    static_cast<HashedFile&>(result) = std::move(file);
    result.final = !result.hashed;
    return true;
}

// Sends one query per hashed file in walk order as digests become ready,
// keeping at most kMaxInFlight outstanding, and prints lines meanwhile.
// False when it gave up: at the deadline or a signal.
bool SendQueries(ITesselCloudWrapper* cloud, Lookups* lookups, FileHashing* files,
                 std::chrono::steady_clock::time_point deadline, Lines* lines) {
    std::unique_lock<std::mutex> lock(lookups->mutex);
    for (;;) {
        lines->PrintDone(lookups, lock, files);
        Awaiting need = Awaiting::Digests;
        bool end = false;
        if (lookups->taken - lookups->printed == kResultWindow)
            need = Awaiting::OldestAnswer;
        else if (lookups->inFlight >= kMaxInFlight)
            need = Awaiting::Room;
        else if (TakeFile(lookups, files, &end))
            need = Awaiting::Nothing;
        else if (end)
            return true;
        if (need != Awaiting::Nothing) {
            if (!Wait(lookups, lock, need, deadline))
                return false;
            continue;
        }
        FileResult& result = lookups->At(lookups->taken - 1);
        if (!result.hashed)
            continue;
        lookups->inFlight++;
        lock.unlock();

        CorvaneQuery_t* query = NewFileQuery(result.digest, result.size);
        void* completion = &lookups->completions[(lookups->taken - 1) % kResultWindow];
        int queued = query ? cloud->QueryAsync(query, OnAnswer, completion) : -3;
        // No connection for the moment (it is being re-established): retry until the deadline.
        while (queued == -1 && std::chrono::steady_clock::now() < deadline && !Signals::Stopping()) {
            Signals::Wait(100);
            queued = cloud->QueryAsync(query, OnAnswer, completion);
        }
        lock.lock();
        if (queued < 0) {
            if (query)
                ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
            lookups->inFlight--;
            result.error = queued == -1 ? WithCause("no connection to the cloud")
                                        : "the cloud client refused the query (" + std::to_string(queued) + ")";
            result.final = true;
        }
    }
}

void AwaitAnswers(Lookups* lookups, FileHashing* files, std::chrono::steady_clock::time_point deadline,
                  int seconds, Lines* lines) {
    std::unique_lock<std::mutex> lock(lookups->mutex);
    do
        lines->PrintDone(lookups, lock, files);
    while (lookups->inFlight > 0 && Wait(lookups, lock, Awaiting::LastAnswer, deadline));
    if (lookups->inFlight == 0)
        return;
    // The queries still out end, as failed, when the library shuts down;
    // their lines say what kept the answer away.
    lock.unlock();
    const std::string why =
        Signals::Stopping() ? "interrupted" : WithCause("no answer within " + std::to_string(seconds) + " s");
    lock.lock();
    for (uint64_t file = lookups->printed; file < lookups->taken; ++file) {
        FileResult& result = lookups->At(file);
        if (!result.final && result.error.empty())
            result.error = why;
    }
}

// Once the library is gone (every query answered or failed): the lines of
// the rest, the files never sent saying `unsent`.
void PrintRest(Lookups* lookups, FileHashing* files, Lines* lines, const std::string& unsent) {
    if (Signals::Stopping())
        files->StopWalk();
    else
        files->StopHashing();
    std::unique_lock<std::mutex> lock(lookups->mutex);
    for (uint64_t file = lookups->printed; file < lookups->taken; ++file) {
        FileResult& result = lookups->At(file);
        if (!result.final) {
            result.final = true;
            result.error = "no answer from the cloud";
        }
    }
    for (bool end = false; !end;) {
        lines->PrintDone(lookups, lock, files);
        if (TakeFile(lookups, files, &end)) {
            FileResult& result = lookups->At(lookups->taken - 1);
            result.final = true;
            if (result.error.empty())
                result.error = unsent;
        } else if (!end) {
            lookups->awaiting = Awaiting::Digests;
            lookups->changed.wait_for(lock, kWaitSlice);
            lookups->awaiting = Awaiting::Nothing;
        }
    }
    lines->PrintDone(lookups, lock, files);
}

}  // namespace

int Lookup(const Options& options, const LookupArgs& args) {
    const bool json = args.json, quiet = args.quiet;
    const int seconds = args.timeoutSeconds;
    const std::vector<std::string>& paths = args.paths;
    corvane_asn1_init();

    // Outlive the session: queries still outstanding when it ends are
    // completed (as failed) while the library shuts down.
    Lookups lookups;
    // Walking and hashing start before the library loads.
    FileHashing files(std::move(paths), kHashedQueue, [&lookups] {
        std::lock_guard<std::mutex> lock(lookups.mutex);
        if (lookups.awaiting == Awaiting::Digests)
            lookups.changed.notify_one();
    });
    // The time-out bounds the whole command: registration, queries and answers.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int code = kExitOk;
    std::unique_ptr<Session> session = Session::Open(options, &code);
    if (!session)
        return code;
    session->StartRegistration();

    code = session->WaitForRegistration(seconds, [](const StateReport&) {});
    if (code == kExitInterrupted) {
        fprintf(stderr, "dtk-agent: interrupted\n");
        return code;
    }
    // Without registration no file can be asked about: each one says why.
    const std::string unregistered =
        code == kExitOk ? "" : "not registered with the cloud: " + session->RegistrationFailure(code, seconds);
    ITesselCloudWrapper* cloud = unregistered.empty() ? session->Instance()->GetCloudWrapper() : nullptr;
    if (unregistered.empty() && !cloud) {
        fprintf(stderr, "dtk-agent: the library offers no cloud connection\n");
        return kExitFailed;
    }
    Lines lines(json, Progress::Wanted(quiet || json || options.verbose));
    if (cloud && SendQueries(cloud, &lookups, &files, deadline, &lines))
        AwaitAnswers(&lookups, &files, deadline, seconds, &lines);
    const std::string unsent = Signals::Stopping()     ? "interrupted"
                               : !unregistered.empty() ? unregistered
                                                       : "timed out before it could be sent";
    // Ends the library: whatever is still outstanding completes as failed.
    session.reset();
    PrintRest(&lookups, &files, &lines, unsent);
    lines.Finish(lookups.taken);
    if (Signals::Stopping())
        return kExitInterrupted;
    return lines.Answered() == lookups.taken ? kExitOk : kExitFailed;
}

}  // namespace agent
