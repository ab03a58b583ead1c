#include "file_hashing.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace agent {
namespace {

// Reused per thread: large enough that a big file costs few system calls.
constexpr size_t kReadBuffer = 512 * 1024;
// A big file asks the kernel for this much ahead of what is being read.
constexpr uint64_t kReadAhead = 8 * 1024 * 1024;
constexpr unsigned kMaxThreads = 64;

// SHA-256 of files, one context and one buffer for all of a thread's files.
class Sha256Reader {
public:
    explicit Sha256Reader(const std::atomic<bool>* stop)
        : m_stop(stop),
          m_md(EVP_MD_fetch(nullptr, "SHA256", nullptr), EVP_MD_free),
          m_ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free),
          m_buffer(new unsigned char[kReadBuffer]) {}

    // Fills the digest and size, or the error; neither when stopped meanwhile.
    void Hash(HashedFile* file) {
        std::string error;
        file->hashed = Read(file->path, file->digest, &file->size, &error);
        if (!file->hashed && !m_stop->load(std::memory_order_relaxed))
            file->error = "cannot read: " + (error.empty() ? std::string("cannot compute SHA-256") : error);
    }

private:
    static int Open(const std::string& path) {
        // Not blocking on a FIFO named on the command line; no access-time
        // write per file where we may skip it (our own files, or as root).
        constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
        int fd = open(path.c_str(), kFlags | O_NOATIME);
        if (fd < 0 && errno == EPERM)
            fd = open(path.c_str(), kFlags);
        return fd;
    }

    bool Read(const std::string& path, unsigned char digest[32], uint64_t* size, std::string* error) {
        int fd = Open(path);
        if (fd < 0) {
            *error = strerror(errno);
            return false;
        }
        // Only regular files are hashed: a device could be read for ever.
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            *error = "not a regular file";
            close(fd);
            return false;
        }
        const bool big = static_cast<uint64_t>(info.st_size) > kReadBuffer;
        if (big)
            posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        bool ok = m_md && m_ctx && EVP_DigestInit_ex(m_ctx.get(), m_md.get(), nullptr) == 1;
        *size = 0;
        uint64_t advised = 0;  // read-ahead asked for up to here
        while (ok) {
            if (m_stop->load(std::memory_order_relaxed)) {
                ok = false;
                break;
            }
            if (big && *size + kReadBuffer > advised) {
                posix_fadvise(fd, static_cast<off_t>(advised), static_cast<off_t>(kReadAhead), POSIX_FADV_WILLNEED);
                advised += kReadAhead;
            }
            const ssize_t n = read(fd, m_buffer.get(), kReadBuffer);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                *error = strerror(errno);
                ok = false;
                break;
            }
            ok = EVP_DigestUpdate(m_ctx.get(), m_buffer.get(), static_cast<size_t>(n)) == 1;
            *size += static_cast<uint64_t>(n);
        }
        close(fd);
        unsigned int length = 0;
        return ok && EVP_DigestFinal_ex(m_ctx.get(), digest, &length) == 1 && length == 32;
    }

    const std::atomic<bool>* m_stop;
    // Fetched once: an implicit fetch on every init costs a provider look-up per file.
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> m_md;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_ctx;
    std::unique_ptr<unsigned char[]> m_buffer;
};

// A directory's entry. A directory's key ends in '/', so that sorting the
// keys of each directory walks the tree in the order of its whole paths
// sorted ("a-b" before "a/x"), as one sort of every path would.
struct Entry {
    std::string key;
    bool directory;
};

// The regular files (symbolic links to them too) and the directories (not
// links to them) of `prefix` (ending in '/'), sorted; 0 or the errno.
int ReadDirectory(const std::string& prefix, std::vector<Entry>* entries) {
    DIR* dir = opendir(prefix.c_str());
    if (!dir)
        return errno;
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        unsigned char type = entry->d_type;
        struct stat info {};
        if (type == DT_UNKNOWN && lstat((prefix + name).c_str(), &info) == 0)
            type = IFTODT(info.st_mode);
        if (type == DT_LNK)
            type = stat((prefix + name).c_str(), &info) == 0 && S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        if (type == DT_REG)
            entries->push_back({name, false});
        else if (type == DT_DIR)
            entries->push_back({std::string(name) + "/", true});
    }
    closedir(dir);
    std::sort(entries->begin(), entries->end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    return error;
}

}  // namespace

unsigned FileHashing::Threads() {
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        cores = std::min(cores, static_cast<unsigned>(CPU_COUNT(&set)));
    return std::min(cores, kMaxThreads);
}

FileHashing::FileHashing(std::vector<std::string> args, size_t capacity, std::function<void()> onReady)
    : m_slots(std::max<size_t>(capacity, 1)), m_onReady(std::move(onReady)) {
    const unsigned hashers = Threads();
    for (unsigned i = 0; i < hashers; ++i)
        m_threads.emplace_back(&FileHashing::HashFiles, this);
    m_threads.emplace_back(&FileHashing::Walk, this, std::move(args));
}

FileHashing::~FileHashing() {
    StopWalk();
    for (std::thread& thread : m_threads)
        thread.join();
}

void FileHashing::StopHashing() { m_stopHashing = true; }

void FileHashing::StopWalk() {
    StopHashing();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopWalk = true;
    m_room.notify_all();
}

bool FileHashing::Walked(uint64_t* files) {
    std::lock_guard<std::mutex> lock(m_mutex);
    *files = m_walked;
    return m_walkDone;
}

bool FileHashing::Take(HashedFile* file, bool* end) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot& slot = m_slots[m_head % m_slots.size()];
    if (m_head == m_walked || slot.state != State::Ready) {
        *end = m_walkDone && m_head == m_walked;
        return false;
    }
    *end = false;
    *file = std::move(slot.file);
    if (m_walked - m_head++ == m_slots.size())
        m_room.notify_one();
    return true;
}

bool FileHashing::Emit(std::string path, std::string error) {
    bool readyAtHead = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [&] { return m_stopWalk || m_walked - m_head < m_slots.size(); });
        if (m_stopWalk)
            return false;
        Slot& slot = m_slots[m_walked % m_slots.size()];
        slot.file = HashedFile{};
        slot.file.path = std::move(path);
        slot.file.error = std::move(error);
        slot.state = slot.file.error.empty() ? State::Walked : State::Ready;
        readyAtHead = slot.state == State::Ready && m_walked == m_head;
        ++m_walked;
        if (!readyAtHead)
            m_work.notify_one();
    }
    if (readyAtHead)
        m_onReady();
    return true;
}

void FileHashing::Walk(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        struct stat info {};
        const bool directory = stat(arg.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        if (!(directory ? WalkDirectory(arg) : Emit(arg, "")))
            break;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_walkDone = true;
        m_work.notify_all();
    }
    m_onReady();
}

bool FileHashing::WalkDirectory(const std::string& root) {
    // One frame per directory on the way down: its sorted entries and the
    // next one to visit; nothing else of the tree is held.
    struct Frame {
        std::string prefix;
        std::vector<Entry> entries;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    auto enter = [&](std::string prefix, const std::string& shown) {
        Frame frame{std::move(prefix), {}, 0};
        const int error = ReadDirectory(frame.prefix, &frame.entries);
        if (error != 0 && !Emit(shown, strerror(error)))
            return false;
        stack.push_back(std::move(frame));
        return true;
    };
    if (!enter(root.back() == '/' ? root : root + "/", root))
        return false;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            stack.pop_back();
            continue;
        }
        const Entry& entry = frame.entries[frame.next++];
        std::string path = frame.prefix + entry.key;
        const bool ok = entry.directory ? enter(path, path.substr(0, path.size() - 1)) : Emit(std::move(path), "");
        if (!ok)
            return false;
    }
    return true;
}

void FileHashing::HashFiles() {
    Sha256Reader reader(&m_stopHashing);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // Walk errors are ready as they come, and taken files are gone.
        m_claimed = std::max(m_claimed, m_head);
        while (m_claimed < m_walked && m_slots[m_claimed % m_slots.size()].state == State::Ready)
            ++m_claimed;
        if (m_claimed == m_walked) {
            if (m_walkDone)
                return;
            m_work.wait(lock);
            continue;
        }
        const uint64_t seq = m_claimed++;
        Slot& slot = m_slots[seq % m_slots.size()];
        slot.state = State::Hashing;
        lock.unlock();
        if (!m_stopHashing)
            reader.Hash(&slot.file);
        lock.lock();
        slot.state = State::Ready;
        if (seq == m_head) {
            lock.unlock();
            m_onReady();
            lock.lock();
        }
    }
}

}  // namespace agent
