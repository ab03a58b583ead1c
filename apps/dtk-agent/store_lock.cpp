#include "store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent_commands.h"

namespace agent {
namespace {

// The PID a lock file names (digits only, bounded), or 0.
long ParseLockHolder(const std::string& text) {
    // A PID is at most 7 digits on Linux (pid_max ≤ 2^22); anything else is not one.
    size_t end = text.find_first_not_of("0123456789");
    const std::string digits = text.substr(0, end);
    if (digits.empty() || digits.size() > 7 || (end != std::string::npos && text.substr(end) != "\n"))
        return 0;
    return std::stol(digits);
}

std::string ReadHolder(int fd) {
    char text[16] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    const long pid = n > 0 ? ParseLockHolder(std::string(text, static_cast<size_t>(n))) : 0;
    return pid > 0 ? std::to_string(pid) : "unknown";
}

}  // namespace

std::unique_ptr<StoreLock> StoreLock::Acquire(const std::string& storePath, int* exitCode) {
    const std::string path = storePath + ".lock";
    // O_NOFOLLOW: a link planted in the store's folder does not make us truncate its target.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        fprintf(stderr, "dtk-agent: cannot lock the store %s: %s: %s\n", storePath.c_str(), path.c_str(),
                strerror(errno));
        *exitCode = kExitStore;
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            fprintf(stderr, "dtk-agent: store %s is in use by dtk-agent (pid %s)\n", storePath.c_str(),
                    ReadHolder(fd).c_str());
            *exitCode = kExitStoreInUse;
        } else {
            fprintf(stderr, "dtk-agent: cannot lock the store %s: %s\n", storePath.c_str(), strerror(error));
            *exitCode = kExitStore;
        }
        close(fd);
        return nullptr;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds without the PID; a second agent is still refused.
        fprintf(stderr, "dtk-agent: cannot write %s: %s\n", path.c_str(), strerror(errno));
    }
    return std::unique_ptr<StoreLock>(new StoreLock(fd));
}

StoreLock::~StoreLock() { close(m_fd); }

}  // namespace agent
