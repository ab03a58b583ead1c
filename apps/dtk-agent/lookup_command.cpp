// lookup FILE|DIR...: SHA-256 of every file, asked of the cloud through the
// instance's cloud wrapper with many queries in flight, one line per file.
#include <openssl/evp.h>
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
#include <vector>

#include "CorvaneQuery.h"
#include "CorvaneQueryResponse.h"
#include "agent_commands.h"
#include "corvane_runtime.h"
#include "json_text.h"
#include "library.h"

namespace fs = std::filesystem;

namespace agent {
namespace {

// Queries in flight at most; the engine queues the rest anyway, this keeps
// our memory flat for huge trees.
constexpr int kMaxInFlight = 256;
constexpr long kHashTypeSha256 = 3;
constexpr long kFileQueryType = 1;
constexpr uint32_t kStatusFailed = 0x01;

struct FileResult {
    std::string path;
    std::string sha256;  // hex; empty when the file could not be read
    std::string error;   // why there is no answer
    bool answered = false;
    long disposition = 0;
    long firstSeen = 0;
    std::string name;
};

// Shared with the cloud client's worker threads, which complete queries.
struct Lookups {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<FileResult> results;
    int inFlight = 0;
    size_t done = 0;
};

struct Completion {
    Lookups* lookups;
    size_t index;
};

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

// SHA-256 of a file; false with the reason in *error.
bool HashFile(const std::string& path, unsigned char digest[32], uint64_t* size, std::string* error) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = strerror(errno);
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    std::vector<unsigned char> buffer(1 << 16);
    *size = 0;
    size_t n = 0;
    while (ok && (n = fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        ok = EVP_DigestUpdate(ctx.get(), buffer.data(), n) == 1;
        *size += n;
    }
    if (ok && ferror(file)) {
        *error = strerror(errno ? errno : EIO);
        ok = false;
    } else if (!ok) {
        *error = "cannot compute SHA-256";
    }
    fclose(file);
    unsigned int length = 0;
    return ok && EVP_DigestFinal_ex(ctx.get(), digest, &length) == 1 && length == 32;
}

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
    std::string filesize = std::to_string(size);
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
    std::unique_ptr<Completion> completion(static_cast<Completion*>(userData));
    Lookups* lookups = completion->lookups;
    {
        std::lock_guard<std::mutex> lock(lookups->mutex);
        FileResult& result = lookups->results[completion->index];
        if (!response || (status & kStatusFailed)) {
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
    }
    lookups->changed.notify_all();
    ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
    return 0;
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

class ProgressBar {
public:
    explicit ProgressBar(size_t total, bool enabled) : m_total(total), m_enabled(enabled && total > 1) {}
    void Show(size_t done) {
        if (!m_enabled)
            return;
        const int width = 30;
        int filled = static_cast<int>(width * done / m_total);
        fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "##############################", width - filled, "", done,
                m_total);
        fflush(stderr);
    }
    void Clear() {
        if (m_enabled)
            fprintf(stderr, "\r%*s\r", 60, "");
    }

private:
    size_t m_total;
    bool m_enabled;
};

void PrintResult(const FileResult& result, bool json) {
    if (json) {
        JsonObject object;
        object.String("path", result.path);
        object.String("sha256", result.sha256);
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

}  // namespace

int Lookup(const Options& options, const std::vector<std::string>& args) {
    bool json = false;
    int seconds = 60;
    std::vector<std::string> paths;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json")
            json = true;
        else if (args[i] == "--timeout" && i + 1 < args.size() && ParseSeconds(args[i + 1], &seconds))
            ++i;
        else if (args[i].size() > 1 && args[i][0] == '-')
            return Usage("unknown option '" + args[i] + "'");
        else
            paths.push_back(args[i]);
    }
    if (paths.empty())
        return Usage("lookup needs at least one file or directory");

    // Outlives the session: queries still outstanding when it ends are
    // completed (as failed) while the library shuts down.
    Lookups lookups;
    CollectFiles(paths, &lookups.results);
    corvane_asn1_init();

    int code = kExitOk;
    std::unique_ptr<Session> session = Session::Open(options, &code);
    if (!session)
        return code;
    code = session->RegisterAndWait(seconds, [](const RegistrationState&) {});
    if (code != kExitOk) {
        fprintf(stderr, "dtk-agent: %s\n", code == kExitTimeout ? "not registered with the cloud in time (try dtk-agent register)"
                                                                : "interrupted");
        return code;
    }
    ITesselCloudWrapper* cloud = session->Instance()->GetCloudWrapper();
    if (!cloud) {
        fprintf(stderr, "dtk-agent: the library offers no cloud connection\n");
        return kExitFailed;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    ProgressBar progress(lookups.results.size(), isatty(STDERR_FILENO) && !options.verbose);
    for (size_t i = 0; i < lookups.results.size() && !Signals::Stopping(); ++i) {
        FileResult& result = lookups.results[i];
        if (!result.error.empty())
            continue;
        unsigned char digest[32];
        uint64_t size = 0;
        std::string error;
        if (!HashFile(result.path, digest, &size, &error)) {
            std::lock_guard<std::mutex> lock(lookups.mutex);
            result.error = "cannot read: " + error;
            continue;
        }
        result.sha256 = Hex(digest, 32);
        {
            std::unique_lock<std::mutex> lock(lookups.mutex);
            lookups.changed.wait_until(lock, deadline, [&] { return lookups.inFlight < kMaxInFlight; });
            if (lookups.inFlight >= kMaxInFlight) {
                result.error = "timed out before it could be sent";
                continue;
            }
            lookups.inFlight++;
        }
        CorvaneQuery_t* query = NewFileQuery(digest, size);
        auto* completion = new Completion{&lookups, i};
        int queued = query ? cloud->QueryAsync(query, OnAnswer, completion) : -3;
        // No connection for the moment (it is being re-established): retry until the deadline.
        while (queued == -1 && std::chrono::steady_clock::now() < deadline && !Signals::Stopping()) {
            Signals::Wait(100);
            queued = cloud->QueryAsync(query, OnAnswer, completion);
        }
        if (queued < 0) {
            delete completion;
            if (query)
                ASN_STRUCT_FREE(asn_DEF_CorvaneQuery, query);
            std::lock_guard<std::mutex> lock(lookups.mutex);
            lookups.inFlight--;
            result.error = "the cloud refused the query (" + std::to_string(queued) + ")";
        }
        std::lock_guard<std::mutex> lock(lookups.mutex);
        progress.Show(lookups.done);
    }
    {
        std::unique_lock<std::mutex> lock(lookups.mutex);
        while (lookups.inFlight > 0 && !Signals::Stopping()) {
            lookups.changed.wait_for(lock, std::chrono::milliseconds(100));
            progress.Show(lookups.done);
            if (std::chrono::steady_clock::now() >= deadline)
                break;
        }
    }
    progress.Clear();
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
