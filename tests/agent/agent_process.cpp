#include "agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace agent_test {

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string JsonField(const std::string& object, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    size_t at = object.find(key);
    if (at == std::string::npos)
        return "<absent>";
    at += key.size();
    if (object[at] == '"') {
        std::string value;
        for (size_t i = at + 1; i < object.size() && object[i] != '"'; ++i)
            value += object[i] == '\\' ? object[++i] : object[i];
        return value;
    }
    return object.substr(at, object.find_first_of(",}", at) - at);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

Child::~Child() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

bool Child::Start(const std::vector<std::string>& argv, const std::filesystem::path& out,
                  const std::filesystem::path& err, const std::filesystem::path& workDir) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int inFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (outFd < 0 || errFd < 0 || inFd < 0)
        return false;
    m_pid = fork();
    if (m_pid == 0) {
        dup2(inFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(127);
        execv(args[0], args.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    close(inFd);
    return m_pid > 0;
}

int Child::Wait(std::chrono::milliseconds timeout, struct rusage* usage) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = wait4(m_pid, &status, WNOHANG, usage);
        if (done == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0 || std::chrono::steady_clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Child::Signal(int signal) {
    if (m_pid > 0)
        kill(m_pid, signal);
}

bool Child::WaitForText(const std::filesystem::path& file, const std::string& text,
                        std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (Slurp(file).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

Result RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& scratch,
                  std::chrono::milliseconds timeout) {
    Result result;
    Child child;
    const auto out = scratch / "run.out", err = scratch / "run.err";
    if (!child.Start(argv, out, err))
        return result;
    result.exitCode = child.Wait(timeout);
    result.out = Slurp(out);
    result.err = Slurp(err);
    return result;
}

Result RunWithTerminal(const std::vector<std::string>& argv, const std::filesystem::path& scratch,
                       std::chrono::milliseconds timeout) {
    Result result;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0)
            close(master);
        return result;
    }
    const std::string terminal = ptsname(master);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const auto out = scratch / "terminal.out";
    int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = outFd < 0 ? -1 : fork();
    if (pid == 0) {
        int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
        int in = open("/dev/null", O_RDONLY);
        if (slave < 0 || in < 0)
            _exit(127);
        dup2(in, 0);
        dup2(outFd, 1);
        dup2(slave, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    if (outFd >= 0)
        close(outFd);
    // Drained while the program runs, so its writes never block on a full terminal.
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    bool exited = pid < 0;
    for (bool more = true; pid > 0 && more;) {
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 20) > 0) {
            char buffer[4096];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0)
                result.err.append(buffer, static_cast<size_t>(n));
            else if (exited)
                more = false;  // EIO once the last writer closed its end
        } else if (exited) {
            more = false;
        }
        if (!exited && waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
        if (!exited && std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            close(master);
            return result;
        }
    }
    close(master);
    if (pid > 0)
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = Slurp(out);
    return result;
}

}  // namespace agent_test
