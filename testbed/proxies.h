// Real third-party proxies started as child processes on free loopback ports:
// tinyproxy (HTTP with CONNECT, optional basic authentication) and microsocks
// (SOCKS5, optional user and password). Start waits (bounded) until the proxy
// accepts connections; stop sends SIGTERM, then SIGKILL, and reaps the child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testbed {

struct ProxyCredentials {
    std::string user;
    std::string password;
};

// A free TCP port on 127.0.0.1 at the time of the call.
uint16_t free_loopback_port();
// Waits until 127.0.0.1:port accepts a TCP connection, at most `timeout`.
bool wait_until_accepting(uint16_t port, std::chrono::milliseconds timeout);

// A listener on 127.0.0.1 that never accepts: clients connect (the kernel
// completes the handshake) and then hear nothing until close() resets the
// connections still waiting.
class SilentListener {
public:
    SilentListener();
    ~SilentListener() { close(); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    uint16_t port() const { return port_; }  // 0 when it could not listen
    // Waits (bounded) until a connection is waiting.
    bool wait_for_connection(std::chrono::milliseconds timeout) const;
    void close();

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A child process whose standard output and error go to `log_path`.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::vector<std::string>& argv, const std::string& log_path);
    // SIGTERM, up to `grace` for the exit, then SIGKILL; always reaps.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    bool running();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Common part of the two proxies: a temporary directory, a child, a port.
class ProxyProcess {
public:
    ProxyProcess();
    virtual ~ProxyProcess();
    ProxyProcess(const ProxyProcess&) = delete;
    ProxyProcess& operator=(const ProxyProcess&) = delete;

    void stop() { child_.stop(); }
    uint16_t port() const { return port_; }
    const std::string& dir() const { return dir_; }
    // What the proxy wrote (its log) so far.
    std::string log_text() const;
    const std::string& log_path() const { return log_path_; }

protected:
    // Starts `argv` built for a given port, retrying with new ports when the
    // chosen one is taken in the meantime.
    bool launch(const std::function<std::vector<std::string>(uint16_t port)>& argv_for_port);

    std::string dir_;
    std::string log_path_;
    uint16_t port_ = 0;
    ChildProcess child_;
};

// tinyproxy on 127.0.0.1. CONNECT is allowed to `connect_ports` only (tinyproxy
// refuses CONNECT to ports not listed once any is listed; empty allows all).
// `outgoing_address` (for example "127.0.0.2") binds the proxy's outgoing
// connections, so a server can tell a proxied connection from a direct one.
class Tinyproxy : public ProxyProcess {
public:
    bool start(const std::optional<ProxyCredentials>& auth, const std::vector<uint16_t>& connect_ports = {},
               const std::string& outgoing_address = "");
};

// microsocks (SOCKS5) on 127.0.0.1.
class Microsocks : public ProxyProcess {
public:
    bool start(const std::optional<ProxyCredentials>& auth, const std::string& outgoing_address = "");
};

}  // namespace testbed
