#include "platform/winhttp/pac_script.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <thread>
#include <vector>

#include "kit/http_client/http_client.h"
#include "kit/tessel_logger.h"
#include "platform/winhttp.h"

namespace platform::winhttp {

namespace {

constexpr size_t MAX_ANSWER = 64 * 1024;
constexpr const char* HELPER_NAME = "dtk-pac-eval";

long MsUntil(Deadline deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max<long>(0, static_cast<long>(left.count()));
}

struct Download {
    std::string* body;
    size_t max;
    Deadline deadline;
};

size_t Collect(char* data, size_t size, size_t count, void* context) {
    auto* download = static_cast<Download*>(context);
    size_t len = size * count;
    if (download->body->size() + len > download->max) return 0;  // too big: abort
    download->body->append(data, len);
    return len;
}

int CheckDeadline(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return std::chrono::steady_clock::now() >= static_cast<Download*>(context)->deadline ? 1 : 0;
}

struct HandleDeleter {
    void operator()(http_client_handle* h) const { http_client_handle_free(h); }
};
struct RequestDeleter {
    void operator()(http_client_request_t* r) const { http_client_request_free(r); }
};
struct ResponseDeleter {
    void operator()(http_client_response* r) const { http_client_response_free(r); }
};

// Socket end owned by this scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

bool WaitFor(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd pfd{fd, events, 0};
        int rc = poll(&pfd, 1, static_cast<int>(std::min<long>(MsUntil(deadline), 1000)));
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
        if (rc == 0 && MsUntil(deadline) == 0) return false;
    }
}

// Sends the script; false when the helper went away or the deadline passed.
bool SendAll(int fd, const std::string& data, Deadline deadline) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Everything the helper writes until it closes, bounded in size and time.
std::string ReceiveAll(int fd, Deadline deadline) {
    std::string out;
    char buf[4096];
    while (out.size() <= MAX_ANSWER) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!WaitFor(fd, POLLIN, deadline)) break;
        } else {
            break;
        }
    }
    return out;
}

// Reaps the helper: waits for it until the deadline, then kills it. A pidfd
// wakes us the moment it exits; without one, short naps do.
void Reap(pid_t pid, Deadline deadline) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        pid_t rc = waitpid(pid, nullptr, WNOHANG);
        if (rc == pid || (rc < 0 && errno != EINTR)) break;  // ECHILD: the host reaps children itself
        long left = MsUntil(deadline);
        if (left == 0) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (pidfd >= 0) {
            pollfd pfd{pidfd, POLLIN, 0};
            poll(&pfd, 1, static_cast<int>(std::min<long>(left, 1000)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (pidfd >= 0) close(pidfd);
}

bool IsHttpsUrl(const std::string& url) { return url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0; }

pid_t SpawnHelper(const std::string& path, const std::vector<std::string>& args, int child_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, child_fd, 0);
    posix_spawn_file_actions_adddup2(&actions, child_fd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The host's signal mask and handlers are not the helper's business.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // The environment may hold proxy URLs with passwords: the helper gets none.
    char* no_environment[] = {nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), no_environment);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        TLOG_ERRNO(TESSEL_LOG_ERR, rc, "cannot start the PAC helper %s", path.c_str());
        return -1;
    }
    return pid;
}

}  // namespace

std::string PacHelperBeside(const std::string& module) {
    // Anything relative would be resolved against the working directory,
    // which may be anyone's: no helper rather than a stranger's.
    if (module.empty() || module[0] != '/') return "";
    std::string dir = module.substr(0, module.rfind('/'));
    // In the library's private folder beside libdtk.so (installed and in the
    // build tree alike); a program linking the code statically from bin/
    // finds it in the library directory next door.
    for (const std::string& candidate : {dir + "/dtk/" + HELPER_NAME, dir + "/../lib/dtk/" + HELPER_NAME})
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    return "";
}

std::string DefaultPacHelperPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DefaultPacHelperPath), &info) == 0 || !info.dli_fname) return "";
    std::string module = info.dli_fname;
    // The main program is named by its argv[0], which may be relative to a
    // directory left long ago; the kernel knows where it really is.
    if ((module.empty() || module[0] != '/') && module == program_invocation_name) {
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        module = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
    }
    return PacHelperBeside(module);
}

std::string UrlHost(const std::string& url) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) return "";
    size_t start = scheme + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        return close == std::string::npos ? "" : authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

uint32_t FetchPacScript(const std::string& url, const std::string& agent, const WinHttpSettings& settings,
                        Deadline deadline, std::string* script) {
    script->clear();
    http_client_identity identity{};
    std::unique_ptr<http_client_handle, HandleDeleter> handle(
        http_client_handle_new(agent.empty() ? "dtk" : agent.c_str(), nullptr, nullptr, &identity));
    http_client_header_list no_headers{nullptr, 0};
    std::unique_ptr<http_client_request_t, RequestDeleter> request(
        handle ? http_client_request_new(handle.get(), &no_headers) : nullptr);
    if (!request) return ERROR_NOT_ENOUGH_MEMORY;
    Download download{script, settings.pacMaxBytes, deadline};
    if (http_client_request_set_write_mode(request.get(), HTTP_CLIENT_WRITE_CALLBACK, Collect, &download,
                                           CheckDeadline, &download) != HTTP_CLIENT_OK)
        return ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT;
    // The script is fetched directly (a proxy is what we are looking for),
    // over http(s) only, and the connection phase keeps to the budget too.
    // A script asked for over https is not taken from plain http: a
    // redirect may not downgrade it.
    CURL* curl = request->curl;
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, IsHttpsUrl(url) ? "https" : "http,https");
    if (!settings.pacTrustFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, settings.pacTrustFile.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    long left = MsUntil(deadline);
    if (left == 0) return ERROR_WINHTTP_TIMEOUT;
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, left);
    std::unique_ptr<http_client_response, ResponseDeleter> response(
        http_client_send_request(request.get(), url.c_str(), "GET", nullptr, 0));
    if (response && response->error == HTTP_CLIENT_OK && response->status == 200) return 0;
    script->clear();
    if (MsUntil(deadline) == 0) return ERROR_WINHTTP_TIMEOUT;
    TLOG_NOTICE("PAC file %s not fetched: error %d, status %d", url.c_str(), response ? response->error : -1,
                response ? response->status : 0);
    return ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT;
}

uint32_t EvaluatePac(const std::string& script, const std::string& url, const WinHttpSettings& settings,
                     Deadline deadline, std::string* answer) {
    answer->clear();
    std::string host = UrlHost(url);
    if (host.empty()) return ERROR_WINHTTP_INVALID_URL;
    std::string helper = settings.pacHelperPath.empty() ? DefaultPacHelperPath() : settings.pacHelperPath;
    if (helper.empty() || helper[0] != '/') {
        TLOG_ERR("no PAC helper at an absolute path (%s): not evaluating", helper.empty() ? "none found" : helper.c_str());
        return ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    Fd ours{fds[0]}, theirs{fds[1]};
    // CPU seconds are a backstop for the wall-clock deadline below.
    long cpu_seconds = MsUntil(deadline) / 1000 + 1;
    pid_t pid = SpawnHelper(helper, {url, host, std::to_string(settings.pacMemoryBytes), std::to_string(cpu_seconds)},
                            theirs.fd);
    close(theirs.fd);
    theirs.fd = -1;
    if (pid < 0) return ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT;
    std::string reply;
    if (SendAll(ours.fd, script, deadline)) {
        shutdown(ours.fd, SHUT_WR);
        reply = ReceiveAll(ours.fd, deadline);
    }
    Reap(pid, deadline);
    // "OK <answer>\n" is the only success; anything else (an error line, a
    // killed or crashed helper) fails the script.
    if (reply.size() < 4 || reply.compare(0, 3, "OK ") != 0 || reply.back() != '\n') {
        if (!reply.empty() && reply.back() == '\n') reply.pop_back();  // the answer's own line end
        TLOG_NOTICE("PAC script for %s failed: %.200s", host.c_str(), reply.empty() ? "no answer" : reply.c_str());
        return ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT;
    }
    answer->assign(reply, 3, reply.size() - 4);
    return 0;
}

}  // namespace platform::winhttp
