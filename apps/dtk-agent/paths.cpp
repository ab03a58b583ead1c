// Where dtk-agent finds its store and the library.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "agent_commands.h"

namespace agent {

std::string DefaultStorePath() {
    if (const char* store = getenv("DTK_STORE"); store && *store)
        return store;
    std::string dataHome;
    if (const char* xdg = getenv("XDG_DATA_HOME"); xdg && *xdg)
        dataHome = xdg;
    else if (const char* home = getenv("HOME"); home && *home)
        dataHome = std::string(home) + "/.local/share";
    else
        dataHome = ".";
    return dataHome + "/dtk/config.db";
}

bool EnsureDefaultStoreDirectory(const std::string& storePath) {
    std::string::size_type slash = storePath.rfind('/');
    if (slash == std::string::npos)
        return true;
    std::string directory = storePath.substr(0, slash);
    // Parents first: $XDG_DATA_HOME may itself be missing on a fresh account.
    for (std::string::size_type at = directory.find('/', 1); ; at = directory.find('/', at + 1)) {
        std::string part = directory.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (at == std::string::npos)
            break;
    }
    return true;
}

// libdtk.so.1 lives in the installed library directory relative to this
// program's bin/ (lib/<multiarch> on Debian), or in lib/ of the build tree.
std::string DefaultLibraryPath(const char* argv0) {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string program = length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string(argv0);
    std::string::size_type slash = program.rfind('/');
    std::string bin = slash == std::string::npos ? "." : program.substr(0, slash);
    std::string installed = bin + "/" DTK_LIBDIR_FROM_BINDIR "/libdtk.so.1";
    return access(installed.c_str(), F_OK) == 0 ? installed : bin + "/../lib/libdtk.so.1";
}

}  // namespace agent
