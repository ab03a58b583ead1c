#include "testbed/proxies.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>


namespace testbed {

namespace {

constexpr int LAUNCH_ATTEMPTS = 3;
constexpr auto READY_TIMEOUT = std::chrono::seconds(5);

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

}  // namespace

uint16_t free_loopback_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

bool wait_until_accepting(uint16_t port, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in addr = loopback(port);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

SilentListener::SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 8) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port_ = ntohs(addr.sin_port);
    else
        close();
}

bool SilentListener::wait_for_connection(std::chrono::milliseconds timeout) const {
    if (fd_ < 0) return false;
    pollfd pfd{fd_, POLLIN, 0};
    return ::poll(&pfd, 1, static_cast<int>(timeout.count())) == 1;
}

void SilentListener::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& log_path) {
    if (pid_ > 0 || argv.empty()) return false;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t parent = getpid();
    const pid_t pid = in >= 0 && log >= 0 ? fork() : -1;
    if (pid == 0) {
        // The proxy dies with the test or testbed that started it, however
        // that ends (a crash or SIGKILL included): no orphan keeps its port.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
        if (dup2(in, STDIN_FILENO) < 0 || dup2(log, STDOUT_FILENO) < 0 || dup2(log, STDERR_FILENO) < 0) _exit(127);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (in >= 0) ::close(in);
    if (log >= 0) ::close(log);
    if (pid < 0) return false;
    pid_ = pid;
    return true;
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + grace;
    int status;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

ProxyProcess::ProxyProcess() {
    std::string base = std::filesystem::temp_directory_path().string() + "/dtk-proxy-XXXXXX";
    std::vector<char> tmpl(base.begin(), base.end());
    tmpl.push_back('\0');
    if (mkdtemp(tmpl.data())) dir_ = tmpl.data();
    log_path_ = dir_ + "/proxy.log";
}

ProxyProcess::~ProxyProcess() {
    child_.stop();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string ProxyProcess::log_text() const {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ProxyProcess::launch(const std::function<std::vector<std::string>(uint16_t port)>& argv_for_port) {
    if (dir_.empty()) return false;
    for (int attempt = 0; attempt < LAUNCH_ATTEMPTS; ++attempt) {
        uint16_t port = free_loopback_port();
        if (port == 0 || !child_.start(argv_for_port(port), log_path_)) continue;
        auto deadline = std::chrono::steady_clock::now() + READY_TIMEOUT;
        while (child_.running() && std::chrono::steady_clock::now() < deadline) {
            if (wait_until_accepting(port, std::chrono::milliseconds(100))) {
                port_ = port;
                return true;
            }
        }
        child_.stop();
    }
    return false;
}

bool Tinyproxy::start(const std::optional<ProxyCredentials>& auth, const std::vector<uint16_t>& connect_ports,
                      const std::string& outgoing_address) {
    const std::string conf = dir_ + "/tinyproxy.conf";
    return launch([&](uint16_t port) {
        std::ofstream out(conf, std::ios::trunc);
        out << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 64\nLogLevel Info\n";
        for (uint16_t p : connect_ports) out << "ConnectPort " << p << "\n";
        if (auth) out << "BasicAuth " << auth->user << " " << auth->password << "\n";
        if (!outgoing_address.empty()) out << "Bind " << outgoing_address << "\n";
        out.close();
        // -d keeps it in the foreground, logging to its standard error.
        return std::vector<std::string>{"tinyproxy", "-d", "-c", conf};
    });
}

bool Microsocks::start(const std::optional<ProxyCredentials>& auth, const std::string& outgoing_address) {
    return launch([&](uint16_t port) {
        std::vector<std::string> argv{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
        if (auth) argv.insert(argv.end(), {"-u", auth->user, "-P", auth->password});
        if (!outgoing_address.empty()) argv.insert(argv.end(), {"-b", outgoing_address});
        return argv;
    });
}

}  // namespace testbed
