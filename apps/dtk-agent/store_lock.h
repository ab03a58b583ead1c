// One agent per store: an advisory lock on "<store>.lock" beside the store,
// holding the holder's PID as text, for as long as the process lives.
#pragma once

#include <memory>
#include <string>

namespace agent {

class StoreLock {
public:
    // The lock, or null with the reason printed and the exit code in
    // *exitCode: kExitStoreInUse when another process holds it, kExitStore
    // when the lock file cannot be made.
    static std::unique_ptr<StoreLock> Acquire(const std::string& storePath, int* exitCode);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

private:
    explicit StoreLock(int fd) : m_fd(fd) {}
    int m_fd;
};

}  // namespace agent
