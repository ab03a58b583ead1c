// lookup FILE|DIR...: SHA-256 of every file, asked of the cloud through the
// instance's cloud wrapper with many queries in flight, one line per file.
//
// The work overlaps: registration runs on the library's thread while the
// files are walked, a hashing thread of ours digests them, and the main
// thread sends each query as soon as its digest is ready and the connection
// is there; the answers arrive on the cloud client's workers meanwhile.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"
#include "agent_commands.h"
#include "corvane_runtime.h"
#include "json_text.h"
#include "library.h"
#include "progress.h"

namespace fs = std::filesystem;

namespace agent {
namespace {

// Queries in flight at most: enough to keep the connection busy, few enough
// that the last of them is answered well within the cloud client's query
// time-out (5 s from submission) on a slow link, and memory stays flat for
// huge trees. A full window is refilled once half of it was answered, so the
// sender wakes once per many answers, not per answer.
constexpr int kMaxInFlight = 512;
constexpr int kRefillAt = kMaxInFlight / 2;
// Digests published to the sending thread at a time.
constexpr size_t kHashBatch = 64;
// How often a waiting sender redraws the progress and looks for signals.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
constexpr size_t kReadBuffer = 1 << 16;
constexpr long kHashTypeSha256 = 3;
constexpr long kFileQueryType = 1;
constexpr uint32_t kStatusFailed = 0x01;

struct FileResult {
    std::string path;
    std::string error;  // why there is no answer
    unsigned char digest[32];
    uint64_t size = 0;
    bool hashed = false;
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
enum class Awaiting { Nothing, Digests, Room, LastAnswer };

// Shared with our hashing thread and the cloud client's workers.
struct Lookups {
    std::mutex mutex;
    std::condition_variable changed;
    Awaiting awaiting = Awaiting::Nothing;
    std::vector<FileResult> results;
    std::vector<Completion> completions;  // one per file, handed to its query
    size_t hashed = 0;                    // results before this one are hashed (or failed to read)
    int inFlight = 0;
    size_t done = 0;  // answered or failed
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

// SHA-256 of files with one digest context and one read buffer for all.
class Hasher {
public:
    Hasher() : m_ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free), m_buffer(kReadBuffer) {}

    // False with the reason in *error.
    bool Hash(const std::string& path, unsigned char digest[32], uint64_t* size, std::string* error) {
        // Not blocking on a FIFO named on the command line; only regular files
        // are hashed (a device could be read for ever).
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            *error = strerror(errno);
            return false;
        }
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            *error = "not a regular file";
            close(fd);
            return false;
        }
        bool ok = m_ctx && EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr) == 1;
        *size = 0;
        ssize_t n = 0;
        while (ok && (n = read(fd, m_buffer.data(), m_buffer.size())) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                *error = strerror(errno);
                ok = false;
                break;
            }
            ok = EVP_DigestUpdate(m_ctx.get(), m_buffer.data(), static_cast<size_t>(n)) == 1;
            *size += static_cast<uint64_t>(n);
        }
        close(fd);
        unsigned int length = 0;
        if (ok && EVP_DigestFinal_ex(m_ctx.get(), digest, &length) == 1 && length == 32)
            return true;
        if (error->empty())
            *error = "cannot compute SHA-256";
        return false;
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_ctx;
    std::vector<unsigned char> m_buffer;
};

// Our hashing thread: digests every file in order and publishes them in
// batches; results are not touched by others before they are published.
class HashingThread {
public:
    explicit HashingThread(Lookups* lookups) : m_lookups(lookups), m_thread(&HashingThread::HashAll, this) {}
    ~HashingThread() { Stop(); }
    // Ends the thread at its next batch; every result is ours again after it.
    void Stop() {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(m_lookups->mutex);
            m_stop = true;
        }
        m_thread.join();
    }

private:
    void HashAll() {
        Hasher hasher;
        const size_t total = m_lookups->results.size();
        for (size_t i = 0; i < total;) {
            const size_t end = std::min(total, i + kHashBatch);
            for (; i < end; ++i) {
                FileResult& result = m_lookups->results[i];
                if (!result.error.empty())
                    continue;
                std::string error;
                result.hashed = hasher.Hash(result.path, result.digest, &result.size, &error);
                if (!result.hashed)
                    result.error = "cannot read: " + error;
            }
            std::lock_guard<std::mutex> lock(m_lookups->mutex);
            m_lookups->hashed = i;
            if (m_lookups->awaiting == Awaiting::Digests)
                m_lookups->changed.notify_one();
            if (m_stop)
                return;
        }
    }

    Lookups* m_lookups;
    bool m_stop = false;  // under the lookups' mutex
    std::thread m_thread;
};

FileResult Pending(std::string path, std::string error = "") {
    FileResult result;
    result.path = std::move(path);
    result.error = std::move(error);
    return result;
}

// Files of the arguments in order, directories walked (sorted, so output is
// stable); unreadable directories become results with an error.
void CollectFiles(const std::vector<std::string>& args, std::vector<FileResult>* results) {
    for (const std::string& arg : args) {
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            results->push_back(Pending(arg));
            continue;
        }
        std::vector<std::string> found;
        fs::recursive_directory_iterator it(arg, ec), end;
        for (; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec))
                found.push_back(it->path().string());
        if (ec)
            results->push_back(Pending(arg, ec.message()));
        std::sort(found.begin(), found.end());
        for (std::string& path : found)
            results->push_back(Pending(std::move(path)));
    }
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
        lookups->inFlight--;
        lookups->done++;
        if ((lookups->awaiting == Awaiting::Room && lookups->inFlight <= kRefillAt) ||
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

// The sending thread's wait (lock held) until `ready`, the deadline or a
// signal; false unless `ready`. Between slices it redraws the progress and
// takes signals.
template <class Ready>
bool Await(Lookups* lookups, std::unique_lock<std::mutex>& lock, Awaiting what, Ready ready,
           std::chrono::steady_clock::time_point deadline, Progress* progress) {
    while (!ready()) {
        if (Signals::Stopping() || std::chrono::steady_clock::now() >= deadline)
            return false;
        lookups->awaiting = what;
        lookups->changed.wait_for(lock, kWaitSlice);
        lookups->awaiting = Awaiting::Nothing;
        progress->Update(lookups->done);
        lock.unlock();
        Signals::Wait(0);
        lock.lock();
    }
    return true;
}

// Sends one query per hashed file as digests become ready, keeping at most
// kMaxInFlight outstanding. Returns how many files it went through: it gives
// up at the deadline or a signal.
size_t SendQueries(ITesselCloudWrapper* cloud, Lookups* lookups, std::chrono::steady_clock::time_point deadline,
                   Progress* progress) {
    const size_t total = lookups->results.size();
    std::unique_lock<std::mutex> lock(lookups->mutex);
    for (size_t i = 0; i < total; ++i) {
        if (!Await(lookups, lock, Awaiting::Digests, [&] { return lookups->hashed > i; }, deadline, progress))
            return i;
        if (lookups->inFlight >= kMaxInFlight &&
            !Await(lookups, lock, Awaiting::Room, [&] { return lookups->inFlight <= kRefillAt; }, deadline, progress))
            return i;
        FileResult& result = lookups->results[i];
        if (!result.hashed)
            continue;
        lookups->inFlight++;
        progress->Update(lookups->done);
        lock.unlock();

        CorvaneQuery_t* query = NewFileQuery(result.digest, result.size);
        void* completion = &lookups->completions[i];
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
        }
    }
    return total;
}

// Waits for the answers until the deadline; the files still waiting then are
// given `why` (their queries end, as failed, when the library shuts down).
void AwaitAnswers(Lookups* lookups, std::chrono::steady_clock::time_point deadline, Progress* progress,
                  const std::string& why) {
    std::unique_lock<std::mutex> lock(lookups->mutex);
    if (Await(lookups, lock, Awaiting::LastAnswer, [&] { return lookups->inFlight == 0; }, deadline, progress))
        return;
    for (FileResult& result : lookups->results)
        if (result.hashed && !result.answered && result.error.empty())
            result.error = why;
}

}  // namespace

int Lookup(const Options& options, const std::vector<std::string>& args) {
    bool json = false, quiet = false;
    int seconds = 60;
    std::vector<std::string> paths;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json")
            json = true;
        else if (args[i] == "--quiet" || args[i] == "-q")
            quiet = true;
        else if (args[i] == "--timeout" && i + 1 < args.size() && ParseSeconds(args[i + 1], &seconds))
            ++i;
        else if (args[i].size() > 1 && args[i][0] == '-')
            return Usage("unknown option '" + args[i] + "'");
        else
            paths.push_back(args[i]);
    }
    if (paths.empty())
        return Usage("lookup needs at least one file or directory");
    corvane_asn1_init();

    // Outlives the session: queries still outstanding when it ends are
    // completed (as failed) while the library shuts down.
    Lookups lookups;
    // The time-out bounds the whole command: registration, queries and answers.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int code = kExitOk;
    std::unique_ptr<Session> session = Session::Open(options, &code);
    if (!session)
        return code;
    session->StartRegistration();
    CollectFiles(paths, &lookups.results);
    lookups.completions.reserve(lookups.results.size());
    for (size_t i = 0; i < lookups.results.size(); ++i)
        lookups.completions.push_back({&lookups, i});
    HashingThread hashing(&lookups);

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
    Progress progress(Progress::Unit::Files, lookups.results.size(),
                      Progress::Wanted(quiet || json || options.verbose) && lookups.results.size() > 1);
    const size_t sent = cloud ? SendQueries(cloud, &lookups, deadline, &progress) : 0;
    if (cloud)
        AwaitAnswers(&lookups, deadline, &progress,
                     Signals::Stopping() ? "interrupted" : WithCause("no answer within " + std::to_string(seconds) + " s"));
    hashing.Stop();
    const std::string unsent = Signals::Stopping()     ? "interrupted"
                               : !unregistered.empty() ? unregistered
                                                       : "timed out before it could be sent";
    for (size_t i = sent; i < lookups.results.size(); ++i)
        if (lookups.results[i].error.empty())
            lookups.results[i].error = unsent;
    progress.Finish();
    // Ends the library: whatever is still outstanding completes as failed.
    session.reset();
    size_t answered = 0;
    for (const FileResult& result : lookups.results) {
        PrintResult(result, json);
        answered += result.answered ? 1 : 0;
    }
    if (!json)
        fprintf(Out(), "%zu of %zu files answered\n", answered, lookups.results.size());
    if (Signals::Stopping())
        return kExitInterrupted;
    return answered == lookups.results.size() ? kExitOk : kExitFailed;
}

}  // namespace agent
