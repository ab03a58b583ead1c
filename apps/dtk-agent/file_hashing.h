// The files of `dtk-agent lookup`: the arguments walked in a stable order and
// digested (SHA-256) on several threads, handed out in walk order through a
// bounded queue. The walk streams (one directory's names at a time), and the
// walker stops while the queue is full, so memory stays flat however many
// files there are and hashing never runs far ahead of the consumer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agent {

struct HashedFile {
    std::string path;
    std::string error;  // why there is no digest; empty when hashing was stopped before it
    unsigned char digest[32] = {};
    uint64_t size = 0;
    bool hashed = false;
};

class FileHashing {
public:
    // Starts the walk of `args` (files as named, directories recursively,
    // names sorted) and the hashing threads at once. At most `capacity`
    // files are walked but not yet taken. `onReady` runs on a pipeline
    // thread, with no lock of ours held, whenever the next file to take may
    // have become ready (or the end been reached).
    FileHashing(std::vector<std::string> args, size_t capacity, std::function<void()> onReady);
    ~FileHashing();
    FileHashing(const FileHashing&) = delete;
    FileHashing& operator=(const FileHashing&) = delete;

    // The next file in walk order once it is hashed (or failed): true with
    // it moved into *file. False while it is not ready; *end then says
    // whether every file was taken.
    bool Take(HashedFile* file, bool* end);
    // From now on files come out without a digest (and without an error):
    // the walk goes on, the reading stops.
    void StopHashing();
    // Ends the walk as well; what was walked can still be taken.
    void StopWalk();
    // True, with the number of files, once the walk is over.
    bool Walked(uint64_t* files);

    // Hashing threads: one per core this process may run on.
    static unsigned Threads();

private:
    enum class State { Walked, Hashing, Ready };
    struct Slot {
        HashedFile file;
        State state = State::Walked;
    };

    void Walk(const std::vector<std::string>& args);
    // Both false when the walk is to stop.
    bool WalkDirectory(const std::string& root);
    // Queues one walk result (waiting for room).
    bool Emit(std::string path, std::string error);
    void HashFiles();

    std::mutex m_mutex;
    std::condition_variable m_work;  // hashers: a file was walked, or the walk ended
    std::condition_variable m_room;  // walker: a file was taken
    std::vector<Slot> m_slots;
    uint64_t m_head = 0;     // next to take
    uint64_t m_claimed = 0;  // files before this one are hashed or being hashed
    uint64_t m_walked = 0;   // files before this one are in the queue (or taken)
    bool m_walkDone = false;
    bool m_stopWalk = false;
    std::atomic<bool> m_stopHashing{false};
    std::function<void()> m_onReady;
    std::vector<std::thread> m_threads;
};

}  // namespace agent
