#include "platform/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr mode_t kOthers = S_IRWXG | S_IRWXO;

// Takes group and other permissions away from the open file `fd` when its
// owner is the effective user; `mustOwn` refuses any other owner.
bool Tighten(int fd, const std::string& path, bool mustOwn, std::string* why) {
    struct stat info{};
    if (fstat(fd, &info) != 0) {
        *why = "cannot inspect " + path + ": " + strerror(errno);
        return false;
    }
    const bool own = info.st_uid == geteuid();
    if (!own && (mustOwn || (info.st_mode & kOthers))) {
        *why = path + " belongs to user " + std::to_string(info.st_uid) +
               (mustOwn ? ", not to this agent's user" : " and others may read it; run: chmod go= " + path);
        return false;
    }
    if ((info.st_mode & kOthers) && fchmod(fd, info.st_mode & 07700) != 0) {
        *why = "cannot make " + path + " private: " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool MakePrivateDirectory(const std::string& path, std::string* why) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    // O_NOFOLLOW: a symbolic link put there by someone else is never entered.
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *why = path + (errno == ELOOP || errno == ENOTDIR ? " is not a folder (a symbolic link or a file)"
                                                          : ": " + std::string(strerror(errno)));
        return false;
    }
    const bool ok = Tighten(fd, path, true, why);
    close(fd);
    return ok;
}

bool MakeExistingFilePrivate(const std::string& path, std::string* why) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *why = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    const bool ok = Tighten(fd, path, false, why);
    close(fd);
    return ok;
}

}  // namespace platform
