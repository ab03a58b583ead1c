#include "agent_process.h"

#include <fcntl.h>
#include <signal.h>
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
                  const std::filesystem::path& err) {
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
        execv(args[0], args.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    close(inFd);
    return m_pid > 0;
}

int Child::Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(m_pid, &status, WNOHANG);
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

}  // namespace agent_test
